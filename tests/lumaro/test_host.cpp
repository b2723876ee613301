#include "test_host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#endif

namespace lumaro::test {
namespace fs = std::filesystem;

namespace {

void SetEnvironment(const char* Name, const char* Value) {
#ifdef _WIN32
    _putenv_s(Name, Value);
    SetEnvironmentVariableA(Name, Value);
#else
    setenv(Name, Value, 1);
#endif
}

// Every test sees the same system charset, whatever machine or Wine locale runs it.
struct TFixedCodePage {
    TFixedCodePage() { SetEnvironment("LUMARO_CODEPAGE", "1250"); }
} FixedCodePage;

fs::path UniqueFolder() {
    static std::atomic<unsigned> Counter{0};
    const auto Ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return fs::temp_directory_path() /
           ("lumaro-test-" + std::to_string(Ticks) + "-" + std::to_string(Counter.fetch_add(1)));
}

}  // namespace

TScratch::TScratch() : Base(UniqueFolder()), Queue(Base / "QUEUE"), Log(Base / "activity.log") {
    fs::create_directories(Queue);
}

TScratch::~TScratch() {
    std::error_code Ignored;
    fs::permissions(Queue, fs::perms::owner_all, fs::perm_options::add, Ignored);
    fs::remove_all(Base, Ignored);
}

void TScratch::WriteConfig(const std::string& ExtraLines) const {
    WriteFile(Base / "lumaro.ini", "[Lumaro]\r\nLogFile=" + Log.string() + "\r\nQueue=" + Queue.string() +
                                       "\r\n" + ExtraLines);
}

fs::path TScratch::QueueFile(const std::string& JobId) const { return Queue / (JobId + ".QDF"); }

thread_local TTestHost* TTestHost::Current = nullptr;

TTestHost::TTestHost() {
    Record.VersionMajor = 4;
    Record.VersionMinor = 1;
    Record.SetQueryVariable(&TTestHost::QueryVariable);
    Record.SetQueryJobInfo(&TTestHost::QueryJobInfo);
    Record.SetWriteServerLog(&TTestHost::WriteServerLog);
    Current = this;
}

TTestHost::~TTestHost() { Current = nullptr; }

void TTestHost::UseScratch(const TScratch& Scratch) {
    BaseDir = Scratch.Base.string();
    HostName = "mail.example.cz";
    Sender = "Jan Novak <jan@example.cz>";
}

int16_t TTestHost::RunDaemon(void* JobHandle) { return DAEMON(JobHandle, &Record); }

void TTestHost::Note(const std::string& Call) {
    Calls.push_back(Call);
    if (BeforeAnswer) BeforeAnswer(Call);
}

const char* LUMARO_CDECL TTestHost::QueryVariable(int Selector) {
    TTestHost& Host = *Current;
    Host.Note("QueryVariable " + std::to_string(Selector));
    const std::optional<std::string>* Answer = nullptr;
    if (Selector == HostVarBaseDir) Answer = &Host.BaseDir;
    if (Selector == HostVarQueueDir) Answer = &Host.QueueDir;
    if (Selector == HostVarHostName) Answer = &Host.HostName;
    return Answer != nullptr && Answer->has_value() ? (*Answer)->c_str() : nullptr;
}

int LUMARO_CDECL TTestHost::QueryJobInfo(void* JobHandle, void* JobInfo) {
    TTestHost& Host = *Current;
    Host.Note("QueryJobInfo");
    Host.SeenJobHandle = JobHandle;
    TJobInfo Info;
    // Bytes around the identifier that a careless reader would take along.
    std::memset(&Info, 'Z', sizeof Info);
    Info.SetSender(Host.Sender ? Host.Sender->c_str() : nullptr);
    std::memset(Info.JobId, 0, JobIdMaxLength);
    std::memcpy(Info.JobId, Host.JobId.data(), std::min(Host.JobId.size(), JobIdMaxLength));
    std::memcpy(JobInfo, &Info, sizeof Info);
    return 1;
}

int LUMARO_CDECL TTestHost::WriteServerLog(int Zero, int Five, const char* Text) {
    TTestHost& Host = *Current;
    Host.Note("WriteServerLog " + std::to_string(Zero) + " " + std::to_string(Five) + " " + Text);
    Host.ServerLog.push_back(Text);
    return 1;
}

std::string ReadFile(const fs::path& Path) {
    std::ifstream In(Path, std::ios::binary);
    if (!In) return {};
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& Path, const std::string& Bytes) {
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!Out) throw std::runtime_error("cannot write " + Path.string());
}

std::vector<std::string> ReadLines(const fs::path& Path) {
    const std::string Text = ReadFile(Path);
    std::vector<std::string> Lines;
    size_t Start = 0;
    while (Start < Text.size()) {
        size_t End = Text.find("\r\n", Start);
        if (End == std::string::npos) End = Text.size();
        Lines.push_back(Text.substr(Start, End - Start));
        Start = End + 2;
    }
    return Lines;
}

std::string CrLfText(const std::vector<std::string>& Lines) {
    std::string Text;
    for (const std::string& Line : Lines) Text += Line + "\r\n";
    return Text;
}

std::string WithoutStamp(const std::string& LogLine) {
    // "C yyyymmdd hhnn ...": the stamp sits at positions 2 to 14 (0-based).
    if (LogLine.size() < 16 || LogLine[1] != ' ' || LogLine[10] != ' ' || LogLine[15] != ' ') return LogLine;
    for (size_t i = 2; i < 15; ++i)
        if (i != 10 && (LogLine[i] < '0' || LogLine[i] > '9')) return LogLine;
    return LogLine.substr(0, 2) + "<stamp>" + LogLine.substr(15);
}

}  // namespace lumaro::test
