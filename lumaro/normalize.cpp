// The normalisation rules, run on every part of a queued message: header lines
// carrying Unicode encoded words are decoded into the system charset, and UTF-8
// and UTF-7 plain-text bodies are converted into the configured charset.
#include <algorithm>
#include <string_view>
#include <utility>

#include "lumaro/lumaro.h"
#include "mimeinln/mimeinln.h"
#include "mimepart/mimepart.h"
#include "velchar/velchar.h"
#include "velutil/velutil.h"

namespace lumaro {
namespace {

enum class TValueRule {
    EncodeText,       // decoded, then encoded again as header text
    MailboxList,      // each mailbox written again, its display name and comments encoded again
    AddressList,      // display names and comments decoded, the list kept as written
    ParameterLine     // parameter values decoded, the line's name and structure kept as written
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
    {"FROM", "from", "From: ", TValueRule::MailboxList},
    {"TO", "to", "To: ", TValueRule::AddressList},
    {"CC", "cc", "CC: ", TValueRule::AddressList},
    {"CONTENT-TYPE", "content-type", "", TValueRule::ParameterLine},
    {"CONTENT-DISPOSITION", "content-disposion", "", TValueRule::ParameterLine},
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
    if (Kind.Rule == TValueRule::ParameterLine) return StartsWith(Upper, Kind.Name);
    return FieldNameOf(Upper) == Kind.Name;
}

// The kind of a line, judged on the upper-case copy of its field name (and of
// enough bytes for the longest prefix), not of the whole line.
const THeaderKind* KindOf(std::string_view Line) {
    constexpr size_t LongestPrefix = 19;
    const size_t Colon = Line.find(':');
    const std::string Upper = UpperCase(Line.substr(0, Colon == std::string_view::npos ? LongestPrefix
                                                                                         : std::max(Colon + 1, LongestPrefix)));
    for (const THeaderKind& Kind : HeaderKinds)
        if (KindMatches(Kind, Upper)) return &Kind;
    return nullptr;
}

// Whether the line holds "=?UTF" in any case.
bool HoldsUnicodeWord(std::string_view Line) {
    for (size_t At = Line.find("=?"); At != std::string_view::npos; At = Line.find("=?", At + 2))
        if (SameText(Line.substr(At + 2, 3), "UTF")) return true;
    return false;
}

// The text after the first ":", less the one blank that usually follows it.
std::string_view FieldValueOf(std::string_view Line) {
    const size_t Colon = Line.find(':');
    std::string_view Value = Colon == std::string_view::npos ? std::string_view() : Line.substr(Colon + 1);
    if (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t')) Value.remove_prefix(1);
    return Value;
}

// Structured lines are read as written and only their text is decoded, so that a
// reader finds the same addresses and parameters in them afterwards.
std::string RewrittenLine(const THeaderKind& Kind, std::string_view Line) {
    const TCharsetId System = SystemCharset();
    if (Kind.Rule == TValueRule::ParameterLine) return DecodeParameterValues(Line, System);
    const std::string_view Value = FieldValueOf(Line);
    std::string NewLine(Kind.NewName);
    switch (Kind.Rule) {
        case TValueRule::EncodeText:
            AppendHeaderText(NewLine, DecodeEncodedWords(Value, System), System);
            break;
        case TValueRule::MailboxList:
            NewLine += RecodeMailboxList(Value, System);
            break;
        default:
            NewLine += DecodeAddressList(Value, System);
            break;
    }
    return NewLine;
}

void ApplyHeaderRule(TJobState& Job, TMimePart& Part) {
    const size_t Count = Part.HeaderLines.Count();
    for (size_t i = 0; i < Count; ++i) {
        // The line stays where it is while its new text is written beside it.
        const std::string_view Line = Part.HeaderLines.Get(i);
        if (!HoldsUnicodeWord(Line)) continue;
        const THeaderKind* Kind = KindOf(Line);
        if (Kind == nullptr) continue;
        LogEvent(Job, "H", Job.JobId, Job.SenderAddress, std::string(Kind->Label), 0);
        Part.HeaderLines.AdoptLine(i, RewrittenLine(*Kind, Line));
        Job.Changed = true;
    }
}

bool ConversionApplies(const TMimePart& Part) {
    return Part.Kept == TMimeKept::Nothing && Part.PrimaryKind == TMimePrimaryKind::PrimaryText && !Part.IsHtml() &&
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

// The boundaries of the multiparts around a part, nearest first.
std::vector<std::string_view> EnclosingBoundaries(const TJobState& Job, const TMimePart& Part) {
    std::vector<std::string_view> Boundaries;
    for (auto Found = Job.EnclosingMultiparts.find(&Part); Found != Job.EnclosingMultiparts.end();
         Found = Job.EnclosingMultiparts.find(Found->second))
        Boundaries.push_back(Found->second->Boundary);
    return Boundaries;
}

// A converted line that is now a delimiter line of a multipart around the part
// would end the part there when the message is read again, and what follows would
// become a part of the sender's making: a malformed byte dropped, or a character
// transliterated ("–" into "-"), can make one. A line that only begins with a
// delimiter is content, but readers that take such a line for a delimiter are
// about, so it counts too. Base64 lines never begin with "--", so such a body is
// written in base64.
bool ShowsEnclosingDelimiter(const TJobState& Job, const TMimePart& Part) {
    if (Part.TransferKind == TMimeTransferKind::EncodingBase64) return false;
    const std::vector<std::string_view> Boundaries = EnclosingBoundaries(Job, Part);
    if (Boundaries.empty()) return false;
    for (std::string_view Line : Part.BodyLines) {
        if (Line.size() < 2 || Line[0] != '-' || Line[1] != '-') continue;
        for (std::string_view Boundary : Boundaries)
            if (Line.substr(2, Boundary.size()) == Boundary) return true;
    }
    return false;
}

// What encoding a converted body may hold besides the message and the body's
// decoded text. A message is kept within three times its size and some tens of
// megabytes, and it is at least as large as the body it holds. Quoted-printable
// takes three bytes for every control byte or byte of a letter beyond ASCII; a body
// that would pass this is written in base64, which takes a third more than its text.
size_t EncodingRoom(size_t Encoded, size_t Decoded) {
    constexpr size_t Spare = 56u << 20;
    const size_t Room = Encoded < (SIZE_MAX - Spare) / 2 ? 2 * Encoded + Spare : SIZE_MAX;
    return Room > Decoded ? Room - Decoded : 0;
}

void ConvertTextBody(TJobState& Job, TMimePart& Part) {
    LogEvent(Job, "C", Job.JobId, Job.SenderAddress, Part.Charset, 0);
    TLineList Kept = KeptHeaderLines(Part);
    const size_t Encoded = Part.BodyLines.TextSize();
    Part.DecodeBody();
    // EncodeBody writes the body's lines anew; the old ones go now, so that a large
    // message is not held in three forms at once.
    Part.BodyLines.Clear();
    RelabelEightBitText(Part);
    Part.SetCharset(Job.CharSet);
    Part.BuildHeader();
    if (!Part.EncodeBodyWithin(EncodingRoom(Encoded, Part.DecodedBody.Size())) || ShowsEnclosingDelimiter(Job, Part)) {
        Part.SetTransferEncoding("base64");
        Part.BuildHeader();
        Part.EncodeBodyOnce();
    }
    // The body's lines hold the new text now; its decoded form goes before the
    // next part is converted, as a message is held in as few forms at once as may be.
    Part.DecodedBody.Clear();
    PutInFront(Part.HeaderLines, std::move(Kept));
    Job.Changed = true;
}

}  // namespace

void TWalk::NormalizePart(TMimePart& Part) {
    // FileName is text in OutputCharsetId: the part decodes it again from its header.
    Part.SetOutputCharset(TCharsetId::UTF_8);
    ApplyHeaderRule(Job, Part);
    // A CharSet that names no charset would turn every letter beyond ASCII into
    // "?"; the part is better left as the sender wrote it.
    if (Job.CharSetKnown && ConversionApplies(Part)) ConvertTextBody(Job, Part);
}

}  // namespace lumaro
