// A list kept as an uncut text must read as the list of its lines cut at once:
// random texts of few distinct bytes, read in random order, in stretches taken
// from one another, and changed afterwards, against lines cut by a plain loop.
#include <gtest/gtest.h>

#include <random>

#include "mystrlist/mystrlist.h"

namespace lumaro {
namespace {

using TLines = std::vector<std::string>;

// The split rule written out plainly: a line ends at CR or LF; then one CR, a
// second CR for the message rule, and one LF belong to its break.
TLines CutPlainly(const std::string& Text, bool SkipSecondCR) {
    TLines Lines;
    size_t At = 0;
    while (At < Text.size()) {
        size_t End = At;
        while (End < Text.size() && Text[End] != '\r' && Text[End] != '\n') ++End;
        Lines.push_back(Text.substr(At, End - At));
        if (End < Text.size() && Text[End] == '\r') ++End;
        if (SkipSecondCR && End < Text.size() && Text[End] == '\r') ++End;
        if (End < Text.size() && Text[End] == '\n') ++End;
        At = End;
    }
    return Lines;
}

std::string RandomText(std::mt19937& Random) {
    static const char Bytes[] = {'\r', '\n', 'a', ' ', '\0', '-'};
    // Long texts as well, so that lines are found from marks and not only from the start.
    const size_t Size = Random() % 4 == 0 ? Random() % 40000 : Random() % 60;
    std::string Text(Size, 'a');
    for (char& C : Text) C = Bytes[Random() % sizeof Bytes];
    return Text;
}

void ExpectLines(const TLineList& List, const TLines& Expected, std::mt19937& Random, const std::string& What) {
    ASSERT_EQ(List.Count(), Expected.size()) << What;
    for (int k = 0; k < 200 && !Expected.empty(); ++k) {
        const size_t Index = Random() % Expected.size();
        ASSERT_EQ(List.Get(Index), Expected[Index]) << What << " line " << Index;
    }
    EXPECT_EQ(List.Strings(), Expected) << What;
    std::string Joined;
    for (const auto& Line : Expected) Joined += Line + "\r\n";
    EXPECT_EQ(List.GetText(), Joined) << What;
    EXPECT_EQ(List.TextSize(), Joined.size()) << What;
}

TEST(UncutLines, ReadAsTheLinesCutAtOnce) {
    std::mt19937 Random(17);
    for (int Round = 0; Round < 300; ++Round) {
        const std::string Text = RandomText(Random);
        TMyStringList Message;
        Message.SetText(Text);
        TLineList Plain;
        Plain.AdoptText(std::string(Text));
        const TLines MessageLines = CutPlainly(Text, true);
        ExpectLines(Message, MessageLines, Random, "message rule");
        ExpectLines(Plain, CutPlainly(Text, false), Random, "plain rule");

        // A stretch of a stretch, each taken by an empty list.
        const size_t Count = MessageLines.size();
        const size_t Begin = Count == 0 ? 0 : Random() % Count, End = Begin + (Random() % (Count - Begin + 1));
        TLineList Outer, Inner;
        Outer.AddRange(Message, Begin, End);
        const size_t InnerBegin = (End - Begin) / 3;
        Inner.AddRange(Outer, InnerBegin, End - Begin);
        ExpectLines(Outer, TLines(MessageLines.begin() + Begin, MessageLines.begin() + End), Random, "stretch");
        ExpectLines(Inner, TLines(MessageLines.begin() + Begin + InnerBegin, MessageLines.begin() + End), Random,
                    "stretch of a stretch");

        // Changing a line cuts the list; the lines read before stay as they were.
        if (Count == 0) continue;
        const std::string_view Before = Message.Get(Count - 1);
        Message.Put(Count / 2, "changed");
        TLines Changed = MessageLines;
        Changed[Count / 2] = "changed";
        ExpectLines(Message, Changed, Random, "changed");
        EXPECT_EQ(Before, MessageLines.back());
        ExpectLines(Outer, TLines(MessageLines.begin() + Begin, MessageLines.begin() + End), Random,
                    "stretch after its source changed");
    }
}

}  // namespace
}  // namespace lumaro
