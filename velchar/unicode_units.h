// Inside the conversion engine: the walk over code units that turns a pre-decoded
// text into the UCS-2 big-endian intermediate, and the direct UTF-8 paths that
// give exactly what the walk over 4-byte units would give, without building them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace lumaro
