// The activity log: one line per rewritten header, converted part and failed job.
// Outside a job the file is opened for each line and closed at once; a job keeps
// it open from its first line to its end, which spares an opening of the file
// for every line (each one passes the system's file filters, a virus scanner on
// most mail servers). Between jobs an administrator may move or delete it.
#include <cstdio>
#include <memory>
#include <mutex>

#include "lumaro/lumaro.h"
#include "platform/platform.h"

namespace lumaro {
namespace {

constexpr size_t SenderWidth = 40;

constexpr size_t TextWidth = 20;

// A write that fails closes the file, so that the next line tries to open it
// again, as a line outside a job does.
void AppendToJobLog(const TJobState& Job, const std::string& Line) {
    if (!Job.OpenLog || Job.OpenLog->Path() != Job.LogFile) {
        Job.OpenLog.reset();
        Job.OpenLog = std::make_unique<platform::TAppendFile>(Job.LogFile);
    }
    try {
        Job.OpenLog->Append(Line);
    } catch (...) {
        Job.OpenLog.reset();
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

void LogEvent(const TJobState& Job, const std::string& Code, const std::string& JobId, const std::string& SenderAddress,
              const std::string& Text, int32_t Number) {
    std::string Line = FormatLogLine(Code, FormatStamp(platform::LocalTime()), JobId, SenderAddress, Text, Number);
    Line += "\r\n";
    if (Job.ActivitySink) {
        Job.ActivitySink(Line);
        return;
    }
    // One line in one write at the file's end keeps lines whole between
    // processes; between the jobs of this process the lock does, whatever the
    // system makes of a write that it cuts short.
    static std::mutex OneLineAtATime;
    const std::lock_guard<std::mutex> Guard(OneLineAtATime);
    if (Job.KeepsLogOpen) {
        AppendToJobLog(Job, Line);
        return;
    }
    platform::AppendToFile(Job.LogFile, Line);
}

}  // namespace lumaro
