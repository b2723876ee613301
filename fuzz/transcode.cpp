// TranscodeText over arbitrary pairs of members (chosen by the first two input
// bytes), and the round trips that our own UTF-8 and UTF-7 codecs must keep for
// BMP text, with the direct UTF-8 paths checked against the unit walk and the
// one-pass UTF-8 to single-byte path against the two passes, for every target;
// on malformed UTF-8 our own decoding is checked against the library's. With an
// iconv library loaded, UTF-8 into a charset of our own tables must give the
// library's bytes whether or not the answers it gave for each character alone
// may be written: both for the input as it is and for the input read as text of
// the target's characters, which is mostly text of characters with answers.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velchar/unicode_units.h"
#include "velchar/velchar.h"
#include "velicnv/velicnv.h"

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

// The units less the surrogates, which UTF-8 cannot carry.
std::string WithoutSurrogates(std::string_view Units) {
    std::string Kept;
    for (size_t K = 0; K + 1 < Units.size(); K += 2)
        if ((static_cast<uint8_t>(Units[K]) & 0xF8) != 0xD8) Kept.append(Units.substr(K, 2));
    return Kept;
}

// Where our own code parts from the library by rule on well-formed UTF-8: a mark
// vanishes or turns the order round, and a character above FFFF keeps its low 16
// bits where the library drops it. Each such sequence becomes a "?".
std::string WithoutOwnRules(std::string_view Text) {
    std::string Out;
    for (size_t I = 0; I < Text.size();) {
        const std::string_view Rest = Text.substr(I);
        const auto At = [&Rest](size_t K) { return static_cast<uint8_t>(Rest[K]); };
        const bool Mark = Rest.starts_with("\xEF\xBB\xBF") || Rest.starts_with("\xEF\xBF\xBE");
        const bool Astral = Rest.size() >= 4 && At(0) >= 0xF0 && At(0) <= 0xF4 &&
                            At(1) >= (At(0) == 0xF0 ? 0x90 : 0x80) && At(1) <= (At(0) == 0xF4 ? 0x8F : 0xBF) &&
                            (At(2) & 0xC0) == 0x80 && (At(3) & 0xC0) == 0x80;
        if (Mark || Astral) {
            Out += '?';
            I += Mark ? 3 : 4;
        } else {
            Out += Rest[0];
            ++I;
        }
    }
    return Out;
}

// The C library's iconv, whatever library the engine was told to use: UTF-8 into
// the intermediate, dropping what it cannot read.
std::string LibraryIntermediate(std::string_view Text) {
    static const iconv_t Descriptor = iconv_open("UCS-2BE//IGNORE", "UTF-8");
    std::string Out(Text.size() * 2 + 16, '\0');
    char* In = const_cast<char*>(Text.data());
    char* Room = Out.data();
    size_t InLeft = Text.size(), RoomLeft = Out.size();
    iconv(Descriptor, nullptr, nullptr, nullptr, nullptr);
    iconv(Descriptor, &In, &InLeft, &Room, &RoomLeft);
    Out.resize(Out.size() - RoomLeft);
    return Out;
}

// Malformed UTF-8 is dropped alike by our own code and by the library.
void CheckAgainstLibrary(std::string_view Text) {
    const std::string Plain = WithoutOwnRules(Text);
    Require(Utf8ToIntermediate(Plain) == LibraryIntermediate(Plain));
}

void CheckOwnCodecs(std::string_view Text) {
    const std::string_view Units = Text.substr(0, Text.size() & ~size_t{1});
    const std::string Wide = WidenedUnits(WithoutSurrogates(Units));
    Require(DecodeUtf8Units(EncodeUtf8Units(Wide)) == Wide);
    Require(IntermediateToUtf8(Units) == EncodeUtf8Units(WidenedUnits(Units)));
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

// Every byte from 80 up becomes the UTF-8 form of its character in Target.
std::string CharactersOf(std::string_view Text, TCharsetId Target) {
    const TCodeTable& Table = LoadCodeTable(Target);
    std::string Out;
    for (char C : Text) {
        const uint8_t B = static_cast<uint8_t>(C);
        if (B < 0x80) {
            Out += C;
            continue;
        }
        const char Unit[2] = {static_cast<char>(Table[B - 0x80] >> 8), static_cast<char>(Table[B - 0x80] & 0xFF)};
        Out += IntermediateToUtf8(std::string_view(Unit, 2));
    }
    return Out;
}

void CheckLearnedPath(std::string_view Text, TCharsetId Target, bool Transliterate) {
    UseLearnedAnswers(false);
    const std::string ByLibrary = TranscodeText(Text, TCharsetId::UTF_8, Target, Transliterate);
    UseLearnedAnswers(true);
    Require(TranscodeText(Text, TCharsetId::UTF_8, Target, Transliterate) == ByLibrary);
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
    CheckAgainstLibrary(Text);
    if (LoadIconvLibrary()) {
        const TCharsetId Table = CharsetOfOrdinal(Data[1] % 25);
        CheckLearnedPath(Text, Table, Transliterate);
        CheckLearnedPath(CharactersOf(Text, Table), Table, Transliterate);
    }
    return 0;
}
