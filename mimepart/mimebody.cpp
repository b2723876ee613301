// Body decoding and encoding, and the generated content header lines.
#include "mimeinln/mimeinln.h"
#include "platform/platform.h"
#include "mimepart/mimepart.h"
#include "velcode/velcode.h"

namespace lumaro {

namespace {

// Base64 input is cut into pieces of 54 bytes, so every line but the last has 72 characters.
constexpr size_t Base64PieceBytes = 54;

using TLineDecoder = std::string (*)(std::string_view);

std::string DecodeEachLine(const TLineList& Body, TLineDecoder Decode) {
    std::string Decoded;
    for (std::string_view Line : Body) Decoded += Decode(Line);
    return Decoded;
}

// The line at At, cut as a line list cuts a text (at CR, LF or CR LF; a NUL byte is
// an ordinary byte); At moves past its line break. Encoding walks the text this way
// instead of holding it twice, as text and as a list.
std::string_view NextLine(std::string_view Text, TLineBreakScanner& Breaks, size_t& At) {
    const size_t Start = At;
    At = Breaks.Next(Start);
    const std::string_view Line = Text.substr(Start, At - Start);
    if (At < Text.size() && Text[At] == '\r') ++At;
    if (At < Text.size() && Text[At] == '\n') ++At;
    return Line;
}

// Decodes the joined lines without joining the whole body first: stretches of lines
// that lie in their storage with their CR LF are decoded where they lie, and the
// other lines are gathered, each followed by CR LF, into runs of a few dozen
// kilobytes. DecodeRun gets each stretch or run, always whole lines, and appends its
// result to the decoded text. Room for Expected bytes is taken at the start.
template <typename TDecodeRun>
class TRunDecoder final : public TLineList::TJoinedTextSink {
public:
    TRunDecoder(TDecodeRun& Decode, std::string& Decoded) : Decode(Decode), Decoded(Decoded) {
        Run.reserve(RunBytes + 2);
    }
    void Line(std::string_view Line) override {
        Run.append(Line).append("\r\n");
        if (Run.size() >= RunBytes) Finish();
    }
    // A long stretch goes in pieces of whole lines too: a decoder takes room for the
    // most its input can give, and room is memory touched.
    void Stored(std::string_view Stretch) override {
        Finish();
        while (!Stretch.empty()) {
            size_t Cut = Stretch.size() > RunBytes ? Stretch.find("\r\n", RunBytes) : std::string_view::npos;
            Cut = Cut == std::string_view::npos ? Stretch.size() : Cut + 2;
            Decode(Stretch.substr(0, Cut), Decoded);
            Stretch.remove_prefix(Cut);
        }
    }
    void Finish() {
        if (!Run.empty()) Decode(Run, Decoded);
        Run.clear();
    }

private:
    static constexpr size_t RunBytes = 64 * 1024;
    TDecodeRun& Decode;
    std::string& Decoded;
    std::string Run;
};

template <typename TDecodeRun>
std::string DecodeInRuns(const TLineList& Body, size_t Expected, TDecodeRun DecodeRun) {
    std::string Decoded;
    Decoded.reserve(Expected);
    platform::AdviseLargeBuffer(Decoded.data(), Decoded.capacity());
    TRunDecoder<TDecodeRun> Runs(DecodeRun, Decoded);
    Body.HandJoinedText(Runs);
    Runs.Finish();
    return Decoded;
}

// No escape and no soft line break straddles the end of a stretch or run of whole
// lines, so the result is that of the joined text.
std::string DecodeQuotedPrintableLines(const TLineList& Body) {
    return DecodeInRuns(Body, Body.TextSize(),
                        [](std::string_view Run, std::string& Out) { AppendDecodedEscaped(Run, '=', Out); });
}

// The base64 decoder carries a group of digits from one stretch or run to the next.
std::string DecodeBase64Lines(const TLineList& Body) {
    TBase64Decoder Decoder;
    const auto DecodeRun = [&Decoder](std::string_view Run, std::string& Out) { Decoder.Append(Run, Out); };
    std::string Decoded = DecodeInRuns(Body, Body.TextSize() / 4 * 3 + 3, DecodeRun);
    Decoder.Finish(Decoded);
    return Decoded;
}

std::string RemoveQuotesAndBlanks(std::string_view Value) {
    std::string Kept;
    Kept.reserve(Value.size());
    for (char C : Value)
        if (C != '"' && C != ' ') Kept += C;
    return Kept;
}

}  // namespace

std::string TMimePart::DecodeTransfer() const {
    switch (TransferKind) {
    case TMimeTransferKind::EncodingQuotedPrintable:
        return DecodeQuotedPrintableLines(BodyLines);
    case TMimeTransferKind::EncodingBase64:
        return DecodeBase64Lines(BodyLines);
    case TMimeTransferKind::EncodingUU:
        return DecodeEachLine(BodyLines, DecodeUULine);
    case TMimeTransferKind::EncodingXX:
        return DecodeEachLine(BodyLines, DecodeXXLine);
    case TMimeTransferKind::EncodingSevenBit:
    case TMimeTransferKind::EncodingEightBit:
        break;
    }
    return BodyLines.GetText();
}

bool TMimePart::IsHtml() const {
    constexpr std::string_view Html = "HTML";
    return PrimaryKind == TMimePrimaryKind::PrimaryText && SubType.size() >= Html.size() &&
           SameText(std::string_view(SubType).substr(SubType.size() - Html.size()), Html);
}

// An HTML document that names its charset in a meta element of its head must keep
// the bytes that element describes.
bool TMimePart::DeclaresOwnCharset(const std::string& Decoded) const {
    const std::string Head = TextAfter(TextBefore(UpperCase(Decoded), "</HEAD>"), "<HEAD>");
    return Pos("HTTP-EQUIV=CONTENT-TYPE", RemoveQuotesAndBlanks(Head)) > 0;
}

void TMimePart::DecodeBody() {
    DecodedBody.Clear();
    std::string Decoded = DecodeTransfer();
    if (PrimaryKind == TMimePrimaryKind::PrimaryText) {
        const bool Html = IsHtml();
        // Conversion between equal charsets gives the text unchanged; skipping it spares a copy.
        if (CharsetId != OutputCharsetId && (!Html || !DeclaresOwnCharset(Decoded)))
            Decoded = ConvertCharset(Decoded, CharsetId, OutputCharsetId);
    }
    DecodedBody.Assign(std::move(Decoded));
}

namespace {

// The lines an encoder writes, built one after another in one text and handed to
// the list whole: a body of a hundred thousand lines costs a few allocations. Each
// line is followed by CR LF in the text, so that the text goes to the file as it is.
class TEncodedLines {
public:
    explicit TEncodedLines(size_t ExpectedBytes) {
        Text.reserve(ExpectedBytes);
        platform::AdviseLargeBuffer(Text.data(), Text.capacity());
    }

