// With a library loaded, UTF-8 into a charset of our own tables takes our table
// wherever the library is known to write the same bytes. Whatever path a text
// takes, the bytes must be the library's: every case here converts the same text
// with that path allowed and forbidden.
#include <gtest/gtest.h>

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

constexpr size_t TableCharsets = 25;

class AgreedPath : public testing::LibraryPresent {
protected:
    void TearDown() override { UseAgreedCharacters(true); }

    static std::string Convert(std::string_view Text, TCharsetId Target, bool Transliterate, bool Agreed) {
        UseAgreedCharacters(Agreed);
        return TranscodeText(Text, UTF_8, Target, Transliterate);
    }
    // The text converted with the path allowed equals the text converted by the library alone.
    static void ExpectSameBytes(std::string_view Text, TCharsetId Target, bool Transliterate, const std::string& What) {
        const std::string ByLibrary = Convert(Text, Target, Transliterate, false);
        EXPECT_EQ(Convert(Text, Target, Transliterate, true), ByLibrary)
            << What << " into " << CharsetName(Target) << (Transliterate ? " (translit)" : " (ignore)");
    }
};

std::string Utf8Of(unsigned W) {
    const char Unit[2] = {static_cast<char>(W >> 8), static_cast<char>(W & 0xFF)};
    return IntermediateToUtf8(std::string_view(Unit, 2));
}

// Characters that every target holds or that give the path something to refuse.
std::vector<std::string> Ingredients() {
    return {"a", "Z", " ", "\r\n", std::string(1, '\0'), Hex("C3 A9"), Hex("C5 99"), Hex("C4 8D"), Hex("D0 96"),
            Hex("CE A9"), Hex("E2 82 AC"), Hex("E2 80 9E"),
            Hex("EF BB BF"),     // byte-order mark
            Hex("EF BF BE"),     // reversed mark
            Hex("EF BF BD"),     // replacement character
            Hex("F0 9F 98 80"),  // astral
            Hex("C3"), Hex("80"), Hex("E2 82"), Hex("C0 AF"), Hex("ED A0 80"), Hex("F8 88 80 80 80"), Hex("FF")};
}

std::string RandomMix(std::mt19937& Random, size_t Count, size_t Plain) {
    static const std::vector<std::string> Parts = Ingredients();
    std::string Out;
    for (size_t K = 0; K < Count; ++K) {
        // Mostly ASCII and letters, so that some texts take the path a long way.
        const size_t Pick = Random() % (Parts.size() + Plain);
        Out += Pick < Parts.size() ? Parts[Pick] : std::string(Pick % 2 ? "Dobr\xC3\xBD den " : "text ");
    }
    return Out;
}

// A character the path refuses goes to the library by the very call that converts
// it with the path forbidden; only the ones it takes can differ, and each of those
// is compared with the library's answer.
TEST_F(AgreedPath, EveryBmpCharacterAlone) {
    for (size_t N = 0; N < TableCharsets; ++N) {
        const TCharsetId Target = CharsetOfOrdinal(N);
        const TAgreedBytes& Agreed = *AgreedBytesOf(Target, true);
        size_t Taken = 0, Differing = 0;
        for (unsigned W = 0; W < 0x10000; ++W) {
            const std::string Character = Utf8Of(W);
            std::string ByTable;
            if (!AppendAgreedBytes(Character, ReverseTableOf(Target), Agreed, ByTable)) continue;
            ++Taken;
            if (ByTable != Convert(Character, Target, true, false) && ++Differing <= 5)
                ADD_FAILURE() << "U+" << std::hex << W << " into " << CharsetName(Target);
            EXPECT_EQ(Convert(Character, Target, true, true), ByTable);
        }
        EXPECT_EQ(Differing, 0u) << CharsetName(Target);
        // Every character of the path's set is one of the table's own.
        EXPECT_LE(Taken, 256u) << CharsetName(Target);
    }
}

TEST_F(AgreedPath, MixedTextsForEveryTarget) {
    std::mt19937 Random(12);
    for (size_t N = 0; N < TableCharsets; ++N)
        for (bool Transliterate : {true, false})
            for (int Round = 0; Round < 40; ++Round)
                ExpectSameBytes(RandomMix(Random, 1 + Random() % 60, Round % 4 * 20), CharsetOfOrdinal(N),
                                Transliterate, "mix " + std::to_string(Round));
}

