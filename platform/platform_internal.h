// What the operating-system halves of the platform layer share with its common half.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace lumaro::platform::detail {

[[noreturn]] void FailOpen(const std::string& Path);
[[noreturn]] void FailCreate(const std::string& Path);
[[noreturn]] void FailWrite(const std::string& Path);

// The system's text for the error of the last failed system call of this
// thread, without a closing period; empty when the system names none.
std::string LastSystemError();

// The number of this process, which keeps temporary names of two processes apart.
unsigned long ProcessId();

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
    // Gives the temporary file the original's permissions, flushes it to disk
    // and closes it.
    bool Finish();
    // Puts the temporary file in the original's place in one step.
    bool MoveIntoPlace();

private:
    void CloseTemporary();

    const std::string& Path;
    std::string TemporaryPath;
    intptr_t Handle;
    bool Placed = false;
};

}  // namespace lumaro::platform::detail
