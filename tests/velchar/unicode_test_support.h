// Helpers shared by the conversion tests: byte strings written as hex, a choice
// of the iconv library per test, and random texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "velicnv/velicnv.h"

namespace lumaro::testing {

// "00 E9 20AC" style: pairs of hex digits, blanks ignored.
inline std::string Hex(const char* Digits) {
    std::string Out;
    int High = -1;
    for (const char* P = Digits; *P; ++P) {
        const char C = *P;
        int V;
        if (C >= '0' && C <= '9') V = C - '0';
        else if (C >= 'A' && C <= 'F') V = C - 'A' + 10;
        else if (C >= 'a' && C <= 'f') V = C - 'a' + 10;
        else continue;
        if (High < 0) {
            High = V;
        } else {
            Out += static_cast<char>(High * 16 + V);
            High = -1;
        }
    }
    return Out;
}

// The bytes of a text as hex pairs, for failure messages.
inline std::string HexOf(std::string_view Text) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string Out;
    for (unsigned char C : Text) {
        if (!Out.empty()) Out += ' ';
        Out += Digits[C >> 4];
        Out += Digits[C & 15];
    }
    return Out;
}

// Runs a test with our own code only, whatever LUMARO_ICONV says.
class OwnCodeOnly : public ::testing::Test {
protected:
    void SetUp() override { SetIconvChoice(std::string("none")); }
    void TearDown() override { SetIconvChoice(std::nullopt); }
};

// Runs a test with the iconv library that the environment offers; skipped without one.
class LibraryPresent : public ::testing::Test {
protected:
    void SetUp() override {
        SetIconvChoice(std::nullopt);
        if (!LoadIconvLibrary()) GTEST_SKIP() << "no iconv library here";
    }
};

// Random bytes biased towards what the decoders treat specially.
inline std::string RandomUtf8ish(std::mt19937& Random, size_t Length) {
    static const uint8_t Specials[] = {0x80, 0xBF, 0xC3, 0xE2, 0xEF, 0xBB, 0xBE, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF, 'a', '+', '-'};
    std::string Out;
    for (size_t K = 0; K < Length; ++K) {
        const uint32_t R = Random();
        Out += static_cast<char>(R % 3 == 0 ? Specials[(R >> 8) % sizeof Specials] : (R >> 8) & 0xFF);
    }
    return Out;
}

// 2-byte big-endian units of the BMP, ASCII-heavy so that runs start and stop.
inline std::string RandomBmpUnits(std::mt19937& Random, size_t Count) {
    std::string Out;
    for (size_t K = 0; K < Count; ++K) {
        const uint32_t R = Random();
        const uint32_t V = R % 2 == 0 ? (R >> 8) % 0x80 : (R >> 8) & 0xFFFF;
        Out += static_cast<char>(V >> 8);
        Out += static_cast<char>(V & 0xFF);
    }
    return Out;
}

}  // namespace lumaro::testing
