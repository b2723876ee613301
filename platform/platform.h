// The services of the operating system that the module needs, behind one small
// interface: the real Windows services in the DLL build, our own code on Linux.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>
#include <string_view>

// <windows.h> makes ReplaceFile a macro for ReplaceFileA, which would rename our
// function below. Include <windows.h> before this header, never after it.
#if defined(_WIN32) && defined(ReplaceFile)
#undef ReplaceFile
#endif

namespace lumaro {

// Every failure of the system is an exception carrying a message text
// ("Cannot open file C:\x.QDF"); the job driver is the one place that catches it.
class TError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace platform {

// "\" in the Windows build, "/" elsewhere: the separator of the three path joins.
const char* PathSeparator();

// The value of Key in [Section] of the INI file Path, at most 1023 bytes; Default
// when the file, the section or the key is missing. A key present with an empty
// value gives the empty text. Section and key names are compared without case;
// blanks around names and values, and one pair of quotes around a value, are
// dropped. A relative Path is taken from the current folder on every system.
std::string ProfileString(const std::string& Path, const std::string& Section,
                          const std::string& Key, const std::string& Default);

// Several values of one section, as ProfileString gives each, in the order of Keys.
// On Windows each is one call of the profile-string service; elsewhere the file is
// read once for all of them.
struct TProfileKey {
    std::string Key;
    std::string Default;
};
std::vector<std::string> ProfileStrings(const std::string& Path, const std::string& Section,
                                        const std::vector<TProfileKey>& Keys);

// A code page number as LUMARO_CODEPAGE and the settings write it: decimal, at
// most nine digits, nothing else.
std::optional<uint32_t> CodePageNumber(std::string_view Text);

// The code page that LUMARO_CODEPAGE forces, when it holds such a number; it
// takes the place of every other choice, on every system.
std::optional<uint32_t> ForcedCodePage();

// The system's ANSI code page: GetACP() on Windows; nothing on a system that has
// none (the locale's codeset is no such thing, and is not asked).
std::optional<uint32_t> SystemAnsiCodePage();

// The value of an environment variable; Set tells whether it exists at all.
std::string Environment(const char* Name, bool* Set = nullptr);

// The names of the sections of the INI file Path, in file order; with Section,
// the names of the keys of that section instead. Empty when the file or the
// section is missing. Names are as the profile-string service gives them.
std::vector<std::string> ProfileSectionNames(const std::string& Path);
std::vector<std::string> ProfileKeyNames(const std::string& Path, const std::string& Section);

// Path as an absolute path from the current folder; Path itself when it has no
// other form.
std::string FullPath(const std::string& Path);

// Why Content could not be appended to the file Path (the system's reason), or
// the empty text when it could: the file is opened as AppendToFile opens it, and
// nothing is written; a file that did not exist is removed again.
std::string WhyCannotAppend(const std::string& Path);

// A loaded shared library. Load returns false when the file cannot be loaded.
class TLibrary {
public:
    TLibrary() = default;
    ~TLibrary();
    TLibrary(const TLibrary&) = delete;
    TLibrary& operator=(const TLibrary&) = delete;
    bool Load(const std::string& FileName);
    // An entry point by name, or null when the library does not have it.
    void* Symbol(const char* Name) const;
    void Release();
    bool Loaded() const { return Handle != nullptr; }
    // The file the system loaded, with its folder; empty when none is loaded.
    std::string FileName() const;

private:
    void* Handle = nullptr;
};

// A mutual-exclusion lock (a critical section on Windows).
class TLock {
public:
    TLock();
    ~TLock();
    TLock(const TLock&) = delete;
    TLock& operator=(const TLock&) = delete;
    void Enter();
    void Leave();

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};

class TLockGuard {
public:
    explicit TLockGuard(TLock& L) : Lock(L) { Lock.Enter(); }
    ~TLockGuard() { Lock.Leave(); }
    TLockGuard(const TLockGuard&) = delete;
    TLockGuard& operator=(const TLockGuard&) = delete;

private:
    TLock& Lock;
};

// Tells the system that the buffer of Size bytes at Data, about to be filled, is
// large: where the system can, it backs it with large pages, so that filling a
// message of many megabytes does not cost one page fault per 4 KB. Only a hint;
// nothing happens for small buffers or where the system has no such service.
void AdviseLargeBuffer(const void* Data, size_t Size);

// Whether the processor runs SSE2 instructions, asked once when the module loads:
// a 32-bit x86 build takes its SSE2 paths only where they can run.
bool ProcessorHasSse2();
// For tests: the answer is "no" from now on (or again the processor's), so that
// the paths for processors without SSE2 are tested on one that has it.
void RefuseSse2(bool Refuse);

struct TLocalTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};
TLocalTime LocalTime();

bool FileExists(const std::string& Path);

// The errors of the file functions below begin with the texts given here; the
// system's reason follows them after ": " ("Cannot open file C:\x.QDF: Access
// is denied"), so that a log reader still finds the start it has always matched.

// The whole file as bytes; TError "Cannot open file " + Path when it cannot be read.
std::string ReadWholeFile(const std::string& Path);

// Creates the file, or empties an existing one, and writes Content; TError
// "Cannot create file " + Path on failure.
void WriteWholeFile(const std::string& Path, const std::string& Content);

// Appends Content at the end of the file, creating it when it does not exist; the
// file is open only during the call. TError "Cannot open file " + Path when it cannot
// be opened or created, "Cannot write file " + Path when the write fails.
void AppendToFile(const std::string& Path, const std::string& Content);

// A file kept open for appending, created when it does not exist. Other programs
// may read it, write it, rename it or delete it meanwhile: what is appended goes
// on to the file that was opened, under whatever name it now has.
class TAppendFile {
public:
    // TError "Cannot open file " + Path when it cannot be opened or created.
    explicit TAppendFile(std::string Path);
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // Writes Content at the end of the file at once; nothing is kept back in the
    // process. TError "Cannot write file " + Path when the write fails.
    void Append(std::string_view Content);
    // Closes the file; TError "Cannot write file " + Path when the system reports
    // that an earlier write failed.
    void Close();
    const std::string& Path() const { return FilePath; }

private:
    std::string FilePath;
    intptr_t Handle;
};

// Replaces the file's content in one step: the new content goes into a temporary
// file in the same folder (a name not ending in ".QDF"), is flushed to disk, and then
// takes the original's place; the original's permissions are kept. On any failure
// the original keeps its bytes, the temporary file is removed, and TError
// "Cannot create file " + Path is raised.
void ReplaceFile(const std::string& Path, const std::string& Content);

// ReplaceFile for content made piece by piece, so that a large file is never held
// whole: Produce is called once and hands every piece to the writer it is given,
// in order. A writer that fails raises the TError of ReplaceFile; whatever Produce
// raises goes on to the caller. Either way the original keeps its bytes.
using TContentWriter = std::function<void(std::string_view)>;
void ReplaceFileWith(const std::string& Path, const std::function<void(const TContentWriter&)>& Produce);

// What tells one state of a file from another: the file itself (device and inode
// number; on Windows, where a file is only compared with itself while it is held
// open without sharing its deletion, none), its size and its last write time.
struct TFileState {
    uint64_t Volume = 0;
    uint64_t Index = 0;
    uint64_t Size = 0;
    int64_t Modified = 0;
    int64_t ModifiedNanoseconds = 0;
    bool operator==(const TFileState&) const = default;
};

// A file read whole, whose content may later be replaced only if no other program
// changed it in the meantime. The file stays open until it is replaced or the
// object goes: so its identity cannot pass to another file, and on Windows no
// other program can delete, rename or replace it meanwhile (it may still write).
class TLoadedFile {
public:
    // TError "Cannot open file " + Path when the file cannot be read.
    explicit TLoadedFile(std::string Path);
    ~TLoadedFile();
    TLoadedFile(const TLoadedFile&) = delete;
    TLoadedFile& operator=(const TLoadedFile&) = delete;

