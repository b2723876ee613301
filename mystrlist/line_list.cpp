// Line lists: cutting a text into lines, joining lines with CR LF, and files.
#include "mystrlist/mystrlist.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/platform.h"
#include "velutil/velutil.h"

namespace lumaro {

namespace mystrlist_detail {

// Blocks of bytes that only grow: a line once written never moves, so every window
// on it stays valid for as long as the store lives. A store either takes a whole
// text over, or receives lines one at a time into blocks of doubling size.
class TTextStore {
public:
    TTextStore() = default;
    explicit TTextStore(std::string&& Text) : Adopted(std::move(Text)) {}
    TTextStore(const TTextStore&) = delete;
    TTextStore& operator=(const TTextStore&) = delete;

    std::string_view Text() const { return Adopted; }

    std::string_view Append(std::string_view Line) {
        if (Line.empty()) return std::string_view("", 0);
        if (Blocks.empty() || Capacity - Used < Line.size()) NewBlock(Line.size());
        char* At = Blocks.back().get() + Used;
        std::memcpy(At, Line.data(), Line.size());
        Used += Line.size();
        return std::string_view(At, Line.size());
    }

private:
    // Small lists (a part's header) stay small; long ones get few large blocks.
    static constexpr size_t FirstBlockSize = 64;
    static constexpr size_t LargestBlockSize = 1 << 20;

    void NewBlock(size_t Need) {
        const size_t Size = std::max(Need, NextBlockSize);
        Blocks.emplace_back(new char[Size]);
        Capacity = Size;
        Used = 0;
        NextBlockSize = std::min(NextBlockSize * 2, LargestBlockSize);
    }

    std::string Adopted;
    std::vector<std::unique_ptr<char[]>> Blocks;
    size_t Capacity = 0;
    size_t Used = 0;
    size_t NextBlockSize = FirstBlockSize;
};

// The lines of one text, cut only as they are read. The first question that needs
// them all (how many lines, a line far from the last one read) counts them in one
// pass and marks where every so many lines begin; a line is then found by walking
// from the nearest mark, or from the line after the last one read.
class TUncutText {
public:
    TUncutText(std::shared_ptr<const TTextStore> Store, std::string_view Text, bool SkipSecondCR)
        : Owner(std::move(Store)), Text(Text), SkipSecondCR(SkipSecondCR), Breaks(Text) {}
    TUncutText(const TUncutText& Other)
        : Owner(Other.Owner), Text(Other.Text), SkipSecondCR(Other.SkipSecondCR), Indexed(Other.Indexed),
          Lines(Other.Lines), Bytes(Other.Bytes), Marks(Other.Marks), Cursor(Other.Cursor), Breaks(Text) {}
    TUncutText& operator=(const TUncutText&) = delete;

    const std::shared_ptr<const TTextStore>& Store() const { return Owner; }
    bool SkipsSecondCR() const { return SkipSecondCR; }

    size_t Count() {
        Index();
        return Lines;
    }
    size_t LineBytes() {
        Index();
        return Bytes;
    }
    // The line at Index, below Count.
    std::string_view Line(size_t Index) {
        MoveTo(Index);
        const size_t End = LineEnd(Cursor.Offset);
        const std::string_view Found = Text.substr(Cursor.Offset, End - Cursor.Offset);
        Cursor = TMark{Index + 1, NextStart(End)};
        return Found;
    }
    // The stretch of Text from the start of line First to the start of line Last
    // (the end of Text for Last = Count).
    std::string_view Stretch(size_t First, size_t Last) {
        const size_t Begin = StartOf(First);
        return Text.substr(Begin, StartOf(Last) - Begin);
    }
    // Calls Visit with every line and whether CR LF follows it in Text.
    template <typename TVisit>
    void ForEach(TVisit&& Visit) const {
        TLineBreakScanner Breaks(Text);
        for (size_t At = 0; At < Text.size();) {
            const size_t End = Breaks.Next(At);
            const bool CrLf = Text.size() - End >= 2 && Text[End] == '\r' && Text[End + 1] == '\n';
            Visit(Text.substr(At, End - At), CrLf);
            At = NextStart(End);
        }
    }

private:
    struct TMark {
        size_t Line;
        size_t Offset;
    };
    // A mark at least every so many lines and bytes: finding a line walks past
    // fewer than that many lines, or a few kilobytes and one line.
    static constexpr size_t MarkLines = 256;
    static constexpr size_t MarkBytes = 4096;

