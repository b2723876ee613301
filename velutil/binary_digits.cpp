// Integers as texts of base-2 digits.
#include "velutil/velutil.h"

#include <algorithm>

namespace lumaro {

std::string IntToBin(int32_t Value, uint8_t Digits) {
    // Digits come out lowest first; they are reversed once at the end. Division
    // truncates toward zero, so a negative value only ever leaves remainders of
    // 0 or -1 and is written with "0" digits alone.
    std::string Reversed;
    int32_t Rest = Value;
    do {
        Reversed.push_back(Rest % 2 > 0 ? '1' : '0');
        Rest /= 2;
    } while (Rest != 0);
    if (Reversed.size() < Digits) Reversed.append(Digits - Reversed.size(), '0');
    std::reverse(Reversed.begin(), Reversed.end());
    return Reversed;
}

int32_t BinToInt(std::string_view Value) {
    // Unsigned arithmetic: more than 31 digits wrap as 32-bit arithmetic does.
    uint32_t N = 0;
    for (char C : Value) {
        if (C != '0' && C != '1') break;
        N = 2 * N + static_cast<uint32_t>(C - '0');
    }
    return static_cast<int32_t>(N);
}

}  // namespace lumaro
