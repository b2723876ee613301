// Searching forward and backward, and replacing.
#include <gtest/gtest.h>

#include <random>

#include "platform/sse2_choice.h"
#include "velutil/velutil.h"

namespace lumaro {
namespace {

const std::string A17B = std::string(17, 'a') + "b";  // long enough for the automaton

TEST(Pos, Table) {
    const std::tuple<std::string, std::string, size_t> Cases[] = {
        {"b", "abc", 2}, {"", "abc", 0}, {"a", "", 0}, {"abcd", "abc", 0}, {"aab", "aaab", 2},
        {std::string(1, '\0'), std::string("a\0", 2), 2},
        {A17B, std::string(40, 'a') + "b", 24},
        {A17B, std::string(17, 'a') + "c" + A17B, 19},
        {"abababababababababac", "abababababababababababac", 5},
    };
    for (const auto& [Sub, Value, Expected] : Cases) EXPECT_EQ(Pos(Sub, Value), Expected) << Sub << " in " << Value;
    EXPECT_EQ(PosFrom("a", "abca", 2), 4u);
    EXPECT_EQ(PosFrom("a", "abca", 5), 0u);
}

TEST(BackwardPos, Table) {
    const std::tuple<std::string, std::string, ptrdiff_t, size_t> Cases[] = {
        {" ", "a b c", 5, 4},  {" ", "a b c", 3, 2},  {" ", "a b c", 1, 0},  {"; ", "a; b", 2, 0},
        {"; ", "a; b", 3, 2},  {" ", "a b c", 100, 4}, {" ", "a b c", -3, 0}, {"", "abc", 0, 1},
        {"", "abc", 10, 11},   {"", "abc", -1, 0},    {"abc", "abc", 3, 1},  {"aa", "aaaa", 3, 2},
        {A17B, "x" + A17B + A17B, 37, 20},
        {A17B, "x" + A17B + A17B, 36, 2},
    };
    for (const auto& [Sub, Value, From, Expected] : Cases)
        EXPECT_EQ(BackwardPos(Sub, Value, From), Expected) << Sub << " in " << Value << " from " << From;
}

TEST(ReplaceAll, Table) {
    const std::tuple<std::string, std::string, std::string, std::string> Cases[] = {
        {"aaa", "aa", "b", "ba"}, {"", "x", "y", ""},   {"x", "x", "", ""},
        {"abc", "", "z", "abc"},  {"a.b.c", ".", "--", "a--b--c"}, {"abc", "abc", "abcabc", "abcabc"},
        {A17B + "-" + A17B + A17B, A17B, "#", "#-##"},
    };
    for (const auto& [Value, Search, Replacement, Expected] : Cases)
        EXPECT_EQ(ReplaceAll(Value, Search, Replacement), Expected) << Value;
}

// The scanner against a search byte by byte: breaks on both sides of window
// edges, in a last short window, NUL and high bytes that are no breaks.
class LineBreakScanner : public testing::WithAndWithoutSse2 {};
INSTANTIATE_TEST_SUITE_P(Sse2, LineBreakScanner, ::testing::Values(false, true), testing::Sse2CaseName);

TEST_P(LineBreakScanner, FindsWhatAByteSearchFinds) {
    std::mt19937 Random(7);
    const char Alphabet[] = {'a', '\r', '\n', '\0', '\x8D', '\x8A', ' '};
    for (size_t Length : {0, 1, 63, 64, 65, 127, 128, 129, 200, 1000}) {
        for (int Round = 0; Round < 20; ++Round) {
            std::string Text(Length, 'x');
            for (char& C : Text) C = Random() % 4 == 0 ? Alphabet[Random() % sizeof Alphabet] : 'x';
            TLineBreakScanner Scanner(Text);
            for (size_t From = 0; From <= Length; From += 1 + Random() % 3) {
                size_t Expected = From;
                while (Expected < Length && Text[Expected] != '\r' && Text[Expected] != '\n') ++Expected;
                ASSERT_EQ(Scanner.Next(From), Expected) << Length << " from " << From;
            }
        }
    }
}

}  // namespace
}  // namespace lumaro
