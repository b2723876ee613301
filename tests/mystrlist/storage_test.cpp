// Lines shared between lists: a line read from a list stays as it was while the
// list changes other lines, and lists that took lines from one another keep them
// when the other list changes or goes.
#include <gtest/gtest.h>

#include <memory>

#include "mystrlist/mystrlist.h"

namespace lumaro {
namespace {

using TLines = std::vector<std::string>;

TEST(LineStorage, ReadLinesSurviveChangesOfTheList) {
    TLineList L;
    L.SetText("first\nsecond");
    const std::string_view First = L.Get(0);
    // Enough new lines to need many new blocks.
    for (int k = 0; k < 5000; ++k) L.Add(std::string(40, static_cast<char>('a' + k % 26)));
    L.Put(0, "changed");
    L.Put(1, L.Get(1));  // a line put from the list itself
    L.Insert(0, L.Get(2));
    EXPECT_EQ(First, "first");
    EXPECT_EQ(L.Get(0), std::string(40, 'a'));
    EXPECT_EQ(L.Get(1), "changed");
    EXPECT_EQ(L.Get(2), "second");
    EXPECT_EQ(L.Count(), 5003u);
}

TEST(LineStorage, ListsThatShareLinesAreIndependent) {
    auto Source = std::make_unique<TMyStringList>();
    Source->SetText("a\r\nb  \r\nc\t\r\n");
    Source->Add("d ");
    TLineList Part;
    Part.AddRange(*Source, 1, 4);
    Part.TrimLinesRight(1);
    TLineList Copy(Part);
    TLineList Assigned;
    Assigned = Part;
    Source->Put(1, "x");
    Source.reset();  // the text the lines came from is still held by the lists that took them
    Part.Put(0, "changed");
    EXPECT_EQ(Part.Strings(), (TLines{"changed", "c", "d"}));
    EXPECT_EQ(Copy.Strings(), (TLines{"b  ", "c", "d"}));
    EXPECT_EQ(Assigned, Copy);
    EXPECT_THROW(Part.AddRange(Copy, 2, 4), std::out_of_range);
    EXPECT_THROW(Part.AddRange(Copy, 2, 1), std::out_of_range);
}

TEST(LineStorage, TakingFromItselfAndFromManyLists) {
    TLineList L{"a", "b", "c"};
    L.AddRange(L, 1, 3);
    L.Assign(L);
    EXPECT_EQ(L.Strings(), (TLines{"a", "b", "c", "b", "c"}));

    // A list gathered from many others hands its lines on as copies: what a third
    // list takes from it is the same either way.
    TLineList Gathered;
    for (int k = 0; k < 50; ++k) {
        TLineList One{std::to_string(k)};
        Gathered.AddStrings(One);
    }
    TLineList Taken;
    Taken.AddRange(Gathered, 10, 13);
    Gathered.Clear();
    EXPECT_EQ(Taken.Strings(), (TLines{"10", "11", "12"}));
}

TEST(LineStorage, AdoptedLinesKeepTheirBreakBytes) {
    TLineList L;
    L.AdoptLines(std::string("ab\r\ncd\0e", 8), {2, 4, 4, 8});
    EXPECT_EQ(L.Strings(), (TLines{"ab", "\r\n", "", std::string("cd\0e", 4)}));
    EXPECT_EQ(L.TextSize(), L.GetText().size());
    // Ends that leave the text, or go backwards, are refused whole.
    EXPECT_THROW(L.AdoptLines("abc", {2, 4}), std::out_of_range);
    EXPECT_THROW(L.AdoptLines("abc", {2, 1}), std::out_of_range);
    EXPECT_EQ(L.Count(), 4u);
    TLineList Text;
    Text.AdoptText("x\ny");
    EXPECT_EQ(Text.Strings(), (TLines{"x", "y"}));
}

TEST(LineStorage, AdoptedLinesWithTheirBreaksBetween) {
    TLineList L;
    L.AdoptLines(std::string("ab\r\ncd\r\n\r\n", 8), {2, 6, 8}, 2);
    EXPECT_EQ(L.Strings(), (TLines{"ab", "cd", ""}));
    // A line may not begin inside the break of the line before it.
    EXPECT_THROW(L.AdoptLines("ab\r\n", {2, 3}, 2), std::out_of_range);
}

// What HandJoinedText gives, with the stretches told apart from the copied lines.
struct TGathered : TLineList::TJoinedTextSink {
    std::string Text;
    std::vector<std::string> Stretches;
    void Stored(std::string_view Stretch) override {
        Text.append(Stretch);
        Stretches.emplace_back(Stretch);
    }
    void Line(std::string_view Line) override { Text.append(Line).append("\r\n"); }
};

TEST(LineStorage, JoinedTextHandedOnFromWhereItLies) {
    const std::string File = "a\r\nbb\r\n\r\nccc\nd\r\r\ne\r\n\r\nlast";
    TMyStringList Lines;
    Lines.SetText(File);
    TLineList Mixed;
    Mixed.AddRange(Lines, 0, Lines.Count());
    Mixed.Put(4, "new");
    Mixed.TrimLinesRight(0);
    Mixed.Insert(1, "inserted");
    TLineList Encoded;
    Encoded.AdoptLines(std::string("x\r\nyy\r\n", 7), {1, 5}, 2);
    for (const TLineList* L : std::initializer_list<const TLineList*>{&Lines, &Mixed, &Encoded}) {
        TGathered Gathered;
        L->HandJoinedText(Gathered);
        EXPECT_EQ(Gathered.Text, L->GetText());
    }
    TGathered FromFile;
    Lines.HandJoinedText(FromFile);
    // Only the stretches that hold their CR LF in the file are handed on as they lie.
    EXPECT_EQ(FromFile.Stretches, (TLines{"a\r\nbb\r\n\r\n", "e\r\n\r\n"}));
    TGathered FromEncoder;
    Encoded.HandJoinedText(FromEncoder);
    EXPECT_EQ(FromEncoder.Stretches, (TLines{"x\r\nyy\r\n"}));
}

}  // namespace
}  // namespace lumaro
