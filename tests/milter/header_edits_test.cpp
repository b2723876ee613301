// The header edits a milter asks of the MTA for a block the job rewrote.
#include <gtest/gtest.h>

#include <cctype>

#include "tools/lumaro_milter/header_edits.h"

namespace lumaro::milter {
namespace {

using K = THeaderEditKind;
using TFields = std::vector<THeaderField>;
using TEdits = std::vector<THeaderEdit>;

struct TEditCase {
    const char* Name;
    TFields Old, New;
    TEdits Expected;
};

class HeaderEditsTest : public testing::TestWithParam<TEditCase> {};

TEST_P(HeaderEditsTest, SmallestSet) {
    EXPECT_EQ(HeaderEdits(GetParam().Old, GetParam().New), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, HeaderEditsTest,
    testing::Values(
        TEditCase{"same", {{"Subject", "a"}}, {{"Subject", "a"}}, {}},
        TEditCase{"refolded", {{"To", "a@x,\n b@x"}}, {{"To", "a@x,\n\tb@x"}}, {}},
        TEditCase{"blanks only", {{"To", "a@x,   b@x "}}, {{"To", "a@x, b@x"}}, {}},
        TEditCase{"case of the name", {{"Content-Type", "text/plain"}}, {{"Content-type", "text/plain"}}, {}},
        TEditCase{"moved", {{"A", "1"}, {"B", "2"}}, {{"B", "2"}, {"A", "1"}}, {}},
        TEditCase{"changed under the MTA's spelling",
                  {{"Content-Type", "text/plain; charset=utf-8"}},
                  {{"Content-type", "TEXT/PLAIN; charset=ISO-8859-2"}},
                  {{K::Change, "Content-Type", 1, "TEXT/PLAIN; charset=ISO-8859-2"}}},
        TEditCase{"value case counts", {{"Subject", "abc"}}, {{"Subject", "ABC"}}, {{K::Change, "Subject", 1, "ABC"}}},
        TEditCase{"second of a name", {{"Cc", "a"}, {"Cc", "b"}}, {{"CC", "a"}, {"CC", "c"}},
                  {{K::Change, "Cc", 2, "c"}}},
        TEditCase{"gone, highest index first", {{"X", "1"}, {"X", "2"}, {"X", "3"}}, {{"X", "1"}},
                  {{K::Delete, "X", 3, ""}, {K::Delete, "X", 2, ""}}},
        TEditCase{"changed and gone of one name", {{"X", "1"}, {"X", "2"}}, {{"X", "9"}},
                  {{K::Delete, "X", 2, ""}, {K::Change, "X", 1, "9"}}},
        TEditCase{"new ones in the new block's order", {{"A", "1"}}, {{"Z", "z"}, {"A", "1"}, {"B", "b"}},
                  {{K::Add, "Z", 0, "z"}, {K::Add, "B", 0, "b"}}},
        TEditCase{"surplus of a name added", {{"X", "1"}}, {{"X", "1"}, {"x", "2"}}, {{K::Add, "x", 0, "2"}}},
        TEditCase{"empty blocks", {}, {}, {}}),
    [](const testing::TestParamInfo<TEditCase>& Info) {
        std::string Name = Info.param.Name;
        for (char& C : Name)
            if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
        return Name;
    });

TEST(ParseHeaderBlock, FieldsWithFoldsRejoinedForTheMta) {
    const auto Fields = ParseHeaderBlock("X-LUMARO: tag\r\nSubject:  =?a?= \r\n =?b?=\r\n\t\r\nTo :x\r\n\r\nbody\r\n");
    ASSERT_TRUE(Fields);
    EXPECT_EQ(*Fields, (TFields{{"X-LUMARO", "tag"}, {"Subject", "=?a?= \n\t=?b?="}, {"To", "x"}}));
}

TEST(ParseHeaderBlock, BrokenBlocks) {
    EXPECT_FALSE(ParseHeaderBlock(" continuation first\r\n\r\n"));
    EXPECT_FALSE(ParseHeaderBlock("Subject: a\r\nno colon here\r\n\r\n"));
    EXPECT_EQ(ParseHeaderBlock("\r\nSubject: a\r\n"), TFields{});
    EXPECT_EQ(ParseHeaderBlock("A: 1"), (TFields{{"A", "1"}}));
}

TEST(HeaderNames, WhatMayStandBeforeTheColon) {
    for (const char* Good : {"X-LUMARO", "a", "!#$%~"}) EXPECT_TRUE(IsHeaderName(Good)) << Good;
    for (const std::string& Bad : std::vector<std::string>{"", "X LUMARO", "X:Y", "X\tY", std::string("X\0Y", 3),
                                                           "\xC5\xBD"})
        EXPECT_FALSE(IsHeaderName(Bad)) << Bad;
}

TEST(StaysOneField, OnlyFoldsMayBreakAValue) {
    for (const char* Good : {"", "a b", "a\n\tb", "a\n b\n\tc", "a\r\n\tb", "\n\tb"})
        EXPECT_TRUE(StaysOneField("X-Foo", Good)) << Good;
    for (const std::string& Bad : std::vector<std::string>{"a\rb", "a\nb", "a\r\nb", "a\n", "a\r", "a\r\r\n b",
                                                           "a\n\n b", std::string("a\0b", 3)})
        EXPECT_FALSE(StaysOneField("X-Foo", Bad)) << Bad;
    for (const std::string& Name : std::vector<std::string>{"X\rY", "X\nY", std::string("X\0Y", 3)})
        EXPECT_FALSE(StaysOneField(Name, "a")) << Name;
}

TEST(WithCrLfFolds, OnlyBareLineFeedsGainACarriageReturn) {
    EXPECT_EQ(WithCrLfFolds("a\n\tb\r\n c\n"), "a\r\n\tb\r\n c\r\n");
    EXPECT_EQ(WithCrLfFolds("\n"), "\r\n");
    EXPECT_EQ(WithCrLfFolds(""), "");
}

}  // namespace
}  // namespace lumaro::milter
