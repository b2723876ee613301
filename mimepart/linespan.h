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

    std::string_view operator[](size_t Index) const {
        std::string_view Line = First[Index];
        return TrimRight ? TrimRightView(Line) : Line;
    }
    TLineSpan Slice(size_t Begin, size_t End, bool Trim) const {
        return TLineSpan{First + Begin, End - Begin, TrimRight || Trim};
    }
};

// One logical header line from Index onward; Index moves past it.
std::string UnfoldHeaderLineAt(const TLineSpan& Lines, size_t& Index);

}  // namespace lumaro::mimepart_detail
