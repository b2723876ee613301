// The part record: construction and reset, the child list, the setters that turn
// header texts into kinds, header unfolding and the parsing of content headers.
#include "mimepart/mimepart.h"

#include <stdexcept>

#include "mimeinln/mimeinln.h"
#include "mimepart/linespan.h"

namespace lumaro {

using mimepart_detail::TLineSpan;

TMimePart::TMimePart() : OutputCharsetId(SystemCharset()) {}

TMimePart::TMimePart(TCharsetId OutputCharset) : OutputCharsetId(OutputCharset) {}

TMimePart::~TMimePart() { ClearChildren(); }

void TMimePart::Clear() {
    PrimaryType.clear();
    TransferEncoding.clear();
    Charset.clear();
    PrimaryKind = TMimePrimaryKind::PrimaryText;
    TransferKind = TMimeTransferKind::EncodingSevenBit;
    CharsetId = CharsetOfOrdinal(0);
    OutputCharsetId = SystemCharset();
    SubType.clear();
    Disposition.clear();
    ContentId.clear();
    Description.clear();
    Boundary.clear();
    FileName.clear();
    FileNameParameter.clear();
    ContentTypeParameters.clear();
    DispositionParameters.clear();
    BodyLines.Clear();
    HeaderLines.Clear();
    Preamble.Clear();
    DecodedBody.Clear();
    Kept = TMimeKept::Nothing;
    ClearChildren();
}

int32_t TMimePart::ChildCount() const { return static_cast<int32_t>(Children.size()); }

TMimePart* TMimePart::Child(int32_t Index) const {
    if (Index < 0) throw std::out_of_range("TMimePart::Child: negative index");
    if (static_cast<size_t>(Index) >= Children.size()) return nullptr;
    return Children[static_cast<size_t>(Index)].get();
}

// A deep tree must not be freed by one destructor call per level: every descendant
// is first detached into one flat list, so each part is destroyed childless.
void TMimePart::ClearChildren() {
    if (Children.empty()) return;
    std::vector<std::unique_ptr<TMimePart>> Doomed = std::move(Children);
    Children.clear();
    for (size_t i = 0; i < Doomed.size(); ++i) {
        TMimePart* Part = Doomed[i].get();
        for (auto& Grandchild : Part->Children) Doomed.push_back(std::move(Grandchild));
        Part->Children.clear();
    }
}

TMimePart& TMimePart::AddChild() { return AddChild(SystemCharset()); }

TMimePart& TMimePart::AddChild(TCharsetId OutputCharset) {
    auto Created = std::make_unique<TMimePart>(OutputCharset);
    Created->FallbackCharset = FallbackCharset;
    Created->Depth = Depth + 1;
    Created->MaxDepth = MaxDepth;
    Children.push_back(std::move(Created));
    return *Children.back();
}

namespace {

template <typename TKind>
struct TPrefixKind {
    std::string_view Prefix;
    TKind Kind;
};

// The last prefix of the table that the upper-cased text begins with gives the kind.
template <typename TKind, size_t N>
TKind KindByPrefix(const std::string& Text, TKind Otherwise, const TPrefixKind<TKind> (&Table)[N]) {
    const std::string U = UpperCase(Text);
    TKind Kind = Otherwise;
    for (const auto& Row : Table)
        if (StartsWith(U, Row.Prefix)) Kind = Row.Kind;
    return Kind;
}

constexpr TPrefixKind<TMimePrimaryKind> PrimaryPrefixes[] = {
    {"TEXT", TMimePrimaryKind::PrimaryText},
    {"MULTIPART", TMimePrimaryKind::PrimaryMultipart},
    {"MESSAGE", TMimePrimaryKind::PrimaryMessage},
};

constexpr TPrefixKind<TMimeTransferKind> TransferPrefixes[] = {
    {"8BIT", TMimeTransferKind::EncodingEightBit},
    {"QUOTED-PRINTABLE", TMimeTransferKind::EncodingQuotedPrintable},
    {"BASE64", TMimeTransferKind::EncodingBase64},
    {"X-UU", TMimeTransferKind::EncodingUU},
    {"X-XX", TMimeTransferKind::EncodingXX},
};

}  // namespace

void TMimePart::SetPrimaryType(const std::string& Value) {
    PrimaryType = Value;
    PrimaryKind = KindByPrefix(Value, TMimePrimaryKind::PrimaryBinary, PrimaryPrefixes);
}

void TMimePart::SetTransferEncoding(const std::string& Value) {
    TransferEncoding = Value;
    TransferKind = KindByPrefix(Value, TMimeTransferKind::EncodingSevenBit, TransferPrefixes);
}

void TMimePart::SetCharset(const std::string& Name) {
    Charset = Name;
    CharsetId = CharsetByName(Name);
}

namespace mimepart_detail {

namespace {

// Appends a continuation line trimmed, with its TABs turned into blanks.
void AppendContinuation(std::string& Logical, std::string_view Line) {
    size_t Begin = 0, End = Line.size();
    while (Begin < End && static_cast<unsigned char>(Line[Begin]) <= 0x20) ++Begin;
    while (End > Begin && static_cast<unsigned char>(Line[End - 1]) <= 0x20) --End;
    Logical += ' ';
    for (size_t k = Begin; k < End; ++k) Logical += Line[k] == '\t' ? ' ' : Line[k];
}

}  // namespace

bool TakesContinuation(const TLineSpan& Lines, size_t Index) {
    // The last line of a list is never a continuation line, so a header at the
    // very end of a file stays whole.
    if (Index + 2 >= Lines.Count || Lines.HeaderLine(Index).empty()) return false;
    const std::string_view Next = Lines.HeaderLine(Index + 1);
    return !Next.empty() && StartsContinuation(Next.front());
}

std::string UnfoldHeaderLineAt(const TLineSpan& Lines, size_t& Index) {
    if (Index >= Lines.Count) throw std::out_of_range("UnfoldHeaderLine: index beyond the list");
    std::string Logical(Lines.HeaderLine(Index));
    ++Index;
    if (!Logical.empty()) {
        // The last line of a list is never a continuation line, so a header at the
        // very end of a file stays whole.
        while (Index + 1 < Lines.Count) {
            const std::string_view Next = Lines.HeaderLine(Index);
            if (Next.empty() || !StartsContinuation(Next.front())) break;
            AppendContinuation(Logical, Next);
            ++Index;
        }
    }
    Logical.resize(TrimRightView(Logical).size());
    return Logical;
}

}  // namespace mimepart_detail

std::string TMimePart::UnfoldHeaderLine(const TLineList& List, size_t& Index) {
    return mimepart_detail::UnfoldHeaderLineAt(TLineSpan{&List, 0, List.Count(), false}, Index);
}

namespace {

std::string TrimmedAfterColon(const std::string& Text) { return Trim(TextAfter(Text, ":")); }

// The file name without the path a sending system put in front of it.
std::string WithoutPath(const std::string& Name) {
    const size_t Cut = Name.find_last_of("\\:");
    return Cut == std::string::npos ? Name : Name.substr(Cut + 1);
}

// The parameters of a content header line as they were written, without the value
// in front of them (the media type or the disposition type).
std::vector<std::string> WrittenParameters(const std::string& Line) {
    const size_t Colon = Line.find(':');
    return WrittenParameterItems(Colon == std::string::npos ? std::string_view(Line)
                                                            : std::string_view(Line).substr(Colon + 1));
}

std::string DecodedFileName(const std::string& Parameter, TCharsetId Target) {
    return WithoutPath(DecodeEncodedWords(Parameter, Target));
}

}  // namespace

void TMimePart::ParseContentType(const std::string& Line, const std::string& Upper) {
    const std::string MediaType = Trim(TextBefore(TrimmedAfterColon(Upper), ";"));
    SetPrimaryType(Trim(TextBefore(MediaType, "/")));
    SubType = Trim(TextAfter(MediaType, "/"));
    if (SubType == PrimaryType && MediaType.find('/') == std::string::npos) SubType.clear();
    ContentTypeParameters = WrittenParameters(Line);
    switch (PrimaryKind) {
    case TMimePrimaryKind::PrimaryText:
        SetCharset(UpperCase(HeaderParameter(Line, "charset")));
        FileName = HeaderParameter(Line, "name");
        break;
    case TMimePrimaryKind::PrimaryMultipart:
        Boundary = HeaderParameter(Line, "Boundary");
        break;
    case TMimePrimaryKind::PrimaryBinary:
        FileName = HeaderParameter(Line, "name");
        break;
    case TMimePrimaryKind::PrimaryMessage:
        break;
    }
}

void TMimePart::ParseContentDisposition(const std::string& Line, const std::string& Upper,
                                        std::string& DispositionFileName) {
    Disposition = Trim(TextBefore(TextAfter(Upper, ":"), ";"));
    DispositionFileName = HeaderParameter(Line, "FileName");
    DispositionParameters = WrittenParameters(Line);
}

void TMimePart::ParseHeader() {
    SetPrimaryType("text");
    SubType = "plain";
    Description.clear();
    SetCharset(FallbackCharset);
    FileName.clear();
    SetTransferEncoding("7BIT");
    Disposition.clear();
    ContentId.clear();
    ContentTypeParameters.clear();
    DispositionParameters.clear();
    std::string DispositionFileName;

    for (std::string_view Stored : HeaderLines) {
        // Only content lines are read here; a long line of another field is not copied.
        if (Stored.size() < 8 || !SameText(Stored.substr(0, 8), "CONTENT-")) continue;
        const std::string Line(Stored);
        const std::string U = UpperCase(Line);
        if (StartsWith(U, "CONTENT-TYPE:")) ParseContentType(Line, U);
        if (StartsWith(U, "CONTENT-TRANSFER-ENCODING:")) SetTransferEncoding(TrimmedAfterColon(U));
        if (StartsWith(U, "CONTENT-DESCRIPTION:")) Description = TrimmedAfterColon(Line);
        if (StartsWith(U, "CONTENT-DISPOSITION:")) ParseContentDisposition(Line, U, DispositionFileName);
        if (StartsWith(U, "CONTENT-ID:")) ContentId = TrimmedAfterColon(Line);
    }
    // The Content-Type name parameter wins over the disposition's FileName.
    FileNameParameter = FileName.empty() ? DispositionFileName : FileName;
    FileName = DecodedFileName(FileNameParameter, OutputCharsetId);
}

void TMimePart::SetOutputCharset(TCharsetId Id) {
    if (Id == OutputCharsetId) return;
    OutputCharsetId = Id;
    if (!FileNameParameter.empty()) FileName = DecodedFileName(FileNameParameter, Id);
}

}  // namespace lumaro
