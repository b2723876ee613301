// Decoding of long and typical header texts, and the encoding of a typical Czech
// Subject (whose charset choice runs two trial conversions per candidate).
//
// Run with LUMARO_ICONV=none for the own code, without it for the iconv library.
#include <benchmark/benchmark.h>

#include <string>

#include "mimeinln/mimeinln.h"

namespace {

using namespace lumaro;

std::string MegabyteOfWords() {
    std::string Value;
    Value.reserve(1100000);
    for (int i = 0; i < 20000; ++i) {
        Value += (i % 2) ? "=?UTF-8?Q?P=C5=99=C3=ADli=C5=A1_=C5=BElu=C5=A5ou=C4=8Dk=C3=BD?= "
                         : "=?ISO-8859-2?B?UPjtbGm5IL5sdbtvdehr/Q==?= ";
    }
    return Value;
}

std::string Repeated(std::string_view Piece, size_t Size) {
    std::string Value;
    Value.reserve(Size + Piece.size());
    while (Value.size() < Size) Value += Piece;
    return Value;
}

void RunDecode(benchmark::State& State, const std::string& Value) {
    const TCharsetId Target = CharsetByName("ISO-8859-2");
    for (auto _ : State) benchmark::DoNotOptimize(DecodeEncodedWords(Value, Target));
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) *
                            static_cast<int64_t>(Value.size()));
}

void DecodeMegabyteOfWords(benchmark::State& State) {
    static const std::string Value = MegabyteOfWords();
    State.counters["words"] = 20000;
    RunDecode(State, Value);
}
BENCHMARK(DecodeMegabyteOfWords)->Unit(benchmark::kMillisecond);

// "=?" after "=?" with no closing anywhere behind them.
void DecodeMegabyteOfUnclosedOpenings(benchmark::State& State) {
    static const std::string Value = Repeated("=?a ", 1 << 20);
    RunDecode(State, Value);
}
BENCHMARK(DecodeMegabyteOfUnclosedOpenings)->Unit(benchmark::kMillisecond);

// "=?=?=?...": every few bytes a malformed word that is copied as it stands.
void DecodeMegabyteOfOpenings(benchmark::State& State) {
    static const std::string Value = Repeated("=?", 1 << 20);
    RunDecode(State, Value);
}
BENCHMARK(DecodeMegabyteOfOpenings)->Unit(benchmark::kMillisecond);

void DecodeTypicalSubject(benchmark::State& State) {
    static const std::string Value =
        "Re: [projekt-x] =?UTF-8?Q?P=C5=99=C3=ADli=C5=A1_=C5=BElu=C5=A5ou=C4=8Dk=C3=BD_k?= "
        "=?UTF-8?Q?=C5=AF=C5=88_=C3=BAp=C4=9Bl_=C4=8F=C3=A1belsk=C3=A9_=C3=B3dy?= "
        "=?UTF-8?B?YSB0YWvDqSBwb3puw6Fta3kgayBwxZllZG7DocWhY2U=?= (2. verze)";
    RunDecode(State, Value);
}
BENCHMARK(DecodeTypicalSubject)->Unit(benchmark::kMicrosecond);

void EncodeCzechSubject(benchmark::State& State) {
    static const std::string Value =
        "Re: Pozv\xE1nka na sch\xF9zku \x9Elut\xE9ho v\xFD" "boru, \xFAter\xFD 14:00 - p\xF8ipom\xEDnka";
    setenv("LUMARO_CODEPAGE", "1250", 1);
    for (auto _ : State) benchmark::DoNotOptimize(EncodeHeaderText(Value));
}
BENCHMARK(EncodeCzechSubject)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
