// UTF-8 into a single-byte charset by our own table, for well-formed text: with a
// library loaded, for text on which the library is known to write the same bytes;
// without one, for text that our general decoder would read character by character
// anyway. Unlike that decoder, this path reads only well-formed UTF-8 of BMP
// characters and no byte-order marks: anything else takes the general way.
//
// Most mail text is ASCII with a letter beyond it every few bytes. ASCII is copied
// 16 bytes at a time (8 without SSE2) up to the next byte from 80 on, and only the
// characters beyond ASCII are decoded one by one.
#include "velchar/unicode_units.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumaro {
namespace {

constexpr bool IsContinuation(uint8_t B) { return (B & 0xC0) == 0x80; }

// The character of the well-formed sequence of two or three bytes at P[I] (a byte
// of 80 or more) and its length. False for everything else: a stray continuation
// byte, an overlong form, a surrogate, a character beyond the BMP, a sequence cut
// short.
inline bool ReadBmpSequence(const uint8_t* P, size_t N, size_t I, unsigned& W, size_t& Length) {
    const uint8_t Lead = P[I];
    if (Lead >= 0xC2 && Lead <= 0xDF) {
        if (N - I < 2 || !IsContinuation(P[I + 1])) return false;
        W = ((Lead & 0x1Fu) << 6) | (P[I + 1] & 0x3Fu);
        Length = 2;
        return true;
    }
    if (Lead >= 0xE0 && Lead <= 0xEF) {
        if (N - I < 3 || !IsContinuation(P[I + 1]) || !IsContinuation(P[I + 2])) return false;
        W = ((Lead & 0x0Fu) << 12) | ((P[I + 1] & 0x3Fu) << 6) | (P[I + 2] & 0x3Fu);
        if (W < 0x800 || (W >= 0xD800 && W <= 0xDFFF)) return false;
        Length = 3;
        return true;
    }
    return false;
}

// Copies the ASCII bytes from P[I] on while a whole block remains. Each block is
// stored whole; the bytes past its ASCII ones are written over later or cut off,
// and fit because the output never gets ahead of the input (O <= P + I).
inline void CopyAsciiBlocks(const uint8_t* P, size_t N, size_t& I, uint8_t*& O) {
#if defined(__SSE2__)
    while (N - I >= 16) {
        __m128i Block;
        std::memcpy(&Block, P + I, sizeof Block);
        std::memcpy(O, &Block, sizeof Block);
        const unsigned High = static_cast<unsigned>(_mm_movemask_epi8(Block));
        if (High != 0) {
            const size_t Ascii = static_cast<size_t>(std::countr_zero(High));
            O += Ascii;
            I += Ascii;
            return;
        }
        O += 16;
        I += 16;
    }
#endif
    CopyAsciiWords(P, N, I, O);
}

// What the table path writes for a character; false when the text must take the
// general way. Agreed: the library's path, where only agreed bytes may be written.
// Own: our own code's, where a character the table lacks becomes "_" or nothing.
struct TAgreedOnly {
    const TAgreedBytes& Agreed;
    bool Write(unsigned W, unsigned Byte, uint8_t*& O) const {
        // A character the table lacks has no byte; 0 itself is only ever ASCII's.
        if ((Byte == 0 && W != 0) || !Agreed.Bytes.Contains(static_cast<uint8_t>(Byte))) return false;
        *O++ = static_cast<uint8_t>(Byte);
        return true;
    }
    bool AllAscii() const { return Agreed.AllAscii; }
};

struct TOwnTable {
    bool Transliterate;
    bool Write(unsigned W, unsigned Byte, uint8_t*& O) const {
        // Byte-order marks, read rightly or reversed, have their own rules.
        if (W == 0xFEFF || W == 0xFFFE) return false;
        if (Byte != 0 || W == 0) *O++ = static_cast<uint8_t>(Byte);
        else if (Transliterate) *O++ = '_';
        return true;
    }
    bool AllAscii() const { return true; }
};

template <typename TPolicy>
bool AppendTableBytes(std::string_view Text, const TByteOfValue& ByteOf, const TPolicy& Policy, std::string& Out) {
    const size_t Before = Out.size();
    // Every character takes at least one input byte and gives at most one output byte.
    Out.resize(Before + Text.size());
    const uint8_t* P = reinterpret_cast<const uint8_t*>(Text.data());
    const size_t N = Text.size();
    uint8_t* const Start = reinterpret_cast<uint8_t*>(Out.data()) + Before;
    uint8_t* O = Start;
    const bool CopiesAscii = Policy.AllAscii();
    size_t I = 0;
    while (I < N) {
        if (CopiesAscii) {
            CopyAsciiBlocks(P, N, I, O);
            while (I < N && P[I] < 0x80) *O++ = P[I++];
            if (I == N) break;
        }
        unsigned W = P[I];
        size_t Length = 1;
        if (W >= 0x80 && !ReadBmpSequence(P, N, I, W, Length)) break;
        if (!Policy.Write(W, W < 0x80 ? W : ByteOf[W], O)) break;
        I += Length;
    }
    if (I < N) {
        Out.resize(Before);
        return false;
    }
    Out.resize(Before + static_cast<size_t>(O - Start));
    return true;
}

}  // namespace

bool AppendAgreedBytes(std::string_view Text, const TByteOfValue& ByteOf, const TAgreedBytes& Agreed,
                       std::string& Out) {
    return AppendTableBytes(Text, ByteOf, TAgreedOnly{Agreed}, Out);
}

bool AppendOwnTableBytes(std::string_view Text, const TByteOfValue& ByteOf, bool Transliterate, std::string& Out) {
    return AppendTableBytes(Text, ByteOf, TOwnTable{Transliterate}, Out);
}

}  // namespace lumaro