    // The bytes read; handed over once.
    std::string TakeContent() { return std::move(Content); }

    // ReplaceFileWith, done only if the path still names the file that was read,
    // with the size and last write time it had throughout the read; they are
    // checked after the new content is on disk, just before it takes the
    // original's place. Otherwise the file is left as it is, the temporary file
    // is removed and TError "File " + Path + " was changed by another program
    // since it was read; it was left as it is" is raised.
    void ReplaceWith(const std::function<void(const TContentWriter&)>& Produce);

private:
    std::string Path;
    std::string Content;
    TFileState State;
    bool Steady = false;  // the file did not change while it was read
    uint32_t Attributes = 0;  // Windows' attributes of the file, for its replacement
    intptr_t Handle;
};

// Removes from Folder the temporary files of replacements that ended without
// removing them (their process was killed), whatever process made them. The
// temporary file of a replacement still under way is locked by it and stays.
// Reads the whole folder; failures are ignored.
void RemoveLeftoverTemporaries(const std::string& Folder);

// The file, registry and library calls of the system that the platform layer made
// in this process, by the system function's name, in the order each was first
// made. Counted only in a build configured with LUMARO_COUNT_CALLS=ON (the job
// benchmark's), so that a job's cost in calls can be read; empty in any other.
struct TSystemCallCount {
    const char* Name;
    uint64_t Count;
};
std::vector<TSystemCallCount> SystemCallCounts();

// Test hook: makes the next ReplaceFile fail at the chosen step.
enum class TReplaceFault { None, CreateTemporary, WriteHalfway, FinalReplace };
void InjectReplaceFault(TReplaceFault Fault);

}  // namespace platform
}  // namespace lumaro
