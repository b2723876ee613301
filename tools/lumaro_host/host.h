// lumaro-host: a stand-in for the mail server. It loads the module by path the way
// the server does, hands it a host record of its own and drives its entry points,
// so that the module can be tried and tested without the server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/hostside/hostside.h"

namespace lumaro::host {

// Exit statuses of the program.
constexpr int ExitOk = 0;
constexpr int ExitJobFailed = 1;
constexpr int ExitUsage = 2;

enum class TCommand { Run, Queue, Filter, CheckConfig, Startup, Closedown, Configure, Help, Version };

struct TOptions {
    TCommand Command = TCommand::Help;
    std::string ModulePath;  // empty: the module beside the executable
    std::optional<std::string> BaseDir;
    std::optional<std::string> QueueDir;
    std::optional<std::string> HostName;
    std::optional<std::string> CharSet;
    uint8_t VersionMajor = 4;
    uint8_t VersionMinor = 1;
    std::string JobId;
    std::optional<std::string> Sender;
};

// Raises TUsageError for anything it cannot accept.
TOptions ParseArguments(const std::vector<std::string>& Args);
const char* HelpText();

// The server as the options describe it; its log is BASE/server.log.
TServerSettings ServerSettingsOf(const TOptions& Options);

// The queue folder the module will read: the configuration's Queue key, else the
// --queue option, else BASE/QUEUE (the module's own order of choice).
std::string QueueFolder(const TOptions& Options);

// Console helpers.
void UseBinaryStdio();
bool StderrIsTerminal();
std::string ReadAllStdin();

int RunCommand(const TOptions& Options);
int QueueCommand(const TOptions& Options);
int FilterCommand(const TOptions& Options);
int EntryPointCommand(const TOptions& Options);
int CheckConfigCommand(const TOptions& Options);

}  // namespace lumaro::host
