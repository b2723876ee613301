// Searching forward and backward, and replacing.
#include <gtest/gtest.h>

#include "velutil/velutil.h"

namespace lumaro {
namespace {

struct TPosCase {
    std::string Sub, Value;
    size_t Expected;
};

TEST(Pos, Table) {
    const TPosCase Cases[] = {
        {"b", "abc", 2},     {"", "abc", 0},         {"a", "", 0},
        {"abcd", "abc", 0},  {"c", "abcabc", 3},     {std::string(1, '\0'), std::string("a\0", 2), 2},
        {"aab", "aaab", 2},
        // Long patterns go through the automaton; a near miss must not hide a match.
        {std::string(20, 'a') + "b", std::string(40, 'a') + "b", 21},
        {std::string(17, 'x') + "y", std::string(17, 'x') + "z" + std::string(17, 'x') + "y", 19},
        {"abababababababababac", "abababababababababababac", 5},
    };
    for (const auto& C : Cases) EXPECT_EQ(Pos(C.Sub, C.Value), C.Expected) << C.Sub << " in " << C.Value;
}

TEST(PosFrom, StartsAtTheGivenPosition) {
    EXPECT_EQ(PosFrom("a", "abca", 1), 1u);
    EXPECT_EQ(PosFrom("a", "abca", 2), 4u);
    EXPECT_EQ(PosFrom("a", "abca", 0), 1u);
    EXPECT_EQ(PosFrom("a", "abca", 5), 0u);
    EXPECT_EQ(PosFrom("a", "abca", 99), 0u);
}

struct TBackwardCase {
    std::string Sub, Value;
    ptrdiff_t From;
    size_t Expected;
};

TEST(BackwardPos, Table) {
    const TBackwardCase Cases[] = {
        {" ", "a b c", 5, 4},   {" ", "a b c", 3, 2},    {" ", "a b c", 1, 0},
        {"; ", "a; b", 2, 0},   {"; ", "a; b", 3, 2},    {" ", "a b c", 100, 4},
        {" ", "a b c", 0, 0},   {" ", "a b c", -3, 0},   {"", "abc", 0, 1},
        {"", "abc", 2, 3},      {"", "abc", 10, 11},     {"", "abc", -1, 0},
        {"x", "abc", 3, 0},     {"abc", "abc", 3, 1},    {"abc", "abc", 2, 0},
        {"aa", "aaaa", 4, 3},   {"aa", "aaaa", 3, 2},
        {std::string(20, 'q'), std::string(25, 'q'), 22, 3},
        {std::string(20, 'q'), std::string(25, 'q'), 19, 0},
        {std::string(17, 'a') + "b", "x" + std::string(17, 'a') + "b" + std::string(17, 'a') + "b", 37, 20},
        {std::string(17, 'a') + "b", "x" + std::string(17, 'a') + "b" + std::string(17, 'a') + "b", 36, 2},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(BackwardPos(C.Sub, C.Value, C.From), C.Expected)
            << C.Sub << " in " << C.Value << " from " << C.From;
}

TEST(ReplaceAll, Table) {
    const std::string Long(18, 'r');
    const std::tuple<std::string, std::string, std::string, std::string> Cases[] = {
        {"aaa", "aa", "b", "ba"},
        {"", "x", "y", ""},
        {"x", "x", "", ""},
        {"abc", "", "z", "abc"},
        {"a.b.c", ".", "--", "a--b--c"},
        {"abc", "abc", "abcabc", "abcabc"},
        {"xyz", "q", "r", "xyz"},
        {Long + "-" + Long + Long, Long, "#", "#-##"},
        {"a\r\nb\r\n", "\r\n", "\n", "a\nb\n"},
    };
    for (const auto& [Value, Search, Replacement, Expected] : Cases)
        EXPECT_EQ(ReplaceAll(Value, Search, Replacement), Expected) << Value;
}

}  // namespace
}  // namespace lumaro
