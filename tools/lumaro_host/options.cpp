// The command line of lumaro-host.
#include <algorithm>
#include <map>

#include "tools/lumaro_host/host.h"

namespace lumaro::host {
namespace {

const char* const Help =
    "Usage: lumaro-host COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Loads the Lumaro module the way the mail server does and drives its entry points.\n"
    "\n"
    "Commands:\n"
    "  run --base DIR [--queue DIR] [--host NAME] [--interface M.N] JOBID [SENDER]\n"
    "      One DAEMON call for the job JOBID (its message is JOBID.QDF in the queue\n"
    "      folder); SENDER is the sender text the server reports for the job.\n"
    "  queue --base DIR [--queue DIR] [--host NAME] [--interface M.N]\n"
    "      One DAEMON call for every *.QDF file of the queue folder, in name order, then\n"
    "      a summary: jobs, changed, failed, seconds, MB/s (10^6 bytes of input per\n"
    "      second) and the peak memory of the whole program. On a terminal a progress\n"
    "      line is shown while it runs. Each job's sender is the message's Return-Path,\n"
    "      else its From header.\n"
    "  filter [--base DIR] [--charset NAME] [--host NAME]\n"
    "      Reads one message from standard input, runs it through DAEMON in a scratch\n"
    "      queue and writes the result to standard output; the activity-log lines go\n"
    "      to standard error. The configuration comes from DIR/lumaro.ini when --base\n"
    "      is given (its LogFile and Queue are replaced by the scratch folder's).\n"
    "  check-config [--base DIR]\n"
    "      Reads DIR/lumaro.ini (default: the current folder) as every job reads it and\n"
    "      prints each setting with where its value came from, the code page headers\n"
    "      are decoded into, the activity log and whether it can be appended to, and\n"
    "      the iconv library in use; then every problem found (a CharSet or TagName a\n"
    "      job cannot use, a log that cannot be written, a file without [Lumaro], an\n"
    "      unknown key).\n"
    "  startup | closedown | configure\n"
    "      Calls STARTUP, CLOSEDOWN or CONFIGURE and prints its result.\n"
    "\n"
    "Options:\n"
    "  --module PATH   the module to load (default: lumaro.so or lumaro.dll beside this\n"
#ifdef LUMARO_INSTALLED_MODULE
    "                  program, else " LUMARO_INSTALLED_MODULE "\n"
    "                  from it as the package installs it, else in ../lumaro/ from it\n"
    "                  as in a build tree)\n"
#else
    "                  program, or in ../lumaro/ from it as in a build tree)\n"
#endif
    "  --base DIR      the server's base folder (host variable 8): it holds lumaro.ini,\n"
    "                  and the server log server.log is appended to there\n"
    "  --queue DIR     the server's queue folder (host variable 1); without it the\n"
    "                  server has none and the module falls back to BASE/QUEUE. The\n"
    "                  Queue key of lumaro.ini, when set, wins as it does in the module.\n"
    "  --host NAME     the server's host name (host variable 3); default: none\n"
    "  --interface M.N the interface version in the host record (default 4.1)\n"
    "  --charset NAME  filter only: the CharSet to convert into, overriding lumaro.ini\n"
    "  --help          this text\n"
    "  --version       the version of this program and the module it was built with\n"
    "\n"
    "Options take their value as the next argument or after '=' (--base=DIR).\n"
    "Server log messages are written to standard error as they arrive.\n"
    "\n"
    "Exit status: 0 when every job succeeded (for the entry-point commands: the call\n"
    "was made), 1 when a job failed (the module reported a crash to the server log),\n"
    "when the module reported a setting it could not use, or when check-config found\n"
    "a problem; 2 for bad arguments or when the module or a folder cannot be used.\n";

struct TCommandRule {
    TCommand Command;
    std::vector<std::string> Allowed;  // options besides --module and --help
    size_t MinPositional, MaxPositional;
    bool NeedsBase;
};

const std::map<std::string, TCommandRule>& CommandRules() {
    static const std::map<std::string, TCommandRule> Rules = {
        {"run", {TCommand::Run, {"--base", "--queue", "--host", "--interface"}, 1, 2, true}},
        {"queue", {TCommand::Queue, {"--base", "--queue", "--host", "--interface"}, 0, 0, true}},
        {"filter", {TCommand::Filter, {"--base", "--charset", "--host", "--interface"}, 0, 0, false}},
        {"check-config", {TCommand::CheckConfig, {"--base"}, 0, 0, false}},
        {"startup", {TCommand::Startup, {"--base", "--queue", "--host", "--interface"}, 0, 0, false}},
        {"closedown", {TCommand::Closedown, {}, 0, 0, false}},
        {"configure", {TCommand::Configure, {}, 0, 0, false}},
    };
    return Rules;
}

bool IsKnownOption(const std::string& Name) {
    static const char* const Known[] = {"--module",  "--base", "--queue",  "--host",
                                        "--interface", "--charset", "--help", "--version"};
    return std::find(std::begin(Known), std::end(Known), Name) != std::end(Known);
}

// "M.N" with two decimal numbers of 0 to 255.
bool ParseVersionPart(const std::string& Text, uint8_t& Value) {
    if (Text.empty() || Text.size() > 3) return false;
    unsigned N = 0;
    for (char C : Text) {
        if (C < '0' || C > '9') return false;
        N = N * 10 + static_cast<unsigned>(C - '0');
    }
    if (N > 255) return false;
    Value = static_cast<uint8_t>(N);
    return true;
}

void ParseVersion(const std::string& Text, TOptions& Options) {
    const size_t Dot = Text.find('.');
    if (Dot == std::string::npos || !ParseVersionPart(Text.substr(0, Dot), Options.VersionMajor) ||
        !ParseVersionPart(Text.substr(Dot + 1), Options.VersionMinor)) {
        throw TUsageError("--interface wants M.N with numbers from 0 to 255, not '" + Text + "'");
    }
}

void SetOption(const std::string& Name, const std::string& Value, TOptions& Options) {
    if (Value.empty()) throw TUsageError("option " + Name + " wants a non-empty value");
    if (Name == "--module") Options.ModulePath = Value;
    else if (Name == "--base") Options.BaseDir = Value;
    else if (Name == "--queue") Options.QueueDir = Value;
    else if (Name == "--host") Options.HostName = Value;
    else if (Name == "--charset") Options.CharSet = Value;
    else if (Name == "--interface") ParseVersion(Value, Options);
}

struct TSplitArguments {
    std::vector<std::pair<std::string, std::string>> Named;
    std::vector<std::string> Positional;
    bool WantsHelp = false;
    bool WantsVersion = false;
};

TSplitArguments SplitArguments(const std::vector<std::string>& Args) {
    TSplitArguments Split;
    for (size_t I = 0; I < Args.size(); ++I) {
        const std::string& A = Args[I];
        if (A.size() < 2 || A.compare(0, 2, "--") != 0) {
            if (A == "-h") Split.WantsHelp = true;
            else Split.Positional.push_back(A);
            continue;
        }
        const size_t Eq = A.find('=');
        const std::string Name = A.substr(0, Eq);
        if (!IsKnownOption(Name)) throw TUsageError("unknown option " + Name);
        if (Name == "--version" && Eq != std::string::npos)
            throw TUsageError("--version takes no value (the interface version is --interface M.N)");
        if (Name == "--help" || Name == "--version") {
            (Name == "--help" ? Split.WantsHelp : Split.WantsVersion) = true;
            continue;
        }
        if (Eq != std::string::npos) {
            Split.Named.emplace_back(Name, A.substr(Eq + 1));
        } else if (I + 1 < Args.size()) {
            Split.Named.emplace_back(Name, Args[++I]);
        } else {
            throw TUsageError("option " + Name + " wants a value");
        }
    }
    return Split;
}

void CheckPositional(const std::string& Command, const TCommandRule& Rule, size_t Count) {
    if (Count < Rule.MinPositional) throw TUsageError(Command + " wants a job identifier");
    if (Count > Rule.MaxPositional) {
        throw TUsageError(Command + " takes " +
                          (Rule.MaxPositional == 0 ? std::string("no arguments besides options")
                                                   : std::string("at most JOBID and SENDER")));
    }
}

}  // namespace

const char* HelpText() { return Help; }

TServerSettings ServerSettingsOf(const TOptions& Options) {
    TServerSettings Settings;
    Settings.BaseDir = Options.BaseDir;
    Settings.QueueDir = Options.QueueDir;
    Settings.HostName = Options.HostName;
    Settings.VersionMajor = Options.VersionMajor;
    Settings.VersionMinor = Options.VersionMinor;
    if (Options.BaseDir) Settings.LogFile = JoinPath(*Options.BaseDir, "server.log");
    return Settings;
}

std::string QueueFolder(const TOptions& Options) {
    const std::string Base = Options.BaseDir.value_or("");
    const std::string Configured = platform::ProfileString(ConfigurationPath(Base), "Lumaro", "Queue", "");
    return QueueFolderOf(Configured, [&Options] { return Options.QueueDir.value_or(""); }, Base);
}

TOptions ParseArguments(const std::vector<std::string>& Args) {
    TSplitArguments Split = SplitArguments(Args);
    TOptions Options;
    if (Split.WantsHelp) return Options;
    if (Split.WantsVersion) {
        Options.Command = TCommand::Version;
        return Options;
    }
    if (Split.Positional.empty()) throw TUsageError("no command given");
    const std::string Command = Split.Positional.front();
    const auto Found = CommandRules().find(Command);
    if (Found == CommandRules().end()) throw TUsageError("unknown command '" + Command + "'");
    const TCommandRule& Rule = Found->second;
    Options.Command = Rule.Command;

    for (const auto& [Name, Value] : Split.Named) {
        const bool Allowed = Name == "--module" || std::find(Rule.Allowed.begin(), Rule.Allowed.end(),
                                                             Name) != Rule.Allowed.end();
        if (!Allowed) throw TUsageError("option " + Name + " does not apply to " + Command);
        SetOption(Name, Value, Options);
    }
    if (Rule.NeedsBase && !Options.BaseDir) throw TUsageError(Command + " wants --base DIR");

    const std::vector<std::string> Rest(Split.Positional.begin() + 1, Split.Positional.end());
    CheckPositional(Command, Rule, Rest.size());
    if (!Rest.empty()) {
        if (Rest[0].empty()) throw TUsageError("the job identifier is empty");
        Options.JobId = Rest[0];
    }
    if (Rest.size() > 1) Options.Sender = Rest[1];
    return Options;
}

}  // namespace lumaro::host
