// The string operations and the line lists on arbitrary bytes: the fast searches
// and the parameter reader against their literal versions, and the line split
// against what a split must keep.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mystrlist/mystrlist.h"
#include "tests/velutil/reference.h"
#include "velutil/velutil.h"

#include "fuzz/fuzz_support.h"

namespace {

using namespace lumaro;

using fuzz::Require;

// The first byte sets the pattern's length, the next bytes are the pattern, and
// the rest is the text searched.
void CheckSearches(std::string_view Input) {
    if (Input.empty()) return;
    const size_t Length = static_cast<uint8_t>(Input[0]) % 40;
    const std::string_view Rest = Input.substr(1);
    const std::string_view Sub = Rest.substr(0, Length);
    const std::string_view Value = Rest.substr(Sub.size());
    Require(Pos(Sub, Value) == reference::Pos(Sub, Value), "forward search");
    for (ptrdiff_t From : {ptrdiff_t(-1), ptrdiff_t(0), static_cast<ptrdiff_t>(Value.size() / 2),
                           static_cast<ptrdiff_t>(Value.size()), static_cast<ptrdiff_t>(Value.size() + 3)})
        Require(BackwardPos(Sub, Value, From) == reference::BackwardPos(Sub, Value, From), "backward search");
    Require(HeaderParameter(Value, Sub) == reference::HeaderParameter(Value, Sub), "header parameter");
}

size_t CountOtherThanBreaks(std::string_view Text) {
    size_t N = 0;
    for (char C : Text) N += C != '\r' && C != '\n';
    return N;
}

// Splitting keeps every byte that is not part of a break, NUL included, and the
// joined text splits into the same lines again.
template <typename TList>
void CheckSplit(std::string_view Input) {
    TList Lines;
    Lines.SetText(Input);
    const std::string Joined = Lines.GetText();
    Require(CountOtherThanBreaks(Joined) == CountOtherThanBreaks(Input), "bytes kept by the split");
    TList Again;
    Again.SetText(Joined);
    Require(Again.Strings() == Lines.Strings(), "joined lines split again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string_view Input(reinterpret_cast<const char*>(Data), Size);
    CheckSearches(Input);
    CheckSplit<TLineList>(Input);
    CheckSplit<TMyStringList>(Input);
    return 0;
}
