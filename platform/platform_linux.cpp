// The platform layer on POSIX systems: our own INI reader, dlopen, std::mutex,
// localtime_r and POSIX files. There is no ANSI code page here.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/platform_internal.h"

namespace lumaro::platform {

using detail::SystemCall;

namespace {

// --- INI reading ---------------------------------------------------------------
//
// The form read: a line "[name]" opens a section; a line "key=value" inside it
// gives a key. Chosen details, matching what the Windows profile service does
// with the same files (checked against it):
// - lines end at CR LF, LF or CR; a UTF-8 byte-order mark at the start is skipped;
// - spaces and tabs around a line, a section name, a key and a value are dropped,
//   so "Queue = C:\q " gives "C:\q"; text after the closing ']' is ignored;
// - a value enclosed in a pair of equal quotes (' or ") loses that pair;
// - a line whose first visible byte is ';' or '#' is a comment; a line without
//   '=', and a '[' line without its closing ']', are ignored;
// - section and key names are compared without regard to ASCII case; only the
//   first section of a name is searched, and in it the first line of the key wins;
// - trailing spaces of the default are dropped, and the result, the default
//   included, is cut to 1023 bytes, as the Windows service's 1024-byte buffer is.

using detail::ProfileValue;
using detail::SameName;
using detail::TrimLineBlanks;

// Cuts the next line off Text.
std::string_view NextLine(std::string_view& Text) {
    size_t End = Text.find_first_of("\r\n");
    std::string_view Line = Text.substr(0, End);
    if (End == std::string_view::npos) {
        Text = {};
    } else {
        size_t Skip = (Text[End] == '\r' && End + 1 < Text.size() && Text[End + 1] == '\n') ? 2 : 1;
        Text.remove_prefix(End + Skip);
    }
    return Line;
}

// The name of a section line, or nothing when the line has no closing bracket.
std::optional<std::string_view> SectionNameOf(std::string_view Line) {
    size_t Close = Line.find(']');
    if (Close == std::string_view::npos) return std::nullopt;
    return TrimLineBlanks(Line.substr(1, Close - 1));
}

// Walks the lines of an INI text by the rules above: OnSection gets the name of
// every section line, OnKey the name and the raw value of every key line; either
// ends the walk by returning false.
template <typename TOnSection, typename TOnKey>
void WalkProfile(std::string_view Text, TOnSection OnSection, TOnKey OnKey) {
    if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
    while (!Text.empty()) {
        const std::string_view Line = TrimLineBlanks(NextLine(Text));
        if (Line.empty() || Line.front() == ';' || Line.front() == '#') continue;
        if (Line.front() == '[') {
            const std::optional<std::string_view> Name = SectionNameOf(Line);
            if (Name && !OnSection(*Name)) return;
            continue;
        }
        const size_t Equals = Line.find('=');
        if (Equals != std::string_view::npos &&
            !OnKey(TrimLineBlanks(Line.substr(0, Equals)), Line.substr(Equals + 1)))
            return;
    }
}

// The key lines of the first section named Section, while OnKey returns true.
template <typename TOnKey>
void WalkSection(std::string_view Text, std::string_view Section, TOnKey OnKey) {
    bool Inside = false;
    WalkProfile(
        Text,
        [&Inside, Section](std::string_view Name) {
            if (Inside) return false;
            Inside = SameName(Name, Section);
            return true;
        },
        [&Inside, &OnKey](std::string_view Key, std::string_view Value) { return !Inside || OnKey(Key, Value); });
}

// The raw value of Key in the first section named Section, if there is one.
std::optional<std::string_view> FindProfileValue(std::string_view Text, std::string_view Section,
                                                 std::string_view Key) {
    std::optional<std::string_view> Found;
    WalkSection(Text, Section, [&Found, Key](std::string_view Name, std::string_view Value) {
        if (!SameName(Name, Key)) return true;
        Found = Value;
        return false;
    });
    return Found;
}

// --- files -------------------------------------------------------------------

class TDescriptor {
public:
    explicit TDescriptor(int F) : Fd(F) {}
    ~TDescriptor() { Close(); }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    bool Valid() const { return Fd >= 0; }
    int Get() const { return Fd; }
    bool Close() {
        if (Fd < 0) return true;
        int R = SystemCall("close", close, Fd);
        Fd = -1;
        return R == 0;
    }

private:
    int Fd;
};

bool WriteAll(int Fd, std::string_view Bytes) {
    while (!Bytes.empty()) {
        ssize_t N = SystemCall("write", write, Fd, Bytes.data(), Bytes.size());
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) return false;
        Bytes.remove_prefix(static_cast<size_t>(N));
    }
    return true;
}

// Reads into Content from At up to its size; the count read, or -1 when a read fails.
ssize_t ReadInto(int Fd, std::string& Content, size_t At) {
    size_t Got = 0;
    while (At + Got < Content.size()) {
        const ssize_t N = SystemCall("read", read, Fd, Content.data() + At + Got, Content.size() - At - Got);
        if (N < 0 && errno == EINTR) continue;
        if (N < 0) return -1;
        if (N == 0) break;
        Got += static_cast<size_t>(N);
    }
    return static_cast<ssize_t>(Got);
}

TFileState StateOf(const struct stat& St) {
    TFileState State;
    State.Volume = static_cast<uint64_t>(St.st_dev);
    State.Index = static_cast<uint64_t>(St.st_ino);
    State.Size = static_cast<uint64_t>(St.st_size);
    State.Modified = static_cast<int64_t>(St.st_mtim.tv_sec);
    State.ModifiedNanoseconds = static_cast<int64_t>(St.st_mtim.tv_nsec);
    return State;
}

// The whole content of an open file; false when a read fails. The size the file
// has when it is opened is read straight into place; whatever it has grown by
// since is appended after it. Steady, when asked for, tells whether the file kept
// the State it had before the read until after it.
bool ReadAll(int Fd, std::string& Content, TFileState* State = nullptr, bool* Steady = nullptr) {
    struct stat St {};
    const bool Known = SystemCall("fstat", fstat, Fd, &St) == 0;
    if (State != nullptr) *State = StateOf(St);
    if (Steady != nullptr) *Steady = false;
    if (Known && St.st_size > 0) {
        Content.reserve(static_cast<size_t>(St.st_size));
        AdviseLargeBuffer(Content.data(), Content.capacity());
        Content.resize(static_cast<size_t>(St.st_size));
        const ssize_t Got = ReadInto(Fd, Content, 0);
        if (Got < 0) return false;
        Content.resize(static_cast<size_t>(Got));
    }
    char Buffer[65536];
    for (;;) {
        const ssize_t N = SystemCall("read", read, Fd, Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR) continue;
        if (N < 0) return false;
        if (N == 0) break;
        Content.append(Buffer, static_cast<size_t>(N));
    }
    struct stat After {};
    if (State != nullptr && Steady != nullptr)
        *Steady = Known && SystemCall("fstat", fstat, Fd, &After) == 0 && StateOf(After) == *State &&
                  Content.size() == State->Size;
    return true;
}

std::string FolderOf(const std::string& Path) {
    size_t Slash = Path.rfind('/');
    if (Slash == std::string::npos) return ".";
    return Slash == 0 ? "/" : Path.substr(0, Slash);
}

}  // namespace

