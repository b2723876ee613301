// The own Unicode codecs and the code-unit reader and writer.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "unicode_test_support.h"
#include "velchar/unicode_units.h"
#include "velchar/velchar.h"

namespace lumaro {
namespace {

using testing::Hex;

struct TCodeUnitCase {
    std::string Bytes;
    int Width;
    bool LittleEndian;
    TCodeUnit Expected;
};

TEST(CodeUnits, ReadAndWriteAgree) {
    const TCodeUnitCase Cases[] = {
        {Hex("E9"), 1, false, {0xE9, 0, 0, 0}},
        {Hex("E9"), 1, true, {0xE9, 0, 0, 0}},
        {Hex("01 02"), 2, false, {0x02, 0x01, 0, 0}},
        {Hex("01 02"), 2, true, {0x01, 0x02, 0, 0}},
        {Hex("01 02 03 04"), 4, false, {0x04, 0x03, 0x02, 0x01}},
        {Hex("01 02 03 04"), 4, true, {0x01, 0x02, 0x03, 0x04}},
    };
    for (const TCodeUnitCase& C : Cases) {
        const std::string Text = "x" + C.Bytes;
        size_t Position = 2;
        const TCodeUnit U = ReadCodeUnit(Text, Position, C.Width, C.LittleEndian);
        EXPECT_EQ(Position, 2u + static_cast<size_t>(C.Width));
        EXPECT_EQ(U.B0, C.Expected.B0);
        EXPECT_EQ(U.B1, C.Expected.B1);
        EXPECT_EQ(U.B2, C.Expected.B2);
        EXPECT_EQ(U.B3, C.Expected.B3);
        std::string Written;
        WriteCodeUnit(Written, U, C.Width, C.LittleEndian);
        EXPECT_EQ(Written, C.Bytes);
    }
}

TEST(CodeUnits, ReadingPastTheEndGivesZeroBytes) {
    size_t Position = 2;
    const TCodeUnit U = ReadCodeUnit(Hex("01 02"), Position, 4, false);
    EXPECT_EQ(U.B3, 0x02);
    EXPECT_EQ(U.B2 | U.B1 | U.B0, 0);
    EXPECT_EQ(Position, 6u);
}

struct TTextCase {
    const char* Name;
    std::string Input;
    std::string Expected;
};

TEST(Utf8Units, Decode) {
    const TTextCase Cases[] = {
        {"ASCII", "a", Hex("00000061")},
        {"two bytes", Hex("C3 A9"), Hex("000000E9")},
        {"three bytes", Hex("E2 82 AC"), Hex("000020AC")},
        {"four bytes", Hex("F0 9F 98 80"), Hex("0001F600")},
        {"highest value", Hex("F4 8F BF BF"), Hex("0010FFFF")},
        {"mark is a unit", Hex("EF BB BF"), Hex("0000FEFF")},
    };
    for (const TTextCase& C : Cases) EXPECT_EQ(DecodeUtf8Units(C.Input), C.Expected) << C.Name;
}

// A byte that starts or continues no well-formed sequence is dropped, and nothing
// else with it: what follows is read afresh.
TEST(Utf8Units, MalformedBytesAreDropped) {
    const TTextCase Cases[] = {
        {"lead before ASCII", Hex("E9 74"), Hex("00000074")},
        {"lone continuation", Hex("80"), ""},
        {"run of continuations", Hex("80 81 BF") + "a", Hex("00000061")},
        {"FE and FF", Hex("FE FF"), ""},
        {"continuation after a whole sequence", Hex("C3 A9 A9"), Hex("000000E9")},
        {"old six-byte form", Hex("FD BF BF BF BF BF"), ""},
        {"overlong two bytes", Hex("C0 AF C1 BF"), ""},
        {"overlong three bytes", Hex("E0 80 AF"), ""},
        {"overlong four bytes", Hex("F0 80 80 AF"), ""},
        {"surrogate", Hex("ED A0 80") + "a", Hex("00000061")},
        {"above 10FFFF", Hex("F4 90 80 80"), ""},
        {"lead F5", Hex("F5 80 80 80"), ""},
        {"cut short by ASCII", Hex("E2 82 41"), Hex("00000041")},
        {"cut short by a lead", Hex("E2 C3 A9"), Hex("000000E9")},
        {"cut at the end", Hex("61 E2 82"), Hex("00000061")},
        {"four bytes cut at the end", Hex("F0 9F 98"), ""},
        // Latin-2 text read as UTF-8 gives no control byte.
        {"Latin-2 bytes", Hex("6B F3 64 BE ED 74"), Hex("0000006B 00000064 00000074")},
    };
    for (const TTextCase& C : Cases) EXPECT_EQ(DecodeUtf8Units(C.Input), C.Expected) << C.Name;
}

TEST(Utf8Units, Encode) {
    const TTextCase Cases[] = {
        {"ASCII", Hex("00000061"), "a"},
        {"two bytes", Hex("000000E9 000007FF"), Hex("C3 A9 DF BF")},
        {"three bytes", Hex("00000800 0000FFFF"), Hex("E0 A0 80 EF BF BF")},
        {"surrogate one by one", Hex("0000D83D 0000DE00"), Hex("ED A0 BD ED B8 80")},
        {"partial unit ignored", Hex("00000061 0000"), "a"},
    };
    for (const TTextCase& C : Cases) EXPECT_EQ(EncodeUtf8Units(C.Input), C.Expected) << C.Name;
}

// Every value UTF-8 may carry: the surrogates and everything above 10FFFF are
// malformed there.
TEST(Utf8Units, EveryScalarValueComesBack) {
    std::mt19937 Random(7);
    std::string Units;
    while (Units.size() < 4 * 20000) {
        const uint32_t V = Random() % 0x110000 >> (Random() % 21);
        if (V >= 0xD800 && V <= 0xDFFF) continue;
        for (int Shift = 24; Shift >= 0; Shift -= 8) Units += static_cast<char>((V >> Shift) & 0xFF);
    }
    EXPECT_EQ(DecodeUtf8Units(EncodeUtf8Units(Units)), Units);
}

// The direct UTF-8 paths must give exactly what the walk over 4-byte units gives.
TEST(Utf8Units, DirectPathsMatchTheUnitWalk) {
    std::mt19937 Random(11);
    for (int Round = 0; Round < 300; ++Round) {
        std::string Text = testing::RandomUtf8ish(Random, Random() % 64);
        if (Round % 3 == 0) Text.insert(Text.size() / 2, Hex("EF BF BE"));  // switches the order
        ASSERT_EQ(Utf8ToIntermediate(Text), WalkUnits(DecodeUtf8Units(Text), 4, false)) << Round;
        const std::string Units = testing::RandomBmpUnits(Random, Random() % 40);
        std::string Wide;
        for (size_t K = 0; K + 1 < Units.size(); K += 2) Wide += std::string(2, '\0') + Units.substr(K, 2);
        ASSERT_EQ(IntermediateToUtf8(Units), EncodeUtf8Units(Wide)) << Round;
    }
}

TEST(Utf7Units, Decode) {
    const TTextCase Cases[] = {
        {"direct", "a", Hex("0061")},
        {"high byte passes", Hex("E9"), Hex("00E9")},
        {"closed run", "+AOk-x", Hex("00E9 0078")},
        {"run ended by equals", "+AOk=", Hex("00E9 003D")},
        {"run ended by a blank", "+AOk x", Hex("00E9 0020 0078")},
        {"dash after a run is consumed once", "+AOk--", Hex("00E9 002D")},
        {"shift at the end", "a+", Hex("0061 002B")},
        {"shift before equals", "+=", Hex("002B 003D")},
        {"odd run kept as letters", "+AOkA-", Hex("002B 0041 004F 006B 0041")},
        {"slash is a letter", "+2D3eAA-", Hex("D83D DE00")},
    };
    for (const TTextCase& C : Cases) EXPECT_EQ(DecodeUtf7Units(C.Input, false), C.Expected) << C.Name;
}

TEST(Utf7Units, DecodeModified) {
    const TTextCase Cases[] = {
        {"run", "&AOk-", Hex("00E9")},
        {"ampersand", "&-", Hex("0026")},
        {"plus is direct", "+AOk-", Hex("002B 0041 004F 006B 002D")},
        {"one letter gives an odd byte", "&A-", Hex("0026 0041")},
        {"comma is a letter", "&2D3eAA-", Hex("D83D DE00")},
    };
    for (const TTextCase& C : Cases) EXPECT_EQ(DecodeUtf7Units(C.Input, true), C.Expected) << C.Name;
}

TEST(Utf7Units, Encode) {
    const TTextCase Cases[] = {
        {"plus", Hex("0061 002B 0062"), "a+-b"},
        {"control characters direct", Hex("0001 000D 000A"), Hex("01 0D 0A")},
        {"run", Hex("00E9 00E9"), "+AOkA6Q-"},
        {"run closed before dash", Hex("00E9 002D"), "+AOk--"},
        {"odd byte ignored", Hex("00E9 00"), "+AOk-"},
    };
    for (const TTextCase& C : Cases) EXPECT_EQ(EncodeUtf7Units(C.Input, false), C.Expected) << C.Name;
    EXPECT_EQ(EncodeUtf7Units(Hex("D83D DE00 0026"), true), "&2D3eAA-&-");
}

TEST(Utf7Units, BmpTextComesBack) {
    std::mt19937 Random(5);
    for (int Round = 0; Round < 300; ++Round) {
        const std::string Units = testing::RandomBmpUnits(Random, Random() % 50);
        for (bool Modified : {false, true})
            ASSERT_EQ(DecodeUtf7Units(EncodeUtf7Units(Units, Modified), Modified), Units) << Round;
    }
}

}  // namespace
}  // namespace lumaro
