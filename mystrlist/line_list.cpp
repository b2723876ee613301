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

}  // namespace mystrlist_detail

using mystrlist_detail::TTextStore;

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
}

TLineList& TLineList::operator=(const TLineList& Other) {
    Assign(Other);
    return *this;
}

std::string_view TLineList::Get(size_t Index) const {
    CheckIndex(Index, Refs.size(), "Get");
    return std::string_view(Refs[Index].Data, Refs[Index].Size);
}

std::string_view TLineList::Store(std::string_view Line) {
    if (!Own) Own = std::make_shared<TTextStore>();
    return Own->Append(Line);
}

void TLineList::Put(size_t Index, std::string_view Line) {
    CheckIndex(Index, Refs.size(), "Put");
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
    const std::string_view Stored = Store(Line);
    Refs.push_back(TLineRef{Stored.data(), Stored.size()});
}

void TLineList::Insert(size_t Index, std::string_view Line) {
    CheckIndex(Index, Refs.size() + 1, "Insert");
    const std::string_view Stored = Store(Line);
    Refs.insert(Refs.begin() + static_cast<ptrdiff_t>(Index), TLineRef{Stored.data(), Stored.size()});
}

void TLineList::Clear() {
    std::vector<TLineRef>().swap(Refs);
    Own.reset();
    Borrowed.clear();
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

void TLineList::Share(const TLineList& Other) {
    const auto Keep = [this](const std::shared_ptr<const TTextStore>& Store) {
        if (Store == Own) return;
        // Lines are mostly taken from one list after another of the same message.
        const size_t Recent = std::min<size_t>(Borrowed.size(), SharedStoresMax);
        for (size_t k = Borrowed.size() - Recent; k < Borrowed.size(); ++k)
            if (Borrowed[k] == Store) return;
        Borrowed.push_back(Store);
    };
    if (Other.Own) Keep(Other.Own);
    for (const auto& Store : Other.Borrowed) Keep(Store);
}

void TLineList::AddRange(const TLineList& Other, size_t Begin, size_t End) {
    if (Begin > End || End > Other.Refs.size())
        throw std::out_of_range("Line list index out of range in AddRange");
    // Other may be this list: the storage is reserved before any line is read.
    Refs.reserve(Refs.size() + (End - Begin));
    if (&Other != this && Other.Borrowed.size() + 1 > SharedStoresMax) {
        for (size_t k = Begin; k < End; ++k) Add(std::string_view(Other.Refs[k].Data, Other.Refs[k].Size));
        return;
    }
    if (&Other != this) Share(Other);
    for (size_t k = Begin; k < End; ++k) Refs.push_back(Other.Refs[k]);
}

void TLineList::AddStrings(const TLineList& Other) { AddRange(Other, 0, Other.Count()); }

void TLineList::TrimLinesRight(size_t From) {
    for (size_t k = From; k < Refs.size(); ++k) {
        TLineRef& Line = Refs[k];
        while (Line.Size > 0 && static_cast<unsigned char>(Line.Data[Line.Size - 1]) <= 0x20) --Line.Size;
    }
}

void TLineList::SetText(std::string_view Text) { AdoptText(std::string(Text)); }

void TLineList::AdoptText(std::string&& Text) {
    auto Adopted = std::make_shared<const TTextStore>(std::move(Text));
    Clear();
    Borrowed.push_back(Adopted);
    Split(Adopted->Text(), DoubleCarriageReturnIsOneBreak());
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

void TLineList::Split(std::string_view Text, bool SkipSecondCR) {
    // A NUL byte is an ordinary byte of its line: a message that holds one keeps
    // everything after it when it is written back. Lines of text run to some dozens
    // of bytes; a guess at their number spares a pass that counts them.
    Refs.reserve(Refs.size() + Text.size() / 48 + 1);
    platform::AdviseLargeBuffer(Refs.data(), Refs.capacity() * sizeof(TLineRef));
    TLineBreakScanner Breaks(Text);
    size_t P = 0;
    while (P < Text.size()) {
        const size_t Start = P;
        P = Breaks.Next(P);
        Refs.push_back(TLineRef{Text.data() + Start, P - Start});
        if (P < Text.size() && Text[P] == CR) ++P;
        if (SkipSecondCR && P < Text.size() && Text[P] == CR) ++P;
        if (P < Text.size() && Text[P] == LF) ++P;
    }
}

size_t TLineList::TextSize() const {
    size_t Size = 0;
    for (const TLineRef& Line : Refs) Size += Line.Size + 2;
    return Size;
}

void TLineList::AppendText(std::string& Out) const {
    Out.reserve(Out.size() + TextSize());
    for (const TLineRef& Line : Refs) {
        Out.append(Line.Data, Line.Size);
        Out.append("\r\n");
    }
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

}  // namespace

void TLineList::HandJoinedText(TJoinedTextSink& Sink) const {
    std::string_view Text;  // the adopted text of the stretch being gathered
    const char* StretchBegin = nullptr;
    const char* StretchEnd = nullptr;  // past the CR LF of its last line
    const auto HandStretch = [&] {
        if (StretchBegin != StretchEnd) Sink.Stored(std::string_view(StretchBegin, static_cast<size_t>(StretchEnd - StretchBegin)));
        StretchBegin = StretchEnd = nullptr;
    };
    for (const TLineRef& Line : Refs) {
        if (StretchEnd != nullptr && Line.Data == StretchEnd && EndsInPlace(Line.Data, Line.Size, Text)) {
            StretchEnd += Line.Size + 2;
            continue;
        }
        HandStretch();
        Text = {};
        for (const auto& Store : Borrowed)
            if (Inside(Line.Data, Store->Text())) Text = Store->Text();
        if (Text.data() != nullptr && EndsInPlace(Line.Data, Line.Size, Text)) {
            StretchBegin = Line.Data;
            StretchEnd = Line.Data + Line.Size + 2;
            continue;
        }
        Sink.Line(std::string_view(Line.Data, Line.Size));
    }
    HandStretch();
}

void TLineList::LoadFromFile(const std::string& FileName) {
    // Read before touching the list, so a file that cannot be read leaves it as it was.
    std::string Content = platform::ReadWholeFile(FileName);
    // CR CR stands for one break in a file that was given one CR too many on its
    // way (CR CR LF). A file without any LF has lone CRs as its only line ends, and
    // there CR CR is an empty line - the one that ends a message's header.
    const bool HasLineFeed = std::memchr(Content.data(), LF, Content.size()) != nullptr;
    auto Adopted = std::make_shared<const TTextStore>(std::move(Content));
    Clear();
    Borrowed.push_back(Adopted);
    Split(Adopted->Text(), DoubleCarriageReturnIsOneBreak() && HasLineFeed);
}

void TLineList::SaveToFile(const std::string& FileName) const {
    platform::WriteWholeFile(FileName, GetText());
}

std::vector<std::string> TLineList::Strings() const {
    std::vector<std::string> Lines;
    Lines.reserve(Refs.size());
    for (std::string_view Line : *this) Lines.emplace_back(Line);
    return Lines;
}

bool TLineList::operator==(const TLineList& Other) const {
    return Refs.size() == Other.Refs.size() && std::equal(begin(), end(), Other.begin());
}

}  // namespace lumaro
