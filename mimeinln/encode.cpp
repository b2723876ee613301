// Encoding of header texts and addresses as Q encoded words.

#include <algorithm>
#include <initializer_list>

#include "mimeinln/mimeinln.h"
#include "velcode/velcode.h"
#include "velutil/velutil.h"

namespace lumaro {

namespace {

TCharsetSet SetOfOrdinals(std::initializer_list<size_t> Ordinals) {
    TCharsetSet Set;
    for (size_t N : Ordinals) Set.Include(CharsetOfOrdinal(N));
    return Set;
}

// Built on first use: the two sets it joins are constants of another unit, whose
// initialisation order against ours is not fixed.
const TByteSet& NeedsEncodingSet() {
    static const TByteSet Set = HeaderSpecials + ControlAndHighBytes;
    return Set;
}

// A word is closed at a space once its encoded text has grown past this, so that
// long texts become several words of moderate length.
constexpr size_t QChunkLimit = 32;
// No encoded word is longer than this (RFC 2047); a text without spaces is cut
// between two characters to keep to it.
constexpr size_t EncodedWordLimit = 75;

constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr char Escape = 0x1B;

// The stretch of converted text that holds one character, from At on: a byte in
// the single-byte charsets, one or two (four behind SS2 in EUC-TW) in the EUC
// charsets, up to four in UTF-8. ISO-2022-JP switches between one- and two-byte sets with escape
// sequences of three bytes, each taken as a unit of its own.
class TCharacterCutter {
public:
    explicit TCharacterCutter(TCharsetId Charset) : Charset(Charset) {}

    size_t UnitLength(std::string_view Text, size_t At) const {
        const uint8_t B = static_cast<uint8_t>(Text[At]);
        size_t Length = 1;
        switch (Charset) {
        case TCharsetId::EUC_KR:
        case TCharsetId::CN_GB:
            Length = B >= 0x80 ? 2 : 1;
            break;
        case TCharsetId::EUC_TW:
            Length = B == 0x8E ? 4 : B >= 0x80 ? 2 : 1;
            break;
        case TCharsetId::UTF_8:
            Length = B >= 0xF0 ? 4 : B >= 0xE0 ? 3 : B >= 0xC0 ? 2 : 1;
            break;
        case TCharsetId::ISO_2022_JP:
            Length = B == Escape ? 3 : TwoByteSet() ? 2 : 1;
            break;
        default:
            break;
        }
        return std::min(Length, Text.size() - At);
    }
    // Notes the set an escape sequence switches to.
    void Passed(std::string_view Unit) { Designation = DesignationAfter(Unit); }
    // The bytes a word that ends inside a shifted set must end with, and those the
    // next word must begin with, so that each word decodes on its own.
    std::string_view Closing() const { return ClosingOf(Designation); }
    std::string_view Reopening() const { return Shifted(Designation) ? Designation : std::string_view(); }
    // The closing a word needs once Unit is in it.
    std::string_view ClosingAfter(std::string_view Unit) const { return ClosingOf(DesignationAfter(Unit)); }

private:
    static constexpr std::string_view AsciiSet{"\x1B(B", 3};
    static bool Shifted(std::string_view Set) { return !Set.empty() && Set != AsciiSet; }
    static std::string_view ClosingOf(std::string_view Set) { return Shifted(Set) ? AsciiSet : std::string_view(); }
    std::string_view DesignationAfter(std::string_view Unit) const {
        const bool Switches = Charset == TCharsetId::ISO_2022_JP && Unit.size() == 3 && Unit[0] == Escape;
        return Switches ? Unit : Designation;
    }
    bool TwoByteSet() const { return Shifted(Designation) && Designation[1] == '$'; }

    TCharsetId Charset;
    std::string_view Designation;
};

// Appends the encoded form of Bytes: a space as "_", a byte that may not stand in
// a word as "=" and two hex digits.
void AppendQBytes(std::string_view Bytes, std::string& Out) {
    for (const char B : Bytes) {
        const uint8_t U = static_cast<uint8_t>(B);
        if (B == ' ') {
            Out += '_';
        } else if (NeedsEncodingSet().Contains(U)) {
            Out += '=';
            Out += HexDigits[U >> 4];
            Out += HexDigits[U & 15];
        } else {
            Out += B;
        }
    }
}

size_t QBytesLength(std::string_view Bytes) {
    size_t Length = 0;
    for (const char B : Bytes) Length += B != ' ' && NeedsEncodingSet().Contains(static_cast<uint8_t>(B)) ? 3 : 1;
    return Length;
}

// Writes the words of a converted text into Out, or only counts their length when
// Out is null, so that the result can be given its room once.
class TQWordWriter {
public:
    TQWordWriter(std::string_view Name, TCharsetId Charset, std::string* Out)
        : Name(Name), Cutter(Charset), Out(Out), ChunkLimit(EncodedWordLimit - Name.size() - 7) {}

