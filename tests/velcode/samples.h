// Helpers of the codec tests: case-table rows, and random inputs (plain bytes, and
// texts that mostly look like the coding under test with strangers mixed in).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace lumaro::samples {

struct TCase {
    std::string Input;
    std::string Expected;
};

// Every row of a table through one operation.
template <size_t N, typename TOperation>
void ExpectRows(const TCase (&Cases)[N], TOperation Operation) {
    for (const TCase& C : Cases) EXPECT_EQ(Operation(C.Input), C.Expected) << "input: " << C.Input;
}

inline std::string RandomBytes(std::mt19937& Rng, size_t N) {
    std::uniform_int_distribution<int> Byte(0, 255);
    std::string S(N, '\0');
    for (char& C : S) C = static_cast<char>(Byte(Rng));
    return S;
}

// Bytes drawn from Likely nine times in ten, any byte otherwise.
inline std::string RandomTextOf(std::mt19937& Rng, size_t N, std::string_view Likely) {
    std::uniform_int_distribution<int> Byte(0, 255);
    std::uniform_int_distribution<size_t> Pick(0, Likely.size() - 1);
    std::uniform_int_distribution<int> Tenth(0, 9);
    std::string S(N, '\0');
    for (char& C : S) C = Tenth(Rng) == 0 ? static_cast<char>(Byte(Rng)) : Likely[Pick(Rng)];
    return S;
}

}  // namespace lumaro::samples
