// Line lists: cutting a text into lines, joining lines with CR LF, and files.
#include "mystrlist/mystrlist.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/platform.h"

namespace lumaro {
namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';

// Every index operation checks its index against Limit (Count, or Count + 1 for
// an insertion point).
void CheckIndex(size_t Index, size_t Limit, const char* Operation) {
    if (Index >= Limit)
        throw std::out_of_range(std::string("Line list index out of range in ") + Operation);
}

// Lines run to dozens of bytes, so two library searches (each many bytes at a time)
// beat a byte loop: the first LF bounds the search for an earlier CR.
size_t NextBreak(std::string_view Text, size_t From) {
    if (From >= Text.size()) return Text.size();
    const char* Start = Text.data() + From;
    const size_t Rest = Text.size() - From;
    const void* LineFeed = std::memchr(Start, LF, Rest);
    const size_t Span = LineFeed != nullptr ? static_cast<size_t>(static_cast<const char*>(LineFeed) - Start) : Rest;
    const void* Return = std::memchr(Start, CR, Span);
    return From + (Return != nullptr ? static_cast<size_t>(static_cast<const char*>(Return) - Start) : Span);
}

}  // namespace

const std::string& TLineList::Get(size_t Index) const {
    CheckIndex(Index, Lines.size(), "Get");
    return Lines[Index];
}

void TLineList::Put(size_t Index, std::string Line) {
    CheckIndex(Index, Lines.size(), "Put");
    Lines[Index] = std::move(Line);
}

void TLineList::Insert(size_t Index, std::string Line) {
    CheckIndex(Index, Lines.size() + 1, "Insert");
    Lines.insert(Lines.begin() + static_cast<ptrdiff_t>(Index), std::move(Line));
}

void TLineList::AddStrings(const TLineList& Other) {
    // Other may be this list: copy by index after the one reservation, so no
    // line is read from storage that has moved.
    const size_t N = Other.Lines.size();
    Lines.reserve(Lines.size() + N);
    for (size_t i = 0; i < N; ++i) Lines.push_back(Other.Lines[i]);
}

void TLineList::SetText(std::string_view Text) {
    Split(Text, DoubleCarriageReturnIsOneBreak());
}

void TLineList::Split(std::string_view Text, bool SkipSecondCR) {
    // A NUL byte is an ordinary byte of its line: a message that holds one keeps
    // everything after it when it is written back.
    Lines.clear();
    Lines.reserve(static_cast<size_t>(std::count(Text.begin(), Text.end(), LF)) + 1);
    size_t P = 0;
    while (P < Text.size()) {
        const size_t Start = P;
        P = NextBreak(Text, P);
        Lines.emplace_back(Text.substr(Start, P - Start));
        if (P < Text.size() && Text[P] == CR) ++P;
        if (SkipSecondCR && P < Text.size() && Text[P] == CR) ++P;
        if (P < Text.size() && Text[P] == LF) ++P;
    }
}

std::string TLineList::GetText() const {
    size_t Size = 0;
    for (const std::string& Line : Lines) Size += Line.size() + 2;
    std::string Text;
    Text.reserve(Size);
    for (const std::string& Line : Lines) {
        Text.append(Line);
        Text.append("\r\n");
    }
    return Text;
}

void TLineList::LoadFromFile(const std::string& FileName) {
    // Read before touching the list, so a file that cannot be read leaves it as it was.
    const std::string Content = platform::ReadWholeFile(FileName);
    // CR CR stands for one break in a file that was given one CR too many on its
    // way (CR CR LF). A file without any LF has lone CRs as its only line ends, and
    // there CR CR is an empty line - the one that ends a message's header.
    const bool HasLineFeed = Content.find(LF) != std::string::npos;
    Split(Content, DoubleCarriageReturnIsOneBreak() && HasLineFeed);
}

void TLineList::SaveToFile(const std::string& FileName) const {
    platform::WriteWholeFile(FileName, GetText());
}

}  // namespace lumaro