TEST_F(AgreedPath, CzechTextTakesOurTable) {
    // Not a proof that the path ran, but the set it learned: on a library that writes
    // Czech as everyone does, every letter of the text must be agreed.
    const std::string Czech = "P\xC5\x99\xC3\xAD\x6C\x69\xC5\xA1 \xC5\xBE\x6C\x75\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88";
    std::string Out;
    const TAgreedBytes& Agreed = *AgreedBytesOf(ISO_8859_2, true);
    EXPECT_TRUE(Agreed.AllAscii);
    EXPECT_TRUE(AppendAgreedBytes(Czech, ReverseTableOf(ISO_8859_2), Agreed, Out));
    EXPECT_EQ(Out, ConvertCharset(Czech, UTF_8, ISO_8859_2));
}

TEST_F(AgreedPath, RefusedSequences) {
    // Each holds one thing the path must leave to the library, after agreed text.
    const char* const Refused[] = {"EF BB BF", "EF BF BE", "F0 9F 98 80", "C3", "80", "E2 82", "C0 AF",
                                   "E0 80 80", "ED A0 80", "F4 90 80 80", "FE", "FF", "E2 82 AC"};
    TAgreedBytes Everything;
    for (unsigned B = 0; B < 256; ++B) Everything.Bytes.Include(static_cast<uint8_t>(B));
    Everything.AllAscii = true;
    for (const char* Bytes : Refused) {
        std::string Out = "kept";
        EXPECT_FALSE(AppendAgreedBytes("abc " + Hex(Bytes) + " def", ReverseTableOf(ISO_8859_2), Everything, Out))
            << Bytes;
        EXPECT_EQ(Out, "kept") << Bytes;
    }
}

TEST_F(AgreedPath, AsciiIsCheckedLikeTheRest) {
    TAgreedBytes AllButBackslash;
    for (unsigned B = 0; B < 256; ++B)
        if (B != '\\') AllButBackslash.Bytes.Include(static_cast<uint8_t>(B));
    std::string Out;
    EXPECT_TRUE(AppendAgreedBytes("C:/dir/file.txt", ReverseTableOf(ISO_8859_1), AllButBackslash, Out));
    EXPECT_FALSE(AppendAgreedBytes("a long run of ASCII before C:\\dir", ReverseTableOf(ISO_8859_1),
                                   AllButBackslash, Out));
    EXPECT_EQ(Out, "C:/dir/file.txt");
}

// Texts over 512 KB go to the library in pieces of about 256 KB, each piece on
// its own: a piece the library must take does not send its neighbours along.
TEST_F(AgreedPath, CharactersOnBothSidesOfAPieceCut) {
    constexpr size_t Cut = 256 * 1024;
    const std::string Filler = "Dobr\xC3\xBD den, \xC5\xBEluTou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88. ";
    std::string Base;
    while (Base.size() < 3 * Cut) Base += Filler;
    const char* const Trouble[] = {"E2 82 AC", "F0 9F 98 80", "EF BB BF", "C3", "80 80", "ED A0 80", "E2 82"};
    for (const char* Bytes : Trouble)
        for (ptrdiff_t Offset : {-4, -3, -2, -1, 0, 1, 2, 3}) {
            std::string Text = Base;
            Text.insert(static_cast<size_t>(static_cast<ptrdiff_t>(Cut) + Offset), Hex(Bytes));
            Text.insert(2 * Cut + 7, Hex(Bytes));
            for (TCharsetId Target : {ISO_8859_2, WINDOWS_1250, CP852, KOI8_R})
                ExpectSameBytes(Text, Target, true, std::string(Bytes) + " at " + std::to_string(Offset));
        }
}

TEST_F(AgreedPath, HeadersAndBestCharsetGetTheLibrarysAnswer) {
    const std::string Subject = "P\xC5\x99ipom\xC3\xADnky \xE2\x80\x93 \xE2\x82\xAC 12";
    const TCharsetSet Candidates{ISO_8859_1, ISO_8859_2, WINDOWS_1250, UTF_8};
    UseAgreedCharacters(false);
    const TCharsetId ByLibrary = BestCharset(Subject, UTF_8, Candidates);
    UseAgreedCharacters(true);
    EXPECT_EQ(BestCharset(Subject, UTF_8, Candidates), ByLibrary);
}

}  // namespace
}  // namespace lumaro
