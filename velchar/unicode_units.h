// Inside the conversion engine: the walk over code units that turns a pre-decoded
// text into the UCS-2 big-endian intermediate, and the direct UTF-8 paths that
// give exactly what the walk over 4-byte units would give, without building them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "velchar/velchar.h"

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

// The same two by member, with the member's reverse table (Latin-1 for the members
// without a table of their own); for checking the one-pass path against the two.
std::string IntermediateToSingleBytes(std::string_view Intermediate, TCharsetId Target, bool Transliterate);
std::string Utf8ToSingleBytes(std::string_view Text, TCharsetId Target, bool Transliterate);

}  // namespace lumaro
