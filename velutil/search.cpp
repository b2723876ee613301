// Forward and backward substring search, and replacing.
//
// Every search here is linear in the searched text: short patterns (the usual
// delimiters of one or two bytes) use a direct scan whose cost per position is
// bounded by the pattern's length; long patterns use a prefix-function automaton,
// so a hostile pattern cannot make a search quadratic.
#include "velutil/velutil.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace lumaro {
namespace {

constexpr size_t ShortPatternLength = 16;
constexpr size_t NotFound = std::string_view::npos;

// Finds a fixed pattern repeatedly in one or more texts.
class TSearcher {
public:
    explicit TSearcher(std::string_view Pattern) : Sub(Pattern) {
        if (Sub.size() > ShortPatternLength) BuildPrefixTable();
    }

    // 0-based start of the first occurrence at or after Start, or NotFound.
    size_t Find(std::string_view Value, size_t Start) const {
        if (Sub.empty() || Start > Value.size() || Value.size() - Start < Sub.size())
            return NotFound;
        if (Prefix.empty()) return Value.find(Sub, Start);
        size_t Matched = 0;
        for (size_t i = Start; i < Value.size(); ++i) {
            while (Matched > 0 && Value[i] != Sub[Matched]) Matched = Prefix[Matched - 1];
            if (Value[i] == Sub[Matched]) ++Matched;
            if (Matched == Sub.size()) return i + 1 - Sub.size();
        }
        return NotFound;
    }

private:
    // Prefix[i]: length of the longest proper border of Sub[0..i].
    void BuildPrefixTable() {
        Prefix.assign(Sub.size(), 0);
        size_t K = 0;
        for (size_t i = 1; i < Sub.size(); ++i) {
            while (K > 0 && Sub[i] != Sub[K]) K = Prefix[K - 1];
            if (Sub[i] == Sub[K]) ++K;
            Prefix[i] = K;
        }
    }

    std::string_view Sub;
    std::vector<size_t> Prefix;
};

// 0-based start of the last occurrence of Sub lying wholly within Value.
size_t FindLast(std::string_view Sub, std::string_view Value) {
    if (Sub.size() <= ShortPatternLength) return Value.rfind(Sub);
    // The last occurrence in Value is the first one in the reversed text.
    std::string ReversedSub(Sub.rbegin(), Sub.rend());
    std::string ReversedValue(Value.rbegin(), Value.rend());
    size_t P = TSearcher(ReversedSub).Find(ReversedValue, 0);
    return P == NotFound ? NotFound : Value.size() - P - Sub.size();
}

}  // namespace

size_t Pos(std::string_view Sub, std::string_view Value) {
    return PosFrom(Sub, Value, 1);
}

size_t PosFrom(std::string_view Sub, std::string_view Value, size_t From) {
    size_t Start = From > 0 ? From - 1 : 0;
    size_t P = TSearcher(Sub).Find(Value, Start);
    return P == NotFound ? 0 : P + 1;
}

std::string ReplaceAll(std::string_view Value, std::string_view Search,
                       std::string_view Replacement) {
    if (Value.empty() || Search.empty()) return std::string(Value);
    TSearcher Searcher(Search);
    std::string Result;
    Result.reserve(Value.size());
    size_t Done = 0;
    for (size_t P = Searcher.Find(Value, 0); P != NotFound; P = Searcher.Find(Value, Done)) {
        Result.append(Value.substr(Done, P - Done));
        Result.append(Replacement);
        Done = P + Search.size();
    }
    Result.append(Value.substr(Done));
    return Result;
}

size_t BackwardPos(std::string_view Sub, std::string_view Value, ptrdiff_t From) {
    if (Sub.empty()) return From >= 0 ? static_cast<size_t>(From) + 1 : 0;
    if (From <= 0) return 0;
    // An occurrence ending at or before From lies wholly within the first From bytes.
    size_t Limit = std::min(static_cast<size_t>(From), Value.size());
    size_t P = FindLast(Sub, Value.substr(0, Limit));
    return P == NotFound ? 0 : P + 1;
}

}  // namespace lumaro
