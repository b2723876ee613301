// What the operating-system halves of the platform layer share with its common half.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace lumaro::platform::detail {

[[noreturn]] void FailOpen(const std::string& Path);
[[noreturn]] void FailCreate(const std::string& Path);
[[noreturn]] void FailWrite(const std::string& Path);
[[noreturn]] void FailChanged(const std::string& Path);

// The system's text for the error of the last failed system call of this
// thread, without a closing period; empty when the system names none.
std::string LastSystemError();

// Counts one call of the system function Name (see SystemCallCounts); nothing
// in a build that does not count.
#ifdef LUMARO_COUNT_CALLS
void CountSystemCall(const char* Name);
#else
inline void CountSystemCall(const char*) {}
#endif

// Function(Args...), counted under Name.
template <typename TFunction, typename... TArgs>
auto SystemCall(const char* Name, TFunction* Function, TArgs&&... Args) {
    CountSystemCall(Name);
    return Function(std::forward<TArgs>(Args)...);
}

// The number of this process, which keeps temporary names of two processes apart.
unsigned long ProcessId();

// A replacement's temporary file is named after the file it replaces, this mark
// and the number of its process.
inline constexpr std::string_view TemporaryMark = ".lumaro-tmp.";
// Whether a name in a folder is that of a replacement's temporary file.
bool IsTemporaryName(std::string_view Name);

// A file open for reading, as a file descriptor or a HANDLE; NoHandle when none.
constexpr intptr_t NoHandle = -1;
intptr_t OpenToRead(const std::string& Path);
void CloseRead(intptr_t& Handle);
// Reads the whole file; false when a read fails. Steady tells whether the file
// kept its State (taken from the open file) from the start of the read to its end.
bool ReadWhole(intptr_t Handle, std::string& Content, TFileState& State, bool& Steady);
// Whether Path still names the file open as Handle, in the given State.
bool StillAsRead(const std::string& Path, intptr_t Handle, const TFileState& State);

// One replacement of a file's content through a temporary file beside it. The
// common half drives the steps (and injects faults between them); each system
// implements them. Every step returns false on failure. Unless the temporary
// file took the original's place, it is closed and removed when the replacement
// ends, on every path.
class TReplacement {
public:
    TReplacement(const std::string& Path, std::string TemporaryPath);
    ~TReplacement();
    TReplacement(const TReplacement&) = delete;
    TReplacement& operator=(const TReplacement&) = delete;

    bool CreateTemporary();
    bool Write(std::string_view Bytes);
    // Gives the temporary file the original's permissions and flushes it to disk.
    bool Finish();
    // Puts the temporary file in the original's place in one step, and closes it.
    bool MoveIntoPlace();

private:
    void CloseTemporary();

    const std::string& Path;
    std::string TemporaryPath;
    intptr_t Handle;
    bool Placed = false;
};

}  // namespace lumaro::platform::detail
