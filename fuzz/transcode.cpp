// TranscodeText over arbitrary pairs of members (chosen by the first two input
// bytes), and the round trips that our own UTF-8 and UTF-7 codecs must keep for
// BMP text, with the direct UTF-8 paths checked against the unit walk and the
// one-pass UTF-8 to single-byte path against the two passes, for every target.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velchar/unicode_units.h"
#include "velchar/velchar.h"

namespace {

using namespace lumaro;

void Require(bool Condition) {
    if (!Condition) std::abort();
}

std::string WidenedUnits(std::string_view Units) {
    std::string Wide;
    Wide.reserve(Units.size() * 2);
    for (size_t K = 0; K + 1 < Units.size(); K += 2) Wide.append(2, '\0').append(Units.substr(K, 2));
    return Wide;
}

void CheckOwnCodecs(std::string_view Text) {
    const std::string_view Units = Text.substr(0, Text.size() & ~size_t{1});
    const std::string Wide = WidenedUnits(Units);
    Require(DecodeUtf8Units(EncodeUtf8Units(Wide)) == Wide);
    Require(IntermediateToUtf8(Units) == EncodeUtf8Units(Wide));
    Require(Utf8ToIntermediate(Text) == WalkUnits(DecodeUtf8Units(Text), 4, false));
    const std::string Intermediate = Utf8ToIntermediate(Text);
    for (size_t N = 0; N < CharsetCount; ++N) {
        const TCharsetId Target = CharsetOfOrdinal(N);
        if (N >= Ordinal(TCharsetId::UCS_2) && N <= Ordinal(TCharsetId::UCS_4LE)) continue;
        for (bool Transliterate : {false, true})
            Require(Utf8ToSingleBytes(Text, Target, Transliterate) ==
                    IntermediateToSingleBytes(Intermediate, Target, Transliterate));
    }
    for (bool Modified : {false, true}) {
        Require(DecodeUtf7Units(EncodeUtf7Units(Units, Modified), Modified) == Units);
        DecodeUtf7Units(Text, Modified);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 3) return 0;
    const TCharsetId Source = CharsetOfOrdinal(Data[0] % CharsetCount);
    const TCharsetId Target = CharsetOfOrdinal(Data[1] % CharsetCount);
    const bool Transliterate = (Data[2] & 1) != 0;
    const std::string_view Text(reinterpret_cast<const char*>(Data + 3), Size - 3);
    const std::string Converted = TranscodeText(Text, Source, Target, Transliterate);
    if (Source == Target) Require(Converted == Text);
    CheckOwnCodecs(Text);
    return 0;
}
