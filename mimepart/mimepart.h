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
// The most parts, and the most header items (header lines, and parameters of
// Content-Type and Content-Disposition lines) of all its parts together, that the
// job driver lets SplitParts make of one message. Each costs memory beyond the
// bytes it came from, so that a message of a great many empty parts, header
// fields or parameters of a few bytes would otherwise take many times its size. A
// multipart whose sub-parts would pass the first limit keeps its lines as read; a
// part whose header would pass the second keeps all its lines as read, header
// included.
constexpr int32_t MimeMaxParts = 10000;
constexpr int32_t MimeMaxHeaderItems = 500000;

// What SplitParts kept of a part's lines as they were read, instead of parsing them.
enum class TMimeKept : uint8_t {
    Nothing,  // the header parsed; a multipart or message split into sub-parts
    Body,     // the header parsed; every line after it kept in BodyLines
    Whole     // every line, header included, kept in BodyLines; nothing parsed
};

// Cuts one header line into the pieces that JoinParts writes: at the last "; ",
// else ", ", else " " within MaxLineLength; every piece after the first begins
// with a blank. A cut that would not read back as the line it was (beside another
// blank or a control byte, or before a TAB) is not made, and the pieces on both
// sides of it stay one.
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
// A multipart or message part that is not split keeps every line after its header
// as BodyLines, delimiter lines and encapsulated message included, and JoinParts
// writes them back as they came (Kept is Body): a part that may not descend
// (CanDescend false), a multipart without a boundary or without a delimiter line,
// one whose sub-parts would pass MaxParts, an encapsulated message that does not
// begin right after the header around it (blank lines first, or nothing), and any
// part whose header has more than one Content-Type line (a text part so kept is
// not to be converted either). A part whose header would not read back as it was
// read (past MaxHeaderItems, a line that right-trimmed is a delimiter around it, a
// last line that would read as a continuation) keeps its header lines as read too
// (Kept is Whole).
//
// A delimiter line is "--" and the boundary, a closing delimiter line "--", the
// boundary and "--", each followed by nothing but blanks (spaces and TABs); every
// other line is content, whatever it begins with.
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
    // Read from the part SplitParts is called on; -1 means unlimited.
    int32_t MaxParts = -1;
    int32_t MaxHeaderItems = -1;
    TMimeKept Kept = TMimeKept::Nothing;

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
    // EncodeBody holding at most MaxBytes besides DecodedBody (the encoded lines,
    // and the converted text where the conversion cannot go a piece at a time):
    // false when it would hold more, and BodyLines is then left empty.
    bool EncodeBodyWithin(size_t MaxBytes);
    // EncodeBody for a caller that needs DecodedBody no more: it is emptied as soon
    // as it has been read, so that a large body is not held three times at once.
    void EncodeBodyOnce();
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
    // Encodes the mark and Content, converted from Source into CharsetId, as
    // quoted-printable or base64 lines.
    bool EncodeLines(std::string_view Mark, std::string_view Content, TCharsetId Source, size_t MaxBytes);
    bool Encode(size_t MaxBytes, bool KeepDecoded);
    // A text part neither quoted-printable nor base64: its lines are the text's own.
    bool WritesTextAsItIs() const;
    std::string ContentTypeLine() const;
    std::string DispositionLine() const;
    std::string FileNameParameterText(std::string_view Name) const;
    std::string TransferEncodingText() const;
};

}  // namespace lumaro
