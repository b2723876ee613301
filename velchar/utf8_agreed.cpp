// UTF-8 into a single-byte charset by our own table, for text on which the iconv
// library is known to write the same bytes. Unlike our general decoder, this path
// reads only well-formed UTF-8: anything else is the library's to convert.
#include "velchar/unicode_units.h"

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

}  // namespace

bool AppendAgreedBytes(std::string_view Text, const TByteOfValue& ByteOf, const TAgreedBytes& Agreed,
                       std::string& Out) {
    const size_t Before = Out.size();
    // Every character takes at least one input byte and gives one output byte.
    Out.resize(Before + Text.size());
    const uint8_t* P = reinterpret_cast<const uint8_t*>(Text.data());
    const size_t N = Text.size();
    uint8_t* const Start = reinterpret_cast<uint8_t*>(Out.data()) + Before;
    uint8_t* O = Start;
    size_t I = 0;
    while (I < N) {
        if (Agreed.AllAscii) {
            CopyAsciiWords(P, N, I, O);
            if (I == N) break;
        }
        unsigned W = P[I];
        size_t Length = 1;
        if (W >= 0x80 && !ReadBmpSequence(P, N, I, W, Length)) break;
        const unsigned Byte = W < 0x80 ? W : ByteOf[W];
        // A character the table lacks has no byte; 0 itself is only ever ASCII's.
        if ((Byte == 0 && W != 0) || !Agreed.Bytes.Contains(static_cast<uint8_t>(Byte))) break;
        *O++ = static_cast<uint8_t>(Byte);
        I += Length;
    }
    if (I < N) {
        Out.resize(Before);
        return false;
    }
    Out.resize(Before + static_cast<size_t>(O - Start));
    return true;
}

}  // namespace lumaro
