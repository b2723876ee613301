// Where the program and its module lie, the standard streams as byte streams, and
// the program's peak memory.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tools/hostside/hostside.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <unistd.h>

#include <fstream>
#endif

namespace lumaro::host {
namespace {

#ifdef _WIN32
const char* const ModuleFileName = "lumaro.dll";

std::string ExecutablePath() {
    char Buffer[MAX_PATH + 1];
    const DWORD N = GetModuleFileNameA(nullptr, Buffer, MAX_PATH);
    return N > 0 && N < MAX_PATH ? std::string(Buffer, N) : std::string();
}
#else
const char* const ModuleFileName = "lumaro.so";

std::string ExecutablePath() {
    char Buffer[4096];
    const ssize_t N = readlink("/proc/self/exe", Buffer, sizeof Buffer);
    return N > 0 && static_cast<size_t>(N) < sizeof Buffer ? std::string(Buffer, static_cast<size_t>(N))
                                                            : std::string();
}
#endif

void WriteBytes(std::FILE* Stream, const std::string& Bytes) {
    if (!Bytes.empty()) std::fwrite(Bytes.data(), 1, Bytes.size(), Stream);
    std::fflush(Stream);
}

}  // namespace

#ifdef _WIN32
std::filesystem::path PathOf(const std::string& Text) {
    const int Length = static_cast<int>(Text.size());
    const int N = Text.empty() ? 0 : MultiByteToWideChar(CP_ACP, 0, Text.data(), Length, nullptr, 0);
    std::wstring Wide(static_cast<size_t>(N), L'\0');
    if (N > 0) MultiByteToWideChar(CP_ACP, 0, Text.data(), Length, Wide.data(), N);
    return std::filesystem::path(Wide);
}

std::string TextOf(const std::filesystem::path& Path) {
    const std::wstring& Wide = Path.native();
    const int Length = static_cast<int>(Wide.size());
    const int N = Wide.empty() ? 0 : WideCharToMultiByte(CP_ACP, 0, Wide.data(), Length, nullptr, 0, nullptr, nullptr);
    std::string Text(static_cast<size_t>(N), '\0');
    if (N > 0) WideCharToMultiByte(CP_ACP, 0, Wide.data(), Length, Text.data(), N, nullptr, nullptr);
    return Text;
}
#else
std::filesystem::path PathOf(const std::string& Text) { return std::filesystem::path(Text); }
std::string TextOf(const std::filesystem::path& Path) { return Path.string(); }
#endif

void WriteStdout(const std::string& Bytes) { WriteBytes(stdout, Bytes); }
void WriteStderr(const std::string& Text) { WriteBytes(stderr, Text); }

#ifdef _WIN32
uint64_t PeakMemoryBytes() {
    PROCESS_MEMORY_COUNTERS Counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &Counters, sizeof Counters)) return 0;
    return Counters.PeakWorkingSetSize;
}
#else
// The high-water mark of this program's own memory, which, unlike the resource
// usage the system keeps, does not count what the parent held before the start.
uint64_t PeakMemoryBytes() {
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("VmHWM:", 0) == 0) return std::strtoull(Line.c_str() + 6, nullptr, 10) * 1024;
    return 0;
}
#endif

std::string DefaultModulePath() {
    const std::string Self = ExecutablePath();
    if (Self.empty()) return ModuleFileName;
    const std::string Folder = TextOf(PathOf(Self).parent_path());
    const std::string Beside = JoinPath(Folder, ModuleFileName);
    // The first of these that exists; a message that no module can be loaded names
    // the first. Beside us is where the Windows archive has it; the Linux package
    // puts it into a folder of its own; a build tree builds it in the lumaro folder
    // next to ours.
    const std::string Candidates[] = {
        Beside,
#ifdef LUMARO_INSTALLED_MODULE
        JoinPath(Folder, LUMARO_INSTALLED_MODULE),
#endif
        JoinPath(JoinPath(JoinPath(Folder, ".."), "lumaro"), ModuleFileName),
    };
    for (const std::string& Path : Candidates)
        if (platform::FileExists(Path)) return Path;
    return Beside;
}

void LoadModule(const std::string& Given, TModule& Module) {
    const std::string Path = Given.empty() ? DefaultModulePath() : Given;
    std::error_code Error;
    const std::filesystem::path Absolute = std::filesystem::absolute(PathOf(Path), Error);
    // A name without a folder would send the loader on its own search path.
    Module.Load(Error ? Path : TextOf(Absolute));
}

}  // namespace lumaro::host
