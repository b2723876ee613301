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
    EncodeText,     // decoded, then encoded again as header text
    EncodeAddress,  // decoded, then encoded again as one address
    DecodeOnly,     // decoded and written as raw text
    WholeLine       // the whole line decoded, its name kept as written
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
    {"TO", "to", "To: ", TValueRule::DecodeOnly},
    {"CC", "cc", "CC: ", TValueRule::DecodeOnly},
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

std::string RewrittenLine(const THeaderKind& Kind, const std::string& Line) {
    const TCharsetId System = SystemCharset();
    if (Kind.Rule == TValueRule::WholeLine) return WithoutLineBreaks(DecodeEncodedWords(Line, System));
    std::string Value = DecodeEncodedWords(FieldValueOf(Line), System);
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
    return Part.PrimaryKind == TMimePrimaryKind::PrimaryText && UpperCase(Part.SubType) != "HTML" &&
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
