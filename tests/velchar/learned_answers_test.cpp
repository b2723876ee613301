// With a library loaded, UTF-8 into a charset of our own tables writes what the
// library answered for each character alone. Whatever path a text takes, the bytes
// must be the library's: the cases with a library convert the same text with the
// learned answers allowed and forbidden; the others give the table a made-up library.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "unicode_test_support.h"
#include "velchar/unicode_units.h"
#include "velchar/velchar.h"

namespace lumaro {
namespace {

using testing::Hex;
using enum TCharsetId;

constexpr size_t TableCharsets = 25;

class LearnedAnswers : public testing::LibraryPresent {
protected:
    void TearDown() override { UseLearnedAnswers(true); }

    static std::string Convert(std::string_view Text, TCharsetId Target, bool Transliterate, bool Learned) {
        UseLearnedAnswers(Learned);
        return TranscodeText(Text, UTF_8, Target, Transliterate);
    }
    // The text converted with the answers allowed equals the text converted by the library alone.
    static void ExpectSameBytes(std::string_view Text, TCharsetId Target, bool Transliterate, const std::string& What) {
        const std::string ByLibrary = Convert(Text, Target, Transliterate, false);
        EXPECT_EQ(Convert(Text, Target, Transliterate, true), ByLibrary)
            << What << " into " << CharsetName(Target) << (Transliterate ? " (translit)" : " (ignore)");
    }
};

// Every BMP character of a block but those refused (a text holding one goes to the
// library whole: nothing to prove) with neighbours of every kind on both sides:
// itself, ASCII, a letter most tables hold, typographic characters few hold, an emoji.
std::string BlockInContext(uint32_t First, const TLearnedAnswers* Answers) {
    static const std::string Neighbours[] = {"a", Utf8OfCharacter(0xE9), Utf8OfCharacter(0x201E),
                                             Utf8OfCharacter(0x2026), Utf8OfCharacter(0x1F600), "\r\n"};
    std::string Text;
    for (uint32_t C = First; C < First + 256; ++C) {
        if (C >= 0xD800 && C <= 0xDFFF) continue;
        if (Answers != nullptr && Answers->Find(C)->State.load() == TLearnedAnswers::Refused) continue;
        const std::string Character = Utf8OfCharacter(C);
        const std::string& Neighbour = Neighbours[C % std::size(Neighbours)];
        Text.append(Character).append(Neighbour).append(Character).append(Character).append(Neighbour);
    }
    return Text;
}

bool RefusesAnyOf(uint32_t First, const TLearnedAnswers& Answers) {
    for (uint32_t C = First; C < First + 256; ++C)
        if ((C < 0xD800 || C > 0xDFFF) && Answers.Find(C)->State.load() == TLearnedAnswers::Refused) return true;
    return false;
}

// The proof that what the library makes of a character does not depend on its
// neighbours, for every target and mode with this library and locale.
TEST_F(LearnedAnswers, EveryBmpCharacterAmongOthers) {
    std::string Every;
    std::vector<std::string> Blocks;
    for (uint32_t First = 0; First < 0x10000; First += 256) {
        Blocks.push_back(BlockInContext(First, nullptr));
        for (uint32_t C = First; C < First + 256; ++C)
            if (C < 0xD800 || C > 0xDFFF) Every += Utf8OfCharacter(C);
    }
    for (size_t N = 0; N < TableCharsets; ++N)
        for (bool Transliterate : {true, false}) {
            const TCharsetId Target = CharsetOfOrdinal(N);
            TLearnedAnswers& Answers = *LearnedAnswersOf(Target, Transliterate);
            Answers.LearnCharactersOf(Every);
            for (uint32_t First = 0; First < 0x10000; First += 256) {
                const std::string Text =
                    RefusesAnyOf(First, Answers) ? BlockInContext(First, &Answers) : Blocks[First / 256];
                std::string Out;
                ASSERT_TRUE(AppendLearnedAnswers(Text, Answers, Out)) << std::hex << First;
                EXPECT_EQ(Out, Convert(Text, Target, Transliterate, false))
                    << "U+" << std::hex << First << "... into " << CharsetName(Target) << " " << Transliterate;
            }
        }
}

std::vector<std::string> Ingredients() {
    return {"a", "Z", " ", "\r\n", std::string(1, '\0'), Hex("C3 A9"), Hex("C5 99"), Hex("C4 8D"), Hex("D0 96"),
            Hex("CE A9"), Hex("E2 82 AC"), Hex("E2 80 9E"), Hex("E2 80 9C"), Hex("E2 80 93"), Hex("E2 80 A6"),
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
        // Mostly ASCII and letters, so that some texts take the answers a long way.
        const size_t Pick = Random() % (Parts.size() + Plain);
        Out += Pick < Parts.size() ? Parts[Pick] : std::string(Pick % 2 ? "Dobr\xC3\xBD den " : "text ");
    }
    return Out;
}

TEST_F(LearnedAnswers, MixedTextsForEveryTarget) {
    std::mt19937 Random(12);
    for (size_t N = 0; N < TableCharsets; ++N)
        for (bool Transliterate : {true, false})
            for (int Round = 0; Round < 40; ++Round)
                ExpectSameBytes(RandomMix(Random, 1 + Random() % 60, Round % 4 * 20), CharsetOfOrdinal(N),
                                Transliterate, "mix " + std::to_string(Round));
}

TEST_F(LearnedAnswers, CzechTypographyIsAnswered) {
    const std::string Czech = "\xE2\x80\x9EP\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD\xE2\x80\x9C "
                              "\xE2\x80\x93 120 \xE2\x82\xAC\xE2\x80\xA6 \xF0\x9F\x98\x80";
    for (bool Transliterate : {true, false}) {
        TLearnedAnswers& Answers = *LearnedAnswersOf(ISO_8859_2, Transliterate);
        EXPECT_TRUE(Answers.AsciiAsItStands());
        std::string Out;
        EXPECT_TRUE(AppendLearnedAnswers(Czech, Answers, Out));
        EXPECT_EQ(Out, Convert(Czech, ISO_8859_2, Transliterate, false));
        // Learned once: the same text again asks the library nothing.
        const size_t Asked = Answers.AskedCount();
        EXPECT_EQ(Convert(Czech + Czech, ISO_8859_2, Transliterate, true), Out + Out);
        EXPECT_EQ(Answers.AskedCount(), Asked);
    }
}

// Texts over 512 KB go to the library in pieces of about 256 KB, each piece on
// its own: a piece the library must take does not send its neighbours along.
TEST_F(LearnedAnswers, CharactersOnBothSidesOfAPieceCut) {
    constexpr size_t Cut = 256 * 1024;
    const std::string Filler = "Dobr\xC3\xBD den, \xE2\x80\x9E\xC5\xBEluTou\xC4\x8Dk\xC3\xBD\xE2\x80\x9C k\xC5\xAF\xC5\x88. ";
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

TEST_F(LearnedAnswers, HeadersAndBestCharsetGetTheLibrarysAnswer) {
    const std::string Subject = "P\xC5\x99ipom\xC3\xADnky \xE2\x80\x93 \xE2\x82\xAC 12";
    const TCharsetSet Candidates{ISO_8859_1, ISO_8859_2, WINDOWS_1250, UTF_8};
    UseLearnedAnswers(false);
    const TCharsetId ByLibrary = BestCharset(Subject, UTF_8, Candidates);
    UseLearnedAnswers(true);
    EXPECT_EQ(BestCharset(Subject, UTF_8, Candidates), ByLibrary);
}

// --- the table with a made-up library ---------------------------------------------------

// Answers every character with its answer by Rule and counts the questions.
struct TMadeUpLibrary {
    std::function<std::optional<std::string>(uint32_t)> Rule;
    std::shared_ptr<std::atomic<size_t>> Asked = std::make_shared<std::atomic<size_t>>(0);
    TLearnedAnswers::TAsker Asker() const {
        return [Rule = Rule, Asked = Asked](const std::vector<uint32_t>& Characters, TLearnedAnswers::TAsked& Answers) {
            for (uint32_t C : Characters)
                if (const std::optional<std::string> Answer = Rule(C)) Answers.Add(*Answer);
                else Answers.Refuse();
            *Asked += Characters.size();
        };
    }
};

TEST(LearnedAnswerTable, RefusedSequencesAndCharacters) {
    // A library that answers "x" for every character but "?" and refuses "?" alone.
    TMadeUpLibrary Library{[](uint32_t C) -> std::optional<std::string> {
        if (C == '?') return std::nullopt;
        return std::string(C < 0x80 ? 1 : 1, C < 0x80 ? static_cast<char>(C) : 'x');
    }};
    TLearnedAnswers Answers(Library.Asker());
    EXPECT_FALSE(Answers.AsciiAsItStands());
    const char* const Refused[] = {"EF BB BF", "EF BF BE", "C3", "80", "E2 82", "C0 AF", "E0 80 80",
                                   "ED A0 80", "F4 90 80 80", "FE", "FF", "3F"};
    for (const char* Bytes : Refused) {
        std::string Out = "kept";
        EXPECT_FALSE(AppendLearnedAnswers("abc \xE2\x82\xAC" + Hex(Bytes) + " def", Answers, Out)) << Bytes;
        EXPECT_EQ(Out, "kept") << Bytes;
    }
    std::string Out;
    EXPECT_TRUE(AppendLearnedAnswers("a\xE2\x82\xAC\xF0\x9F\x98\x80z", Answers, Out));
    EXPECT_EQ(Out, "axxz");
}

TEST(LearnedAnswerTable, AnswersLongerThanTheirCharacters) {
    // Seven bytes for every two-byte character; an eighth is more than an answer holds.
    TMadeUpLibrary Library{[](uint32_t C) -> std::optional<std::string> {
        if (C < 0x80) return std::string(1, static_cast<char>(C));
        return std::string(C == 0x100 ? 8 : 7, static_cast<char>('a' + C % 26));
    }};
    TLearnedAnswers Answers(Library.Asker());
    EXPECT_TRUE(Answers.AsciiAsItStands());
    std::string Text, Expected;
    for (uint32_t C = 0x80; C < 0x800; ++C) {
        if (C == 0x100) continue;
        Text += Utf8OfCharacter(C) + "ascii text ";
        Expected += std::string(7, static_cast<char>('a' + C % 26)) + "ascii text ";
    }
    std::string Out = "head ";
    EXPECT_TRUE(AppendLearnedAnswers(Text, Answers, Out));
    EXPECT_EQ(Out, "head " + Expected);
    EXPECT_FALSE(AppendLearnedAnswers(Text + Utf8OfCharacter(0x100), Answers, Out));
}

TEST(LearnedAnswerTable, EachCharacterIsAskedOnceAcrossThreads) {
    TMadeUpLibrary Library{[](uint32_t C) -> std::optional<std::string> {
        return std::string(1, static_cast<char>(C < 0x80 ? C : 'a' + C % 26));
    }};
    TLearnedAnswers Answers(Library.Asker());
    std::string Text;
    for (uint32_t C = 0x80; C < 0x3000; C += 7) Text += Utf8OfCharacter(C) + Utf8OfCharacter(0x1F600 + C % 64) + " ";
    std::string Expected;
    ASSERT_TRUE(AppendLearnedAnswers(Text, Answers, Expected));
    const size_t Asked = *Library.Asked;
    TLearnedAnswers Fresh(Library.Asker());
    std::vector<std::string> Outs(4);
    std::vector<std::thread> Threads;
    for (std::string& Out : Outs) Threads.emplace_back([&] { AppendLearnedAnswers(Text, Fresh, Out); });
    for (std::thread& T : Threads) T.join();
    for (const std::string& Out : Outs) EXPECT_EQ(Out, Expected);
    EXPECT_EQ(*Library.Asked, 2 * Asked);
}

}  // namespace
}  // namespace lumaro
