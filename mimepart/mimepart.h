// The MIME message model: TMimePart is one node of a message tree. It holds the raw
// lines of one part, its header lines, the values parsed from its content headers,
// its body (as lines and, after decoding, as bytes) and its sub-parts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mystrlist/mystrlist.h"
#include "velchar/velchar.h"
#include "velutil/velutil.h"

namespace lumaro {

enum class TMimePrimaryKind : uint8_t { PrimaryText, PrimaryMultipart, PrimaryMessage, PrimaryBinary };
enum class TMimeTransferKind : uint8_t {
    EncodingSevenBit,
    EncodingEightBit,
    EncodingQuotedPrintable,
    EncodingBase64,
    EncodingUU,
    EncodingXX
};

class TMimePart;
// The per-part callback of VisitParts; an empty function is "no visitor".
using TPartVisitor = std::function<void(TMimePart&)>;

// The nesting limit that the job driver gives a message: deeper multiparts and
// encapsulated messages keep their lines unparsed.
constexpr int32_t MimeMaxDepth = 64;

// Cuts one header line into the pieces that JoinParts writes: at the last "; ",
// else ", ", else " " within MaxLineLength; every piece after the first begins
// with a blank.
std::vector<std::string> FoldHeaderLine(std::string_view Line, int32_t MaxLineLength);
// Cuts one quoted-printable encoded line into pieces of at most MaxLineLength
// characters (plus the "=" of a soft line break) and appends them to Out. An empty
// line gives one empty piece. A MaxLineLength below 1 leaves the line whole.
void WrapQuotedPrintableLine(std::string_view Encoded, int32_t MaxLineLength,
                             std::vector<std::string>& Out);

// Sub-parts are built straight from the lines of the part that SplitParts or
// JoinParts is called on: only that part holds its lines in Lines, a sub-part's
// Lines stays empty, so that no line is copied once per nesting level.
//
// A multipart or message part that may not descend (CanDescend false) keeps every
// line after its header as BodyLines, delimiter lines and encapsulated message
// included, and JoinParts writes them back as they came.
//
// None of the tree operations recurses: a tree of any depth is split, visited,
// joined and destroyed with explicit work lists.
class TMimePart {
public:
    TMimePart();
    // A part whose OutputCharsetId starts as the given charset, for a caller that
    // has just asked SystemCharset and creates many parts at once.
    explicit TMimePart(TCharsetId OutputCharset);
    ~TMimePart();
    TMimePart(const TMimePart&) = delete;
    TMimePart& operator=(const TMimePart&) = delete;

    std::string PrimaryType;
    TMimePrimaryKind PrimaryKind = TMimePrimaryKind::PrimaryText;
    std::string SubType;
    std::string TransferEncoding;
    TMimeTransferKind TransferKind = TMimeTransferKind::EncodingSevenBit;
    std::string FallbackCharset = "US-ASCII";
    std::string Charset;
    TCharsetId CharsetId = CharsetOfOrdinal(0);
    TCharsetId OutputCharsetId;
    std::string Description;
    std::string Disposition;
    std::string ContentId;
    std::string Boundary;
    std::string FileName;
    // The file-name parameter as the header wrote it, before its encoded words were
    // decoded into FileName.
    std::string FileNameParameter;
    // The parameters of the last Content-Type and Content-Disposition lines, each as
    // it was written ("format=flowed", "filename*0*=utf-8''a%C3%A1"), in their
    // order; the media type and the disposition type are not among them.
    std::vector<std::string> ContentTypeParameters;
    std::vector<std::string> DispositionParameters;
    TLineList Lines;
    TLineList BodyLines;
    TLineList HeaderLines;
    TLineList Preamble;
    TByteStream DecodedBody;
    std::vector<std::unique_ptr<TMimePart>> Children;
    TPartVisitor Visitor;
    int32_t MaxLineLength = 78;
    int32_t Depth = 0;
    int32_t MaxDepth = -1;

    void Clear();
    int32_t ChildCount() const;
    // The child at a 0-based index, or null at or beyond ChildCount.
    TMimePart* Child(int32_t Index) const;
    void ClearChildren();
    // The new child takes this part's FallbackCharset and MaxDepth, and Depth + 1.
    TMimePart& AddChild();
    // The same with the child's OutputCharsetId given instead of asked again.
    TMimePart& AddChild(TCharsetId OutputCharset);

    void SetPrimaryType(const std::string& Value);
    void SetTransferEncoding(const std::string& Value);
    void SetCharset(const std::string& Name);
    // Reads one logical header line from Index onward and advances Index past it.
    // An Index at or beyond the end of List raises std::out_of_range.
    static std::string UnfoldHeaderLine(const TLineList& List, size_t& Index);
    void ParseHeader();
    // Sets OutputCharsetId; FileName is decoded again from FileNameParameter straight
    // into the new charset, so that a name of raw bytes stays the bytes it was and a
    // name of encoded words loses nothing on the way. A FileName without a parameter
    // (given by hand) is left as it is.
    void SetOutputCharset(TCharsetId Id);

    void DecodeBody();
    void EncodeBody();
    void BuildHeader();

    void SplitParts();
    // SplitParts for a caller that no longer needs Lines: the lines move into the
    // tree instead of being copied, and Lines is left empty with its storage freed.
    void SplitPartsTakingLines();
    void JoinParts();
    // The text JoinParts followed by GetText of Lines would give, every line ended
    // by CR LF, built without the list of lines; Lines itself is left as it was.
    std::string JoinedText();
    // The same text handed to Write in pieces of some hundred kilobytes, so that a
    // large message is never held whole a second time.
    void WriteJoinedText(const std::function<void(std::string_view)>& Write);
    void VisitParts();
    bool CanDescend() const;
    // Whether the part is HTML: every text subtype that ends in "html" is
    // (text/html, text/x-amp-html ...).
    bool IsHtml() const;
    // Moves Index past the lines of Lines that are blank after right-trimming.
    void SkipBlankLines(size_t& Index) const;

private:
    void SplitLines();
    void ParseContentType(const std::string& Line, const std::string& Upper);
    void ParseContentDisposition(const std::string& Line, const std::string& Upper,
                                 std::string& DispositionFileName);
    std::string DecodeTransfer() const;
    bool DeclaresOwnCharset(const std::string& Decoded) const;
    void EncodeLines(std::string_view Content);
    // A text part neither quoted-printable nor base64: its lines are the text's own.
    bool WritesTextAsItIs() const;
    std::string ContentTypeLine() const;
    std::string DispositionLine() const;
    std::string FileNameParameterText(std::string_view Name) const;
    std::string TransferEncodingText() const;
};

}  // namespace lumaro
