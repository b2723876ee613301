// Cutting texts into lines by both rules, and joining them again.
#include <gtest/gtest.h>

#include "mystrlist/mystrlist.h"

namespace lumaro {
namespace {

using TLines = std::vector<std::string>;

struct TSplitCase {
    std::string Text;
    TLines MessageRule, PlainRule;
};

const std::string NUL(1, '\0');

const TSplitCase SplitCases[] = {
    // The breaks between 'a' and 'b'.
    {"a\r\nb", {"a", "b"}, {"a", "b"}},
    {"a\nb", {"a", "b"}, {"a", "b"}},
    {"a\rb", {"a", "b"}, {"a", "b"}},
    {"a\r\r\nb", {"a", "b"}, {"a", "", "b"}},
    {"a\r\rb", {"a", "b"}, {"a", "", "b"}},
    {"a\n\nb", {"a", "", "b"}, {"a", "", "b"}},
    {"a\n\rb", {"a", "", "b"}, {"a", "", "b"}},
    {"a\r\n\r\nb", {"a", "", "b"}, {"a", "", "b"}},
    {"a\r\r\r\nb", {"a", "", "b"}, {"a", "", "", "b"}},
    // A lone CR well before the next LF ends its own line, and the reverse.
    {"abc\rdef\nghi", {"abc", "def", "ghi"}, {"abc", "def", "ghi"}},
    {"ab\ncd\re", {"ab", "cd", "e"}, {"ab", "cd", "e"}},
    {std::string(40, 'x') + "\r" + std::string(40, 'y') + "\n" + std::string(40, 'z'),
     {std::string(40, 'x'), std::string(40, 'y'), std::string(40, 'z')},
     {std::string(40, 'x'), std::string(40, 'y'), std::string(40, 'z')}},
    // Ends of the text.
    {"", {}, {}},
    {"a\r\n", {"a"}, {"a"}},
    {"a", {"a"}, {"a"}},
    {"\r\n", {""}, {""}},
    {"a\r\r", {"a"}, {"a", ""}},
    // A NUL byte is an ordinary byte of its line.
    {"a" + NUL + "b\r\nc", {"a" + NUL + "b", "c"}, {"a" + NUL + "b", "c"}},
    {NUL, {NUL}, {NUL}},
    {"a\r\n" + NUL + "\r\nb", {"a", NUL, "b"}, {"a", NUL, "b"}},
    {"a\r" + NUL + "\nb", {"a", NUL, "b"}, {"a", NUL, "b"}},
    {"a" + NUL, {"a" + NUL}, {"a" + NUL}},
};

TEST(SetText, BothSplitRules) {
    for (const auto& C : SplitCases) {
        TMyStringList Message;
        TLineList Plain;
        Message.SetText(C.Text);
        Plain.SetText(C.Text);
        EXPECT_EQ(Message.Strings(), C.MessageRule) << ::testing::PrintToString(C.Text);
        EXPECT_EQ(Plain.Strings(), C.PlainRule) << ::testing::PrintToString(C.Text);
    }
}

TEST(GetText, EveryLineEndsWithCrLf) {
    const std::pair<TLines, std::string> Cases[] = {
        {{}, ""},
        {{""}, "\r\n"},
        {{"a", "", "b"}, "a\r\n\r\nb\r\n"},
        {{"a" + NUL + "b"}, "a" + NUL + "b\r\n"},
    };
    for (const auto& [Lines, Text] : Cases) {
        TLineList L;
        for (const auto& Line : Lines) L.Add(Line);
        EXPECT_EQ(L.GetText(), Text);
    }
}

TEST(LineList, IndexErrorsAndCopiesOfItself) {
    TLineList L;
    L.SetText("a\nb");
    L.Insert(2, "c");
    EXPECT_THROW(L.Get(3), std::out_of_range);
    EXPECT_THROW(L.Put(3, "x"), std::out_of_range);
    EXPECT_THROW(L.Insert(4, "x"), std::out_of_range);
    L.AddStrings(L);
    EXPECT_EQ(L.Strings(), (TLines{"a", "b", "c", "a", "b", "c"}));
}

}  // namespace
}  // namespace lumaro
