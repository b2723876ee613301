// The own UTF-8 codec. Decoding never rejects anything: a lead byte takes every
// continuation byte that follows it, however many, and a byte that cannot lead
// contributes no bits of its own. The codecs work on values; the results are those
// of assembling and splitting binary digit texts.
#include <bit>
#include <cstring>

#include "velchar/unicode_units.h"
#include "platform/platform.h"
#include "velchar/velchar.h"

namespace lumaro {
namespace {

// Payload bits of a byte of 80 or more that starts a sequence.
constexpr uint8_t LeadMask(uint8_t B) {
    if (B >= 0xC0 && B <= 0xDF) return 0x1F;
    if (B >= 0xE0 && B <= 0xEF) return 0x0F;
    if (B >= 0xF0 && B <= 0xF7) return 0x07;
    if (B >= 0xF8 && B <= 0xFB) return 0x03;
    if (B >= 0xFC && B <= 0xFD) return 0x01;
    return 0x00;  // a stray continuation byte, FE, FF
}

constexpr bool IsContinuation(uint8_t B) { return (B & 0xC0) == 0x80; }

// The value of the sequence that starts at P[I] (80 or more); I moves past it.
inline uint32_t SequenceValue(const uint8_t* P, size_t N, size_t& I) {
    uint32_t V = P[I] & LeadMask(P[I]);
    ++I;
    while (I < N && IsContinuation(P[I])) {
        V = (V << 6) | (P[I] & 0x3Fu);
        ++I;
    }
    return V;
}

// A lead byte 110xxxxx at P[I] with exactly one continuation byte after it.
inline bool IsTwoByteSequence(const uint8_t* P, size_t N, size_t I) {
    return (P[I] & 0xE0) == 0xC0 && N - I >= 2 && IsContinuation(P[I + 1]) &&
           (N - I == 2 || !IsContinuation(P[I + 2]));
}

inline bool EightAsciiBytes(const uint8_t* P) {
    uint64_t Word;
    std::memcpy(&Word, P, sizeof Word);
    return (Word & 0x8080808080808080ull) == 0;
}

inline uint32_t SwapBytes(uint32_t V) {
    return (V >> 24) | ((V >> 8) & 0xFF00u) | ((V << 8) & 0xFF0000u) | (V << 24);
}

// One step of the walk over the 4-byte units of UTF-8 text: reads the sequence at
// P[I] as a unit in the current order, and gives true with the unit when it is a
// character; a mark vanishes, a reversed mark turns the order round.
inline bool NextCharacterUnit(const uint8_t* P, size_t N, size_t& I, bool& LittleEndian, uint32_t& Unit) {
    const uint32_t V = P[I] < 0x80 ? P[I++] : SequenceValue(P, N, I);
    Unit = LittleEndian ? SwapBytes(V) : V;
    switch (RoleOfUnit(Unit)) {
    case TUnitRole::SwitchByteOrder: LittleEndian = !LittleEndian; return false;
    case TUnitRole::Vanish: return false;
    case TUnitRole::Character: return true;
    }
    return false;
}

// Writes the UTF-8 form of V. Values above FFFF never come from the engine; they get
// the long forms whose lead bytes the decoder reads back (FE with six continuation
// bytes carries a full 32 bits), so that decoding gives every value back.
inline void AppendUtf8(uint8_t*& O, uint32_t V) {
    if (V < 0x80) {
        *O++ = static_cast<uint8_t>(V);
        return;
    }
    int Continuations;
    uint8_t Lead;
    if (V < 0x800) { Continuations = 1; Lead = 0xC0; }
    else if (V < 0x10000) { Continuations = 2; Lead = 0xE0; }
    else if (V < 0x200000) { Continuations = 3; Lead = 0xF0; }
    else if (V < 0x4000000) { Continuations = 4; Lead = 0xF8; }
    else if (V < 0x80000000u) { Continuations = 5; Lead = 0xFC; }
    else { Continuations = 6; Lead = 0xFE; }
    const int LeadShift = 6 * Continuations;
    *O++ = static_cast<uint8_t>(Lead | (LeadShift < 32 ? (V >> LeadShift) : 0u));
    for (int Shift = LeadShift - 6; Shift >= 0; Shift -= 6)
        *O++ = static_cast<uint8_t>(0x80 | ((V >> Shift) & 0x3F));
}

constexpr size_t LongestUtf8Form = 7;

uint8_t* Bytes(std::string& S) { return reinterpret_cast<uint8_t*>(S.data()); }
const uint8_t* Bytes(std::string_view S) { return reinterpret_cast<const uint8_t*>(S.data()); }

}  // namespace

std::string DecodeUtf8Units(std::string_view Text) {
    std::string Out(Text.size() * 4, '\0');
    const uint8_t* P = Bytes(Text);
    const size_t N = Text.size();
    uint8_t* O = Bytes(Out);
    size_t I = 0;
    while (I < N) {
        const uint32_t V = P[I] < 0x80 ? P[I++] : SequenceValue(P, N, I);
        *O++ = static_cast<uint8_t>(V >> 24);
        *O++ = static_cast<uint8_t>(V >> 16);
        *O++ = static_cast<uint8_t>(V >> 8);
        *O++ = static_cast<uint8_t>(V);
    }
    Out.resize(static_cast<size_t>(O - Bytes(Out)));
    return Out;
}

std::string EncodeUtf8Units(std::string_view Units) {
    const size_t Count = Units.size() / 4;
    std::string Out(Count * LongestUtf8Form, '\0');
    const uint8_t* P = Bytes(Units);
    uint8_t* O = Bytes(Out);
    for (size_t K = 0; K < Count; ++K, P += 4)
        AppendUtf8(O, (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | P[3]);
    Out.resize(static_cast<size_t>(O - Bytes(Out)));
    return Out;
}

// Each value would be a 4-byte big-endian unit of the walk; read in little-endian
// order (after an FFFE) the same bytes give the value with its bytes swapped.
std::string Utf8ToIntermediate(std::string_view Text) {
    std::string Out(Text.size() * 2, '\0');
    const uint8_t* P = Bytes(Text);
    const size_t N = Text.size();
    uint8_t* O = Bytes(Out);
    bool LittleEndian = false;
    size_t I = 0;
    while (I < N) {
        if (!LittleEndian && N - I >= 8 && EightAsciiBytes(P + I)) {
            for (size_t K = 0; K < 8; ++K) {
                *O++ = 0;
                *O++ = P[I + K];
            }
            I += 8;
            continue;
        }
        uint32_t Unit;
        if (!NextCharacterUnit(P, N, I, LittleEndian, Unit)) continue;
        *O++ = static_cast<uint8_t>(Unit >> 8);
        *O++ = static_cast<uint8_t>(Unit);
    }
    Out.resize(static_cast<size_t>(O - Bytes(Out)));
    return Out;
}

// The walk of Utf8ToIntermediate with each character mapped at once. Every character
// takes at least one input byte and gives at most one output byte.
std::string Utf8ToMappedBytes(std::string_view Text, const TByteOfValue& ByteOf, bool Transliterate) {
    std::string Out;
    Out.reserve(Text.size());
    platform::AdviseLargeBuffer(Out.data(), Out.capacity());
    Out.resize(Text.size());
    const uint8_t* P = Bytes(Text);
    const size_t N = Text.size();
    uint8_t* O = Bytes(Out);
    bool LittleEndian = false;
    size_t I = 0;
    while (I < N) {
        // Read backwards, an ASCII byte is a unit whose low 16 bits are zero: only
        // the big-endian walk may copy ASCII as it stands.
        if (!LittleEndian) {
            CopyAsciiWords(P, N, I, O);
            while (I < N && P[I] < 0x80) *O++ = P[I++];
            if (I == N) break;
            // A lone two-byte sequence, the usual accented letter, is below 800:
            // never a mark, nothing to switch.
            if (IsTwoByteSequence(P, N, I)) {
                const unsigned W = ((P[I] & 0x1Fu) << 6) | (P[I + 1] & 0x3Fu);
                I += 2;
                AppendMappedByte(O, W, ByteOf, Transliterate);
                continue;
            }
        }
        uint32_t Unit;
        if (NextCharacterUnit(P, N, I, LittleEndian, Unit)) AppendMappedByte(O, Unit & 0xFFFFu, ByteOf, Transliterate);
    }
    Out.resize(static_cast<size_t>(O - Bytes(Out)));
    return Out;
}

std::string IntermediateToUtf8(std::string_view Intermediate) {
    const size_t Count = Intermediate.size() / 2;
    std::string Out(Count * 3, '\0');
    const uint8_t* P = Bytes(Intermediate);
    uint8_t* O = Bytes(Out);
    for (size_t K = 0; K < Count; ++K, P += 2) AppendUtf8(O, (uint32_t{P[0]} << 8) | P[1]);
    Out.resize(static_cast<size_t>(O - Bytes(Out)));
    return Out;
}

}  // namespace lumaro
