// Throughput of the transfer codings on mail-sized bodies, in bytes of input per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

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

// Cuts an encoded line at 76 characters with soft line breaks, never inside an
// escape, and ends it with a hard line break.
void AppendWrappedLine(std::string_view Encoded, std::string& Body) {
    for (size_t I = 0; I < Encoded.size();) {
        size_t Len = std::min<size_t>(73, Encoded.size() - I);
        while (Len > 2 && I + Len < Encoded.size() &&
               (Encoded[I + Len - 1] == '=' || Encoded[I + Len - 2] == '='))
            --Len;
        Body.append(Encoded.substr(I, Len));
        I += Len;
        if (I < Encoded.size()) Body.append("=\r\n");
    }
    Body.append("\r\n");
}

// The whole text as one encoded line: its CR LF become escapes too.
const std::string& QuotedPrintableBody() {
    static const std::string Body = [] {
        const std::string Encoded = EncodeQuotedPrintable(MixedText());
        std::string B;
        B.reserve(Encoded.size() + Encoded.size() / 24);
        AppendWrappedLine(Encoded, B);
        return B;
    }();
    return Body;
}

// Czech prose in UTF-8: a two-byte sequence every few letters, so that an encoded
// line is close to half escapes. The words of a Czech letter are drawn at random
// into lines of about 70 bytes: a text that repeats every few lines would let the
// processor learn its branches by heart, which no real body allows.
const std::string& CzechUtf8Text() {
    static const std::string Text = [] {
        const std::string_view Letter =
            "Dobrý den, v příloze posílám podklady k jednání o rozpočtu. Žádám o připomínky do "
            "čtvrtka; ve středu se ještě sejdeme s panem Kovářem v kanceláři č. 214. "
            "Příliš žluťoučký kůň úpěl ďábelské ódy. PŘÍLIŠ ŽLUŤOUČKÝ KŮŇ ÚPĚL ĎÁBELSKÉ ÓDY. "
            "S pozdravem Ing. Věra Šťastná";
        std::vector<std::string_view> Words;
        for (size_t I = 0; I < Letter.size();) {
            const size_t End = std::min(Letter.find(' ', I), Letter.size());
            Words.push_back(Letter.substr(I, End - I));
            I = End + 1;
        }
        std::mt19937 Rng(2027);
        std::string T;
        T.reserve(BodySize + 128);
        while (T.size() < BodySize) {
            const size_t LineStart = T.size();
            while (T.size() - LineStart < 64) {
                if (T.size() > LineStart) T += ' ';
                T.append(Words[Rng() % Words.size()]);
            }
            T.append("\r\n");
        }
        return T;
    }();
    return Text;
}

// The lines of a text without their CR LF, as a body encoder gets them.
std::vector<std::string_view> LinesOf(std::string_view Text) {
    std::vector<std::string_view> Lines;
    for (size_t I = 0; I < Text.size();) {
        const size_t End = std::min(Text.find("\r\n", I), Text.size());
        Lines.push_back(Text.substr(I, End - I));
        I = End + 2;
    }
    return Lines;
}

// Every line encoded on its own and wrapped, as a sender writes a body.
const std::string& CzechQuotedPrintableBody() {
    static const std::string Body = [] {
        std::string B;
        for (const std::string_view Line : LinesOf(CzechUtf8Text())) AppendWrappedLine(EncodeQuotedPrintable(Line), B);
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

// A body decoded as the message model does it: runs of about 64 KB appended to
// one output.
constexpr size_t RunBytes = 64 * 1024;

// Whole lines of about RunBytes each, so that no escape straddles two runs.
std::vector<std::string_view> RunsOf(std::string_view Text) {
    std::vector<std::string_view> Runs;
    for (size_t I = 0; I < Text.size();) {
        const size_t Break = Text.find("\r\n", std::min(I + RunBytes, Text.size()));
        const size_t End = Break == std::string_view::npos ? Text.size() : Break + 2;
        Runs.push_back(Text.substr(I, End - I));
        I = End;
    }
    return Runs;
}

void DecodeInRuns(benchmark::State& State, const std::string& Body) {
    const std::vector<std::string_view> Runs = RunsOf(Body);
    std::string Decoded;
    Decoded.reserve(Body.size());
    for (auto _ : State) {
        Decoded.clear();
        for (const std::string_view Run : Runs) AppendDecodedEscaped(Run, '=', Decoded);
        benchmark::DoNotOptimize(Decoded.data());
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Body.size()));
}

// Every piece encoded into one reused buffer, as the body encoder does a line at a time.
void EncodePieces(benchmark::State& State, const std::vector<std::string_view>& Pieces) {
    std::string Encoded;
    size_t Bytes = 0;
    for (const std::string_view Piece : Pieces) Bytes += Piece.size();
    for (auto _ : State) {
        for (const std::string_view Piece : Pieces) {
            Encoded.clear();
            AppendQuotedPrintable(Piece, Encoded);
            benchmark::DoNotOptimize(Encoded.data());
        }
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Bytes));
}


void QuotedPrintableDecode(benchmark::State& S) { Run(S, QuotedPrintableBody(), DecodeQuotedPrintable); }
void QuotedPrintableDecodeCzechUtf8(benchmark::State& S) { DecodeInRuns(S, CzechQuotedPrintableBody()); }
void QuotedPrintableEncode(benchmark::State& S) { Run(S, MixedText(), EncodeQuotedPrintable); }
void QuotedPrintableEncodeLines(benchmark::State& S) { EncodePieces(S, LinesOf(MixedText())); }
void QuotedPrintableEncodeLinesCzechUtf8(benchmark::State& S) { EncodePieces(S, LinesOf(CzechUtf8Text())); }
void QuotedPrintableEncodeRuns(benchmark::State& S) { EncodePieces(S, RunsOf(MixedText())); }
void Base64Decode(benchmark::State& S) { Run(S, Base64Body(), DecodeBase64); }
void Base64Encode(benchmark::State& S) { Run(S, BinaryBody(), EncodeBase64); }
void Base64ModDecode(benchmark::State& S) { Run(S, EncodeBase64Mod(BinaryBody()), DecodeBase64Mod); }

BENCHMARK(QuotedPrintableDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableDecodeCzechUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableEncodeLines)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableEncodeLinesCzechUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(QuotedPrintableEncodeRuns)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64ModDecode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
