// ConvertCharset UTF-8 to ISO-8859-2 on 10 MB of mixed Czech and English text and
// on 10 MB of Czech with typographic characters, with the iconv library and with
// our own code; and BestCharset on a header-sized text,
// where every candidate costs four library descriptors.
#include <benchmark/benchmark.h>

#include <string>

#include "velchar/velchar.h"
#include "velicnv/velicnv.h"

namespace lumaro {
namespace {

std::string Repeated(const std::string& Paragraph) {
    std::string T;
    T.reserve(10 * 1024 * 1024 + Paragraph.size());
    while (T.size() < 10 * 1024 * 1024) T += Paragraph;
    return T;
}

const std::string& MixedText() {
    static const std::string Text = [] {
        const std::string Paragraph =
            "Dear customer, your order has been shipped and should arrive within three days.\r\n"
            "V\xC3\xA1\xC5\xBE"
            "en\xC3\xBD z\xC3\xA1kazn\xC3\xADku, va\xC5\xA1\x65 objedn\xC3\xA1vka byla odesl\xC3\xA1na "
            "a m\xC4\x9Bla by doraz\xC3\xADt b\xC4\x9bhem t\xC5\x99\xC3\xAD dn\xC5\xAF.\r\n"
            "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88 "
            "\xC3\xBAp\xC4\x9bl \xC4\x8F\xC3\xA1" "belsk\xC3\xA9 \xC3\xB3\x64y. Price: 120 EUR.\r\n";
        return Repeated(Paragraph);
    }();
    return Text;
}

// Czech as it is typed: typographic quotes, a dash, an ellipsis and a euro sign,
// none of which ISO-8859-2 holds, and an emoji.
const std::string& TypographicText() {
    static const std::string Text = [] {
        const std::string Paragraph =
            "V\xC3\xA1\xC5\xBE" "en\xC3\xBD z\xC3\xA1kazn\xC3\xADku, va\xC5\xA1\x65 \xE2\x80\x9E" "objedn\xC3\xA1vka\xE2\x80\x9C "
            "byla odesl\xC3\xA1na \xE2\x80\x93 m\xC4\x9Bla by doraz\xC3\xADt b\xC4\x9bhem t\xC5\x99\xC3\xAD dn\xC5\xAF\xE2\x80\xA6\r\n"
            "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88 "
            "\xC3\xBAp\xC4\x9bl \xC4\x8F\xC3\xA1" "belsk\xC3\xA9 \xC3\xB3\x64y. Cena: 120 \xE2\x82\xAC \xF0\x9F\x98\x80\r\n";
        return Repeated(Paragraph);
    }();
    return Text;
}

// Binds the library (true) or none; false when the library was asked for and is absent.
bool Bind(benchmark::State& State, bool Library) {
    SetIconvChoice(Library ? std::nullopt : std::optional<std::string>("none"));
    if (Library && !LoadIconvLibrary()) {
        State.SkipWithError("no iconv library here");
        return false;
    }
    return true;
}

void Convert(benchmark::State& State, const std::string& Text) {
    if (!Bind(State, State.range(0) != 0)) return;
    for (auto _ : State) benchmark::DoNotOptimize(ConvertCharset(Text, TCharsetId::UTF_8, TCharsetId::ISO_8859_2));
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Text.size()));
    SetIconvChoice(std::nullopt);
}

void ConvertUtf8ToLatin2(benchmark::State& State) { Convert(State, MixedText()); }
void ConvertTypographicUtf8ToLatin2(benchmark::State& State) { Convert(State, TypographicText()); }
BENCHMARK(ConvertUtf8ToLatin2)->ArgName("library")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ConvertTypographicUtf8ToLatin2)->ArgName("library")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BestCharsetOfSubject(benchmark::State& State) {
    if (!Bind(State, State.range(0) != 0)) return;
    const std::string Subject = "Re: Objedn\xC3\xA1vka \xC4\x8D. 2024-117 \xE2\x80\x93 potvrzen\xC3\xAD";
    const TCharsetSet Candidates{TCharsetId::ISO_8859_1, TCharsetId::ISO_8859_15, TCharsetId::WINDOWS_1252,
                                 TCharsetId::KOI8_R, TCharsetId::ISO_8859_2};
    for (auto _ : State) benchmark::DoNotOptimize(BestCharset(Subject, TCharsetId::UTF_8, Candidates));
    SetIconvChoice(std::nullopt);
}
BENCHMARK(BestCharsetOfSubject)->ArgName("library")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lumaro

BENCHMARK_MAIN();
