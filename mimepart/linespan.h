// A read-only window on consecutive lines of a list, as the tree operations see the
// lines of one part without copying them into the part first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumaro::mimepart_detail {

inline std::string_view TrimRightView(std::string_view Value) {
    while (!Value.empty() && static_cast<unsigned char>(Value.back()) <= 0x20)
        Value.remove_suffix(1);
    return Value;
}

struct TLineSpan {
    const std::string* First = nullptr;
    size_t Count = 0;
    // The lines of an encapsulated message are read right-trimmed, at every level below it.
    bool TrimRight = false;
    // Whether the lines may be moved out: the split that took them over from the
    // part's own list gives each line to exactly one place.
    bool Movable = false;

    std::string_view operator[](size_t Index) const {
        std::string_view Line = First[Index];
        return TrimRight ? TrimRightView(Line) : Line;
    }
    // The line at Index as a string of its own, moved out when the span allows it.
    std::string Take(size_t Index) const {
        if (!Movable) return std::string((*this)[Index]);
        // The span is read-only for every other reader; only a movable span was made
        // from lines that are not const.
        std::string Line = std::move(const_cast<std::string&>(First[Index]));
        if (TrimRight) Line.resize(TrimRightView(Line).size());
        return Line;
    }
    TLineSpan Slice(size_t Begin, size_t End, bool Trim) const {
        return TLineSpan{First + Begin, End - Begin, TrimRight || Trim, Movable};
    }
};

// One logical header line from Index onward; Index moves past it.
std::string UnfoldHeaderLineAt(const TLineSpan& Lines, size_t& Index);

}  // namespace lumaro::mimepart_detail
