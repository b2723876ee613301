// Throughput of the line lists and of the parameter reader, in bytes per second.
#include <benchmark/benchmark.h>

#include <string>

#include "mystrlist/mystrlist.h"
#include "velutil/velutil.h"

namespace {

using namespace lumaro;

// A message body of typical mail lines, CR LF ended.
const std::string& MessageText() {
    static const std::string Text = [] {
        std::string T;
        while (T.size() < (8u << 20)) T += "Meeting notes: budget approved, timeline moved by two weeks.\r\n";
        return T;
    }();
    return Text;
}

void SetTextOfAMessage(benchmark::State& State) {
    TMyStringList Lines;
    for (auto _ : State) {
        Lines.SetText(MessageText());
        benchmark::DoNotOptimize(Lines.Count());
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * MessageText().size()));
}
BENCHMARK(SetTextOfAMessage);

void GetTextOfAMessage(benchmark::State& State) {
    TMyStringList Lines;
    Lines.SetText(MessageText());
    for (auto _ : State) benchmark::DoNotOptimize(Lines.GetText());
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * MessageText().size()));
}
BENCHMARK(GetTextOfAMessage);

// A parameter behind many quoted items: the reader must stay linear in the value.
void ParameterAfterManyItems(benchmark::State& State) {
    std::string Value = "text/plain";
    for (int64_t i = 0; i < State.range(0); ++i) Value += "; p=\"v;w\"";
    Value += "; charset=utf-8";
    for (auto _ : State) benchmark::DoNotOptimize(HeaderParameter(Value, "charset"));
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Value.size()));
}
BENCHMARK(ParameterAfterManyItems)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
