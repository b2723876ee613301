// Splits arbitrary bytes into a part tree, visits it, decodes and re-encodes every
// body and joins the tree again. The first byte picks the output charset and the
// line limit, so that conversions and narrow folding are reached too. The text
// written in pieces must be the text of the joined lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "mimepart/mimepart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace lumaro;
    if (Size == 0) return 0;
    const uint8_t Options = Data[0];
    const std::string_view Message(reinterpret_cast<const char*>(Data) + 1, Size - 1);

    TMimePart Root;
    Root.MaxDepth = MimeMaxDepth;
    Root.Lines.SetText(Message);
    Root.SplitParts();
    const TCharsetId Output = CharsetOfOrdinal((Options & 0x1F) % CharsetCount);
    const int32_t LineLimit = (Options & 0x20) ? 78 : static_cast<int32_t>(Options >> 6) * 3;
    Root.Visitor = [Output, LineLimit, Options](TMimePart& Part) {
        Part.OutputCharsetId = Output;
        Part.MaxLineLength = LineLimit;
        Part.DecodeBody();
        if (Options & 0x80) Part.SetCharset("ISO-8859-2");
        Part.BuildHeader();
        Part.EncodeBody();
    };
    Root.VisitParts();
    std::string Streamed;
    Root.WriteJoinedText([&Streamed](std::string_view Piece) { Streamed.append(Piece); });
    Root.JoinParts();
    fuzz::Require(Root.Lines.GetText() == Streamed, "the written text is the text of the joined lines");
    return 0;
}
