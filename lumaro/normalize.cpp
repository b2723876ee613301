// The normalisation rules, run on every part of a queued message: header lines
// carrying Unicode encoded words are decoded into the system charset, and UTF-8
// and UTF-7 plain-text bodies are converted into the configured charset.
#include <string_view>
#include <utility>
#include <vector>

#include "lumaro/lumaro.h"
#include "mimeinln/mimeinln.h"
#include "mimepart/mimepart.h"
#include "velchar/velchar.h"
#include "velutil/velutil.h"

namespace lumaro {
namespace {

enum class TValueRule {
    EncodeText,         // decoded, then encoded again as header text
    EncodeAddress,      // decoded, then encoded again as one address
    DecodeAddressList,  // decoded and written as raw text, display names quoted where needed
    WholeLine           // the whole line decoded, its name kept as written
};

struct THeaderKind {
    std::string_view Name;  // upper-case field name, or prefix of the upper-case line
    std::string_view Label;
    std::string_view NewName;
    TValueRule Rule;
};

// Tested in this order; the label "content-disposion" is what the log has
// always carried, and log readers match on it.
constexpr THeaderKind HeaderKinds[] = {
    {"SUBJECT", "subject", "Subject: ", TValueRule::EncodeText},
    {"FROM", "from", "From: ", TValueRule::EncodeAddress},
    {"TO", "to", "To: ", TValueRule::DecodeAddressList},
    {"CC", "cc", "CC: ", TValueRule::DecodeAddressList},
    {"CONTENT-TYPE", "content-type", "", TValueRule::WholeLine},
    {"CONTENT-DISPOSITION", "content-disposion", "", TValueRule::WholeLine},
};

constexpr std::string_view ContentHeaderPrefixes[] = {
    "CONTENT-TYPE", "CONTENT-DESCRIPTION", "CONTENT-DISPOSITION", "CONTENT-ID", "CONTENT-TRANSFER-ENCODING",
};

// The field name of an upper-case line: the text before its first ":", less
// trailing blanks; empty for a line without a colon.
std::string FieldNameOf(std::string_view Upper) {
    const size_t Colon = Upper.find(':');
    if (Colon == std::string_view::npos) return {};
    return TrimRight(Upper.substr(0, Colon));
}

// Subject, From, To and CC are matched by their whole field name, so that
// "Topic:", "Cc-List:" or "Subject-Old:" keep their own names. The content kinds
// keep their prefix test; they are written back under their own name anyway.
bool KindMatches(const THeaderKind& Kind, std::string_view Upper) {
    if (Kind.Rule == TValueRule::WholeLine) return StartsWith(Upper, Kind.Name);
    return FieldNameOf(Upper) == Kind.Name;
}

const THeaderKind* KindOf(std::string_view Upper) {
    for (const THeaderKind& Kind : HeaderKinds)
        if (KindMatches(Kind, Upper)) return &Kind;
    return nullptr;
}

// The text after the first ":", less the one blank that usually follows it.
std::string_view FieldValueOf(std::string_view Line) {
    const size_t Colon = Line.find(':');
    std::string_view Value = Colon == std::string_view::npos ? std::string_view() : Line.substr(Colon + 1);
    if (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t')) Value.remove_prefix(1);
    return Value;
}

// An encoded word may carry line breaks or NUL bytes; written raw into a header
// they would start a header line of the sender's choosing.
std::string WithoutLineBreaks(std::string Text) {
    for (char& C : Text)
        if (C == '\r' || C == '\n' || C == '\0') C = ' ';
    return Text;
}

// --- To and CC -----------------------------------------------------------------------
//
// A decoded word is written raw into To and CC, where a comma, a semicolon or an
// angle bracket from inside it would split the list or the address: the decoded
// text of each run of adjacent words is quoted where it needs to be.

constexpr std::string_view AddressSpecials = ",;<>@:\"\\()";

bool HoldsAddressSpecials(std::string_view Text) {
    return Text.find_first_of(AddressSpecials) != std::string_view::npos;
}

// Text as it stands inside a quoted string: its quotes and backslashes escaped.
std::string EscapedForQuotes(std::string_view Text) {
    std::string Escaped;
    Escaped.reserve(Text.size());
    for (char C : Text) {
        if (C == '"' || C == '\\') Escaped += '\\';
        Escaped += C;
    }
    return Escaped;
}

std::string QuotedString(std::string_view Text) { return "\"" + EscapedForQuotes(Text) + "\""; }

// Whether a quoted string is open behind Text, when one was open before it (Open).
bool QuoteOpenBehind(std::string_view Text, bool Open) {
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Open && Text[I] == '\\') ++I;
        else if (Text[I] == '"') Open = !Open;
    }
    return Open;
}

// For every position of a To or CC value, whether an angle address follows it in
// the same list element: a "<" outside quotes comes before the next comma outside
// quotes. A pass forward finds what stands outside quotes, a pass backward answers
// for every position at once.
std::vector<bool> AngleAddressAhead(std::string_view Value) {
    std::vector<bool> Outside(Value.size(), false);
    bool Quoted = false;
    for (size_t I = 0; I < Value.size(); ++I) {
        Outside[I] = !Quoted;
        if (Quoted && Value[I] == '\\') ++I;
        else if (Value[I] == '"') Quoted = !Quoted;
    }
    std::vector<bool> Ahead(Value.size() + 1, false);
    for (size_t I = Value.size(); I-- > 0;) {
        Ahead[I] = Ahead[I + 1];
        if (Outside[I] && Value[I] == ',') Ahead[I] = false;
        if (Outside[I] && Value[I] == '<') Ahead[I] = true;
    }
    return Ahead;
}

// The display name in front of the first "<" of a decoded whole address, quoted
// when it needs it. Before an "@" it is a list that begins with a bare address,
// whose parts must stay apart.
std::string QuotedDisplayName(std::string_view Name) {
    const std::string_view Phrase = TrimView(Name);
    const bool Quoted = Phrase.size() >= 2 && Phrase.front() == '"' && Phrase.back() == '"';
    if (Phrase.empty() || Quoted || !HoldsAddressSpecials(Phrase) || Phrase.find('@') != std::string_view::npos)
        return std::string(Name);
    const size_t Lead = static_cast<size_t>(Phrase.data() - Name.data());
    std::string Written(Name.substr(0, Lead));
    Written += QuotedString(Phrase);
    Written += Name.substr(Lead + Phrase.size());
    return Written;
}

// The decoded text of one run of encoded words, as To or CC writes it.
std::string AddressRunText(std::string Decoded, bool InQuotedString, bool BeforeAngleAddress) {
    // Inside the sender's quoted string a decoded quote or backslash would end it
    // early and let the rest of the run stand as addresses of the sender's making.
    if (InQuotedString) return EscapedForQuotes(Decoded);
    // A run whose quote opens inside the words and closes outside them is quoted
    // by the sender already.
    if (QuoteOpenBehind(Decoded, false)) return Decoded;
    // Before an angle address outside the words, the run is a display name, whatever it holds.
    if (BeforeAngleAddress) return HoldsAddressSpecials(Decoded) ? QuotedString(Decoded) : Decoded;
    const size_t Angle = Decoded.find('<');
    if (Angle != std::string::npos)
        return QuotedDisplayName(std::string_view(Decoded).substr(0, Angle)) + Decoded.substr(Angle);
    // A bare address inside the words is what lets a reader find it at all.
    if (Decoded.find('@') != std::string::npos) return Decoded;
    return HoldsAddressSpecials(Decoded) ? QuotedString(Decoded) : Decoded;
}

// DecodeEncodedWords of a To or CC value, with every run of adjacent encoded words
// (blanks between them are folding and vanish) decoded as one text and quoted
// where it needs it. Everything outside the words is copied as it stands.
std::string DecodedAddressList(std::string_view Value, TCharsetId System) {
    const std::vector<bool> AngleAhead = AngleAddressAhead(Value);
    std::string Result;
    bool Quoted = false;
    size_t Rest = 0;
    size_t RunStart = std::string_view::npos;
    const auto WriteRun = [&] {
        if (RunStart == std::string_view::npos) return;
        const std::string Written = AddressRunText(DecodeEncodedWords(Value.substr(RunStart, Rest - RunStart), System),
                                                   Quoted, AngleAhead[Rest]);
        Quoted = QuoteOpenBehind(Written, Quoted);
        Result += Written;
        RunStart = std::string_view::npos;
    };
    for (size_t Open = Value.find("=?"); Open != std::string_view::npos; Open = Value.find("=?", Rest)) {
        const size_t Close = FindEncodedWordEnd(Value, Open + 1);
        if (Close == 0) break;
        const std::string_view Lead = Value.substr(Rest, Open - Rest);
        if (!TrimView(Lead).empty()) {
            WriteRun();
            Result += Lead;
            Quoted = QuoteOpenBehind(Lead, Quoted);
        }
        if (RunStart == std::string_view::npos) RunStart = Open;
        Rest = Close + 1;
    }
    WriteRun();
    Result += Value.substr(Rest);
    return Result;
}

std::string RewrittenLine(const THeaderKind& Kind, const std::string& Line) {
    const TCharsetId System = SystemCharset();
    if (Kind.Rule == TValueRule::WholeLine) return WithoutLineBreaks(DecodeEncodedWords(Line, System));
    std::string Value = Kind.Rule == TValueRule::DecodeAddressList ? DecodedAddressList(FieldValueOf(Line), System)
                                                                   : DecodeEncodedWords(FieldValueOf(Line), System);
    switch (Kind.Rule) {
        case TValueRule::EncodeText:
            Value = EncodeHeaderText(Value);
            break;
        case TValueRule::EncodeAddress:
            // The display name comes back as encoded words; the address stays raw.
            Value = WithoutLineBreaks(EncodeAddress(Value));
            break;
        default:
            Value = WithoutLineBreaks(std::move(Value));
            break;
    }
    std::string NewLine(Kind.NewName);
    NewLine += Value;
    return NewLine;
}

void ApplyHeaderRule(TMimePart& Part) {
    const size_t Count = Part.HeaderLines.Count();
    for (size_t i = 0; i < Count; ++i) {
        const std::string Line(Part.HeaderLines.Get(i));
        const std::string Upper = UpperCase(Line);
        if (Upper.find("=?UTF") == std::string::npos) continue;
        const THeaderKind* Kind = KindOf(Upper);
        if (Kind == nullptr) continue;
        LogEvent("H", JobState.JobId, JobState.SenderAddress, std::string(Kind->Label), 0);
        Part.HeaderLines.Put(i, RewrittenLine(*Kind, Line));
        JobState.Changed = true;
    }
}

bool ConversionApplies(const TMimePart& Part) {
    return Part.PrimaryKind == TMimePrimaryKind::PrimaryText && !Part.IsHtml() &&
           (Part.CharsetId == TCharsetId::UTF_8 || Part.CharsetId == TCharsetId::UTF_7);
}

bool IsContentHeader(std::string_view Line) {
    for (std::string_view Prefix : ContentHeaderPrefixes)
        if (Line.size() >= Prefix.size() && SameText(Line.substr(0, Prefix.size()), Prefix)) return true;
    return false;
}

TLineList KeptHeaderLines(const TMimePart& Part) {
    TLineList Kept;
    Kept.Reserve(Part.HeaderLines.Count());
    for (std::string_view Line : Part.HeaderLines)
        if (!Line.empty() && !IsContentHeader(Line)) Kept.Add(Line);
    return Kept;
}

bool HoldsEightBitBytes(std::string_view Text) {
    for (char C : Text)
        if (static_cast<unsigned char>(C) >= 0x80) return true;
    return false;
}

// A part labelled 7bit is written back unconverted; when its decoded text is not
// plain ASCII (UTF-8 mislabelled 7bit, any UTF-7 beyond ASCII) it must be
// converted and labelled 8bit, or the reader gets UTF-8 bytes under a
// single-byte charset label.
void RelabelEightBitText(TMimePart& Part) {
    if (Part.TransferKind == TMimeTransferKind::EncodingSevenBit && HoldsEightBitBytes(Part.DecodedBody.Bytes()))
        Part.SetTransferEncoding("8bit");
}

// The kept lines go on top, in their order, above the rebuilt content lines.
void PutInFront(TLineList& Lines, TLineList Kept) {
    Kept.AddStrings(Lines);
    Lines = std::move(Kept);
}

// A converted line that now begins with the delimiter of a multipart around the
// part would end the part there when the message is read again, and what follows
// would become a part of the sender's making: a malformed byte dropped, or a
// character transliterated ("–" into "-"), can make one. Base64 lines never begin
// with "--", so such a body is written in base64.
bool ShowsEnclosingDelimiter(const TMimePart& Part) {
    if (Part.TransferKind == TMimeTransferKind::EncodingBase64) return false;
    const auto Found = JobState.EnclosingDelimiters.find(&Part);
    if (Found == JobState.EnclosingDelimiters.end() || Found->second.empty()) return false;
    for (size_t I = 0; I < Part.BodyLines.Count(); ++I) {
        const std::string_view Line = Part.BodyLines.Get(I);
        if (Line.size() < 2 || Line[0] != '-' || Line[1] != '-') continue;
        for (const std::string& Delimiter : Found->second)
            if (Line.substr(0, Delimiter.size()) == Delimiter) return true;
    }
    return false;
}

void ConvertTextBody(TMimePart& Part) {
    LogEvent("C", JobState.JobId, JobState.SenderAddress, Part.Charset, 0);
    TLineList Kept = KeptHeaderLines(Part);
    Part.DecodeBody();
    // EncodeBody writes the body's lines anew; the old ones go now, so that a large
    // message is not held in three forms at once.
    Part.BodyLines.Clear();
    RelabelEightBitText(Part);
    Part.SetCharset(JobState.CharSet);
    Part.BuildHeader();
    Part.EncodeBody();
    if (ShowsEnclosingDelimiter(Part)) {
        Part.SetTransferEncoding("base64");
        Part.BuildHeader();
        Part.EncodeBody();
    }
    PutInFront(Part.HeaderLines, std::move(Kept));
    JobState.Changed = true;
}

}  // namespace

void TWalk::NormalizePart(TMimePart& Part) {
    // FileName is text in OutputCharsetId: the part decodes it again from its header.
    Part.SetOutputCharset(TCharsetId::UTF_8);
    ApplyHeaderRule(Part);
    if (ConversionApplies(Part)) ConvertTextBody(Part);
}

}  // namespace lumaro
