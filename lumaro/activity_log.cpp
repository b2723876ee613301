// The activity log: one line per rewritten header, converted part and failed job.
// Outside a job the file is opened for each line and closed at once; a job keeps
// it open from its first line to its end, which spares an opening of the file
// for every line (each one passes the system's file filters, a virus scanner on
// most mail servers). Between jobs an administrator may move or delete it.
#include <cstdio>
#include <optional>

#include "lumaro/lumaro.h"
#include "platform/platform.h"

namespace lumaro {
namespace {

constexpr size_t SenderWidth = 40;

TActivitySink ActivitySink;
constexpr size_t TextWidth = 20;

// The log of the job under way: InJob while a TJobActivityLog lives, File from the
// job's first line on.
struct TOpenLog {
    bool InJob = false;
    std::optional<platform::TAppendFile> File;
} OpenLog;

// A write that fails closes the file, so that the next line tries to open it
// again, as a line outside a job does.
void AppendToJobLog(const std::string& Line) {
    if (!OpenLog.File || OpenLog.File->Path() != JobState.LogFile) {
        OpenLog.File.reset();
        OpenLog.File.emplace(JobState.LogFile);
    }
    try {
        OpenLog.File->Append(Line);
    } catch (...) {
        OpenLog.File.reset();
        throw;
    }
}

// Pads on the right only; a longer value is kept whole and moves the rest on.
void AppendPadded(std::string& Line, const std::string& Value, size_t Width) {
    Line += Value;
    if (Value.size() < Width) Line.append(Width - Value.size(), ' ');
}

std::string FormatStamp(const platform::TLocalTime& Time) {
    char Stamp[64];
    std::snprintf(Stamp, sizeof Stamp, "%04d%02d%02d %02d%02d", Time.Year, Time.Month, Time.Day, Time.Hour,
                  Time.Minute);
    return Stamp;
}

}  // namespace

std::string FormatLogLine(const std::string& Code, const std::string& Stamp, const std::string& JobId,
                          const std::string& SenderAddress, const std::string& Text, int32_t Number) {
    std::string Line;
    Line.reserve(Code.size() + Stamp.size() + JobId.size() + SenderAddress.size() + Text.size() + SenderWidth +
                 TextWidth + 16);
    Line += Code;
    Line += ' ';
    Line += Stamp;
    Line += ' ';
    Line += JobId;
    Line += ' ';
    AppendPadded(Line, SenderAddress, SenderWidth);
    Line += ' ';
    AppendPadded(Line, Text, TextWidth);
    Line += ' ';
    Line += std::to_string(Number);
    return Line;
}

void LogEvent(const std::string& Code, const std::string& JobId, const std::string& SenderAddress,
              const std::string& Text, int32_t Number) {
    std::string Line = FormatLogLine(Code, FormatStamp(platform::LocalTime()), JobId, SenderAddress, Text, Number);
    Line += "\r\n";
    if (ActivitySink) {
        ActivitySink(Line);
        return;
    }
    if (OpenLog.InJob) {
        AppendToJobLog(Line);
        return;
    }
    platform::AppendToFile(JobState.LogFile, Line);
}

TJobActivityLog::TJobActivityLog() noexcept { OpenLog.InJob = true; }

TJobActivityLog::~TJobActivityLog() {
    OpenLog.InJob = false;
    OpenLog.File.reset();
}

void SetActivitySink(TActivitySink Sink) { ActivitySink = std::move(Sink); }

}  // namespace lumaro
