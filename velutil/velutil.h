// Small text operations shared by the header parser, the body codings, the
// encoded-word code, the charset converters and the daemon.
//
// Texts are byte strings of any bytes, NUL included. Positions are 1-based, and a
// search that finds nothing gives 0. Trimming removes every byte 0x00 to 0x20;
// upper-casing changes only 'a' to 'z', lower-casing only 'A' to 'Z'.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro {

// A set of byte values: byte b is a member when bit b mod 8 of byte b div 8 is set.
struct TByteSet {
    std::array<uint8_t, 32> Bits{};

    constexpr bool Contains(uint8_t B) const { return (Bits[B >> 3] >> (B & 7)) & 1; }
    constexpr TByteSet& Include(uint8_t B) {
        Bits[B >> 3] = static_cast<uint8_t>(Bits[B >> 3] | (1u << (B & 7)));
        return *this;
    }
    constexpr TByteSet& IncludeRange(uint8_t First, uint8_t Last) {
        for (unsigned B = First; B <= Last; ++B) Include(static_cast<uint8_t>(B));
        return *this;
    }
    constexpr TByteSet operator+(const TByteSet& Other) const {
        TByteSet R = *this;
        for (size_t i = 0; i < R.Bits.size(); ++i)
            R.Bits[i] = static_cast<uint8_t>(R.Bits[i] | Other.Bits[i]);
        return R;
    }
};

// --- text primitives ---------------------------------------------------------
// Position of Sub's first occurrence in Value (1-based), 0 when absent or either is empty.
size_t Pos(std::string_view Sub, std::string_view Value);
// Like Pos, but the search starts at position From (1-based; below 1 counts as 1).
size_t PosFrom(std::string_view Sub, std::string_view Value, size_t From);
std::string Trim(std::string_view Value);
// Trim without a copy: the trimmed stretch of Value itself.
std::string_view TrimView(std::string_view Value);
std::string TrimRight(std::string_view Value);
// ASCII letters change case; every other byte stays as it is, whatever the locale.
constexpr char UpperByte(char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 32) : C; }
constexpr char LowerByte(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; }
std::string UpperCase(std::string_view Value);
std::string LowerCase(std::string_view Value);
bool StartsWith(std::string_view Value, std::string_view Prefix);
// Equal without regard to ASCII case.
bool SameText(std::string_view A, std::string_view B);

// --- cutting and searching ---------------------------------------------------
std::string TextBefore(std::string_view Value, std::string_view Delimiter);
std::string TextAfter(std::string_view Value, std::string_view Delimiter);
std::string HeaderParameter(std::string_view Value, std::string_view Name);
// The parameters of a structured header value as they were written, without its
// first item (the media type or the disposition type): cut at ";" outside quoted
// strings, each trimmed, empty ones left out. Unlike HeaderParameter, a backslash
// inside a quoted string escapes the byte after it, as mail programs write a quote
// inside a file name, so that such a parameter is kept whole.
std::vector<std::string> WrittenParameterItems(std::string_view Value);
std::string AddressOf(std::string_view Value);
std::string DisplayNameOf(std::string_view Value);
std::string IntToBin(int32_t Value, uint8_t Digits);
int32_t BinToInt(std::string_view Value);
std::string ReplaceAll(std::string_view Value, std::string_view Search, std::string_view Replacement);
// Start (1-based) of the last occurrence of Sub that ends at or before From; 0 if none.
size_t BackwardPos(std::string_view Sub, std::string_view Value, ptrdiff_t From);
// What flags the CR and LF bytes of 64 bytes at P: bit I for byte I.
using TBreakFlags64 = uint64_t (*)(const char* P);
// The one choice of that kernel: SSE2 compares where the processor has them, word
// arithmetic elsewhere. Asked once for each text.
TBreakFlags64 LineBreakKernel();
// The CR and LF bytes of the 64-byte window Window (0-based) of Text as bits: bit I
// for byte 64 * Window + I. The window must begin inside Text; a last, short
// window has no flags past the end.
uint64_t LineBreakFlags(std::string_view Text, size_t Window, TBreakFlags64 Kernel = LineBreakKernel());

// Finds the line breaks of one text in order, a window of 64 bytes at a time.
class TLineBreakScanner {
public:
    explicit TLineBreakScanner(std::string_view Text) : Text(Text), Kernel(LineBreakKernel()) {}
    // The 0-based index of the first CR or LF at or after From; Text.size() if none.
    size_t Next(size_t From) {
        while (From < Text.size()) {
            const size_t Window = From / 64;
            if (Window != Loaded) {
                Flags = LineBreakFlags(Text, Window, Kernel);
                Loaded = Window;
            }
            const uint64_t Ahead = Flags & (~uint64_t{0} << (From % 64));
            if (Ahead != 0) return Window * 64 + static_cast<size_t>(std::countr_zero(Ahead));
            From = (Window + 1) * 64;
        }
        return Text.size();
    }

private:
    std::string_view Text;
    TBreakFlags64 Kernel;
    size_t Loaded = SIZE_MAX;
    uint64_t Flags = 0;
};

