// lumaro-host: drives the Lumaro module as the mail server would.
#include <exception>

#include "tools/lumaro_host/host.h"

namespace lumaro::host {
namespace {

int Dispatch(const TOptions& Options) {
    switch (Options.Command) {
        case TCommand::Help: WriteStdout(HelpText()); return ExitOk;
        case TCommand::Version: WriteStdout("lumaro-host " LUMARO_VERSION "\n"); return ExitOk;
        case TCommand::CheckConfig: return CheckConfigCommand(Options);
        case TCommand::Run: return RunCommand(Options);
        case TCommand::Queue: return QueueCommand(Options);
        case TCommand::Filter: return FilterCommand(Options);
        default: return EntryPointCommand(Options);
    }
}

int Main(int Argc, char** Argv) {
    UseBinaryStdio();
    try {
        const std::vector<std::string> Args(Argv + 1, Argv + Argc);
        return Dispatch(ParseArguments(Args));
    } catch (const TUsageError& E) {
        WriteStderr(std::string("lumaro-host: ") + E.what() + " (see lumaro-host --help)\n");
    } catch (const std::exception& E) {
        WriteStderr(std::string("lumaro-host: ") + E.what() + "\n");
    }
    return ExitUsage;
}

}  // namespace
}  // namespace lumaro::host

int main(int Argc, char** Argv) { return lumaro::host::Main(Argc, Argv); }
