// Inside the conversion engine: the walk over code units that turns a pre-decoded
// text into the UCS-2 big-endian intermediate, and the direct UTF-8 paths that
// give exactly what the walk over 4-byte units would give, without building them.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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

// The UTF-8 form of one character: EncodeUtf8Units of it as a unit.
std::string Utf8OfCharacter(uint32_t Character);

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

// What the iconv library writes for each character into one single-byte target in
// one mode (transliterating or ignoring), learned by converting that character
// alone, the first time a text holds it. Such a target keeps no state from one
// character to the next, so a text of characters with answers converts to their
// answers side by side. Every answer is written once, before it is published,
// and read without a lock: one table serves any number of threads.
class TLearnedAnswers {
public:
    static constexpr size_t LongestAnswer = 7;
    // The state of an answer: unknown, refused (a text holding the character goes
    // to the library whole) or 1 + the length of the bytes learned.
    static constexpr uint8_t Unknown = 0;
    static constexpr uint8_t Refused = 0xFF;
    struct TAnswer {
        std::atomic<uint8_t> State{Unknown};
        uint8_t Bytes[LongestAnswer]{};
    };
    // What the library wrote for each of some characters alone: the answers one
    // after another in Bytes, and the length of each in Lengths, NoAnswer where the
    // library could not convert the character by itself.
    static constexpr int NoAnswer = -1;
    struct TAsked {
        std::string Bytes;
        std::vector<int> Lengths;
        void Add(std::string_view Answer) {
            Bytes.append(Answer);
            Lengths.push_back(static_cast<int>(Answer.size()));
        }
        void Refuse() { Lengths.push_back(NoAnswer); }
    };
    // Asks the library for each of the characters alone.
    using TAsker = std::function<void(const std::vector<uint32_t>& Characters, TAsked& Answers)>;

    // Learns the ASCII characters at once: where all of them answer themselves, a
    // run of ASCII is copied as it stands.
    explicit TLearnedAnswers(TAsker Ask);
    ~TLearnedAnswers();
    TLearnedAnswers(const TLearnedAnswers&) = delete;
    TLearnedAnswers& operator=(const TLearnedAnswers&) = delete;

    bool AsciiAsItStands() const { return AllAscii; }
    // The one byte a BMP character was answered with, 0 for any other answer (or
    // none yet): the common answer, in one load.
    uint8_t SingleByteOf(uint32_t Character) const { return SingleBytes[Character].load(std::memory_order_relaxed); }
    // The answer of a character up to 10FFFF; null while none of its block is learned.
    const TAnswer* Find(uint32_t Character) const {
        const TBlock* Block = Blocks[Character >> BlockBits].load(std::memory_order_acquire);
        return Block != nullptr ? &(*Block)[Character & (BlockSize - 1)] : nullptr;
    }
    // Learns every character of Text that has no answer yet. Bytes that start no
    // well-formed sequence are passed over.
    void LearnCharactersOf(std::string_view Text);
    // How many characters were asked of the library so far.
    size_t AskedCount() const;

private:
    static constexpr unsigned BlockBits = 8;
    static constexpr size_t BlockSize = size_t{1} << BlockBits;
    using TBlock = std::array<TAnswer, BlockSize>;

    TAnswer& SlotLocked(uint32_t Character);
    void LearnLocked(const std::vector<uint32_t>& Characters);

    TAsker Ask;
    bool AllAscii = false;
    // The blocks of 256 characters, made when a character of theirs is first learned.
    std::array<std::atomic<TBlock*>, (0x10FFFF >> BlockBits) + 1> Blocks{};
    std::array<std::atomic<uint8_t>, 0x10000> SingleBytes{};
    mutable std::mutex Lock;  // one learner at a time; readers never take it
    std::vector<std::unique_ptr<TBlock>> Owned;
    size_t Asked = 0;
};

// UTF-8 text into a single-byte charset by learned answers, learning those it
// lacks: when the text is well-formed UTF-8 of characters that all have answers,
// the answers are appended to Out and the result is true. At a byte that starts no
// well-formed sequence, or a character that was refused, Out is left as it was and
// the result is false.
bool AppendLearnedAnswers(std::string_view Text, TLearnedAnswers& Answers, std::string& Out);

// The well-formed UTF-8 sequence at P[I] (a byte of 80 or more): its length and its
// character, or 0 when none starts there (a stray continuation byte, an overlong
// form, a surrogate, a value above 10FFFF, a sequence cut short).
inline size_t ReadSequence(const uint8_t* P, size_t N, size_t I, uint32_t& Character) {
    struct TLeadRule {
        uint8_t Length, Low, High;
    };
    // The length a lead byte asks for, and the range of the second byte that rules
    // out overlong forms, surrogates and values above 10FFFF.
    const uint8_t B = P[I];
    TLeadRule Rule{0, 0, 0};
    if (B >= 0xC2 && B <= 0xDF) Rule = {2, 0x80, 0xBF};
    else if (B == 0xE0) Rule = {3, 0xA0, 0xBF};
    else if (B == 0xED) Rule = {3, 0x80, 0x9F};
    else if (B >= 0xE1 && B <= 0xEF) Rule = {3, 0x80, 0xBF};
    else if (B == 0xF0) Rule = {4, 0x90, 0xBF};
    else if (B >= 0xF1 && B <= 0xF3) Rule = {4, 0x80, 0xBF};
    else if (B == 0xF4) Rule = {4, 0x80, 0x8F};
    if (Rule.Length == 0 || N - I < Rule.Length) return 0;
    if (P[I + 1] < Rule.Low || P[I + 1] > Rule.High) return 0;
    uint32_t C = B & (0x7Fu >> Rule.Length);
    for (size_t K = 1; K < Rule.Length; ++K) {
        if ((P[I + K] & 0xC0) != 0x80) return 0;
        C = (C << 6) | (P[I + K] & 0x3Fu);
    }
    Character = C;
    return Rule.Length;
}

// The reverse table of a member's code table (Latin-1's for a member without one).
const TByteOfValue& ReverseTableOf(TCharsetId Id);

// The answers learned of the library now loaded for a target with a table of its
// own, in the locale now in force; null without a library or for another target.
std::shared_ptr<TLearnedAnswers> LearnedAnswersOf(TCharsetId Target, bool Transliterate);

// For tests: whether a conversion from UTF-8 may write learned answers while a
// library is loaded (it may, unless a test says otherwise).
void UseLearnedAnswers(bool On);

// The same two by member, with the member's reverse table (Latin-1 for the members
// without a table of their own); for checking the one-pass path against the two.
std::string IntermediateToSingleBytes(std::string_view Intermediate, TCharsetId Target, bool Transliterate);
std::string Utf8ToSingleBytes(std::string_view Text, TCharsetId Target, bool Transliterate);

}  // namespace lumaro