// --- address lists -------------------------------------------------------------
// The pieces a mail reader cuts an address list into: blanks, atoms, quoted strings,
// comments (which nest), domain literals and single special bytes. A backslash
// escapes the byte after it inside the delimited pieces; outside them it is a
// special of its own, which readers do not agree on.
enum class TAddressPieceKind : uint8_t { Blank, Atom, QuotedString, Comment, DomainLiteral, Special };
struct TAddressPiece {
    TAddressPieceKind Kind = TAddressPieceKind::Blank;
    size_t Begin = 0;
    size_t End = 0;  // 0-based, behind the piece; quotes, parentheses and brackets included
    // Read differently by different readers: a quoted string, comment or literal the
    // text ends inside, or a comment or literal that holds a quote or a comma.
    bool Doubtful = false;
};
// The piece that begins at the 0-based At, which must lie inside Value.
TAddressPiece AddressPieceAt(std::string_view Value, size_t At);

enum class TAddressEntryKind : uint8_t { Mailbox, GroupStart, GroupEnd, Empty, Unclear };
// One entry of an address list. A mailbox has a display name (possibly empty) and an
// address in angle brackets, or an address alone; a group's start has its name.
// Stretches are 0-based [Begin, End) of the list's text, a name or address from its
// first word to its last, the address without its angle brackets. An unclear entry is
// one that readers may cut in different ways.
struct TAddressEntry {
    TAddressEntryKind Kind = TAddressEntryKind::Empty;
    size_t Begin = 0, End = 0;  // the entry with the blanks and comments around it, its comma excluded
    size_t NameBegin = 0, NameEnd = 0;
    size_t AddressBegin = 0, AddressEnd = 0;
    bool Angle = false;
};

// Reads a From, To or CC value entry by entry, as written: nothing is decoded, so
// what it finds is what a mail reader finds before any encoded word is decoded.
class TAddressListReader {
public:
    explicit TAddressListReader(std::string_view Value) : Value(Value) {}
    // The next entry; false at the end of the list.
    bool Next(TAddressEntry& Entry);
    // Whether an unclear entry was among those read.
    bool MetUnclear() const { return Unclear; }

private:
    void ReadEntry(TAddressEntry& Entry);
    bool ReadPhrase(size_t& Begin, size_t& End);
    bool ReadDomain(size_t& End);
    bool ReadAngleAddress(TAddressEntry& Entry);
    bool FinishEntry(TAddressEntry& Entry);
    void SkipUnclear(TAddressEntry& Entry);
    void SkipBlanksAndComments();
    bool AtSpecial(char C) const;
    bool AtWord() const;
    TAddressPiece Take();

    std::string_view Value;
    size_t At = 0;
    bool InGroup = false;
    bool Doubtful = false;
    bool Unclear = false;
};

// Whether no entry of the list is unclear.
bool AddressListIsClear(std::string_view Value);
// The mailboxes of a list, unclear entries counted as one each.
size_t MailboxCount(std::string_view Value);

// Cuts the next item off the front of Value (changed in place) at Delimiter outside Quote.
std::string FetchQuoted(std::string& Value, std::string_view Delimiter, std::string_view Quote);
std::string Unquote(std::string_view Value, char Quote);

// --- byte stream -------------------------------------------------------------
// An in-memory byte stream with a current position (0-based).
class TByteStream {
public:
    size_t Size() const { return Data.size(); }
    size_t Position() const { return Pos_; }
    void SetPosition(size_t P) { Pos_ = P < Data.size() ? P : Data.size(); }
    void Clear() { Data.clear(); Pos_ = 0; }
    // Reads up to Count bytes into Buffer; returns the count read.
    size_t Read(char* Buffer, size_t Count);
    void Write(const char* Buffer, size_t Count);
    // The whole content, whatever the position.
    const std::string& Bytes() const { return Data; }
    // Takes Content as the whole stream (moved, no copy); the position becomes 0.
    void Assign(std::string&& Content) { Data = std::move(Content); Pos_ = 0; }

private:
    std::string Data;
    size_t Pos_ = 0;
};

std::string ReadStreamText(TByteStream& Stream, size_t Count);
void WriteStreamText(TByteStream& Stream, std::string_view Value);

}  // namespace lumaro