    // The text the next line is appended to; Close ends the line.
    std::string& Open() { return Text; }
    void Close() {
        Ends.push_back(Text.size());
        Text.append("\r\n");
    }
    void Add(std::string_view Line) {
        Text.append(Line);
        Close();
    }
    // Appends to the last line written.
    void AppendToLast(char C) {
        Text.insert(Text.end() - 2, C);
        ++Ends.back();
    }
    void MoveInto(TLineList& Lines) { Lines.AdoptLines(std::move(Text), Ends, 2); }

private:
    std::string Text;
    std::vector<size_t> Ends;
};

// The 1-based positions of the last "=" and the last blank of Window, 0 for none.
void LastEscapeAndBlank(std::string_view Window, size_t& Escape, size_t& Blank) {
    for (size_t K = Window.size(); K-- > 0 && (Escape == 0 || Blank == 0);) {
        if (Window[K] == '=' && Escape == 0) Escape = K + 1;
        if (Window[K] == ' ' && Blank == 0) Blank = K + 1;
    }
}

template <typename TOut>
void WrapQuotedPrintableInto(std::string_view Encoded, int32_t MaxLineLength, TOut& Out) {
    const ptrdiff_t Limit = MaxLineLength;
    std::string_view Rest = Encoded;
    do {
        if (Limit < 1 || static_cast<ptrdiff_t>(Rest.size()) < Limit) {
            Out.Add(Rest);
            return;
        }
        size_t Escape = 0, Blank = 0;
        LastEscapeAndBlank(Rest.substr(0, static_cast<size_t>(Limit)), Escape, Blank);
        size_t Cut = static_cast<size_t>(Limit);
        // An escape moves whole to the next line; a blank begins the next line.
        if (Blank < Escape) Cut = Escape - 1;
        else if (Blank > 0) Cut = Blank - 1;
        if (Cut == 0) Cut = static_cast<size_t>(Limit);
        const std::string_view Head = Rest.substr(0, Cut);
        Rest.remove_prefix(Cut);
        std::string& Piece = Out.Open();
        Piece.append(Head);
        if (!Rest.empty()) Piece += '=';
        Out.Close();
    } while (!Rest.empty());
}

// Pieces collected as strings of their own, for callers outside the body encoder.
struct TPieceList {
    std::vector<std::string>& Pieces;
    void Add(std::string_view Piece) { Pieces.emplace_back(Piece); }
    std::string& Open() { return Pieces.emplace_back(); }
    void Close() {}
};

// Every line of a text encoded as quoted-printable and cut at MaxLineLength. Each
// line is encoded into a small buffer of its own, which an encoder may size for its
// worst case, and only its real bytes reach the body's text.
void EncodeQuotedPrintableText(std::string_view Content, int32_t MaxLineLength, TEncodedLines& Out) {
    std::string Encoded;
    TLineBreakScanner Breaks(Content);
    for (size_t At = 0; At < Content.size();) {
        Encoded.clear();
        AppendQuotedPrintable(NextLine(Content, Breaks, At), Encoded);
        if (static_cast<int64_t>(Encoded.size()) < MaxLineLength) Out.Add(Encoded);
        else WrapQuotedPrintableInto(Encoded, MaxLineLength, Out);
    }
}

}  // namespace

void WrapQuotedPrintableLine(std::string_view Encoded, int32_t MaxLineLength,
                             std::vector<std::string>& Out) {
    TPieceList Pieces{Out};
    WrapQuotedPrintableInto(Encoded, MaxLineLength, Pieces);
}

bool TMimePart::WritesTextAsItIs() const {
    return PrimaryKind == TMimePrimaryKind::PrimaryText && TransferKind != TMimeTransferKind::EncodingQuotedPrintable &&
           TransferKind != TMimeTransferKind::EncodingBase64;
}

void TMimePart::EncodeLines(std::string_view Content) {
    const bool Quoted = TransferKind == TMimeTransferKind::EncodingQuotedPrintable;
    if (WritesTextAsItIs()) {
        BodyLines.SetText(Content);
        return;
    }
    if (TransferKind == TMimeTransferKind::EncodingBase64) {
        // Whole pieces encode to whole lines, so a run of pieces is encoded at once
        // and cut into its lines.
        constexpr size_t RunBytes = 1024 * Base64PieceBytes;
        constexpr size_t LineChars = Base64PieceBytes / 3 * 4;
        TEncodedLines Out(Content.size() / 3 * 4 + Content.size() / Base64PieceBytes * 2 + 8);
        for (size_t At = 0; At < Content.size(); At += RunBytes) {
            const std::string Encoded = EncodeBase64(Content.substr(At, RunBytes));
            for (size_t From = 0; From < Encoded.size(); From += LineChars)
                Out.Add(std::string_view(Encoded).substr(From, LineChars));
        }
        Out.MoveInto(BodyLines);
        return;
    }
    // Quoted-printable text grows by a few escapes and a soft break per line.
    TEncodedLines Out(Content.size() + Content.size() / 3 + 64);
    if (PrimaryKind == TMimePrimaryKind::PrimaryBinary) {
        // A binary body is one source line, its line-break bytes included.
        if (Quoted) {
            WrapQuotedPrintableInto(EncodeQuotedPrintable(Content), MaxLineLength, Out);
            // The data ends without a line break when decoded.
            Out.AppendToLast('=');
        } else {
            Out.Add(Content);
        }
    } else {
        EncodeQuotedPrintableText(Content, MaxLineLength, Out);
    }
    Out.MoveInto(BodyLines);
}

void TMimePart::EncodeBody() {
    if (TransferKind == TMimeTransferKind::EncodingUU || TransferKind == TMimeTransferKind::EncodingXX)
        SetTransferEncoding("base64");
    DecodedBody.SetPosition(0);
    const std::string& Content = DecodedBody.Bytes();
    DecodedBody.SetPosition(Content.size());
    if (PrimaryKind == TMimePrimaryKind::PrimaryMultipart || PrimaryKind == TMimePrimaryKind::PrimaryMessage) {
        BodyLines.SetText(Content);
        return;
    }
    const bool Converts = PrimaryKind == TMimePrimaryKind::PrimaryText &&
                          TransferKind != TMimeTransferKind::EncodingSevenBit;
    // A text part labelled 7bit is written as it is, without conversion or mark.
    const std::string Mark = Converts ? ByteOrderMark(CharsetId) : std::string();
    if (Converts && (OutputCharsetId != CharsetId || !Mark.empty())) {
        std::string Converted = OutputCharsetId == CharsetId ? std::string(Content)
                                                             : ConvertCharset(Content, OutputCharsetId, CharsetId);
        if (!Mark.empty()) Converted.insert(0, Mark);
        // Text written as it is becomes the lines' storage: no copy of a large body.
        if (WritesTextAsItIs()) BodyLines.AdoptText(std::move(Converted));
        else EncodeLines(Converted);
        return;
    }
    EncodeLines(Content);
}

// --- generated header lines -----------------------------------------------------------

std::string TMimePart::TransferEncodingText() const {
    switch (TransferKind) {
    case TMimeTransferKind::EncodingEightBit:
        return "8bit";
    case TMimeTransferKind::EncodingQuotedPrintable:
        return "Quoted-printable";
    case TMimeTransferKind::EncodingBase64:
    case TMimeTransferKind::EncodingUU:  // EncodeBody writes these as base64
    case TMimeTransferKind::EncodingXX:
        return "Base64";
    case TMimeTransferKind::EncodingSevenBit:
        break;
    }
    return "7bit";
}

namespace {

// The name of a parameter as written, "name*0*" for "name*0*=utf-8''a".
std::string_view ParameterName(std::string_view Parameter) {
    return TrimView(Parameter.substr(0, Parameter.find('=')));
}

bool NamedAs(std::string_view Parameter, std::string_view Name) {
    return !Name.empty() && SameText(ParameterName(Parameter), Name);
}

// Appends the file name (NameText, such as name="a.txt") and the parameters the
// line does not write itself, as they were written and in their order: format,
// method, and the RFC 2231 forms of the name (name*=, filename*0*= ...), which name
// their own charset, so the part's new charset does not touch them. The file name
// takes the place its parameter had among them, since readers that find both a
// name and its RFC 2231 form take the one that comes first; without one it comes
// first.
void AppendParameters(std::string& Line, const std::vector<std::string>& Parameters, std::string_view NameParameter,
                      std::string_view NameText, std::string_view KindParameter) {
    bool NamePending = !NameText.empty();
    const auto AppendName = [&] {
        if (NamePending) Line.append("; ").append(NameText);
        NamePending = false;
    };
    bool NameWasWritten = false;
    for (const std::string& Parameter : Parameters) NameWasWritten = NameWasWritten || NamedAs(Parameter, NameParameter);
    if (!NameWasWritten) AppendName();
    for (const std::string& Parameter : Parameters) {
        if (NamedAs(Parameter, NameParameter)) AppendName();
        else if (!NamedAs(Parameter, KindParameter)) Line.append("; ").append(Parameter);
    }
}

// The parameter that the Content-type line of a kind writes besides the name.
std::string_view KindParameterOf(TMimePrimaryKind Kind) {
    if (Kind == TMimePrimaryKind::PrimaryText) return "charset";
    if (Kind == TMimePrimaryKind::PrimaryMultipart) return "boundary";
    return {};
}

}  // namespace

// The file name as the rebuilt lines write it, encoded where it needs to be; empty
// for a part without one.
std::string TMimePart::FileNameParameterText(std::string_view Name) const {
    if (FileName.empty()) return {};
    return std::string(Name) + "=\"" + EncodeHeaderTextAs(FileName, OutputCharsetId) + "\"";
}

std::string TMimePart::ContentTypeLine() const {
    std::string Line = "Content-type: " + PrimaryType + "/" + SubType;
    if (PrimaryKind == TMimePrimaryKind::PrimaryText) Line += "; charset=" + CharsetName(CharsetId);
    if (PrimaryKind == TMimePrimaryKind::PrimaryMultipart) Line += "; boundary=\"" + Boundary + "\"";
    AppendParameters(Line, ContentTypeParameters, "name", FileNameParameterText("name"), KindParameterOf(PrimaryKind));
    return Line;
}

std::string TMimePart::DispositionLine() const {
    std::string Line = "Content-Disposition: " + LowerCase(Disposition);
    AppendParameters(Line, DispositionParameters, "filename", FileNameParameterText("FileName"), {});
    return Line;
}

void TMimePart::BuildHeader() {
    HeaderLines.Clear();
    if (SubType.empty()) {
        switch (PrimaryKind) {
        case TMimePrimaryKind::PrimaryText: SubType = "plain"; break;
        case TMimePrimaryKind::PrimaryMultipart: SubType = "mixed"; break;
        case TMimePrimaryKind::PrimaryMessage: SubType = "rfc822"; break;
        case TMimePrimaryKind::PrimaryBinary: SubType = "octet-stream"; break;
        }
    }
    HeaderLines.Add(ContentTypeLine());
    if (PrimaryKind == TMimePrimaryKind::PrimaryText || PrimaryKind == TMimePrimaryKind::PrimaryBinary)
        HeaderLines.Add("Content-Transfer-Encoding: " + TransferEncodingText());
    if (!ContentId.empty()) HeaderLines.Add("Content-ID: " + ContentId);
    if (!Disposition.empty()) HeaderLines.Add(DispositionLine());
    if (!Description.empty()) HeaderLines.Add("Content-Description: " + Description);
}

}  // namespace lumaro
