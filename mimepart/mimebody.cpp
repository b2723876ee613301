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
// the list whole, as its uncut text: each line is followed by CR LF, so that the
// text goes to the file as it is, and a body of a million short lines costs no
// more than its bytes. Room for the most the encoder can write is taken at the
// start, so that the text never moves; an encoder that passes Limit stops within
// OvershootMax bytes after it.
class TEncodedLines {
public:
    static constexpr size_t OvershootMax = 128 * 1024;

    TEncodedLines(size_t MostBytes, size_t Limit) : Limit(Limit) {
        Text.reserve(MostBytes <= Limit ? MostBytes : Limit + OvershootMax);
        platform::AdviseLargeBuffer(Text.data(), Text.capacity());
    }

    // The text the next line is appended to; Close ends the line.
    std::string& Open() { return Text; }
    void Close() {
        Text.append("\r\n");
        Exceeded = Exceeded || Text.size() > Limit;
    }
    void Add(std::string_view Line) {
        Text.append(Line);
        Close();
    }
    // Appends to the last line written.
    void AppendToLast(char C) { Text.insert(Text.end() - 2, C); }
    // Whether the lines have passed Limit; the encoder stops writing.
    bool Passed() const { return Exceeded; }
    void MoveInto(TLineList& Lines) { Lines.AdoptText(std::move(Text)); }

private:
    std::string Text;
    size_t Limit;
    bool Exceeded = false;
};

// The 1-based positions of the last "=" and the last blank of Window, 0 for none.
void LastEscapeAndBlank(std::string_view Window, size_t& Escape, size_t& Blank) {
    for (size_t K = Window.size(); K-- > 0 && (Escape == 0 || Blank == 0);) {
        if (Window[K] == '=' && Escape == 0) Escape = K + 1;
        if (Window[K] == ' ' && Blank == 0) Blank = K + 1;
    }
}