    size_t LineEnd(size_t Start) { return Breaks.Next(Start); }
    size_t NextStart(size_t End) const {
        if (End < Text.size() && Text[End] == '\r') ++End;
        if (SkipSecondCR && End < Text.size() && Text[End] == '\r') ++End;
        if (End < Text.size() && Text[End] == '\n') ++End;
        return End;
    }
    void Index() {
        if (Indexed) return;
        TLineBreakScanner Breaks(Text);
        TMark Last{0, 0};
        Marks.push_back(Last);
        for (size_t At = 0; At < Text.size(); ++Lines) {
            if (Lines - Last.Line >= MarkLines || At - Last.Offset >= MarkBytes) {
                Last = TMark{Lines, At};
                Marks.push_back(Last);
            }
            const size_t End = Breaks.Next(At);
            Bytes += End - At;
            At = NextStart(End);
        }
        Marks.shrink_to_fit();
        Indexed = true;
    }
    void MoveTo(size_t Index) {
        if (Cursor.Line == Index) return;
        this->Index();
        const auto After = std::upper_bound(Marks.begin(), Marks.end(), Index,
                                            [](size_t Line, const TMark& Mark) { return Line < Mark.Line; });
        const TMark& Mark = *(After - 1);
        if (Cursor.Line > Index || Cursor.Line < Mark.Line) Cursor = Mark;
        while (Cursor.Line < Index) Cursor = TMark{Cursor.Line + 1, NextStart(LineEnd(Cursor.Offset))};
    }
    size_t StartOf(size_t Index) {
        if (Index >= Count()) return Text.size();
        MoveTo(Index);
        return Cursor.Offset;
    }

    std::shared_ptr<const TTextStore> Owner;
    std::string_view Text;
    bool SkipSecondCR;
    bool Indexed = false;
    size_t Lines = 0;
    size_t Bytes = 0;
    std::vector<TMark> Marks;
    TMark Cursor{0, 0};
    TLineBreakScanner Breaks;
};

}  // namespace mystrlist_detail

using mystrlist_detail::TTextStore;
using mystrlist_detail::TUncutText;

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';

// A list that reads from more stores than this copies the lines another list
// takes from it instead of sharing them, so that sharing never multiplies.
constexpr size_t SharedStoresMax = 4;

// Every index operation checks its index against Limit (Count, or Count + 1 for
// an insertion point).
void CheckIndex(size_t Index, size_t Limit, const char* Operation) {
    if (Index >= Limit)
        throw std::out_of_range(std::string("Line list index out of range in ") + Operation);
}

}  // namespace

TLineList::TLineList() = default;
TLineList::~TLineList() = default;
TLineList::TLineList(TLineList&& Other) noexcept = default;
TLineList& TLineList::operator=(TLineList&& Other) noexcept = default;

TLineList::TLineList(std::initializer_list<std::string_view> Lines) {
    Refs.reserve(Lines.size());
    for (std::string_view Line : Lines) Add(Line);
}

TLineList::TLineList(const TLineList& Other) : Refs(Other.Refs), Borrowed(Other.Borrowed) {
    if (Other.Own) Borrowed.push_back(Other.Own);
    if (Other.Uncut) Uncut = std::make_unique<TUncutText>(*Other.Uncut);
}

TLineList& TLineList::operator=(const TLineList& Other) {
    Assign(Other);
    return *this;
}

size_t TLineList::Count() const { return Uncut ? Uncut->Count() : Refs.size(); }

std::string_view TLineList::LineAt(size_t Index) const {
    if (Uncut) return Uncut->Line(Index);
    return std::string_view(Refs[Index].Data, Refs[Index].Size);
}

std::string_view TLineList::Get(size_t Index) const {
    CheckIndex(Index, Count(), "Get");
    return LineAt(Index);
}

std::string_view TLineList::Store(std::string_view Line) {
    if (!Own) Own = std::make_shared<TTextStore>();
    return Own->Append(Line);
}

void TLineList::Cut() {
    if (!Uncut) return;
    std::unique_ptr<TUncutText> Text = std::move(Uncut);
    Refs.reserve(Text->Count());
    Text->ForEach([this](std::string_view Line, bool) { Refs.push_back(TLineRef{Line.data(), Line.size()}); });
    Borrow(Text->Store());
}

void TLineList::Put(size_t Index, std::string_view Line) {
    CheckIndex(Index, Count(), "Put");
    Cut();
    const std::string_view Stored = Store(Line);
    Refs[Index] = TLineRef{Stored.data(), Stored.size()};
}

void TLineList::AdoptLine(size_t Index, std::string&& Line) {
    // A long line becomes a store of its own instead of being copied: a header line
    // rewritten at many megabytes is then held once.
    constexpr size_t AdoptedLineMin = 64 * 1024;
    if (Line.size() < AdoptedLineMin) return Put(Index, std::string_view(Line));
    CheckIndex(Index, Refs.size(), "AdoptLine");
    auto Adopted = std::make_shared<const TTextStore>(std::move(Line));
    Refs[Index] = TLineRef{Adopted->Text().data(), Adopted->Text().size()};
    Borrowed.push_back(std::move(Adopted));
}

