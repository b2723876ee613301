// Throughput of the message model on large messages: splitting and joining a
// multipart message with a big base64 attachment, and decoding and re-encoding a
// big UTF-8 quoted-printable text part into ISO-8859-2.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "mimepart/mimepart.h"
#include "velcode/velcode.h"

namespace {

using lumaro::TMimePart;

constexpr size_t MessageBytes = 20u << 20;
constexpr size_t AttachmentBytes = 15u << 20;

size_t TotalBytes(const std::vector<std::string>& Lines) {
    size_t Total = 0;
    for (const auto& Line : Lines) Total += Line.size() + 2;
    return Total;
}

void AddTextLines(std::vector<std::string>& Lines, size_t Bytes) {
    const std::string Line = "The quick brown fox jumps over the lazy dog, again and again and again.";
    for (size_t Written = 0; Written < Bytes; Written += Line.size() + 2) Lines.push_back(Line);
}

void AddBase64Lines(std::vector<std::string>& Lines, size_t Bytes) {
    std::string Piece(57, '\0');
    for (size_t Written = 0; Written < Bytes; Written += 78) {
        for (size_t k = 0; k < Piece.size(); ++k) Piece[k] = static_cast<char>(Written + k * 7);
        Lines.push_back(lumaro::EncodeBase64(Piece));
    }
}

std::vector<std::string> MultipartMessage() {
    std::vector<std::string> Lines = {"From: a@example.org", "Subject: a large message",
                                      "Content-Type: multipart/mixed; boundary=\"=_big\"", "", "--=_big",
                                      "Content-Type: text/plain; charset=us-ascii", ""};
    AddTextLines(Lines, MessageBytes - AttachmentBytes);
    Lines.insert(Lines.end(), {"--=_big", "Content-Type: application/octet-stream; name=\"a.bin\"",
                               "Content-Transfer-Encoding: base64", ""});
    AddBase64Lines(Lines, AttachmentBytes);
    Lines.push_back("--=_big--");
    return Lines;
}

void SplitAndJoin(benchmark::State& State) {
    TMimePart Root;
    Root.MaxDepth = lumaro::MimeMaxDepth;
    const std::vector<std::string> Message = MultipartMessage();
    Root.Lines.Assign(Message);
    const size_t Bytes = TotalBytes(Message);
    for (auto _ : State) {
        Root.SplitParts();
        Root.JoinParts();
        benchmark::DoNotOptimize(Root.Lines.Count());
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Bytes));
}
BENCHMARK(SplitAndJoin)->Unit(benchmark::kMillisecond);

// Czech text in UTF-8, quoted-printable, as a mailer writes it.
std::string QuotedPrintableUtf8Body() {
    const std::string Line = "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8D" "k\xC3\xBD "
                             "k\xC5\xAF\xC5\x88 \xC3\xBAp\xC4\x9Bl \xC4\x8F\xC3\xA1" "belsk\xC3\xA9 \xC3\xB3" "dy.";
    std::vector<std::string> Wrapped;
    std::string Text;
    Text.reserve(MessageBytes + 1024);
    while (Text.size() < MessageBytes) {
        Wrapped.clear();
        lumaro::WrapQuotedPrintableLine(lumaro::EncodeQuotedPrintable(Line + " " + Line), 76, Wrapped);
        for (const auto& Piece : Wrapped) Text += Piece + "\r\n";
    }
    return Text;
}

void DecodeAndEncode(benchmark::State& State) {
    const std::string Body = QuotedPrintableUtf8Body();
    TMimePart Part;
    Part.HeaderLines = {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: quoted-printable"};
    for (auto _ : State) {
        State.PauseTiming();
        Part.ParseHeader();
        Part.OutputCharsetId = lumaro::TCharsetId::UTF_8;
        Part.BodyLines.SetText(Body);
        State.ResumeTiming();
        Part.DecodeBody();
        Part.SetCharset("ISO-8859-2");
        Part.EncodeBody();
        benchmark::DoNotOptimize(Part.BodyLines.Count());
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Body.size()));
}
BENCHMARK(DecodeAndEncode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
