// The conversion engine: own-code rules, the library halves, and BestCharset.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "unicode_test_support.h"
#include "velchar/unicode_units.h"
#include "velchar/velchar.h"

namespace lumaro {
namespace {

using testing::Hex;
using enum TCharsetId;

struct TTranscodeCase {
    const char* Name;
    std::string Text;
    TCharsetId Source;
    TCharsetId Target;
    bool Transliterate;
    std::string Expected;
};

class OwnTranscode : public testing::OwnCodeOnly {};

TEST_F(OwnTranscode, Cases) {
    const TTranscodeCase Cases[] = {
        {"same member keeps invalid bytes", Hex("FF FE C3"), UTF_8, UTF_8, true, Hex("FF FE C3")},
        {"e acute", Hex("C3 A9"), UTF_8, ISO_8859_2, true, Hex("E9")},
        {"euro becomes underscore", Hex("61 E2 82 AC 62"), UTF_8, ISO_8859_2, true, "a_b"},
        {"euro vanishes untransliterated", Hex("61 E2 82 AC 62"), UTF_8, ISO_8859_2, false, "ab"},
        {"UTF-8 mark vanishes", Hex("EF BB BF") + "ab", UTF_8, ISO_8859_1, true, "ab"},
        {"UTF-8 mark vanishes inside too", Hex("61 EF BB BF 62"), UTF_8, ISO_8859_1, true, "ab"},
        {"astral keeps low 16 bits", Hex("F0 9F 98 80"), UTF_8, UCS_2, true, Hex("F6 00")},
        {"astral into a single byte", Hex("F0 9F 98 80"), UTF_8, ISO_8859_2, true, "_"},
        {"lead byte before ASCII is dropped", Hex("E9 74"), UTF_8, UCS_2, true, Hex("0074")},
        {"stray continuation is dropped", Hex("80 41"), UTF_8, UCS_2, true, Hex("0041")},
        // U+FFFE read from UTF-8 turns the 4-byte units round: "a" is 00 00 00 61 read backwards.
        {"FFFE switches UTF-8 units", Hex("EF BF BE") + "a", UTF_8, UCS_2, true, Hex("0000")},
        {"little-endian mark vanishes", Hex("FF FE 61 00"), UCS_2LE, UCS_2, true, Hex("0061")},
        {"FE FF switches to big-endian", Hex("61 00 FE FF 00 62"), UCS_2LE, UCS_2, true, Hex("0061 0062")},
        {"odd last byte dropped", Hex("61 00 62"), UCS_2LE, UCS_2, true, Hex("0061")},
        {"UCS-2 source keeps its mark", Hex("FE FF 00 61"), UCS_2, UTF_8, true, Hex("EF BB BF 61")},
        {"UCS-4 source", Hex("00 00 01 0C"), UCS_4, ISO_8859_2, true, Hex("C8")},
        {"UCS-4 mark vanishes", Hex("00 00 FE FF 00 00 00 61"), UCS_4, ISO_8859_1, true, "a"},
        {"UCS-4LE target", "a", ISO_8859_1, UCS_4LE, true, Hex("61 00 00 00")},
        {"UCS-2LE target", Hex("E8"), ISO_8859_2, UCS_2LE, true, Hex("0D 01")},
        {"surrogates stay unpaired", Hex("D8 00 DC 00"), UCS_2, UTF_8, true, Hex("ED A0 80 ED B0 80")},
        {"undefined position decodes to FFFD", Hex("81"), WINDOWS_1252, UTF_8, true, Hex("EF BF BD")},
        {"FFFD finds the first undefined byte", Hex("FF FD"), UCS_2, WINDOWS_1250, true, Hex("81")},
        {"FFFD has no byte in ISO-8859-2", Hex("FF FD"), UCS_2, ISO_8859_2, true, "_"},
        {"Kamenicky", Hex("80"), CP_895, ISO_8859_2, true, Hex("C8")},
        {"table-less member read as Latin-1", Hex("E9"), KOI8_U, UTF_8, true, Hex("C3 A9")},
        {"table-less member written as Latin-1", Hex("C3 A9"), UTF_8, SHIFT_JIS, true, Hex("E9")},
        {"UTF-7 closed run", "+AOk-", UTF_7, ISO_8859_1, true, Hex("E9")},
        {"UTF-7 open run", "+AOk", UTF_7, ISO_8859_1, true, Hex("E9")},
        {"UTF-7 escaped plus", "+-", UTF_7, ISO_8859_1, true, "+"},
        {"UTF-7 plus before blank", "+ x", UTF_7, ISO_8859_1, true, "+ x"},
        {"UTF-7 run of no bytes", "1+1", UTF_7, ISO_8859_1, true, "1"},
        {"UTF-7 odd run stays literal", "+AOkA-", UTF_7, ISO_8859_1, true, "+AOkA"},
        {"UTF-7 encodes plus", "a+b", ISO_8859_1, UTF_7, true, "a+-b"},
        {"UTF-7 encodes run", Hex("E9"), ISO_8859_1, UTF_7, true, "+AOk-"},
        {"UTF-7 run closed before ASCII", Hex("E9") + "a", ISO_8859_1, UTF_7, true, "+AOk-a"},
        {"modified UTF-7 ampersand", "&", ISO_8859_1, mUTF_7, true, "&-"},
        {"modified UTF-7 run", Hex("E9"), ISO_8859_1, mUTF_7, true, "&AOk-"},
        {"modified UTF-7 decodes", "&AOk-&-", mUTF_7, ISO_8859_1, true, Hex("E9") + "&"},
        {"empty text", "", UTF_8, ISO_8859_2, true, ""},
    };
    for (const TTranscodeCase& C : Cases)
        EXPECT_EQ(TranscodeText(C.Text, C.Source, C.Target, C.Transliterate), C.Expected) << C.Name;
}

// The simple search of the code table, the rule the reverse tables must follow.
std::string LinearSearchEncode(std::string_view Units, const TCodeTable& Table) {
    std::string Out;
    for (size_t K = 0; K + 1 < Units.size(); K += 2) {
        const unsigned W = (static_cast<uint8_t>(Units[K]) << 8) | static_cast<uint8_t>(Units[K + 1]);
        if (W < 0x80) {
            Out += static_cast<char>(W);
            continue;
        }
        char Found = '_';
        for (unsigned B = 0; B < 0x80; ++B)
            if (Table[B] == W) {
                Found = static_cast<char>(0x80 + B);
                break;
            }
        Out += Found;
    }
    return Out;
}

TEST_F(OwnTranscode, SingleByteEncoderPicksTheFirstMatchingByte) {
    std::string EveryValue;
    for (unsigned W = 0; W <= 0xFFFF; ++W) {
        EveryValue += static_cast<char>(W >> 8);
        EveryValue += static_cast<char>(W & 0xFF);
    }
    std::vector<TCharsetId> Targets{KOI8_U};
    for (size_t N = 0; N < 25; ++N) Targets.push_back(CharsetOfOrdinal(N));
    for (TCharsetId Target : Targets) {
        EXPECT_EQ(ConvertCharset(EveryValue, UCS_2, Target), LinearSearchEncode(EveryValue, LoadCodeTable(Target)))
            << CharsetName(Target);
    }
}

// UTF-8 into a single-byte charset takes one pass; these are the places where it
// could part from the two passes.
TEST_F(OwnTranscode, Utf8IntoSingleBytesInOnePass) {
    const std::string Switch = Hex("EF BF BE");
    // Read backwards this would be FFFE, but as a long form it is malformed and dropped:
    // no well-formed UTF-8 switches the order back.
    const std::string SwitchBack = Hex("FE 83 BE BF B0 80 80");
    const TTranscodeCase Cases[] = {
        {"long ASCII run", "abcdefghijklmnopq", UTF_8, ISO_8859_2, true, "abcdefghijklmnopq"},
        {"letter after a whole word", "abcdefgh" + Hex("C3 A9"), UTF_8, ISO_8859_2, true, "abcdefgh" + Hex("E9")},
        {"letter missing from the target", Hex("CE A9"), UTF_8, ISO_8859_2, true, "_"},
        {"letter missing, untransliterated", Hex("CE A9") + "x", UTF_8, ISO_8859_2, false, "x"},
        {"letter present in the target", Hex("CE A9"), UTF_8, ISO_8859_7, true, Hex("D9")},
        {"letter before a stray continuation", Hex("C3 A9 80"), UTF_8, ISO_8859_2, true, Hex("E9")},
        {"overlong ASCII is dropped", Hex("C1 81"), UTF_8, ISO_8859_2, true, ""},
        {"two-byte lead before ASCII", Hex("C3 41"), UTF_8, ISO_8859_2, true, "A"},
        {"two-byte lead at the end", "ab" + Hex("C3"), UTF_8, ISO_8859_2, true, "ab"},
        {"Latin-2 text labelled UTF-8", Hex("6B F3 64 BE ED 0D 0A 74"), UTF_8, ISO_8859_2, true, "kd\r\nt"},
        {"mark inside a long run", "abcdefgh" + Hex("EF BB BF") + "ijklmnop", UTF_8, ISO_8859_2, true,
         "abcdefghijklmnop"},
        {"ASCII read backwards is zero", "abcdefghij" + Switch + "abcdefghij", UTF_8, ISO_8859_2, true,
         "abcdefghij" + std::string(10, '\0')},
        {"letter read backwards is zero", Switch + Hex("C3 A9"), UTF_8, ISO_8859_2, true, std::string(1, '\0')},
        {"order not switched back", Switch + "a" + SwitchBack + "bcdefghij", UTF_8, ISO_8859_2, true,
         std::string(10, '\0')},
        {"table-less target", "x" + Hex("C3 A9 E2 82 AC"), UTF_8, HZ, true, "x" + Hex("E9") + "_"},
    };
    for (const TTranscodeCase& C : Cases)
        EXPECT_EQ(TranscodeText(C.Text, C.Source, C.Target, C.Transliterate), C.Expected) << C.Name;
}

// ASCII runs of every length, accented letters, marks and order switches, loose bytes.
std::string RandomMixedUtf8(std::mt19937& Random) {
    static const char* const Pieces[] = {"\xC3\xA9", "\xC5\x99", "\xCE\xA9", "\xE2\x82\xAC", "\xEF\xBB\xBF",
                                         "\xEF\xBF\xBE", "\xFE\x83\xBE\xBF\xB0\x80\x80", "\xF0\x9F\x98\x80",
                                         "\xC3", "\x80", "\xFF"};
    std::string Out;
    const size_t Count = Random() % 12;
    for (size_t K = 0; K < Count; ++K) {
        Out.append(Random() % 20, static_cast<char>('a' + Random() % 26));
        Out += Pieces[Random() % std::size(Pieces)];
    }
    return Out + testing::RandomUtf8ish(Random, Random() % 8);
}

TEST_F(OwnTranscode, OnePassMatchesTwoPassesForEverySingleByteTarget) {
    std::mt19937 Random(5);
    for (size_t N = 0; N < CharsetCount; ++N) {
        const TCharsetId Target = CharsetOfOrdinal(N);
        if (Target == UTF_8 || Target == UTF_7 || Target == mUTF_7 || Target == UCS_2 || Target == UCS_2LE ||
            Target == UCS_4 || Target == UCS_4LE)
            continue;
        for (int Round = 0; Round < 40; ++Round) {
            const std::string Text = RandomMixedUtf8(Random);
            const bool Transliterate = Round % 2 == 0;
            ASSERT_EQ(TranscodeText(Text, UTF_8, Target, Transliterate),
                      IntermediateToSingleBytes(Utf8ToIntermediate(Text), Target, Transliterate))
                << CharsetName(Target) << " round " << Round;
        }
    }
}

class LibraryTranscode : public testing::LibraryPresent {};

TEST_F(LibraryTranscode, EuroGetsTheLibrarysTransliteration) {
    EXPECT_EQ(ConvertCharset(Hex("61 E2 82 AC 62"), UTF_8, ISO_8859_2), "aEURb");
}

TEST_F(LibraryTranscode, ALongTransliterationConvertsWhole) {
    const std::string Text(1 << 20, '\xBD');  // Latin-1 "1/2", five bytes each in ISO-8859-2
    const std::string Out = ConvertCharset(Text, ISO_8859_1, ISO_8859_2);
    ASSERT_EQ(Out.size(), Text.size() * 5);
    EXPECT_EQ(Out.substr(Out.size() - 10), " 1/2  1/2 ");
}

TEST_F(LibraryTranscode, JapaneseEndsInTheInitialShiftState) {
    const std::string Japanese = Hex("54 6F 6B 79 6F 20 E6 9D B1 E4 BA AC");  // "Tokyo " and two kanji
    const std::string Jis = ConvertCharset(Japanese, UTF_8, ISO_2022_JP);
    ASSERT_GE(Jis.size(), 3u);
    EXPECT_EQ(Jis.substr(Jis.size() - 3), "\x1B(B");
    EXPECT_EQ(ConvertCharset(Jis, ISO_2022_JP, UTF_8), Japanese);
}

TEST_F(LibraryTranscode, UTF7TargetLosesOnlyTheAddedDash) {
    EXPECT_EQ(ConvertCharset(Hex("C3 A9"), UTF_8, UTF_7), "+AOk-");
    EXPECT_EQ(ConvertCharset("a-", UTF_8, UTF_7), "a-");
}

TEST_F(LibraryTranscode, LibraryAndOwnCodeAgreeOnCzech) {
    const std::string Czech = Hex("50 C5 99 C3 AD 6C 69 C5 A1 20 C5 BE 6C 75 C5 A5 6F 75 C4 8D 6B C3 BD");
    const std::string ByLibrary = ConvertCharset(Czech, UTF_8, ISO_8859_2);
    SetIconvChoice(std::string("none"));
    EXPECT_EQ(ConvertCharset(Czech, UTF_8, ISO_8859_2), ByLibrary);
}

TEST_F(LibraryTranscode, ALongTextConvertsAsItsCharactersDo) {
    // 23 bytes of Czech UTF-8: its two-byte characters come to lie across every
    // point where a long text is cut for the library.
    const std::string Unit = Hex("50 C5 99 C3 AD 6C 69 C5 A1 20 C5 BE 6C 75 C5 A5 6F 75 C4 8D 6B C3 BD");
    const std::string UnitInLatin2 = ConvertCharset(Unit, UTF_8, ISO_8859_2);
    std::string Long, LongInLatin2;
    for (int k = 0; k < 60000; ++k) {
        Long += Unit;
        LongInLatin2 += UnitInLatin2;
    }
    // A character cut off at the end is dropped, as in a short text.
    Long += "\xC5";
    EXPECT_EQ(ConvertCharset("\xC5", UTF_8, ISO_8859_2), "");
    EXPECT_TRUE(ConvertCharset(Long, UTF_8, ISO_8859_2) == LongInLatin2);
    EXPECT_TRUE(ConvertCharset(LongInLatin2, ISO_8859_2, UTF_8) == Long.substr(0, Long.size() - 1));
}

// Malformed UTF-8: every byte 80 to FF alone, followed by ASCII, by each other and
// in runs, and every well-formed sequence cut short at the end of the text.
std::vector<std::string> MalformedUtf8Samples() {
    std::vector<std::string> Samples = {
        Hex("C0 80"),       Hex("E0 80 80"),    Hex("F0 80 80 80"),       Hex("F8 88 80 80 80"),
        Hex("ED A0 80"),    Hex("ED BF BF"),    Hex("ED A0 BD ED B8 80"), Hex("F4 90 80 80"),
        Hex("F7 BF BF BF"), Hex("E2 82 41 42"), Hex("C3 A9 A9"),          Hex("6B F3 64 BE ED 74"),
    };
    for (unsigned B = 0x80; B <= 0xFF; ++B) {
        const std::string Byte(1, static_cast<char>(B));
        Samples.insert(Samples.end(), {Byte, "a" + Byte + "b", Byte + Byte + Byte});
        for (unsigned C = 0x80; C <= 0xFF; ++C) Samples.push_back(Byte + static_cast<char>(C) + "z");
    }
    for (const std::string& Whole : {Hex("C5 99"), Hex("E2 82 AC"), Hex("F0 9F 98 80"), Hex("F4 8F BF BF")})
        for (size_t Cut = 1; Cut < Whole.size(); ++Cut) Samples.push_back("ab" + Whole.substr(0, Cut));
    return Samples;
}

// What the library makes of a UTF-8 text when asked to drop what it cannot read.
std::string LibraryIntermediate(std::string_view Text) {
    TIconvDescriptor Descriptor = OpenConverterIgnore("UCS-2BE", "UTF-8");
    std::string Out;
    RunConverter(Descriptor, Text, Out);
    CloseConverter(Descriptor);
    return Out;
}

// Our own code drops the same bytes as the library, so that both paths give the
// same text, and none of them turns into a control byte.
TEST_F(LibraryTranscode, MalformedUtf8DecodesAsTheLibraryDecodesIt) {
    for (const std::string& Sample : MalformedUtf8Samples()) {
        const std::string ByLibrary = LibraryIntermediate(Sample);
        ASSERT_EQ(Utf8ToIntermediate(Sample), ByLibrary) << testing::HexOf(Sample);
        ASSERT_EQ(Utf8ToSingleBytes(Sample, ISO_8859_2, true), IntermediateToSingleBytes(ByLibrary, ISO_8859_2, true))
            << testing::HexOf(Sample);
    }
}

struct TBestCase {
    const char* Name;
    std::string Text;
    TCharsetSet Candidates;
    TCharsetId Expected;
};

// Holds with and without the library: both runs of the suite check it.
TEST(BestCharset, Cases) {
    const std::string Czech = Hex("50 C5 99 C3 AD 6C 69 C5 A1 20 C5 BE 6C 75 C5 A5 6F 75 C4 8D 6B C3 BD");
    const std::string Euro = Hex("E2 82 AC");
    const TBestCase Cases[] = {
        {"ASCII", "plain text", {ISO_8859_1, ISO_8859_2}, ISO_8859_1},
        {"Czech", Czech, {ISO_8859_1, ISO_8859_2}, ISO_8859_2},
        {"order is by ordinal, not by listing", Czech, {WINDOWS_1250, ISO_8859_2}, ISO_8859_2},
        {"empty text", "", {WINDOWS_1250, ISO_8859_2}, ISO_8859_2},
        {"no candidates", "plain", {}, ISO_8859_1},
        {"no back-conversion", Euro, {ISO_8859_2, ISO_8859_5}, ISO_8859_1},
        {"euro fits Windows-1252", Euro, {ISO_8859_2, WINDOWS_1252}, WINDOWS_1252},
        {"longest back-conversion", Czech + Euro, {ISO_8859_1, ISO_8859_2}, ISO_8859_2},
        {"only the first 1024 bytes count", std::string(1024, 'a') + Czech, {ISO_8859_1, ISO_8859_2}, ISO_8859_1},
        {"a character ending at byte 1024 counts", std::string(1022, 'a') + Hex("C5 99"),
         {ISO_8859_1, ISO_8859_2}, ISO_8859_2},
    };
    for (const TBestCase& C : Cases) EXPECT_EQ(BestCharset(C.Text, UTF_8, C.Candidates), C.Expected) << C.Name;
}

// Whether a conversion lost anything: a character the target lacks, a byte of the
// source no character is made of. Fixed results, with the library and without it.
TEST(ConvertsWhole, TellsWhetherAnythingWasLost) {
    const struct {
        const char* Name;
        std::string Text;
        TCharsetId Source, Target;
        bool Whole;
    } Cases[] = {
        {"Czech into Windows-1250", Hex("50 C5 99 C3 AD 6C 69 C5 A1"), UTF_8, WINDOWS_1250, true},
        {"Greek into Windows-1250", Hex("CE B5 CE B9"), UTF_8, WINDOWS_1250, false},
        {"an emoji", Hex("61 F0 9F 98 80"), UTF_8, ISO_8859_2, false},
        {"half a character", Hex("66 69 6E C3"), UTF_8, ISO_8859_2, false},
        {"a stray continuation byte", Hex("A1 6C 6E"), UTF_8, ISO_8859_2, false},
        {"Windows-1250 into UTF-8", Hex("50 F8 ED"), WINDOWS_1250, UTF_8, true},
        {"Greek into KOI8-R", Hex("CE B5"), UTF_8, KOI8_R, false},
        {"Cyrillic into KOI8-R", Hex("D0 B6"), UTF_8, KOI8_R, true},
        {"the same charset", Hex("C3"), UTF_8, UTF_8, true},
    };
    for (const auto& C : Cases) {
        std::string Converted;
        EXPECT_EQ(ConvertsWhole(C.Text, C.Source, C.Target, Converted), C.Whole) << C.Name;
    }
}

}  // namespace
}  // namespace lumaro