void TLineList::Add(std::string_view Line) {
    Cut();
    const std::string_view Stored = Store(Line);
    Refs.push_back(TLineRef{Stored.data(), Stored.size()});
}

void TLineList::Insert(size_t Index, std::string_view Line) {
    CheckIndex(Index, Count() + 1, "Insert");
    Cut();
    const std::string_view Stored = Store(Line);
    Refs.insert(Refs.begin() + static_cast<ptrdiff_t>(Index), TLineRef{Stored.data(), Stored.size()});
}

void TLineList::Clear() {
    std::vector<TLineRef>().swap(Refs);
    Own.reset();
    Borrowed.clear();
    Uncut.reset();
}

void TLineList::Assign(const TLineList& Other) {
    if (&Other == this) return;
    TLineList Copy(Other);
    *this = std::move(Copy);
}

void TLineList::Assign(const std::vector<std::string>& Lines) {
    Clear();
    Refs.reserve(Lines.size());
    for (const std::string& Line : Lines) Add(Line);
}

void TLineList::Borrow(const std::shared_ptr<const TTextStore>& Store) {
    if (Store == Own) return;
    // Lines are mostly taken from one list after another of the same message.
    const size_t Recent = std::min<size_t>(Borrowed.size(), SharedStoresMax);
    for (size_t k = Borrowed.size() - Recent; k < Borrowed.size(); ++k)
        if (Borrowed[k] == Store) return;
    Borrowed.push_back(Store);
}

void TLineList::Share(const TLineList& Other) {
    if (Other.Own) Borrow(Other.Own);
    for (const auto& Store : Other.Borrowed) Borrow(Store);
    if (Other.Uncut) Borrow(Other.Uncut->Store());
}

void TLineList::AddRange(const TLineList& Other, size_t Begin, size_t End) {
    if (Begin > End || End > Other.Count())
        throw std::out_of_range("Line list index out of range in AddRange");
    if (Begin == End) return;
    if (Count() == 0 && Other.Uncut && &Other != this) {
        TUncutText& From = *Other.Uncut;
        Uncut = std::make_unique<TUncutText>(From.Store(), From.Stretch(Begin, End), From.SkipsSecondCR());
        return;
    }
    // Other may be this list: it is cut, and its storage reserved, before any line is
    // read. The room grows by at least half, so that many short ranges added one by
    // one cost no more than one long one.
    Cut();
    if (Refs.capacity() - Refs.size() < End - Begin)
        Refs.reserve(std::max(Refs.size() + (End - Begin), Refs.capacity() + Refs.capacity() / 2));
    if (&Other != this && Other.Borrowed.size() + 1 > SharedStoresMax) {
        for (size_t k = Begin; k < End; ++k) Add(Other.LineAt(k));
        return;
    }
    if (&Other != this) Share(Other);
    for (size_t k = Begin; k < End; ++k) {
        const std::string_view Line = Other.LineAt(k);
        Refs.push_back(TLineRef{Line.data(), Line.size()});
    }
}

void TLineList::AddStrings(const TLineList& Other) { AddRange(Other, 0, Other.Count()); }

void TLineList::TrimLinesRight(size_t From) {
    Cut();
    for (size_t k = From; k < Refs.size(); ++k) {
        TLineRef& Line = Refs[k];
        while (Line.Size > 0 && static_cast<unsigned char>(Line.Data[Line.Size - 1]) <= 0x20) --Line.Size;
    }
}

void TLineList::SetText(std::string_view Text) { AdoptText(std::string(Text)); }

void TLineList::AdoptText(std::string&& Text) { AdoptUncut(std::move(Text), DoubleCarriageReturnIsOneBreak()); }

void TLineList::AdoptUncut(std::string&& Text, bool SkipSecondCR) {
    Clear();
    if (Text.empty()) return;
    auto Adopted = std::make_shared<const TTextStore>(std::move(Text));
    Uncut = std::make_unique<TUncutText>(Adopted, Adopted->Text(), SkipSecondCR);
}

void TLineList::AdoptLines(std::string&& Text, const std::vector<size_t>& Ends, size_t Gap) {
    size_t Begin = 0;
    for (const size_t End : Ends) {
        if (End < Begin || End > Text.size()) throw std::out_of_range("AdoptLines: a line ends outside its text");
        Begin = End + Gap;
    }
    auto Adopted = std::make_shared<const TTextStore>(std::move(Text));
    const char* Stored = Adopted->Text().data();
    Clear();
    Borrowed.push_back(Adopted);
    Refs.reserve(Ends.size());
    platform::AdviseLargeBuffer(Refs.data(), Refs.capacity() * sizeof(TLineRef));
    Begin = 0;
    for (const size_t End : Ends) {
        Refs.push_back(TLineRef{Stored + Begin, End - Begin});
        Begin = End + Gap;
    }
}

