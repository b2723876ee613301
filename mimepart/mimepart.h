// The MIME message model: TMimePart is one node of a message tree. It holds the raw
// lines of one part, its header lines, the values parsed from its content headers,
// its body (as lines and, after decoding, as bytes) and its sub-parts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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

class TMimePart {
public:
    TMimePart();
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
    TCharsetId CharsetId = TCharsetId::ISO_8859_1;
    TCharsetId OutputCharsetId;
    std::string Description;
    std::string Disposition;
    std::string ContentId;
    std::string Boundary;
    std::string FileName;
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
    TMimePart& AddChild();

    void SetPrimaryType(const std::string& Value);
    void SetTransferEncoding(const std::string& Value);
    void SetCharset(const std::string& Name);
    // Reads one logical header line from Index onward and advances Index past it.
    static std::string UnfoldHeaderLine(const TLineList& List, size_t& Index);
    void ParseHeader();

    void DecodeBody();
    void EncodeBody();
    void BuildHeader();

    void SplitParts();
    void JoinParts();
    void VisitParts();
    bool CanDescend() const;
    void SkipBlankLines(size_t& Index) const;
};

}  // namespace lumaro
