// Throughput of the transfer codings on mail-sized bodies, in bytes of input per second.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "velcode/velcode.h"

namespace {

using namespace lumaro;

constexpr size_t BodySize = 8 << 20;

// Czech and English prose in ISO-8859-2, lines ended by CR LF: mostly ASCII with a
// high byte every few words, as in the bodies the module converts.
const std::string& MixedText() {
    static const std::string Text = [] {
        const char* Lines[] = {
            "Dobr\xFD den, pos\xEDl\xE1m v\xE1m sl\xED" "benou zpr\xE1vu o stavu projektu.",
            "The quarterly report is attached; please review the figures before Friday.",
            "P\xF8\xEDli\xB9 \xBE" "elvou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1" "belsk\xE9 \xF3" "dy.",
            "Meeting notes: budget approved, timeline moved by two weeks = 14 days.",
        };
        std::string T;
        T.reserve(BodySize + 128);
        for (size_t I = 0; T.size() < BodySize; ++I) T.append(Lines[I % 4]).append("\r\n");
        return T;
    }();
    return Text;
}

// The quoted-printable form a body gets: every line encoded and cut at 76 characters
// with soft line breaks.
const std::string& QuotedPrintableBody() {
    static const std::string Body = [] {
        const std::string Encoded = EncodeQuotedPrintable(MixedText());
        std::string B;
        B.reserve(Encoded.size() + Encoded.size() / 24);
        for (size_t I = 0; I < Encoded.size();) {
            size_t Len = std::min<size_t>(73, Encoded.size() - I);
            // a soft break never splits an escape
            while (Len > 2 && (Encoded[I + Len - 1] == '=' || Encoded[I + Len - 2] == '=')) --Len;
            B.append(Encoded, I, Len).append("=\r\n");
            I += Len;
        }
        return B;
    }();
    return Body;
}

const std::string& BinaryBody() {
    static const std::string Bytes = [] {
        std::mt19937 Rng(1);
        std::string B(BodySize, '\0');
        for (char& C : B) C = static_cast<char>(Rng());
        return B;
    }();
    return Bytes;
}

// Base64 as it stands in a message: 76 characters a line.
const std::string& Base64Body() {
    static const std::string Body = [] {
        const std::string Encoded = EncodeBase64(BinaryBody());
        std::string B;
        B.reserve(Encoded.size() + Encoded.size() / 38);
        for (size_t I = 0; I < Encoded.size(); I += 76) B.append(Encoded, I, 76).append("\r\n");
        return B;
    }();
    return Body;
}

template <typename TCodec>
void Run(benchmark::State& State, const std::string& Input, TCodec Codec) {
    for (auto _ : State) benchmark::DoNotOptimize(Codec(Input));
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Input.size()));
}

void QuotedPrintableDecode(benchmark::State& S) { Run(S, QuotedPrintableBody(), DecodeQuotedPrintable); }
void QuotedPrintableEncode(benchmark::State& S) { Run(S, MixedText(), EncodeQuotedPrintable); }
void Base64Decode(benchmark::State& S) { Run(S, Base64Body(), DecodeBase64); }
void Base64Encode(benchmark::State& S) { Run(S, BinaryBody(), EncodeBase64); }
void Base64ModDecode(benchmark::State& S) { Run(S, EncodeBase64Mod(BinaryBody()), DecodeBase64Mod); }

BENCHMARK(QuotedPrintableDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64ModDecode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