const char* PathSeparator() { return "/"; }

void AdviseLargeBuffer(const void* Data, size_t Size) {
    // Large pages cover aligned 2 MB ranges; a buffer smaller than two of them
    // would gain next to nothing.
    constexpr uintptr_t LargePage = 2u << 20;
    if (Data == nullptr || Size < 2 * LargePage) return;
    const uintptr_t Begin = (reinterpret_cast<uintptr_t>(Data) + LargePage - 1) & ~(LargePage - 1);
    const uintptr_t End = (reinterpret_cast<uintptr_t>(Data) + Size) & ~(LargePage - 1);
    if (End > Begin) madvise(reinterpret_cast<void*>(Begin), End - Begin, MADV_HUGEPAGE);
}

namespace {

// The whole profile file, or nothing when it cannot be read.
std::string ProfileText(const std::string& Path) {
    std::string Text;
    TDescriptor F(SystemCall("open", open, Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!F.Valid() || !ReadAll(F.Get(), Text)) Text.clear();
    return Text;
}

std::string ProfileValueIn(std::string_view Text, const std::string& Section, const std::string& Key,
                           const std::string& Default) {
    return ProfileValue(FindProfileValue(Text, Section, Key), Default);
}

}  // namespace

std::string ProfileString(const std::string& Path, const std::string& Section,
                          const std::string& Key, const std::string& Default) {
    return ProfileValueIn(ProfileText(Path), Section, Key, Default);
}

std::vector<std::string> ProfileStrings(const std::string& Path, const std::string& Section,
                                        const std::vector<TProfileKey>& Keys) {
    const std::string Text = ProfileText(Path);
    std::vector<std::string> Values;
    Values.reserve(Keys.size());
    for (const TProfileKey& K : Keys) Values.push_back(ProfileValueIn(Text, Section, K.Key, K.Default));
    return Values;
}

std::vector<std::string> ProfileSectionNames(const std::string& Path) {
    std::vector<std::string> Names;
    WalkProfile(
        ProfileText(Path),
        [&Names](std::string_view Name) {
            Names.emplace_back(Name);
            return true;
        },
        [](std::string_view, std::string_view) { return true; });
    return Names;
}

std::vector<std::string> ProfileKeyNames(const std::string& Path, const std::string& Section) {
    std::vector<std::string> Names;
    WalkSection(ProfileText(Path), Section, [&Names](std::string_view Name, std::string_view) {
        Names.emplace_back(Name);
        return true;
    });
    return Names;
}

std::optional<uint32_t> SystemAnsiCodePage() { return std::nullopt; }

std::string FullPath(const std::string& Given) {
    if (Given.empty() || Given.front() == '/') return Given;
    std::string_view Path = Given;
    while (Path.substr(0, 2) == "./") Path.remove_prefix(2);
    if (Path == ".") Path = {};
    std::vector<char> Folder(4096);
    while (getcwd(Folder.data(), Folder.size()) == nullptr) {
        if (errno != ERANGE) return Given;
        Folder.resize(Folder.size() * 2);
    }
    const std::string Current = Folder.data();
    if (Path.empty()) return Current;
    return (Current == "/" ? "" : Current) + "/" + std::string(Path);
}

std::string WhyCannotAppend(const std::string& Path) {
    TDescriptor Existing(SystemCall("open", open, Path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (Existing.Valid()) return {};
    if (errno != ENOENT) return detail::LastSystemError();
    TDescriptor Created(SystemCall("open", open, Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!Created.Valid()) return detail::LastSystemError();
    SystemCall("unlink", unlink, Path.c_str());
    return {};
}

std::string Environment(const char* Name, bool* Set) {
    const char* Value = std::getenv(Name);
    if (Set) *Set = Value != nullptr;
    return Value ? std::string(Value) : std::string();
}

// --- libraries and locks -----------------------------------------------------

TLibrary::~TLibrary() { Release(); }

bool TLibrary::Load(const std::string& FileName) {
    Release();
    Handle = SystemCall("dlopen", dlopen, FileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    return Handle != nullptr;
}

void* TLibrary::Symbol(const char* Name) const { return Handle ? dlsym(Handle, Name) : nullptr; }

std::string TLibrary::FileName() const {
    link_map* Map = nullptr;
    if (Handle == nullptr || dlinfo(Handle, RTLD_DI_LINKMAP, &Map) != 0 || Map == nullptr) return {};
    return Map->l_name != nullptr ? Map->l_name : "";
}

void TLibrary::Release() {
    if (Handle) SystemCall("dlclose", dlclose, Handle);
    Handle = nullptr;
}

struct TLock::TImpl {
    std::mutex Mutex;
};

TLock::TLock() : Impl(std::make_unique<TImpl>()) {}
TLock::~TLock() = default;
void TLock::Enter() { Impl->Mutex.lock(); }
void TLock::Leave() { Impl->Mutex.unlock(); }

TLocalTime LocalTime() {
    std::time_t Now = std::time(nullptr);
    std::tm Tm{};
    localtime_r(&Now, &Tm);
    return {Tm.tm_year + 1900, Tm.tm_mon + 1, Tm.tm_mday, Tm.tm_hour, Tm.tm_min, Tm.tm_sec};
}

// --- whole files ---------------------------------------------------------------

bool FileExists(const std::string& Path) {
    struct stat St {};
    return SystemCall("stat", stat, Path.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

std::string ReadWholeFile(const std::string& Path) {
    TDescriptor F(SystemCall("open", open, Path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string Content;
    if (!F.Valid() || !ReadAll(F.Get(), Content)) detail::FailOpen(Path);
    return Content;
}

void WriteWholeFile(const std::string& Path, const std::string& Content) {
    TDescriptor F(SystemCall("open", open, Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!F.Valid() || !WriteAll(F.Get(), Content) || !F.Close()) detail::FailCreate(Path);
}

namespace {

class TFolderListing {
public:
    explicit TFolderListing(const std::string& Path) : Folder(SystemCall("opendir", opendir, Path.c_str())) {}
    ~TFolderListing() {
        if (Folder != nullptr) SystemCall("closedir", closedir, Folder);
    }
    TFolderListing(const TFolderListing&) = delete;
    TFolderListing& operator=(const TFolderListing&) = delete;
    DIR* Get() const { return Folder; }

private:
    DIR* Folder;
};

bool SameFile(const struct stat& A, const struct stat& B) { return A.st_dev == B.st_dev && A.st_ino == B.st_ino; }

// A replacement holds a lock on its temporary file from its creation until it has
// taken the original's place, and the system lets the lock go with the process,
// however it ends: a temporary file nobody holds a lock on is a leftover.
void RemoveIfAbandoned(int Folder, const char* Name) {
    TDescriptor F(SystemCall("openat", openat, Folder, Name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat Opened {}, Named {};
    if (!F.Valid() || SystemCall("fstat", fstat, F.Get(), &Opened) != 0 || !S_ISREG(Opened.st_mode)) return;
    if (SystemCall("flock", flock, F.Get(), LOCK_EX | LOCK_NB) != 0) return;
    // The name may have passed to a new file since it was opened.
    if (SystemCall("fstatat", fstatat, Folder, Name, &Named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(Opened, Named))
        SystemCall("unlinkat", unlinkat, Folder, Name, 0);
}

}  // namespace

void RemoveLeftoverTemporaries(const std::string& Folder) {
    TFolderListing Listing(Folder);
    if (Listing.Get() == nullptr) return;
    while (const dirent* Entry = SystemCall("readdir", readdir, Listing.Get())) {
        if (detail::IsTemporaryName(Entry->d_name)) RemoveIfAbandoned(dirfd(Listing.Get()), Entry->d_name);
    }
}

namespace detail {

std::string LastSystemError() {
    const int Error = errno;
    if (Error == 0) return {};
    char Buffer[256] = {};
    // The GNU strerror_r gives its text, which need not lie in the buffer.
    return strerror_r(Error, Buffer, sizeof Buffer);
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

intptr_t OpenToRead(const std::string& Path) { return SystemCall("open", open, Path.c_str(), O_RDONLY | O_CLOEXEC); }

intptr_t OpenToAppend(const std::string& Path) {
    return SystemCall("open", open, Path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

bool AppendBytes(intptr_t Handle, std::string_view Bytes) { return WriteAll(static_cast<int>(Handle), Bytes); }

bool CloseFile(intptr_t& Handle) {
    const int Fd = static_cast<int>(Handle);
    Handle = NoHandle;
    return Fd < 0 || SystemCall("close", close, Fd) == 0;
}

bool ReadWhole(intptr_t Handle, std::string& Content, TFileState& State, bool& Steady, uint32_t& Attributes) {
    Attributes = 0;
    return ReadAll(static_cast<int>(Handle), Content, &State, &Steady);
}

// The open file keeps its inode number from passing to another file, so the name
// names it exactly when their device and inode numbers agree.
bool StillAsRead(const std::string& Path, intptr_t, const TFileState& State) {
    struct stat Now {};
    return SystemCall("stat", stat, Path.c_str(), &Now) == 0 && StateOf(Now) == State;
}

// The original's mode and owner are asked by its name when the new content is on
// disk (Finish), so Original is not needed here.
TReplacement::TReplacement(const std::string& P, std::string T, TOriginal O)
    : Path(P), TemporaryPath(std::move(T)), Original(O), Handle(-1) {}

TReplacement::~TReplacement() {
    CloseTemporary();
    if (!Placed) SystemCall("unlink", unlink, TemporaryPath.c_str());
}

void TReplacement::CloseTemporary() {
    if (Handle >= 0) SystemCall("close", close, static_cast<int>(Handle));
    Handle = -1;
}

bool TReplacement::CreateTemporary() {
    // A leftover of an earlier process with the same number goes; the exclusive
    // create then guarantees the file is the one we made.
    RemoveIfAbandoned(AT_FDCWD, TemporaryPath.c_str());
    Handle = SystemCall("open", open, TemporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Handle < 0) return false;
    // Held until the file has taken the original's place (see RemoveIfAbandoned).
    return SystemCall("flock", flock, static_cast<int>(Handle), LOCK_EX | LOCK_NB) == 0;
}

bool TReplacement::Write(std::string_view Bytes) { return WriteAll(static_cast<int>(Handle), Bytes); }

bool TReplacement::Finish() {
    const int Fd = static_cast<int>(Handle);
    struct stat Original {};
    if (SystemCall("stat", stat, Path.c_str(), &Original) == 0) {
        // Keeping owner and group needs privileges we may lack; the mode does not.
        if (SystemCall("fchown", fchown, Fd, Original.st_uid, Original.st_gid) != 0) { /* best effort */ }
        if (SystemCall("fchmod", fchmod, Fd, Original.st_mode & 07777) != 0) return false;
    }
    // The file stays open, and locked, until it is in place: a close after fsync
    // has nothing left to report.
    return SystemCall("fsync", fsync, Fd) == 0;
}

bool TReplacement::MoveIntoPlace() {
    if (SystemCall("rename", rename, TemporaryPath.c_str(), Path.c_str()) != 0) return false;
    Placed = true;
    CloseTemporary();
    // The new name must survive a crash too. The content is already in place, so a
    // folder that cannot be synced does not turn the replacement into a failure.
    TDescriptor Folder(SystemCall("open", open, FolderOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Valid()) SystemCall("fsync", fsync, Folder.Get());
    return true;
}

}  // namespace detail
}  // namespace lumaro::platform
