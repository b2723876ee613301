// The text primitives every other operation is built from.
#include "velutil/velutil.h"

namespace lumaro {
namespace {

// Every control byte and the space count as blank for trimming.
constexpr bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 0x20; }


}  // namespace

std::string_view TrimView(std::string_view Value) {
    size_t First = 0;
    size_t Last = Value.size();
    while (First < Last && IsBlank(Value[First])) ++First;
    while (Last > First && IsBlank(Value[Last - 1])) --Last;
    return Value.substr(First, Last - First);
}

std::string Trim(std::string_view Value) { return std::string(TrimView(Value)); }

std::string TrimRight(std::string_view Value) {
    size_t Last = Value.size();
    while (Last > 0 && IsBlank(Value[Last - 1])) --Last;
    return std::string(Value.substr(0, Last));
}

std::string UpperCase(std::string_view Value) {
    std::string Result(Value);
    for (char& C : Result) C = UpperByte(C);
    return Result;
}

std::string LowerCase(std::string_view Value) {
    std::string Result(Value);
    for (char& C : Result) C = LowerByte(C);
    return Result;
}

bool StartsWith(std::string_view Value, std::string_view Prefix) {
    return Value.substr(0, Prefix.size()) == Prefix;
}

bool SameText(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (UpperByte(A[i]) != UpperByte(B[i])) return false;
    return true;
}

std::string TextBefore(std::string_view Value, std::string_view Delimiter) {
    size_t P = Pos(Delimiter, Value);
    return std::string(P == 0 ? Value : Value.substr(0, P - 1));
}

std::string TextAfter(std::string_view Value, std::string_view Delimiter) {
    size_t P = Pos(Delimiter, Value);
    return std::string(P == 0 ? Value : Value.substr(P - 1 + Delimiter.size()));
}

}  // namespace lumaro
