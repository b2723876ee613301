// The mail-server daemon: entry points, job driver, normalisation rules and
// activity log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lumaro/hostif.h"
#include "lumaro/version.h"
#include "platform/platform.h"

namespace lumaro {

class TMimePart;
class TLineList;

inline constexpr const char* ProductName = "Lumaro " LUMARO_VERSION;
inline constexpr const char* StartedMessage = "Lumaro " LUMARO_VERSION " started";
inline constexpr const char* CrashPrefix = "Lumaro " LUMARO_VERSION " - CRASH: ";
// A setting the job could not use as it stands, reported once per job.
inline constexpr const char* SettingPrefix = "Lumaro " LUMARO_VERSION " - SETTING: ";
inline constexpr const char* DefaultTagName = "X-LUMARO";

using TActivitySink = std::function<void(const std::string& Line)>;

// The state of one job: RunJob makes it, hands it down to the rules and the
// activity log, and lets it go with the job. Nothing of a job lives anywhere
// else, so jobs on several threads never see each other's.
struct TJobState {
    // The copy of the server's record the job was given; every host call of the
    // job goes through it. Null for work on a message without a server.
    const THostInterface* Host = nullptr;
    std::string BaseDir;
    std::string LogFile;
    std::string TagName;
    std::string QueueDir;
    std::string CharSet;
    // Whether CharSet names a charset of the table; text parts are converted only then.
    bool CharSetKnown = true;
    std::string HostName;
    std::string SenderAddress;
    std::string JobId;
    std::string QueueFile;
    bool Changed = false;
    // Where the job's activity lines go instead of LogFile, when set (programs
    // that run jobs in memory, such as the whole-job fuzz target).
    TActivitySink ActivitySink;
    // Set by RunJob: the activity log is opened at the job's first line and kept
    // open until the job ends, instead of being opened for every line (each opening
    // passes the system's file filters). OpenLog is that open file, a cache the
    // logging of a const job may fill.
    bool KeepsLogOpen = false;
    mutable std::unique_ptr<platform::TAppendFile> OpenLog;
    // For each part of the message being worked on, the nearest multipart around
    // it that was split, found when the message is: a converted body must not
    // begin a line with the delimiter of any multipart around it. Each multipart's
    // boundary stays in its own record, whatever the number of parts inside it.
    std::unordered_map<const TMimePart*, const TMimePart*> EnclosingMultiparts;
};

// --- configuration ---------------------------------------------------------------

enum class TSettingSource { File, Default, Environment, Host };

struct TSetting {
    std::string Value;
    TSettingSource Source = TSettingSource::Default;
    std::string HostNote;  // with Source Host: which program set it, and how
};

// lumaro.ini as a job reads it: section Lumaro, one read of the file per key.
// CodePage shows LUMARO_CODEPAGE when that is set, since it takes the key's place.
struct TConfiguration {
    std::string Path;
    TSetting LogFile, TagName, Queue, CharSet, CodePage;
};

struct TConfigurationKey {
    const char* Name;
    const char* Default;
    TSetting TConfiguration::*Field;
};
// The keys in the order a job reads them.
extern const TConfigurationKey ConfigurationKeys[5];

// --- the server's files, as the module and the programs that host it find them --

// Folder and Name joined by the platform's separator; none is added or removed, so
// a folder that ends in one gives it doubled.
std::string JoinPath(const std::string& Folder, const std::string& Name);
// BaseDir's lumaro.ini.
std::string ConfigurationPath(const std::string& BaseDir);
// The folder of the queue files: the configured Queue; else the server's queue
// folder, asked only then; else BaseDir's QUEUE.
std::string QueueFolderOf(const std::string& Configured, const std::function<std::string()>& ServerQueue,
                          const std::string& BaseDir);
// The queue file of a job: its identifier followed by .QDF, in the queue folder.
std::string QueueFileOf(const std::string& QueueDir, const std::string& JobId);
TConfiguration ReadConfiguration(const std::string& Path);

// What a job makes of the settings that can be wrong.
struct TJobSettings {
    std::string TagName;               // X-LUMARO when the setting is no field name
    bool CharSetKnown = true;          // false: every text part stays as it is
    std::optional<uint32_t> CodePage;  // the job's system code page, when the settings choose it
    std::vector<std::string> Problems;  // one text for each setting that cannot be used
};
TJobSettings SettleJobSettings(const TConfiguration& Configuration);

// A header field name: one or more printable ASCII characters but the colon.
bool IsFieldName(std::string_view Name);

// How a program that runs the module's jobs changes their configuration, for the
// check (lumaro-milter writes the activity log where it chooses).
struct TCheckedHost {
    std::optional<TSetting> LogFile;
    std::optional<TSetting> Queue;
    // The activity log goes elsewhere than a file (the program's standard error).
    bool LogToStream = false;
};

// The configuration read as a job reads it, described line by line, and every
// problem found: a setting a job cannot use, a log that cannot be appended to,
// a file without section Lumaro though it has others, a key the module does not know.
struct TConfigurationCheck {
    std::vector<std::string> Lines;
    std::vector<std::string> Problems;
};
TConfigurationCheck CheckConfiguration(const std::string& BaseDir, const TCheckedHost& Host = {});

// Interface version 2.20 or later; older servers are left alone entirely.
bool VersionAccepted(const THostInterface& Host);

// One message job: the body of DAEMON after the version gate, on the job's own
// state. Lets nothing out: every failure of the job is reported through ReportCrash.
void RunJob(void* JobHandle, const THostInterface& Host);
// The job's identity and settings as RunJob gathers them from the server and
// lumaro.ini into Job, before the message is read.
TJobSettings GatherJobState(TJobState& Job, void* JobHandle, const THostInterface& Host);
// Writes the "F" line and the server's crash message; never raises.
void ReportCrash(const TJobState& Job, const std::string& Message);
// The message work of a job on the message's lines: splits them into a part tree
// and lets the rules visit every part. Gives the tree, tag line first, when a rule
// changed it (the job then writes its joined text over the queue file), else
// nothing. Reads and sets Job like the job does.
std::unique_ptr<TMimePart> NormalizedMessage(TJobState& Job, TLineList&& Lines);
// The header line that marks a message this module has changed.
std::string TagLine(const TJobState& Job);

// Appends one line of the job to its activity log, Job.LogFile, or hands it to
// Job.ActivitySink when that is set; raises TError when the file cannot be opened
// or written. A job keeps the file open from its first line to its end
// (Job.KeepsLogOpen), and a log renamed meanwhile receives its remaining lines
// under the new name. Lines of jobs that run at the same time are written whole, one
// after the other.
void LogEvent(const TJobState& Job, const std::string& Code, const std::string& JobId,
              const std::string& SenderAddress, const std::string& Text, int32_t Number);
// The log line without its CR LF, for the given time stamp "yyyymmdd hhnn".
std::string FormatLogLine(const std::string& Code, const std::string& Stamp, const std::string& JobId,
                          const std::string& SenderAddress, const std::string& Text, int32_t Number);

// The normalisation rules, installed as the visitor of every part.
// A walk works on its job's state, which it is given.
class TWalk {
public:
    explicit TWalk(TJobState& Job) : Job(Job) {}
    void NormalizePart(TMimePart& Part);

private:
    TJobState& Job;
};

}  // namespace lumaro