// Cuts the pieces of one encoded line off its front and gives how much it cut.
// Only the first MaxLineLength characters decide a cut, so a line may come in
// parts: a part that is not the last (Final false) is cut only while more than
// that remains, and the rest waits for the next part in front of it.
template <typename TOut>
size_t WrapQuotedPrintablePieces(std::string_view Encoded, int32_t MaxLineLength, bool Final, TOut& Out) {
    const ptrdiff_t Limit = MaxLineLength;
    std::string_view Rest = Encoded;
    for (;;) {
        const ptrdiff_t Left = static_cast<ptrdiff_t>(Rest.size());
        if (!Final && (Limit < 1 || Left <= Limit)) return Encoded.size() - Rest.size();
        if (Limit < 1 || Left < Limit) {
            Out.Add(Rest);
            return Encoded.size();
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
        if (Rest.empty()) return Encoded.size();
    }
}

template <typename TOut>
void WrapQuotedPrintableInto(std::string_view Encoded, int32_t MaxLineLength, TOut& Out) {
    WrapQuotedPrintablePieces(Encoded, MaxLineLength, true, Out);
}

// Pieces collected as strings of their own, for callers outside the body encoder.
struct TPieceList {
    std::vector<std::string>& Pieces;
    void Add(std::string_view Piece) { Pieces.emplace_back(Piece); }
    std::string& Open() { return Pieces.emplace_back(); }
    void Close() {}
};

// A text encoded as quoted-printable line by line and cut at MaxLineLength, taken
// in pieces that may end inside a line or between the CR and LF of a break. A line
// is encoded a stretch at a time into a small buffer, so that a line of many
// megabytes is never held three times over.
class TQuotedPrintableText {
public:
    TQuotedPrintableText(int32_t MaxLineLength, TEncodedLines& Out) : MaxLineLength(MaxLineLength), Out(Out) {}

    void Take(std::string_view Text) {
        if (Text.empty()) return;
        TLineBreakScanner Breaks(Text);
        size_t At = 0;
        if (SkipLineFeed && !Text.empty() && Text[0] == '\n') ++At;
        SkipLineFeed = false;
        while (At < Text.size() && !Out.Passed()) {
            const size_t End = Breaks.Next(At);
            AddToLine(Text.substr(At, End - At));
            if (End == Text.size()) return;
            EndLine();
            At = End + 1;
            if (Text[End] == '\r') {
                if (At == Text.size()) SkipLineFeed = true;
                else if (Text[At] == '\n') ++At;
            }
        }
    }
    // A last line without a break is a line; a last break makes no empty line after it.
    void Finish() {
        if (LineOpen) EndLine();
    }

private:
    static constexpr size_t StretchBytes = 16 * 1024;
    static_assert(StretchBytes * 4 < TEncodedLines::OvershootMax, "a stretch's lines fit past the limit");

    void AddToLine(std::string_view Bytes) {
        LineOpen = true;
        for (size_t From = 0; From < Bytes.size() && !Out.Passed(); From += StretchBytes) {
            AppendQuotedPrintable(Bytes.substr(From, StretchBytes), Encoded);
            Encoded.erase(0, WrapQuotedPrintablePieces(Encoded, MaxLineLength, false, Out));
        }
    }
    void EndLine() {
        WrapQuotedPrintablePieces(Encoded, MaxLineLength, true, Out);
        Encoded.clear();
        LineOpen = false;
    }

    int32_t MaxLineLength;
    TEncodedLines& Out;
    std::string Encoded;
    bool LineOpen = false;
    bool SkipLineFeed = false;
};

// A text encoded as base64 in lines of 72 characters, taken in pieces: the bytes
// that do not yet fill a line wait for the next piece.
class TBase64Text {
public:
    explicit TBase64Text(TEncodedLines& Out) : Out(Out) {}

    void Take(std::string_view Text) {
        if (!Waiting.empty()) {
            const size_t Filling = std::min(Text.size(), Base64PieceBytes - Waiting.size());
            Waiting.append(Text.substr(0, Filling));
            Text.remove_prefix(Filling);
            if (Waiting.size() < Base64PieceBytes) return;
            AddLines(Waiting);
            Waiting.clear();
        }
        const size_t Whole = Text.size() - Text.size() % Base64PieceBytes;
        AddLines(Text.substr(0, Whole));
        Waiting.assign(Text.substr(Whole));
    }
    void Finish() { AddLines(Waiting); }

private:
    // Whole pieces encode to whole lines, so a run of pieces is encoded at once
    // and cut into its lines.
    void AddLines(std::string_view Bytes) {
        constexpr size_t RunBytes = 1024 * Base64PieceBytes;
        constexpr size_t LineChars = Base64PieceBytes / 3 * 4;
        static_assert(RunBytes / 3 * 4 + 2 * 1024 < TEncodedLines::OvershootMax, "a run's lines fit past the limit");
        for (size_t At = 0; At < Bytes.size() && !Out.Passed(); At += RunBytes) {
            const std::string Encoded = EncodeBase64(Bytes.substr(At, RunBytes));
            for (size_t From = 0; From < Encoded.size(); From += LineChars)
                Out.Add(std::string_view(Encoded).substr(From, LineChars));
        }
    }

    TEncodedLines& Out;
    std::string Waiting;
};

// The most bytes a text of Size bytes can take encoded: base64 a third more and a
// line break for every 54 bytes; quoted-printable three for each byte and, cut as
// short as the wrapping rule may cut, a soft break for every 8 bytes (a line break
// of one byte takes two).
size_t MostEncodedBytes(size_t Size, bool Base64) {
    if (Size > SIZE_MAX / 4) return SIZE_MAX;
    if (Base64) return Size / 3 * 4 + Size / Base64PieceBytes * 2 + 8;
    return Size * 3 + Size / 8 * 3 + 64;
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

namespace {

// Hands a text to an encoder, all of it or converted in pieces, and ends it.
template <typename TWriter>
void WriteText(TWriter& Writer, std::string_view Mark, std::string_view Content, TCharsetId Source,
               TCharsetId Target) {
    Writer.Take(Mark);
    ConvertCharsetInPieces(Content, Source, Target, [&Writer](std::string_view Piece) { Writer.Take(Piece); });
    Writer.Finish();
}

}  // namespace

bool TMimePart::EncodeLines(std::string_view Mark, std::string_view Content, TCharsetId Source, size_t MaxBytes) {
    const bool Base64 = TransferKind == TMimeTransferKind::EncodingBase64;
    TEncodedLines Out(MostEncodedBytes(Mark.size() + Content.size(), Base64), MaxBytes);
    if (Base64) {
        TBase64Text Writer(Out);
        WriteText(Writer, Mark, Content, Source, CharsetId);
    } else if (PrimaryKind == TMimePrimaryKind::PrimaryBinary) {
        // A binary body is one source line, its line-break bytes included; its data
        // ends without a line break when decoded.
        WrapQuotedPrintableInto(EncodeQuotedPrintable(Content), MaxLineLength, Out);
        Out.AppendToLast('=');
    } else {
        TQuotedPrintableText Writer(MaxLineLength, Out);
        WriteText(Writer, Mark, Content, Source, CharsetId);
    }
    if (Out.Passed()) return false;
    Out.MoveInto(BodyLines);
    return true;
}

void TMimePart::EncodeBody() { Encode(SIZE_MAX, true); }

bool TMimePart::EncodeBodyWithin(size_t MaxBytes) { return Encode(MaxBytes, true); }

void TMimePart::EncodeBodyOnce() { Encode(SIZE_MAX, false); }

bool TMimePart::Encode(size_t MaxBytes, bool KeepDecoded) {
    if (TransferKind == TMimeTransferKind::EncodingUU || TransferKind == TMimeTransferKind::EncodingXX)
        SetTransferEncoding("base64");
    BodyLines.Clear();
    DecodedBody.SetPosition(0);
    const std::string& Content = DecodedBody.Bytes();
    DecodedBody.SetPosition(Content.size());
    if (PrimaryKind == TMimePrimaryKind::PrimaryMultipart || PrimaryKind == TMimePrimaryKind::PrimaryMessage) {
        BodyLines.SetText(Content);
        return true;
    }
    const bool Converts = PrimaryKind == TMimePrimaryKind::PrimaryText &&
                          TransferKind != TMimeTransferKind::EncodingSevenBit;
    // A text part labelled 7bit is written as it is, without conversion or mark.
    const std::string Mark = Converts ? ByteOrderMark(CharsetId) : std::string();
    const TCharsetId Source = Converts ? OutputCharsetId : CharsetId;
    if (WritesTextAsItIs()) {
        if (Source == CharsetId && Mark.empty()) {
            BodyLines.SetText(Content);
            return true;
        }
        // Text written as it is becomes the lines' storage: no copy of a large body.
        std::string Converted = Source == CharsetId ? std::string(Content) : ConvertCharset(Content, Source, CharsetId);
        Converted.insert(0, Mark);
        BodyLines.AdoptText(std::move(Converted));
        return true;
    }
    if (PrimaryKind == TMimePrimaryKind::PrimaryBinary && TransferKind != TMimeTransferKind::EncodingQuotedPrintable &&
        TransferKind != TMimeTransferKind::EncodingBase64) {
        BodyLines.AdoptLines(std::string(Content), {Content.size()});
        return true;
    }
    if (Source == CharsetId || ConvertsCharsetInPieces(Content, Source, CharsetId))
        return EncodeLines(Mark, Content, Source, MaxBytes);
    // Converted whole, the text is held beside its encoded lines.
    const std::string Converted = ConvertCharset(Content, Source, CharsetId);
    if (!KeepDecoded) DecodedBody.Clear();
    return Converted.size() <= MaxBytes && EncodeLines(Mark, Converted, CharsetId, MaxBytes - Converted.size());
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
