// Writing a long unchanged stretch of a message to the new queue file: from the
// bytes already read (one write), or by asking the kernel to copy it from the
// file read (copy_file_range). The job has read the stretch either way, since
// the split must find where the part ends. LUMARO_BENCH_DIRS names the folders
// to try, separated by colons (a tmpfs and a disk, say); /dev/shm and /var/tmp
// when unset.
#include <benchmark/benchmark.h>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t StretchBytes = 40u << 20;

struct TFiles {
    std::string Source, Target;
    int SourceFd = -1;
    std::string Read;
};

bool WriteAll(int Fd, const char* Data, size_t Size) {
    while (Size > 0) {
        const ssize_t Done = write(Fd, Data, Size);
        if (Done <= 0) return false;
        Data += Done;
        Size -= static_cast<size_t>(Done);
    }
    return true;
}

bool PrepareSource(TFiles& Files, const std::string& Folder) {
    Files.Source = Folder + "/lumaro-bench-source";
    Files.Target = Folder + "/lumaro-bench-target";
    Files.Read.assign(StretchBytes, '\0');
    for (size_t I = 0; I < StretchBytes; ++I) Files.Read[I] = static_cast<char>('A' + I % 61);
    const int Fd = open(Files.Source.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (Fd < 0) return false;
    const bool Written = WriteAll(Fd, Files.Read.data(), Files.Read.size());
    close(Fd);
    Files.SourceFd = open(Files.Source.c_str(), O_RDONLY);
    return Written && Files.SourceFd >= 0;
}

void RemoveFiles(TFiles& Files) {
    if (Files.SourceFd >= 0) close(Files.SourceFd);
    unlink(Files.Source.c_str());
    unlink(Files.Target.c_str());
}

bool CopyInKernel(int From, int To, size_t Size) {
    loff_t In = 0;
    while (Size > 0) {
        const ssize_t Done = copy_file_range(From, &In, To, nullptr, Size, 0);
        if (Done <= 0) return false;
        Size -= static_cast<size_t>(Done);
    }
    return true;
}

// One stretch written into a fresh file, the way the rewrite makes its temporary file.
void WriteStretch(benchmark::State& State, const std::string& Folder, bool InKernel) {
    TFiles Files;
    if (!PrepareSource(Files, Folder)) {
        RemoveFiles(Files);
        State.SkipWithError(("cannot write in " + Folder).c_str());
        return;
    }
    for (auto _ : State) {
        const int To = open(Files.Target.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        const bool Done = To >= 0 && (InKernel ? CopyInKernel(Files.SourceFd, To, StretchBytes)
                                               : WriteAll(To, Files.Read.data(), StretchBytes));
        if (To >= 0) close(To);
        if (!Done) {
            State.SkipWithError("the copy failed");
            break;
        }
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(StretchBytes));
    RemoveFiles(Files);
}

std::vector<std::string> Folders() {
    const char* Named = std::getenv("LUMARO_BENCH_DIRS");
    std::string List = Named != nullptr ? Named : "/dev/shm:/var/tmp";
    std::vector<std::string> Result;
    for (size_t From = 0; From <= List.size();) {
        const size_t End = std::min(List.find(':', From), List.size());
        if (End > From) Result.push_back(List.substr(From, End - From));
        From = End + 1;
    }
    return Result;
}

const bool Registered = [] {
    for (const std::string& Folder : Folders()) {
        benchmark::RegisterBenchmark(("WriteFromMemory/" + Folder).c_str(),
                                     [Folder](benchmark::State& S) { WriteStretch(S, Folder, false); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("CopyFileRange/" + Folder).c_str(),
                                     [Folder](benchmark::State& S) { WriteStretch(S, Folder, true); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
#endif

BENCHMARK_MAIN();
