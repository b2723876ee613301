// Decoding of single UU and XX encoded lines. The first byte of a line gives the
// number of data bytes it holds; the digits follow.
#include "velcode/velcode.h"

#include "velutil/velutil.h"

namespace lumaro {
namespace {

constexpr bool IsBlank(char C) { return static_cast<uint8_t>(C) <= 0x20; }

std::string_view Trimmed(std::string_view Line) {
    size_t First = 0;
    size_t Last = Line.size();
    while (First < Last && IsBlank(Line[First])) ++First;
    while (Last > First && IsBlank(Line[Last - 1])) --Last;
    return Line.substr(First, Last - First);
}

// Prefix is given in upper case; Text is compared as if upper-cased.
bool StartsWithUpper(std::string_view Text, std::string_view Prefix) {
    if (Text.size() < Prefix.size()) return false;
    for (size_t I = 0; I < Prefix.size(); ++I)
        if (UpperByte(Text[I]) != Prefix[I]) return false;
    return true;
}

// The "begin" and "end" lines frame the data, and a UU "table" line announces the
// alphabet; none of them holds data.
bool IsFramingLine(std::string_view Line, bool TableLineSkipped) {
    const std::string_view U = Trimmed(Line);
    return U.empty() || StartsWithUpper(U, "BEGIN") || StartsWithUpper(U, "END") ||
           (TableLineSkipped && StartsWithUpper(U, "TABLE"));
}

// Digits needed for N data bytes: four per full group of three, two or three for
// the rest.
constexpr size_t DigitCount(size_t N) {
    constexpr size_t ForRest[3] = {0, 2, 3};
    return N / 3 * 4 + ForRest[N % 3];
}

std::string DecodeLine(std::string_view Line, std::string_view Alphabet, bool TableLineSkipped) {
    if (IsFramingLine(Line, TableLineSkipped)) return {};
    // The length byte is read from the line as it came, not trimmed: a line that
    // starts with a blank is not a data line.
    const size_t N = Alphabet.find(Line[0]);
    if (N == std::string_view::npos) return {};
    const size_t Count = DigitCount(N);
    std::string Digits(Line.substr(1, Count));
    if (Digits.empty()) return {};
    // Mailers strip trailing blanks; the missing digits come back as spaces, which
    // the alphabet decoder reads as digit 0.
    Digits.resize(Count, ' ');
    return DecodeByAlphabet(Digits, Alphabet);
}

}  // namespace

std::string DecodeUULine(std::string_view Line) { return DecodeLine(Line, UUAlphabet, true); }
std::string DecodeXXLine(std::string_view Line) { return DecodeLine(Line, XXAlphabet, false); }

}  // namespace lumaro
