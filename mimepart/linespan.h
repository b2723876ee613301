// A read-only window on consecutive lines of a list, as the tree operations see the
// lines of one part without copying them into the part first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mystrlist/mystrlist.h"

namespace lumaro::mimepart_detail {

inline std::string_view TrimRightView(std::string_view Value) {
    while (!Value.empty() && static_cast<unsigned char>(Value.back()) <= 0x20)
        Value.remove_suffix(1);
    return Value;
}

struct TLineSpan {
    const TLineList* List = nullptr;
    size_t Begin = 0;
    size_t Count = 0;
    // The header lines of an encapsulated message, at every level below it, are
    // read right-trimmed, so that a line of blanks ends a header there; its other
    // lines are read as they are.
    bool TrimHeader = false;

    std::string_view operator[](size_t Index) const { return List->Get(Begin + Index); }
    std::string_view HeaderLine(size_t Index) const {
        const std::string_view Line = (*this)[Index];
        return TrimHeader ? TrimRightView(Line) : Line;
    }
    // Adds the lines First up to Last of the span to Target, sharing their text.
    void AddTo(TLineList& Target, size_t First, size_t Last) const {
        Target.AddRange(*List, Begin + First, Begin + Last);
    }
    TLineSpan Slice(size_t First, size_t Last, bool Trim) const {
        return TLineSpan{List, Begin + First, Last - First, TrimHeader || Trim};
    }
};

// Whether a header line beginning with First continues the one before it.
inline bool StartsContinuation(char First) {
    return First == ' ' || First == '\t' || First == '"' || First == ':' || First == '=';
}

// Whether the logical header line at Index takes the line after it as a continuation.
bool TakesContinuation(const TLineSpan& Lines, size_t Index);

// One logical header line from Index onward; Index moves past it.
std::string UnfoldHeaderLineAt(const TLineSpan& Lines, size_t& Index);

}  // namespace lumaro::mimepart_detail
