// Reading address lists (From, To, CC) as written: the pieces a mail reader cuts
// them into, and their entries, with the stretches of display names and addresses.
#include <array>

#include "velutil/velutil.h"

namespace lumaro {
namespace {

using TKind = TAddressPieceKind;

constexpr bool IsAddressBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

// Every byte that is neither a blank nor one of the specials belongs to an atom.
constexpr std::array<bool, 256> AtomBytes = [] {
    std::array<bool, 256> Table{};
    for (unsigned B = 0; B < 256; ++B) Table[B] = !IsAddressBlank(static_cast<char>(B));
    for (const char C : std::string_view("()<>[]:;@\\,.\"")) Table[static_cast<uint8_t>(C)] = false;
    return Table;
}();

bool IsAtomByte(char C) { return AtomBytes[static_cast<uint8_t>(C)]; }

// A quoted string, comment or domain literal from its opening byte at At: a
// backslash escapes the byte after it, and comments nest. It is doubtful when the
// text ends inside it, or when a comment or literal holds a quote, which readers
// that look for quoted strings first would pair with another one, or a comma,
// which some readers count as a list separator wherever it stands.
TAddressPiece Delimited(std::string_view Value, size_t At, TKind Kind, char Close) {
    const char Open = Value[At];
    TAddressPiece Piece{Kind, At, Value.size(), true};
    bool HoldsSeparator = false;
    size_t Depth = 0;
    for (size_t I = At + 1; I < Value.size(); ++I) {
        const char C = Value[I];
        if (C == '\\') {
            ++I;
        } else if (Kind == TKind::Comment && C == Open) {
            ++Depth;
        } else if (C == Close) {
            if (Depth == 0) {
                Piece.End = I + 1;
                Piece.Doubtful = HoldsSeparator;
                return Piece;
            }
            --Depth;
        } else if (Kind != TKind::QuotedString && (C == '"' || C == ',')) {
            HoldsSeparator = true;
        }
    }
    return Piece;
}

}  // namespace

TAddressPiece AddressPieceAt(std::string_view Value, size_t At) {
    const char C = Value[At];
    if (C == '"') return Delimited(Value, At, TKind::QuotedString, '"');
    if (C == '(') return Delimited(Value, At, TKind::Comment, ')');
    if (C == '[') return Delimited(Value, At, TKind::DomainLiteral, ']');
    size_t End = At + 1;
    if (IsAddressBlank(C)) {
        while (End < Value.size() && IsAddressBlank(Value[End])) ++End;
        return {TKind::Blank, At, End};
    }
    if (!IsAtomByte(C)) return {TKind::Special, At, End};
    while (End < Value.size() && IsAtomByte(Value[End])) ++End;
    return {TKind::Atom, At, End};
}

bool TAddressListReader::AtSpecial(char C) const {
    return At < Value.size() && Value[At] == C && AddressPieceAt(Value, At).Kind == TKind::Special;
}

TAddressPiece TAddressListReader::Take() {
    const TAddressPiece Piece = AddressPieceAt(Value, At);
    Doubtful = Doubtful || Piece.Doubtful || (Piece.Kind == TKind::Special && Value[At] == '\\');
    At = Piece.End;
    return Piece;
}

void TAddressListReader::SkipBlanksAndComments() {
    while (At < Value.size()) {
        const TKind Kind = AddressPieceAt(Value, At).Kind;
        if (Kind != TKind::Blank && Kind != TKind::Comment) return;
        Take();
    }
}

bool TAddressListReader::AtWord() const {
    if (At >= Value.size()) return false;
    const TAddressPiece Piece = AddressPieceAt(Value, At);
    return Piece.Kind == TKind::Atom || Piece.Kind == TKind::QuotedString ||
           (Piece.Kind == TKind::Special && Value[At] == '.');
}

// Words and dots with blanks and comments between them: a display name, a group's
// name, or an address without angle brackets. Gives whether anything but the words
// themselves stood between the first word and the last.
bool TAddressListReader::ReadPhrase(size_t& Begin, size_t& End) {
    Begin = End = At;
    bool Words = false, Gaps = false;
    for (;;) {
        const size_t Before = At;
        SkipBlanksAndComments();
        if (!AtWord()) return Gaps;
        if (Words && At != Before) Gaps = true;
        if (!Words) Begin = At;
        Words = true;
        End = Take().End;
    }
}

// The domain behind the "@": atoms, dots and literals with nothing between them.
bool TAddressListReader::ReadDomain(size_t& End) {
    const size_t Begin = At;
    while (At < Value.size()) {
        const TAddressPiece Piece = AddressPieceAt(Value, At);
        const bool Part = Piece.Kind == TKind::Atom || Piece.Kind == TKind::DomainLiteral ||
                          (Piece.Kind == TKind::Special && Value[At] == '.');
        if (!Part) break;
        Take();
    }
    End = At;
    return At > Begin;
}

// The address between "<" and ">", the "<" already taken; false for anything a
// plain address does not hold (a route, a comment, a list separator, no ">").
bool TAddressListReader::ReadAngleAddress(TAddressEntry& Entry) {
    Entry.Angle = true;
    Entry.AddressBegin = Entry.AddressEnd = At;
    bool Words = false;
    while (At < Value.size()) {
        const TAddressPiece Piece = AddressPieceAt(Value, At);
        if (Piece.Kind == TKind::Special && Value[At] == '>') {
            if (!Words) Entry.AddressBegin = Entry.AddressEnd = At;
            Take();
            return true;
        }
        const bool Part = Piece.Kind == TKind::Atom || Piece.Kind == TKind::QuotedString ||
                          Piece.Kind == TKind::DomainLiteral ||
                          (Piece.Kind == TKind::Special && (Value[At] == '.' || Value[At] == '@'));
        if (Piece.Kind != TKind::Blank && !Part) return false;
        Take();
        if (Part) {
            if (!Words) Entry.AddressBegin = Piece.Begin;
            Entry.AddressEnd = Piece.End;
            Words = true;
        }
    }
    return false;
}

// Behind an entry only blanks and comments may stand before its separator: the end,
// a comma (taken), or the ";" that closes the group it belongs to (left for the
// next entry).
bool TAddressListReader::FinishEntry(TAddressEntry& Entry) {
    SkipBlanksAndComments();
    Entry.End = At;
    if (At == Value.size()) return true;
    if (AtSpecial(',')) {
        Take();
        return true;
    }
    return InGroup && AtSpecial(';');
}

// An entry that is none of the above: the rest up to the next comma outside quoted
// strings, comments and angle brackets is taken with it.
void TAddressListReader::SkipUnclear(TAddressEntry& Entry) {
    Entry.Kind = TAddressEntryKind::Unclear;
    while (At < Value.size() && !AtSpecial(',')) Take();
    Entry.End = At;
    if (At < Value.size()) Take();
}

bool TAddressListReader::Next(TAddressEntry& Entry) {
    if (At >= Value.size()) return false;
    Entry = TAddressEntry();
    Entry.Begin = At;
    Doubtful = false;
    ReadEntry(Entry);
    if (Doubtful && Entry.Kind != TAddressEntryKind::Unclear) SkipUnclear(Entry);
    if (Entry.Kind == TAddressEntryKind::Unclear) Unclear = true;
    return true;
}

void TAddressListReader::ReadEntry(TAddressEntry& Entry) {
    SkipBlanksAndComments();
    Entry.End = At;
    if (At == Value.size()) return;
    if (AtSpecial(',')) {
        Take();
        return;
    }
    if (InGroup && AtSpecial(';')) {
        Take();
        InGroup = false;
        Entry.Kind = TAddressEntryKind::GroupEnd;
        if (!FinishEntry(Entry)) SkipUnclear(Entry);
        return;
    }
    size_t Begin = 0, End = 0;
    const bool Gaps = ReadPhrase(Begin, End);
    const bool Words = End > Begin;
    if (AtSpecial('<')) {
        Take();
        Entry.Kind = TAddressEntryKind::Mailbox;
        Entry.NameBegin = Begin;
        Entry.NameEnd = End;
        if (!ReadAngleAddress(Entry) || !FinishEntry(Entry)) SkipUnclear(Entry);
    } else if (AtSpecial(':') && !InGroup) {
        Take();
        InGroup = true;
        Entry.Kind = TAddressEntryKind::GroupStart;
        Entry.NameBegin = Begin;
        Entry.NameEnd = End;
        Entry.End = At;
    } else if (AtSpecial('@') && Words && !Gaps) {
        // An address without angle brackets: its local part was read as a phrase.
        Take();
        Entry.Kind = TAddressEntryKind::Mailbox;
        Entry.AddressBegin = Begin;
        if (!ReadDomain(Entry.AddressEnd) || !FinishEntry(Entry)) SkipUnclear(Entry);
    } else if (Words && !Gaps) {
        // A single word alone: readers take it for the address.
        Entry.Kind = TAddressEntryKind::Mailbox;
        Entry.AddressBegin = Begin;
        Entry.AddressEnd = End;
        if (!FinishEntry(Entry)) SkipUnclear(Entry);
    } else if (!Words) {
        if (!FinishEntry(Entry)) SkipUnclear(Entry);
    } else {
        SkipUnclear(Entry);
    }
}

bool AddressListIsClear(std::string_view Value) {
    TAddressListReader Reader(Value);
    TAddressEntry Entry;
    while (Reader.Next(Entry)) {
    }
    return !Reader.MetUnclear();
}

size_t MailboxCount(std::string_view Value) {
    TAddressListReader Reader(Value);
    TAddressEntry Entry;
    size_t Count = 0;
    while (Reader.Next(Entry))
        if (Entry.Kind == TAddressEntryKind::Mailbox || Entry.Kind == TAddressEntryKind::Unclear) ++Count;
    return Count;
}

}  // namespace lumaro
