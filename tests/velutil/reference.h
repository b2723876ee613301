// Literal, obviously correct versions of the string operations that the unit
// implements in a faster way; tests and fuzzers compare the two.
#pragma once

#include <string>
#include <string_view>

#include "velutil/velutil.h"

namespace lumaro::reference {

// Cuts the value item by item from its front with FetchQuoted.
inline std::string HeaderParameter(std::string_view Value, std::string_view Name) {
    if (Name.empty()) return "";
    std::string R(Value);
    while (!R.empty()) {
        std::string T = Trim(FetchQuoted(R, ";", "\""));
        if (!StartsWith(UpperCase(T), UpperCase(Name))) continue;
        T = Trim(T.substr(Name.size()));
        if (T.empty()) return "";
        if (T[0] != '=') continue;
        return Unquote(Trim(TextAfter(T, "=")), '"');
    }
    return "";
}

// Tries every start, from the first.
inline size_t Pos(std::string_view Sub, std::string_view Value) {
    if (Sub.empty() || Sub.size() > Value.size()) return 0;
    for (size_t i = 0; i + Sub.size() <= Value.size(); ++i)
        if (Value.substr(i, Sub.size()) == Sub) return i + 1;
    return 0;
}

// Tries the candidate starts from From - Length(Sub) + 1 down to 1.
inline size_t BackwardPos(std::string_view Sub, std::string_view Value, ptrdiff_t From) {
    const ptrdiff_t Length = static_cast<ptrdiff_t>(Sub.size());
    if (Sub.empty()) return From >= 0 ? static_cast<size_t>(From) + 1 : 0;
    for (ptrdiff_t Start = From - Length + 1; Start >= 1; --Start) {
        const size_t S = static_cast<size_t>(Start - 1);
        if (S + Sub.size() <= Value.size() && Value.substr(S, Sub.size()) == Sub)
            return static_cast<size_t>(Start);
    }
    return 0;
}

}  // namespace lumaro::reference
