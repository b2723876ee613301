// Encoding of header texts and addresses as Q encoded words.

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

void FlushWord(std::string& Result, std::string_view Name, std::string& Chunk) {
    if (!Result.empty()) Result += ' ';
    Result += "=?";
    Result += Name;
    Result += "?Q?";
    Result += Chunk;
    Result += "?=";
    Chunk.clear();
}

}  // namespace

// ISO-8859-1 to -10, KOI8-R, KOI8-U, ISO-2022-JP, CN-GB, EUC-TW and EUC-KR: the
// charsets every mail reader knows, and no Unicode form among them.
const TCharsetSet EncodedWordCandidates =
    SetOfOrdinals({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 22, 39, 78, 81, 87, 91});

std::string EncodeQWords(std::string_view Value, TCharsetId CharFrom, TCharsetId CharTo) {
    const std::string Encoded = EncodeQuotedPrintableStrict(ConvertCharset(Value, CharFrom, CharTo));
    const std::string Name = CharsetName(CharTo);
    std::string Result;
    Result.reserve(Encoded.size() + (Encoded.size() / QChunkLimit + 1) * (Name.size() + 8));
    std::string Chunk;
    Chunk.reserve(QChunkLimit + 4);
    for (char B : Encoded) {
        if (B != ' ') {
            Chunk += B;
            continue;
        }
        Chunk += '_';
        if (Chunk.size() > QChunkLimit) FlushWord(Result, Name, Chunk);
    }
    if (!Chunk.empty()) FlushWord(Result, Name, Chunk);
    return Result;
}

bool NeedsEncoding(std::string_view Value) {
    const TByteSet& Set = NeedsEncodingSet();
    for (char C : Value)
        if (Set.Contains(static_cast<uint8_t>(C))) return true;
    return false;
}

std::string EncodeHeaderTextAs(std::string_view Value, TCharsetId CharFrom) {
    if (!NeedsEncoding(Value)) return std::string(Value);
    const TCharsetId CharTo = BestCharset(Value, CharFrom, EncodedWordCandidates);
    return EncodeQWords(Value, CharFrom, CharTo);
}

std::string EncodeHeaderText(std::string_view Value) {
    return EncodeHeaderTextAs(Value, SystemCharset());
}

std::string EncodeAddressAs(std::string_view Value, TCharsetId CharFrom) {
    const std::string Name = DisplayNameOf(Value);
    std::string Address = AddressOf(Value);
    if (Name.empty()) return Address;
    // The layout of rewritten From lines: the encoded words stand inside the
    // quotes, and the '<' follows the closing quote directly.
    std::string Result = "\"";
    Result += EncodeHeaderTextAs(Name, CharFrom);
    Result += "\"<";
    Result += Address;
    Result += '>';
    return Result;
}

std::string EncodeAddress(std::string_view Value) {
    return EncodeAddressAs(Value, SystemCharset());
}

}  // namespace lumaro
