// Inside the conversion engine: the walk over code units that turns a pre-decoded
// text into the UCS-2 big-endian intermediate, and the direct UTF-8 paths that
// give exactly what the walk over 4-byte units would give, without building them.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "velchar/velchar.h"
#include "velutil/velutil.h"

namespace lumaro {

// What one code unit of the decoding walk stands for. FFFE is a byte-order mark
// read in the wrong order, so it turns the order round for the rest of the text;
// FEFF is a byte-order mark read rightly. Both count wherever they occur.
enum class TUnitRole { Character, SwitchByteOrder, Vanish };

constexpr TUnitRole RoleOfUnit(uint32_t Value) {
    if (Value == 0xFFFE) return TUnitRole::SwitchByteOrder;
    if (Value == 0xFEFF) return TUnitRole::Vanish;
    return TUnitRole::Character;
}

// The intermediate of a text of 2- or 4-byte units (a trailing partial unit is
// dropped); every unit keeps its low 16 bits.
std::string WalkUnits(std::string_view Units, int Width, bool LittleEndian);

// UTF-8 text to the intermediate: the same as WalkUnits(DecodeUtf8Units(Text), 4, false).
std::string Utf8ToIntermediate(std::string_view Text);

// The intermediate to UTF-8: the same as EncodeUtf8Units of its units widened to four bytes.
std::string IntermediateToUtf8(std::string_view Intermediate);

// The byte that encodes each 16-bit value in a single-byte charset, 0 for none.
using TByteOfValue = std::array<uint8_t, 0x10000>;

// Writes the byte of the 16-bit value W: values below 80 are themselves, others take
// their byte from ByteOf; a value without one becomes "_" when transliterating and
// vanishes otherwise.
inline void AppendMappedByte(uint8_t*& O, unsigned W, const TByteOfValue& ByteOf, bool Transliterate) {
    if (W < 0x80) {
        *O++ = static_cast<uint8_t>(W);
    } else if (const uint8_t B = ByteOf[W]; B != 0) {
        *O++ = B;
    } else if (Transliterate) {
        *O++ = '_';
    }
}

// The intermediate to a single-byte charset, value by value as AppendMappedByte writes them.
// (a trailing odd byte is dropped). values below 80 are themselves, others
// take their byte from ByteOf; a value without one becomes "_" when transliterating
// and vanishes otherwise.
std::string IntermediateToMappedBytes(std::string_view Intermediate, const TByteOfValue& ByteOf,
                                      bool Transliterate);

// UTF-8 text straight to a single-byte charset in one pass: the same as
// IntermediateToMappedBytes(Utf8ToIntermediate(Text), ByteOf, Transliterate).
std::string Utf8ToMappedBytes(std::string_view Text, const TByteOfValue& ByteOf, bool Transliterate);

// Copies the ASCII bytes from P[I] on, a word at a time, while eight bytes remain.
// Each word is stored whole; the bytes past its ASCII ones are written over later or
// cut off, and fit because the output never gets ahead of the input (O <= P + I).
inline void CopyAsciiWords(const uint8_t* P, size_t N, size_t& I, uint8_t*& O) {
    while (N - I >= 8) {
        uint64_t Word;
        std::memcpy(&Word, P + I, sizeof Word);
        std::memcpy(O, &Word, sizeof Word);
        const uint64_t High = Word & 0x8080808080808080ull;
        if (High != 0) {
            const int Bits = std::endian::native == std::endian::little ? std::countr_zero(High) : std::countl_zero(High);
            const size_t Ascii = static_cast<size_t>(Bits) / 8;
            O += Ascii;
            I += Ascii;
            return;
        }
        O += 8;
        I += 8;
    }
}

// The bytes of a single-byte charset whose characters the iconv library writes
// exactly as our code table does: for such a character, converting its UTF-8 form
// through the library gives that one byte.
struct TAgreedBytes {
    TByteSet Bytes;
    // Every ASCII byte agrees, so runs of ASCII may be copied as they stand.
    bool AllAscii = false;
};

// UTF-8 text into a single-byte charset by our table, when the whole text is
// well-formed UTF-8 of BMP characters whose bytes all agree: the bytes are appended
// to Out and the result is true. At the first character that is not so (an invalid
// or astral sequence, a byte-order mark, a character the table lacks or writes
// otherwise than the library) Out is left as it was and the result is false.
bool AppendAgreedBytes(std::string_view Text, const TByteOfValue& ByteOf, const TAgreedBytes& Agreed,
                       std::string& Out);

// The reverse table of a member's code table (Latin-1's for a member without one).
const TByteOfValue& ReverseTableOf(TCharsetId Id);

// For tests: the bytes the library now loaded agrees on for a target with a table of
// its own, learned when needed; none without a library.
std::shared_ptr<const TAgreedBytes> AgreedBytesOf(TCharsetId Target, bool Transliterate);

// For tests: whether a conversion from UTF-8 may take the agreed characters' own
// path while a library is loaded (it may, unless a test says otherwise).
void UseAgreedCharacters(bool On);

// The same two by member, with the member's reverse table (Latin-1 for the members
// without a table of their own); for checking the one-pass path against the two.
std::string IntermediateToSingleBytes(std::string_view Intermediate, TCharsetId Target, bool Transliterate);
std::string Utf8ToSingleBytes(std::string_view Text, TCharsetId Target, bool Transliterate);

}  // namespace lumaro
