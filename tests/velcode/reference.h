// Slow, literal versions of the fast decoders: the oracle that the tests and the
// fuzzer compare the real ones with. Written for being checked by eye, not for speed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumaro::reference {

inline int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

// 1-based positions as in the written rule, to keep the two easy to compare.
inline std::string DecodeEscaped(std::string_view Value, char EscChar) {
    const size_t L = Value.size();
    const auto At = [&](size_t P) { return Value[P - 1]; };
    std::string R;
    size_t X = 1;
    while (X <= L) {
        const char C = At(X);
        X = X + 1;
        if (C != EscChar) {
            R += C;
            continue;
        }
        if (X >= L) break;
        const char D = At(X);
        if (D == '\n') {
            X += At(X + 1) == '\r' ? 2 : 1;
        } else if (D == '\r') {
            X += At(X + 1) == '\n' ? 2 : 1;
        } else if (HexValue(D) >= 0 && HexValue(At(X + 1)) >= 0) {
            R += static_cast<char>(16 * HexValue(D) + HexValue(At(X + 1)));
            X += 2;
        } else {
            R += EscChar;
        }
    }
    return R;
}

inline std::string DecodeByReverseTable(std::string_view Value, std::string_view Table) {
    std::string R;
    uint32_t Acc = 0;
    int N = 4;
    for (const char Ch : Value) {
        const uint8_t B = static_cast<uint8_t>(Ch);
        unsigned V = 64;
        if (B >= 0x21 && B <= 0x7F && size_t(B - 0x21) < Table.size()) V = static_cast<uint8_t>(Table[B - 0x21]);
        if (V >= 64) continue;
        Acc = Acc * 64 + V;
        if (--N == 0) {
            R += static_cast<char>(Acc >> 16 & 0xFF);
            R += static_cast<char>(Acc >> 8 & 0xFF);
            R += static_cast<char>(Acc & 0xFF);
            Acc = 0;
            N = 4;
        }
    }
    if (N == 1) {
        Acc >>= 2;
        R += static_cast<char>(Acc >> 8 & 0xFF);
        R += static_cast<char>(Acc & 0xFF);
    } else if (N == 2) {
        R += static_cast<char>(Acc >> 4 & 0xFF);
    }
    return R;
}

inline std::string DecodeByAlphabet(std::string_view Value, std::string_view Alphabet) {
    const auto Digit = [&](size_t P) -> size_t {
        if (P >= Value.size()) return 64;
        const size_t I = Alphabet.find(Value[P]);
        return I == std::string_view::npos ? 0 : I;
    };
    std::string R;
    for (size_t P = 0; P < Value.size(); P += 4) {
        const size_t D1 = Digit(P), D2 = Digit(P + 1), D3 = Digit(P + 2), D4 = Digit(P + 3);
        R += static_cast<char>((D1 % 64) * 4 + (D2 % 64) / 16 % 4);
        if (D3 != 64) R += static_cast<char>((D2 % 16) * 16 + (D3 % 64) / 4);
        if (D3 != 64 && D4 != 64) R += static_cast<char>((D3 % 4) * 64 + D4 % 64);
    }
    return R;
}

}  // namespace lumaro::reference
