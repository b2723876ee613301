// Every decoder of the transfer codings on arbitrary bytes, checked against the
// literal versions of the rules, and every encoder followed by its decoder, which
// must give the input back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/velcode/reference.h"
#include "velcode/velcode.h"

#include "fuzz/fuzz_support.h"

namespace {

using namespace lumaro;

using fuzz::Require;

void CheckDecoders(std::string_view Input, char EscChar) {
    Require(DecodeQuotedPrintable(Input) == reference::DecodeEscaped(Input, '='), "quoted-printable decoding");
    Require(DecodeEscaped(Input, EscChar) == reference::DecodeEscaped(Input, EscChar), "escape decoding");
    Require(DecodeBase64(Input) == reference::DecodeByReverseTable(Input, Base64ReverseTable), "base64 decoding");
    Require(DecodeBase64Mod(Input) == reference::DecodeByAlphabet(Input, Base64ModAlphabet), "modified base64");
    for (const std::string_view Alphabet : {UUAlphabet, XXAlphabet})
        Require(DecodeByAlphabet(Input, Alphabet) == reference::DecodeByAlphabet(Input, Alphabet), "line alphabets");
    // The front of the input as a caller's own alphabet or table, the rest as the text.
    const std::string_view Own = Input.substr(0, Input.size() / 4), Text = Input.substr(Own.size());
    Require(DecodeByAlphabet(Text, Own) == reference::DecodeByAlphabet(Text, Own), "own alphabet");
    Require(DecodeByReverseTable(Text, Own) == reference::DecodeByReverseTable(Text, Own), "own table");
    // A line decoder gives exactly as many bytes as the length byte announces, or none.
    for (const std::string_view Alphabet : {UUAlphabet, XXAlphabet}) {
        const std::string Line = Alphabet == UUAlphabet ? DecodeUULine(Input) : DecodeXXLine(Input);
        const size_t Announced = Input.empty() ? 0 : Alphabet.find(Input[0]);
        Require(Line.empty() || Line.size() == Announced, "line length");
    }
}

void CheckRoundTrips(std::string_view Input) {
    Require(DecodeBase64(EncodeBase64(Input)) == Input, "base64 round trip");
    Require(DecodeBase64Mod(EncodeBase64Mod(Input)) == Input, "modified base64 round trip");
    Require(DecodeQuotedPrintable(EncodeQuotedPrintable(Input)) == Input, "quoted-printable round trip");
    Require(DecodeQuotedPrintable(EncodeQuotedPrintableStrict(Input)) == Input, "strict quoted-printable round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string_view Input(reinterpret_cast<const char*>(Data), Size);
    const char EscChar = Size > 0 ? static_cast<char>(Data[Size - 1]) : '=';
    CheckDecoders(Input, EscChar);
    CheckRoundTrips(Input);
    return 0;
}
