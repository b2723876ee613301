// Base64 in the standard alphabet and in the variant of modified UTF-7. The two
// decoders differ on purpose: the reverse-table decoder skips every byte that is no
// digit, the alphabet decoder reads every position and takes a stranger as digit 0.
#include <cstring>

#include "velcode/alphabets.h"
#include "velcode/velcode.h"

namespace lumaro {
namespace {

using alphabets::NoDigit;
using alphabets::Skip;
using alphabets::TDigitLookup;

// Worst case of the encoder: four characters for every started group of three bytes.
constexpr size_t EncodedLengthMax(size_t N) { return (N + 2) / 3 * 4; }

constexpr TDigitLookup Base64Skipping =
    alphabets::ReverseTableLookup({alphabets::Base64ReverseBytes.data(), alphabets::Base64ReverseBytes.size()});
constexpr TDigitLookup Base64ModDigits = alphabets::AlphabetLookup(alphabets::Base64Mod);
constexpr TDigitLookup UUDigits = alphabets::AlphabetLookup(alphabets::UU);
constexpr TDigitLookup XXDigits = alphabets::AlphabetLookup(alphabets::XX);
constexpr TDigitLookup Base64Digits = alphabets::AlphabetLookup(alphabets::Base64);

// The lookups of the unit's own alphabets are built at compile time; any other
// alphabet gets its lookup built into Local.
const TDigitLookup& LookupOfAlphabet(std::string_view Alphabet, TDigitLookup& Local) {
    if (Alphabet == alphabets::Base64Mod) return Base64ModDigits;
    if (Alphabet == alphabets::UU) return UUDigits;
    if (Alphabet == alphabets::XX) return XXDigits;
    if (Alphabet == alphabets::Base64) return Base64Digits;
    Local = alphabets::AlphabetLookup(Alphabet);
    return Local;
}

inline const uint8_t* BytesOf(std::string_view Value) {
    return reinterpret_cast<const uint8_t*>(Value.data());
}

// The digit of every byte already moved to its place in a quantum of 24 bits, for
// each of the four places; a byte that is no digit sets the top bit. One lookup and
// one OR per character then build a quantum.
struct TPlacedDigits {
    uint32_t Place[4][256];
    constexpr explicit TPlacedDigits(const TDigitLookup& Digit) : Place() {
        for (unsigned B = 0; B < 256; ++B)
            for (unsigned K = 0; K < 4; ++K)
                Place[K][B] = Digit[B] < NoDigit ? uint32_t{Digit[B]} << (18 - 6 * K) : 0x80000000u;
    }
};
constexpr TPlacedDigits Base64Placed(Base64Skipping);

// Writes the three bytes of a full quantum of four digits (24 bits).
inline void PutQuantum(char* Out, uint32_t Acc) {
    Out[0] = static_cast<char>(Acc >> 16);
    Out[1] = static_cast<char>(Acc >> 8);
    Out[2] = static_cast<char>(Acc);
}

// A quantum cut short at the end still yields the whole bytes its digits hold:
// three digits (18 bits) two bytes, two digits (12 bits) one byte, one digit none.
inline size_t PutCutQuantum(char* Out, uint32_t Acc, unsigned Missing) {
    if (Missing == 1) {
        Out[0] = static_cast<char>(Acc >> 10);
        Out[1] = static_cast<char>(Acc >> 2);
        return 2;
    }
    if (Missing == 2) {
        Out[0] = static_cast<char>(Acc >> 4);
        return 1;
    }
    return 0;
}

// Whole quanta of four valid digits are the common case; any byte that is no digit
// (a line break, padding) sends the decoder through the byte-wise path until a new
// quantum starts. Acc and Missing carry a quantum from one piece of a text to the
// next; the output is appended to R.
void DecodeSkippingInto(std::string_view Value, const TDigitLookup& Digit, uint32_t& Acc, unsigned& Missing,
                        std::string& R) {
    const TPlacedDigits* Placed = &Digit == &Base64Skipping ? &Base64Placed : nullptr;
    const size_t N = Value.size();
    const uint8_t* In = BytesOf(Value);
    const size_t Start = R.size();
    R.resize(Start + N / 4 * 3 + 3);  // four digits give three bytes
    char* Out = R.data();
    size_t O = Start;
    size_t I = 0;
    while (I < N) {
        if (Missing == 4) {
            if (Placed != nullptr) {
                for (; I + 4 <= N; I += 4) {
                    const uint32_t Q = Placed->Place[0][In[I]] | Placed->Place[1][In[I + 1]] |
                                       Placed->Place[2][In[I + 2]] | Placed->Place[3][In[I + 3]];
                    if (Q & 0x80000000u) break;
                    PutQuantum(Out + O, Q);
                    O += 3;
                }
            } else {
                for (; I + 4 <= N; I += 4) {
                    const uint32_t A = Digit[In[I]], B = Digit[In[I + 1]], C = Digit[In[I + 2]],
                                   D = Digit[In[I + 3]];
                    if ((A | B | C | D) >= NoDigit) break;
                    PutQuantum(Out + O, A << 18 | B << 12 | C << 6 | D);
                    O += 3;
                }
            }
            if (I >= N) break;
        }
        const uint32_t V = Digit[In[I++]];
        if (V == Skip) continue;
        Acc = Acc << 6 | V;
        if (--Missing == 0) {
            PutQuantum(Out + O, Acc);
            O += 3;
            Acc = 0;
            Missing = 4;
        }
    }
    R.resize(O);
}

void FinishSkipping(uint32_t& Acc, unsigned& Missing, std::string& R) {
    char Tail[3];
    R.append(Tail, PutCutQuantum(Tail, Acc, Missing));
    Acc = 0;
    Missing = 4;
}

std::string DecodeSkipping(std::string_view Value, const TDigitLookup& Digit) {
    std::string R;
    uint32_t Acc = 0;
    unsigned Missing = 4;
    DecodeSkippingInto(Value, Digit, Acc, Missing, R);
    FinishSkipping(Acc, Missing, R);
    return R;
}

// The bytes of one group of four digits; a digit of 64 (padding, or past the end)
// ends the group's data.
inline size_t PutGroup(char* Out, unsigned D1, unsigned D2, unsigned D3, unsigned D4) {
    Out[0] = static_cast<char>((D1 % 64) * 4 + (D2 % 64) / 16 % 4);
    if (D3 == NoDigit) return 1;
    Out[1] = static_cast<char>((D2 % 16) * 16 + (D3 % 64) / 4);
    if (D4 == NoDigit) return 2;
    Out[2] = static_cast<char>((D3 % 4) * 64 + D4 % 64);
    return 3;
}

std::string DecodeEveryPosition(std::string_view Value, const TDigitLookup& Digit) {
    const size_t N = Value.size();
    const uint8_t* In = BytesOf(Value);
    std::string R(N, '\0');  // a group of k positions gives at most k bytes
    char* Out = R.data();
    size_t O = 0;
    size_t I = 0;
    for (; I + 4 <= N; I += 4)
        O += PutGroup(Out + O, Digit[In[I]], Digit[In[I + 1]], Digit[In[I + 2]], Digit[In[I + 3]]);
    if (I < N) {
        const auto At = [&](size_t K) { return K < N ? unsigned{Digit[In[K]]} : NoDigit; };
        O += PutGroup(Out + O, At(I), At(I + 1), At(I + 2), At(I + 3));
    }
    R.resize(O);
    return R;
}

// The two characters of every 12 bits in the standard alphabet: a group of three
// bytes becomes two lookups.
struct TDigitPairs {
    char Pair[4096][2];
    constexpr TDigitPairs() : Pair() {
        for (unsigned V = 0; V < 4096; ++V) {
            Pair[V][0] = alphabets::Base64[V >> 6];
            Pair[V][1] = alphabets::Base64[V & 63];
        }
    }
};
constexpr TDigitPairs Base64Pairs;

void PutFullBase64Groups(char* Out, const uint8_t* In, size_t N) {
    for (size_t I = 0; I < N; I += 3, Out += 4) {
        const uint32_t Acc = uint32_t{In[I]} << 16 | uint32_t{In[I + 1]} << 8 | In[I + 2];
        std::memcpy(Out, Base64Pairs.Pair[Acc >> 12], 2);
        std::memcpy(Out + 2, Base64Pairs.Pair[Acc & 4095], 2);
    }
}

void PutFullGroups(char* Out, const uint8_t* In, size_t N, const char* Alphabet) {
    for (size_t I = 0; I < N; I += 3, Out += 4) {
        const uint32_t Acc = uint32_t{In[I]} << 16 | uint32_t{In[I + 1]} << 8 | In[I + 2];
        Out[0] = Alphabet[Acc >> 18];
        Out[1] = Alphabet[Acc >> 12 & 63];
        Out[2] = Alphabet[Acc >> 6 & 63];
        Out[3] = Alphabet[Acc & 63];
    }
}

// The characters of one group of Have (1 to 3) bytes; missing bytes make the last
// digits 64, and a digit the alphabet has no character for is left out.
size_t PutGroupDigits(char* Out, const uint8_t* In, size_t Have, std::string_view Alphabet) {
    const unsigned B1 = In[0];
    const unsigned B2 = Have > 1 ? In[1] : 0;
    const unsigned B3 = Have > 2 ? In[2] : 0;
    const unsigned Digits[4] = {B1 / 4, (B1 % 4) * 16 + B2 / 16, Have > 1 ? (B2 % 16) * 4 + B3 / 64 : NoDigit,
                                Have > 2 ? B3 % 64 : NoDigit};
    size_t O = 0;
    for (const unsigned D : Digits)
        if (D < Alphabet.size()) Out[O++] = Alphabet[D];
    return O;
}

}  // namespace

std::string DecodeByReverseTable(std::string_view Value, std::string_view Table) {
    if (Table == Base64ReverseTable) return DecodeSkipping(Value, Base64Skipping);
    return DecodeSkipping(Value, alphabets::ReverseTableLookup(Table));
}

std::string DecodeByAlphabet(std::string_view Value, std::string_view Alphabet) {
    TDigitLookup Local;
    return DecodeEveryPosition(Value, LookupOfAlphabet(Alphabet, Local));
}

std::string EncodeByAlphabet(std::string_view Value, std::string_view Alphabet) {
    const size_t N = Value.size();
    const uint8_t* In = BytesOf(Value);
    std::string R(EncodedLengthMax(N), '\0');
    char* Out = R.data();
    size_t O = 0;
    size_t I = 0;
    if (Alphabet.size() >= 64) {  // every digit of a full group has its character
        const size_t Full = N - N % 3;
        if (Alphabet.substr(0, 64) == alphabets::Base64.substr(0, 64)) PutFullBase64Groups(Out, In, Full);
        else PutFullGroups(Out, In, Full, Alphabet.data());
        I = Full;
        O = Full / 3 * 4;
    }
    for (; I < N; I += 3) O += PutGroupDigits(Out + O, In + I, N - I < 3 ? N - I : 3, Alphabet);
    R.resize(O);
    return R;
}

std::string DecodeBase64(std::string_view Value) { return DecodeSkipping(Value, Base64Skipping); }

void TBase64Decoder::Append(std::string_view Piece, std::string& Out) {
    DecodeSkippingInto(Piece, Base64Skipping, Acc, Missing, Out);
}

void TBase64Decoder::Finish(std::string& Out) { FinishSkipping(Acc, Missing, Out); }
std::string EncodeBase64(std::string_view Value) { return EncodeByAlphabet(Value, Base64Alphabet); }
std::string DecodeBase64Mod(std::string_view Value) { return DecodeByAlphabet(Value, Base64ModAlphabet); }
std::string EncodeBase64Mod(std::string_view Value) { return EncodeByAlphabet(Value, Base64ModAlphabet); }

}  // namespace lumaro
