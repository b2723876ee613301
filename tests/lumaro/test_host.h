// A mail server made for the tests: it builds the host record, answers the
// module's questions from its fields, and records every call the module makes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lumaro/hostif.h"

namespace lumaro::test {

// A fresh folder with a queue folder in it, removed again at the end of a test.
class TScratch {
public:
    TScratch();
    ~TScratch();
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    std::filesystem::path Base;
    std::filesystem::path Queue;  // Base/QUEUE
    std::filesystem::path Log;    // Base/activity.log

    // Writes lumaro.ini: LogFile pointing at Log and Queue at the queue folder,
    // followed by the given extra lines.
    void WriteConfig(const std::string& ExtraLines = "") const;
    std::filesystem::path QueueFile(const std::string& JobId) const;
};

class TTestHost {
public:
    TTestHost();
    ~TTestHost();
    TTestHost(const TTestHost&) = delete;
    TTestHost& operator=(const TTestHost&) = delete;

    THostInterface Record{};
    // Answers of QueryVariable by selector; nullopt answers a null pointer.
    std::optional<std::string> BaseDir, QueueDir, HostName;
    std::optional<std::string> Sender;
    // Copied into the 20 JobId bytes, NUL-terminated only when shorter.
    std::string JobId = "JOB1";
    // Runs before each answer; may raise to play a failing server.
    std::function<void(const std::string& Call)> BeforeAnswer;

    std::vector<std::string> Calls;      // "QueryVariable 8", "QueryJobInfo", "WriteServerLog 0 5 ..."
    std::vector<std::string> ServerLog;  // texts given to WriteServerLog
    void* SeenJobHandle = nullptr;

    void UseScratch(const TScratch& Scratch);
    int16_t RunDaemon(void* JobHandle = reinterpret_cast<void*>(uintptr_t{0x5eed}));

private:
    // The host of the thread's jobs: each thread that runs jobs has its own.
    static thread_local TTestHost* Current;
    static const char* LUMARO_CDECL QueryVariable(int Selector);
    static int LUMARO_CDECL QueryJobInfo(void* JobHandle, void* JobInfo);
    static int LUMARO_CDECL WriteServerLog(int Zero, int Five, const char* Text);
    void Note(const std::string& Call);
};

std::string ReadFile(const std::filesystem::path& Path);
void WriteFile(const std::filesystem::path& Path, const std::string& Bytes);
// The file's lines cut at CR LF, without the last empty piece.
std::vector<std::string> ReadLines(const std::filesystem::path& Path);
// Lines joined with CR LF after each, as the module writes a message.
std::string CrLfText(const std::vector<std::string>& Lines);
// The log line with its 13-character time stamp replaced by "<stamp>"; the line
// unchanged when it has no stamp in the right place.
std::string WithoutStamp(const std::string& LogLine);

}  // namespace lumaro::test
