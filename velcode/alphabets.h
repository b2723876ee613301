// Private to the unit: the digit alphabets as compile-time texts, and 256-entry
// lookups that turn a byte into its digit value in one step.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace lumaro::alphabets {

inline constexpr std::string_view Base64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
inline constexpr std::string_view Base64Mod =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,=";
// The backquote stands for 0 so that no line carries a blank that mailers might strip.
inline constexpr std::string_view UU =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
inline constexpr std::string_view XX =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The digit that stands for "no digit here": the padding character, or a position
// past the end of the input.
inline constexpr unsigned NoDigit = 64;
// Marks a byte that the reverse-table decoder skips.
inline constexpr uint8_t Skip = 0xFF;

using TDigitLookup = std::array<uint8_t, 256>;

// For the alphabet decoder every byte has a digit: the index of its first
// occurrence, 0 when it does not occur. Only "is it 64" and the value modulo 64
// matter to the decoder, so larger indexes are kept modulo 64 and 64 itself stays.
constexpr TDigitLookup AlphabetLookup(std::string_view Alphabet) {
    TDigitLookup L{};
    std::array<bool, 256> Seen{};
    for (size_t I = 0; I < Alphabet.size(); ++I) {
        const uint8_t B = static_cast<uint8_t>(Alphabet[I]);
        if (Seen[B]) continue;
        Seen[B] = true;
        L[B] = static_cast<uint8_t>(I == NoDigit ? NoDigit : I % 64);
    }
    return L;
}

// For the reverse-table decoder: Table holds one digit per byte from 0x21 on; bytes
// outside 0x21 to 0x7F, entries of 64 or more and entries the table is too short to
// hold are no digits.
constexpr TDigitLookup ReverseTableLookup(std::string_view Table) {
    TDigitLookup L{};
    for (uint8_t& V : L) V = Skip;
    for (unsigned B = 0x21; B <= 0x7F; ++B) {
        const size_t I = B - 0x21;
        const unsigned V = I < Table.size() ? static_cast<uint8_t>(Table[I]) : NoDigit;
        if (V < NoDigit) L[B] = static_cast<uint8_t>(V);
    }
    return L;
}

// The reverse table of the standard alphabet: one entry per byte 0x21 to 0x80.
constexpr std::array<char, 96> MakeBase64ReverseTable() {
    std::array<char, 96> T{};
    for (char& V : T) V = static_cast<char>(NoDigit);
    for (size_t D = 0; D < 64; ++D) T[static_cast<uint8_t>(Base64[D]) - 0x21] = static_cast<char>(D);
    return T;
}

inline constexpr std::array<char, 96> Base64ReverseBytes = MakeBase64ReverseTable();

}  // namespace lumaro::alphabets
