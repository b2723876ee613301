// The mail-server daemon: entry points, job driver, normalisation rules and
// activity log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumaro/hostif.h"
#include "lumaro/version.h"

namespace lumaro {

class TMimePart;
class TLineList;

inline constexpr const char* ProductName = "Lumaro " LUMARO_VERSION;
inline constexpr const char* StartedMessage = "Lumaro " LUMARO_VERSION " started";
inline constexpr const char* CrashPrefix = "Lumaro " LUMARO_VERSION " - CRASH: ";

// The state of the current job; every job rewrites it, and it stays in place
// between jobs. Jobs never overlap (the server runs one DAEMON call at a time).
struct TJobState {
    std::string BaseDir;
    std::string LogFile;
    std::string TagName;
    std::string QueueDir;
    std::string CharSet;
    std::string HostName;
    std::string SenderAddress;
    std::string JobId;
    std::string QueueFile;
    bool Changed = false;
    // For each part of the message being worked on, the nearest multipart around
    // it that was split, found when the message is: a converted body must not
    // begin a line with the delimiter of any multipart around it. Each multipart's
    // boundary stays in its own record, whatever the number of parts inside it.
    std::unordered_map<const TMimePart*, const TMimePart*> EnclosingMultiparts;
};
extern TJobState JobState;

// Interface version 2.20 or later; older servers are left alone entirely.
bool VersionAccepted(const THostInterface& Host);

// One message job: the body of DAEMON after the version gate. Lets nothing out:
// every failure of the job is reported through ReportCrash.
void RunJob(void* JobHandle, const THostInterface& Host);
// Writes the "F" line and the server's crash message; never raises.
void ReportCrash(const THostInterface& Host, const std::string& Message);
void ClearModuleState();
// The message work of a job on the message's lines: splits them into a part tree
// and lets the rules visit every part. Gives the tree, tag line first, when a rule
// changed it (the job then writes its joined text over the queue file), else
// nothing. Reads and sets JobState like the job does.
std::unique_ptr<TMimePart> NormalizedMessage(TLineList&& Lines);
// The header line that marks a message this module has changed.
std::string TagLine();

// Appends one line to the activity log JobState.LogFile; raises TError when the
// file cannot be opened or written. With a sink set, the line goes to the sink
// instead (for programs that run jobs in memory, such as the whole-job fuzz target).
void LogEvent(const std::string& Code, const std::string& JobId, const std::string& SenderAddress,
              const std::string& Text, int32_t Number);
using TActivitySink = std::function<void(const std::string& Line)>;
void SetActivitySink(TActivitySink Sink);
// The log line without its CR LF, for the given time stamp "yyyymmdd hhnn".
std::string FormatLogLine(const std::string& Code, const std::string& Stamp, const std::string& JobId,
                          const std::string& SenderAddress, const std::string& Text, int32_t Number);

// The normalisation rules, installed as the visitor of every part.
class TWalk {
public:
    static void NormalizePart(TMimePart& Part);
};

}  // namespace lumaro
