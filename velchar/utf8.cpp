// The own UTF-8 codec. Decoding reads well-formed sequences only: a byte that
// does not start or continue one (a stray continuation byte, a lead byte cut short,
// an overlong form, a surrogate, a value above U+10FFFF, FE, FF) is dropped, as
// the iconv library drops it, so that malformed text can never turn into control
// bytes. The codecs work on values; the results are those of assembling and
// splitting binary digit texts.
#include <bit>
#include <cstring>

#include "velchar/unicode_units.h"
#include "platform/platform.h"
#include "velchar/velchar.h"

namespace lumaro {
namespace {

constexpr bool IsContinuation(uint8_t B) { return (B & 0xC0) == 0x80; }

// Reads the sequence that starts at P[I] (80 or more) and moves I past it. A byte
// that starts no well-formed sequence is passed over alone and gives no value; the
// continuation bytes after it are then passed over one by one in the same way.
inline bool SequenceValue(const uint8_t* P, size_t N, size_t& I, uint32_t& V) {
    const size_t Length = ReadSequence(P, N, I, V);
    I += Length != 0 ? Length : 1;
    return Length != 0;
}

// A well-formed two-byte sequence at P[I].
inline bool IsTwoByteSequence(const uint8_t* P, size_t N, size_t I) {
    return P[I] >= 0xC2 && P[I] <= 0xDF && N - I >= 2 && IsContinuation(P[I + 1]);
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
// character; a mark vanishes, a reversed mark turns the order round, and a byte
// that starts no well-formed sequence gives nothing.
inline bool NextCharacterUnit(const uint8_t* P, size_t N, size_t& I, bool& LittleEndian, uint32_t& Unit) {
    uint32_t V;
    if (P[I] < 0x80) V = P[I++];
    else if (!SequenceValue(P, N, I, V)) return false;
    Unit = LittleEndian ? SwapBytes(V) : V;
    switch (RoleOfUnit(Unit)) {
    case TUnitRole::SwitchByteOrder: LittleEndian = !LittleEndian; return false;
    case TUnitRole::Vanish: return false;
    case TUnitRole::Character: return true;
    }
    return false;
}

// Writes the UTF-8 form of V. Values above FFFF never come from the engine; they get
// the four-byte form, and above 1FFFFF the old long forms (FE with six continuation
// bytes carries a full 32 bits). Decoding gives back every value that UTF-8 may
// carry: surrogates and values above 10FFFF are malformed there, and dropped.
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

bool CountUtf8Characters(std::string_view Text, size_t& Characters) {
    const uint8_t* P = Bytes(Text);
    Characters = 0;
    for (size_t I = 0; I < Text.size(); ++Characters) {
        uint32_t Character;
        const size_t Length = P[I] < 0x80 ? 1 : ReadSequence(P, Text.size(), I, Character);
        if (Length == 0) return false;
        I += Length;
    }
    return true;
}

std::string DecodeUtf8Units(std::string_view Text) {
    std::string Out(Text.size() * 4, '\0');
    const uint8_t* P = Bytes(Text);
    const size_t N = Text.size();
    uint8_t* O = Bytes(Out);
    size_t I = 0;
    while (I < N) {
        uint32_t V;
        if (P[I] < 0x80) V = P[I++];
        else if (!SequenceValue(P, N, I, V)) continue;
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

std::string Utf8OfCharacter(uint32_t Character) {
    uint8_t Form[LongestUtf8Form];
    uint8_t* O = Form;
    AppendUtf8(O, Character);
    return std::string(reinterpret_cast<const char*>(Form), static_cast<size_t>(O - Form));
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
