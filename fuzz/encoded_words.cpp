// Decoding of arbitrary header texts, and the round trip of the Q word encoder:
// whatever it writes must decode back to the converted text, in words of at most
// 75 characters.
//
// Input: two bytes choose the source and target charsets, the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mimeinln/mimeinln.h"

namespace {

using namespace lumaro;

TCharsetId PickCharset(uint8_t Byte) {
    // Mostly the charsets of real mail, sometimes any member.
    static const TCharsetId Common[] = {
        CharsetByName("ISO-8859-1"), CharsetByName("ISO-8859-2"), CharsetByName("WINDOWS-1250"),
        CharsetByName("UTF-8"),      CharsetByName("KOI8-R"),     CharsetByName("ISO-8859-5"),
        CharsetByName("UTF-7"),      CharsetByName("UCS-2")};
    constexpr size_t CommonCount = sizeof(Common) / sizeof(Common[0]);
    if (Byte < 128) return Common[Byte % CommonCount];
    return CharsetOfOrdinal(Byte % CharsetCount);
}

// No word is longer than 75 characters. A text cut in ISO-2022-JP carries the
// escapes that close and reopen its set at each cut, so it is compared as text,
// where its escapes are the converter's own (an escape byte of the source would be
// read as one).
void CheckRoundTrip(std::string_view Text, TCharsetId From, TCharsetId To) {
    const std::string Words = EncodeQWords(Text, From, To);
    for (size_t At = 0, End = 0; At < Words.size(); At = End + 1) {
        End = std::min(Words.find(' ', At), Words.size());
        if (End - At > 75) std::abort();
    }
    const std::string Decoded = DecodeEncodedWords(Words, To);
    const std::string Expected = ConvertCharset(Text, From, To);
    if (To != TCharsetId::ISO_2022_JP) {
        if (Decoded != Expected) std::abort();
    } else if (From != To && Text.find('\x1B') == std::string_view::npos) {
        if (ConvertCharset(Decoded, To, TCharsetId::UTF_8) != ConvertCharset(Expected, To, TCharsetId::UTF_8)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 2) return 0;
    const TCharsetId From = PickCharset(Data[0]);
    const TCharsetId To = PickCharset(Data[1]);
    const std::string_view Text(reinterpret_cast<const char*>(Data + 2), Size - 2);

    const std::string Decoded = DecodeEncodedWords(Text, To);
    // Without any "=?" there is nothing to decode.
    if (Text.find("=?") == std::string_view::npos && Decoded != Text) std::abort();

    CheckRoundTrip(Text, From, To);
    // Same source and target: the words carry the bytes themselves.
    CheckRoundTrip(Text, To, To);
    (void)NeedsEncoding(Text);
    (void)EncodeAddressAs(Text, From);
    return 0;
}