    size_t Write(std::string_view Text) {
        for (size_t At = 0; At < Text.size();) {
            const std::string_view Unit = Text.substr(At, Cutter.UnitLength(Text, At));
            At += Unit.size();
            // A word that would grow too long is closed before the character, with
            // room left for the bytes that close the set the character leaves it in.
            if (ChunkLength > 0 && ChunkLength + QBytesLength(Unit) + QBytesLength(Cutter.ClosingAfter(Unit)) > ChunkLimit)
                CutWord();
            AppendToChunk(Unit);
            Cutter.Passed(Unit);
            if (Unit == " " && ChunkLength > QChunkLimit) CutWord();
        }
        if (ChunkLength > 0) Flush();
        return Total;
    }

private:
    void AppendToChunk(std::string_view Bytes) {
        ChunkLength += QBytesLength(Bytes);
        if (Out) AppendQBytes(Bytes, Chunk);
    }
    void CutWord() {
        AppendToChunk(Cutter.Closing());
        Flush();
        AppendToChunk(Cutter.Reopening());
    }
    // Words are separated by one space.
    void Flush() {
        const bool First = Total == 0;
        Total += (First ? 0 : 1) + Name.size() + 7 + ChunkLength;
        if (Out) {
            if (!First) *Out += ' ';
            Out->append("=?").append(Name).append("?Q?").append(Chunk).append("?=");
            Chunk.clear();
        }
        ChunkLength = 0;
    }

    std::string_view Name;
    TCharacterCutter Cutter;
    std::string* Out;
    const size_t ChunkLimit;
    std::string Chunk;
    size_t ChunkLength = 0;
    size_t Total = 0;
};

// Appends the words of a text already converted into CharTo, Out given its room
// once.
void AppendQWords(std::string& Out, std::string_view Converted, TCharsetId CharTo) {
    const std::string Name = CharsetName(CharTo);
    Out.reserve(Out.size() + TQWordWriter(Name, CharTo, nullptr).Write(Converted));
    TQWordWriter(Name, CharTo, &Out).Write(Converted);
}

}  // namespace

// ISO-8859-1 to -10, KOI8-R, KOI8-U, ISO-2022-JP, CN-GB, EUC-TW and EUC-KR: the
// charsets every mail reader knows, and no Unicode form among them.
const TCharsetSet EncodedWordCandidates =
    SetOfOrdinals({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 22, 39, 78, 81, 87, 91});

std::string EncodeQWords(std::string_view Value, TCharsetId CharFrom, TCharsetId CharTo) {
    std::string Result;
    AppendQWords(Result, ConvertCharset(Value, CharFrom, CharTo), CharTo);
    return Result;
}

bool NeedsEncoding(std::string_view Value) {
    const TByteSet& Set = NeedsEncodingSet();
    for (char C : Value)
        if (Set.Contains(static_cast<uint8_t>(C))) return true;
    return false;
}

std::string EncodeHeaderTextAs(std::string_view Value, TCharsetId CharFrom) {
    std::string Result;
    AppendHeaderText(Result, std::string(Value), CharFrom);
    return Result;
}

void AppendHeaderText(std::string& Out, std::string&& Value, TCharsetId CharFrom) {
    if (!NeedsEncoding(Value)) {
        Out += Value;
        return;
    }
    const TCharsetId CharTo = BestCharset(Value, CharFrom, EncodedWordCandidates);
    std::string Converted = ConvertCharset(Value, CharFrom, CharTo);
    std::string().swap(Value);
    AppendQWords(Out, Converted, CharTo);
}

std::string EncodeHeaderText(std::string_view Value) {
    return EncodeHeaderTextAs(Value, SystemCharset());
}

std::string EncodeMailboxAs(std::string_view Name, std::string_view Address, TCharsetId CharFrom) {
    if (Name.empty()) return std::string(Address);
    // The layout of rewritten From lines: the encoded words stand inside the
    // quotes, and the '<' follows the closing quote directly.
    std::string Result = "\"";
    Result += EncodeHeaderTextAs(Name, CharFrom);
    Result += "\"<";
    Result += Address;
    Result += '>';
    return Result;
}

std::string EncodeAddressAs(std::string_view Value, TCharsetId CharFrom) {
    return EncodeMailboxAs(DisplayNameOf(Value), AddressOf(Value), CharFrom);
}

std::string EncodeAddress(std::string_view Value) {
    return EncodeAddressAs(Value, SystemCharset());
}

}  // namespace lumaro
