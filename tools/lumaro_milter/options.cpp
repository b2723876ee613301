// The command line of lumaro-milter.
#include <algorithm>
#include <thread>

#include "tools/lumaro_milter/milter.h"

namespace lumaro::milter {
namespace {

const char* const Help =
    "Usage: lumaro-milter --socket ADDRESS [OPTIONS]\n"
    "\n"
    "Runs the Lumaro module inside Postfix or Sendmail as a milter: every message is\n"
    "spooled into a scratch queue file, DAEMON runs on it (--jobs of them side by\n"
    "side), and what the job changed goes back to the MTA as header edits and a new\n"
    "body. A message whose job fails, or that is larger than --max-size, passes\n"
    "unchanged.\n"
    "Runs in the foreground, logs one line per message to standard error, and stops\n"
    "on SIGTERM or SIGINT.\n"
    "\n"
    "Options:\n"
    "  --socket ADDRESS  where the MTA reaches the milter: unix:PATH or inet:PORT@HOST\n"
    "                    (also local:PATH, inet6:PORT@HOST), as main.cf and sendmail.mc\n"
    "                    write them\n"
    "  --base DIR        the folder of lumaro.ini: its TagName and CharSet apply, its\n"
    "                    LogFile (relative to DIR) is the activity log, its Queue is\n"
    "                    replaced by the scratch queue. Without it, or without LogFile,\n"
    "                    activity-log lines go to standard error.\n"
    "  --module PATH     the module to load (default: lumaro.so beside this program,\n"
#ifdef LUMARO_INSTALLED_MODULE
    "                    else " LUMARO_INSTALLED_MODULE "\n"
    "                    from it as the package installs it, else in ../lumaro/ from\n"
    "                    it as in a build tree)\n"
#else
    "                    or in ../lumaro/ from it as in a build tree)\n"
#endif
    "  --scratch DIR     where the private scratch folder (mode 700) is made; default:\n"
    "                    the system's folder for temporary files\n"
    "  --max-size BYTES  the largest message that is converted (default 67108864, 64\n"
    "                    MiB); a larger one passes unchanged and is not kept\n"
    "  --host NAME       the host name in the tag line (default: this machine's)\n"
    "  --jobs N          how many messages are converted at the same time (default:\n"
    "                    the number of processors); a message that ends while N are\n"
    "                    converted waits for one of them. Memory grows with N: some\n"
    "                    three times the largest message for each, and 20 MB\n"
    "  --check-config    check the lumaro.ini of --base as the milter's jobs read it:\n"
    "                    print every setting and where it came from, the code page,\n"
    "                    the activity log and the iconv library, then every problem;\n"
    "                    exit status 1 when there is one (the milter also logs each\n"
    "                    problem when it starts, and starts all the same)\n"
    "  --help            this text\n"
    "  --version         the version of this program and the module it was built with\n"
    "\n"
    "Options take their value as the next argument or after '=' (--base=DIR).\n";

bool IsSocketAddress(const std::string& Address) {
    for (const char* Kind : {"unix:", "local:", "inet:", "inet6:"}) {
        const std::string Prefix(Kind);
        if (Address.size() > Prefix.size() && Address.compare(0, Prefix.size(), Prefix) == 0) return true;
    }
    return false;
}

uint64_t ParseSize(const std::string& Text) {
    if (Text.empty() || Text.size() > 19 || !std::all_of(Text.begin(), Text.end(), [](char C) {
            return C >= '0' && C <= '9';
        })) {
        throw TUsageError("--max-size wants a number of bytes, not '" + Text + "'");
    }
    const uint64_t Size = std::stoull(Text);
    if (Size == 0) throw TUsageError("--max-size must be at least 1");
    return Size;
}

// Far more jobs than processors only share them, each holding its message.
constexpr unsigned MaxJobs = 1024;

unsigned ParseJobs(const std::string& Text) {
    if (Text.empty() || Text.size() > 4 || !std::all_of(Text.begin(), Text.end(), [](char C) {
            return C >= '0' && C <= '9';
        })) {
        throw TUsageError("--jobs wants a number of jobs, not '" + Text + "'");
    }
    const unsigned long Jobs = std::stoul(Text);
    if (Jobs == 0 || Jobs > MaxJobs) throw TUsageError("--jobs must be from 1 to " + std::to_string(MaxJobs));
    return static_cast<unsigned>(Jobs);
}

unsigned ProcessorCount() { return std::clamp(std::thread::hardware_concurrency(), 1u, MaxJobs); }

void SetOption(const std::string& Name, const std::string& Value, TMilterOptions& Options) {
    if (Value.empty()) throw TUsageError("option " + Name + " wants a non-empty value");
    if (Name == "--socket") {
        if (!IsSocketAddress(Value)) throw TUsageError("--socket wants unix:PATH or inet:PORT@HOST, not '" + Value + "'");
        Options.Socket = Value;
    } else if (Name == "--base") {
        Options.BaseDir = Value;
    } else if (Name == "--module") {
        Options.ModulePath = Value;
    } else if (Name == "--scratch") {
        Options.ScratchParent = Value;
    } else if (Name == "--max-size") {
        Options.MaxSize = ParseSize(Value);
    } else if (Name == "--host") {
        Options.HostName = Value;
    } else if (Name == "--jobs") {
        Options.Jobs = ParseJobs(Value);
    } else {
        throw TUsageError("unknown option " + Name);
    }
}

}  // namespace

const char* MilterHelpText() { return Help; }

TMilterOptions ParseMilterArguments(const std::vector<std::string>& Args) {
    TMilterOptions Options;
    Options.Jobs = ProcessorCount();
    for (size_t I = 0; I < Args.size(); ++I) {
        const std::string& A = Args[I];
        if (A == "--help" || A == "-h") {
            Options.Help = true;
            return Options;
        }
        if (A == "--version") {
            Options.Version = true;
            return Options;
        }
        if (A == "--check-config") {
            Options.CheckConfig = true;
            continue;
        }
        if (A.size() < 2 || A.compare(0, 2, "--") != 0) throw TUsageError("unexpected argument '" + A + "'");
        const size_t Eq = A.find('=');
        const std::string Name = A.substr(0, Eq);
        if (Eq != std::string::npos) {
            SetOption(Name, A.substr(Eq + 1), Options);
        } else if (I + 1 < Args.size()) {
            SetOption(Name, Args[++I], Options);
        } else {
            throw TUsageError("option " + Name + " wants a value");
        }
    }
    if (Options.CheckConfig && !Options.BaseDir) throw TUsageError("--check-config checks the lumaro.ini of --base DIR");
    if (Options.Socket.empty() && !Options.CheckConfig) throw TUsageError("--socket is required");
    return Options;
}

}  // namespace lumaro::milter