size_t TLineList::TextSize() const {
    if (Uncut) return Uncut->LineBytes() + 2 * Uncut->Count();
    size_t Size = 0;
    for (const TLineRef& Line : Refs) Size += Line.Size + 2;
    return Size;
}

void TLineList::AppendText(std::string& Out) const {
    Out.reserve(Out.size() + TextSize());
    const auto Append = [&Out](std::string_view Line, bool = false) { Out.append(Line).append("\r\n"); };
    if (Uncut) Uncut->ForEach(Append);
    else
        for (const TLineRef& Line : Refs) Append(std::string_view(Line.Data, Line.Size));
}

std::string TLineList::GetText() const {
    std::string Text;
    AppendText(Text);
    return Text;
}

namespace {

bool Inside(const char* P, std::string_view Text) {
    const auto At = reinterpret_cast<uintptr_t>(P), Begin = reinterpret_cast<uintptr_t>(Text.data());
    return At >= Begin && At - Begin <= Text.size();
}

// Whether the line is followed by CR LF inside Text, which holds its start.
bool EndsInPlace(const char* Data, size_t Size, std::string_view Text) {
    const size_t End = static_cast<size_t>(Data - Text.data()) + Size;
    return Text.size() - End >= 2 && Text[End] == CR && Text[End + 1] == LF;
}

// Gathers lines that lie back to back with their CR LF into stretches of their text.
class TStretches {
public:
    explicit TStretches(TLineList::TJoinedTextSink& Sink) : Sink(Sink) {}
    // A line followed by CR LF where it lies; it joins the stretch before it when
    // it begins where that one ends.
    void InPlace(std::string_view Line) {
        if (Line.data() != End) Hand();
        if (Begin == nullptr) Begin = Line.data();
        End = Line.data() + Line.size() + 2;
    }
    void Copied(std::string_view Line) {
        Hand();
        Sink.Line(Line);
    }
    void Hand() {
        if (Begin != End) Sink.Stored(std::string_view(Begin, static_cast<size_t>(End - Begin)));
        Begin = End = nullptr;
    }

private:
    TLineList::TJoinedTextSink& Sink;
    const char* Begin = nullptr;
    const char* End = nullptr;  // past the CR LF of the stretch's last line
};

}  // namespace

void TLineList::HandJoinedText(TJoinedTextSink& Sink) const {
    TStretches Stretches(Sink);
    if (Uncut) {
        Uncut->ForEach([&Stretches](std::string_view Line, bool CrLf) {
            if (CrLf) Stretches.InPlace(Line);
            else Stretches.Copied(Line);
        });
        Stretches.Hand();
        return;
    }
    std::string_view Text;  // the adopted text the last line was found in
    for (const TLineRef& Ref : Refs) {
        const std::string_view Line(Ref.Data, Ref.Size);
        if (Text.data() == nullptr || !Inside(Ref.Data, Text)) {
            Text = {};
            for (const auto& Store : Borrowed)
                if (Inside(Ref.Data, Store->Text())) Text = Store->Text();
        }
        if (Text.data() != nullptr && EndsInPlace(Ref.Data, Ref.Size, Text)) Stretches.InPlace(Line);
        else Stretches.Copied(Line);
    }
    Stretches.Hand();
}

void TLineList::LoadFromFile(const std::string& FileName) {
    // Read before touching the list, so a file that cannot be read leaves it as it was.
    AdoptFileContent(platform::ReadWholeFile(FileName));
}

void TLineList::AdoptFileContent(std::string&& Content) {
    // CR CR stands for one break in a file that was given one CR too many on its
    // way (CR CR LF). A file without any LF has lone CRs as its only line ends, and
    // there CR CR is an empty line - the one that ends a message's header.
    const bool HasLineFeed = std::memchr(Content.data(), LF, Content.size()) != nullptr;
    AdoptUncut(std::move(Content), DoubleCarriageReturnIsOneBreak() && HasLineFeed);
}

void TLineList::SaveToFile(const std::string& FileName) const {
    platform::WriteWholeFile(FileName, GetText());
}

std::vector<std::string> TLineList::Strings() const {
    std::vector<std::string> Lines;
    Lines.reserve(Count());
    for (std::string_view Line : *this) Lines.emplace_back(Line);
    return Lines;
}

bool TLineList::operator==(const TLineList& Other) const {
    return Count() == Other.Count() && std::equal(begin(), end(), Other.begin());
}

}  // namespace lumaro
