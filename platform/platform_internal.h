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

// --- what the readers of INI files share ---
// Spaces and tabs around a line, a name or a value do not count.
std::string_view TrimLineBlanks(std::string_view Text);
// Section and key names are compared without regard to ASCII case.
bool SameName(std::string_view A, std::string_view B);
// What a key gives: Raw, the text after its equals sign, without the blanks
// around it and one pair of equal quotes (' or ") enclosing it; for a key not
// found, Default without its trailing spaces. Either is cut to 1023 bytes, as by
// the Windows service's 1024-byte buffer.
std::string ProfileValue(std::optional<std::string_view> Raw, std::string_view Default);

// The number of this process, which keeps temporary names of two processes apart.
unsigned long ProcessId();

// A replacement's temporary file is named after the file it replaces, this mark
// and the number of its process.
inline constexpr std::string_view TemporaryMark = ".lumaro-tmp.";
// Whether a name in a folder is that of a replacement's temporary file.
bool IsTemporaryName(std::string_view Name);

// A file open for reading, as a file descriptor or a HANDLE; NoHandle when none.
constexpr intptr_t NoHandle = -1;
// A file open for appending, created when missing; NoHandle when it cannot be.
intptr_t OpenToAppend(const std::string& Path);
bool AppendBytes(intptr_t Handle, std::string_view Bytes);
// Closes a file; false when the system reports a failed write.
bool CloseFile(intptr_t& Handle);
intptr_t OpenToRead(const std::string& Path);
// Reads the whole file; false when a read fails. Steady tells whether the content
// read is the file in its State (taken from the open file before the read); a
// system half that does not look again after the read leaves a change during it
// to StillAsRead, which finds the State gone.
// Attributes are the file's attributes on Windows, 0 elsewhere.
bool ReadWhole(intptr_t Handle, std::string& Content, TFileState& State, bool& Steady, uint32_t& Attributes);
// Whether Path still names the file open as Handle, in the given State.
bool StillAsRead(const std::string& Path, intptr_t Handle, const TFileState& State);

// The file a replacement takes the place of, as a job read it: the handle it is
// still open by, and the attributes it had. Without a handle the replacement asks
// the system by the file's name.
struct TOriginal {
    intptr_t Handle = NoHandle;
    uint32_t Attributes = 0;
};

// One replacement of a file's content through a temporary file beside it. The
// common half drives the steps (and injects faults between them); each system
// implements them. Every step returns false on failure. Unless the temporary
// file took the original's place, it is closed and removed when the replacement
// ends, on every path.
class TReplacement {
public:
    TReplacement(const std::string& Path, std::string TemporaryPath, TOriginal Original);
    ~TReplacement();
    TReplacement(const TReplacement&) = delete;
    TReplacement& operator=(const TReplacement&) = delete;

    // The temporary file has the original's permissions, from its creation or
    // from Finish, which flushes it to disk.
    bool CreateTemporary();
    bool Write(std::string_view Bytes);
    bool Finish();
    // Puts the temporary file in the original's place in one step, and closes it.
    bool MoveIntoPlace();

private:
    void CloseTemporary();

    const std::string& Path;
    std::string TemporaryPath;
    [[maybe_unused]] TOriginal Original;  // used where the system's half needs it
    intptr_t Handle;
    bool Placed = false;
};

}  // namespace lumaro::platform::detail
