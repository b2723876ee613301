// The platform layer on POSIX systems: our own INI reader, the locale's codeset
// as the code page, dlopen, std::mutex, localtime_r and POSIX files.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/platform_internal.h"

namespace lumaro::platform {
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

constexpr size_t ProfileValueLimit = 1023;

bool IsLineBlank(char C) { return C == ' ' || C == '\t'; }

std::string_view TrimLineBlanks(std::string_view V) {
    while (!V.empty() && IsLineBlank(V.front())) V.remove_prefix(1);
    while (!V.empty() && IsLineBlank(V.back())) V.remove_suffix(1);
    return V;
}

bool SameName(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i) {
        char X = A[i], Y = B[i];
        if (X >= 'a' && X <= 'z') X = static_cast<char>(X - 32);
        if (Y >= 'a' && Y <= 'z') Y = static_cast<char>(Y - 32);
        if (X != Y) return false;
    }
    return true;
}

std::string_view Unquoted(std::string_view Value) {
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
        Value.back() == Value.front())
        return Value.substr(1, Value.size() - 2);
    return Value;
}

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

// The value of Key in the first section named Section, if there is one.
std::optional<std::string_view> FindProfileValue(std::string_view Text, std::string_view Section,
                                                 std::string_view Key) {
    if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
    enum { Before, Inside, After } State = Before;
    while (!Text.empty() && State != After) {
        std::string_view Line = TrimLineBlanks(NextLine(Text));
        if (Line.empty() || Line.front() == ';' || Line.front() == '#') continue;
        if (Line.front() == '[') {
            std::optional<std::string_view> Name = SectionNameOf(Line);
            if (!Name) continue;
            if (State == Inside) State = After;
            else if (SameName(*Name, Section)) State = Inside;
            continue;
        }
        size_t Equals = Line.find('=');
        if (State != Inside || Equals == std::string_view::npos) continue;
        if (SameName(TrimLineBlanks(Line.substr(0, Equals)), Key))
            return Unquoted(TrimLineBlanks(Line.substr(Equals + 1)));
    }
    return std::nullopt;
}

// --- code page -----------------------------------------------------------------

// A codeset name reduced to upper-case letters and digits ("utf-8" -> "UTF8").
std::string CodesetKey(std::string_view Codeset) {
    std::string Key;
    for (char C : Codeset) {
        if (C >= 'a' && C <= 'z') Key.push_back(static_cast<char>(C - 32));
        else if ((C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9')) Key.push_back(C);
    }
    return Key;
}

// The decimal number that follows Prefix in Key and ends it, if it is in [Low, High].
std::optional<uint32_t> NumberAfter(const std::string& Key, std::string_view Prefix,
                                    uint32_t Low, uint32_t High) {
    if (Key.size() <= Prefix.size() || Key.size() > Prefix.size() + 4 ||
        Key.compare(0, Prefix.size(), Prefix) != 0)
        return std::nullopt;
    uint32_t N = 0;
    for (size_t i = Prefix.size(); i < Key.size(); ++i) {
        if (Key[i] < '0' || Key[i] > '9') return std::nullopt;
        N = N * 10 + static_cast<uint32_t>(Key[i] - '0');
    }
    if (N < Low || N > High) return std::nullopt;
    return N;
}

constexpr uint32_t AsciiCodePage = 20127;

uint32_t CodePageOfCodeset(std::string_view Codeset) {
    const std::string Key = CodesetKey(Codeset);
    if (Key == "UTF8") return 65001;
    if (auto N = NumberAfter(Key, "ISO8859", 1, 16)) return 28590 + *N;
    if (auto N = NumberAfter(Key, "CP", 1250, 1258)) return *N;
    if (auto N = NumberAfter(Key, "WINDOWS", 1250, 1258)) return *N;
    if (Key == "KOI8R") return 20866;
    if (Key == "KOI8U") return 21866;
    // No codeset, the C and POSIX locales and every ASCII name, and codesets that
    // have no Windows number here, count as plain ASCII.
    return AsciiCodePage;
}

// The codeset of the locale the environment selects for character types. A
// separate locale object is asked, so the host process's own locale stays as it is.
std::string EnvironmentCodeset() {
    if (locale_t L = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
        std::string Codeset = nl_langinfo_l(CODESET, L);
        freelocale(L);
        return Codeset;
    }
    // A locale that is named but not installed: its name still says its codeset
    // ("cs_CZ.UTF-8@euro" -> "UTF-8").
    for (const char* Name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        std::string Value = Environment(Name);
        if (Value.empty()) continue;
        size_t Dot = Value.find('.');
        if (Dot == std::string::npos) return std::string();
        return Value.substr(Dot + 1, Value.find('@', Dot) - Dot - 1);
    }
    return std::string();
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
        int R = close(Fd);
        Fd = -1;
        return R == 0;
    }

private:
    int Fd;
};

bool WriteAll(int Fd, std::string_view Bytes) {
    while (!Bytes.empty()) {
        ssize_t N = write(Fd, Bytes.data(), Bytes.size());
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
        const ssize_t N = read(Fd, Content.data() + At + Got, Content.size() - At - Got);
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
    const bool Known = fstat(Fd, &St) == 0;
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
        const ssize_t N = read(Fd, Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR) continue;
        if (N < 0) return false;
        if (N == 0) break;
        Content.append(Buffer, static_cast<size_t>(N));
    }
    struct stat After {};
    if (State != nullptr && Steady != nullptr)
        *Steady = Known && fstat(Fd, &After) == 0 && StateOf(After) == *State && Content.size() == State->Size;
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
    TDescriptor F(open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!F.Valid() || !ReadAll(F.Get(), Text)) Text.clear();
    return Text;
}

std::string ProfileValueIn(std::string_view Text, const std::string& Section, const std::string& Key,
                           const std::string& Default) {
    std::optional<std::string_view> Found = FindProfileValue(Text, Section, Key);
    std::string_view Value = Found ? *Found : std::string_view(Default);
    if (!Found)
        while (!Value.empty() && Value.back() == ' ') Value.remove_suffix(1);
    return std::string(Value.substr(0, ProfileValueLimit));
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

// Asking the locale costs a locale object each time, and every new message part
// asks; the answer changes only with the variables that choose the locale.
uint32_t LocaleCodePage() {
    std::string Key;
    for (const char* Name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        bool Set = false;
        Key += Environment(Name, &Set);
        Key += Set ? '\1' : '\0';
    }
    thread_local std::string LastKey;
    thread_local uint32_t LastCodePage = 0;
    if (LastCodePage == 0 || Key != LastKey) {
        LastCodePage = CodePageOfCodeset(EnvironmentCodeset());
        LastKey = std::move(Key);
    }
    return LastCodePage;
}

uint32_t AnsiCodePage() {
    if (auto Forced = detail::ForcedCodePage()) return *Forced;
    return LocaleCodePage();
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
    Handle = dlopen(FileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    return Handle != nullptr;
}

void* TLibrary::Symbol(const char* Name) const { return Handle ? dlsym(Handle, Name) : nullptr; }

void TLibrary::Release() {
    if (Handle) dlclose(Handle);
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
    return stat(Path.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

std::string ReadWholeFile(const std::string& Path) {
    TDescriptor F(open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string Content;
    if (!F.Valid() || !ReadAll(F.Get(), Content)) detail::FailOpen(Path);
    return Content;
}

void WriteWholeFile(const std::string& Path, const std::string& Content) {
    TDescriptor F(open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!F.Valid() || !WriteAll(F.Get(), Content) || !F.Close()) detail::FailCreate(Path);
}

void AppendToFile(const std::string& Path, const std::string& Content) {
    TDescriptor F(open(Path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!F.Valid()) detail::FailOpen(Path);
    if (!WriteAll(F.Get(), Content) || !F.Close()) detail::FailWrite(Path);
}

namespace {

class TFolderListing {
public:
    explicit TFolderListing(const std::string& Path) : Folder(opendir(Path.c_str())) {}
    ~TFolderListing() {
        if (Folder != nullptr) closedir(Folder);
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
    TDescriptor F(openat(Folder, Name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat Opened {}, Named {};
    if (!F.Valid() || fstat(F.Get(), &Opened) != 0 || !S_ISREG(Opened.st_mode)) return;
    if (flock(F.Get(), LOCK_EX | LOCK_NB) != 0) return;
    // The name may have passed to a new file since it was opened.
    if (fstatat(Folder, Name, &Named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(Opened, Named))
        unlinkat(Folder, Name, 0);
}

}  // namespace

void RemoveLeftoverTemporaries(const std::string& Folder) {
    TFolderListing Listing(Folder);
    if (Listing.Get() == nullptr) return;
    while (const dirent* Entry = readdir(Listing.Get())) {
        if (detail::IsTemporaryName(Entry->d_name)) RemoveIfAbandoned(dirfd(Listing.Get()), Entry->d_name);
    }
}

namespace detail {

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

intptr_t OpenToRead(const std::string& Path) { return open(Path.c_str(), O_RDONLY | O_CLOEXEC); }

void CloseRead(intptr_t& Handle) {
    if (Handle >= 0) close(static_cast<int>(Handle));
    Handle = NoHandle;
}

bool ReadWhole(intptr_t Handle, std::string& Content, TFileState& State, bool& Steady) {
    return ReadAll(static_cast<int>(Handle), Content, &State, &Steady);
}

// The open file keeps its inode number from passing to another file, so the name
// names it exactly when their device and inode numbers agree.
bool StillAsRead(const std::string& Path, intptr_t, const TFileState& State) {
    struct stat Now {};
    return stat(Path.c_str(), &Now) == 0 && StateOf(Now) == State;
}

TReplacement::TReplacement(const std::string& P, std::string T)
    : Path(P), TemporaryPath(std::move(T)), Handle(-1) {}

TReplacement::~TReplacement() {
    CloseTemporary();
    if (!Placed) unlink(TemporaryPath.c_str());
}

void TReplacement::CloseTemporary() {
    if (Handle >= 0) close(static_cast<int>(Handle));
    Handle = -1;
}

bool TReplacement::CreateTemporary() {
    // A leftover of an earlier process with the same number goes; the exclusive
    // create then guarantees the file is the one we made.
    RemoveIfAbandoned(AT_FDCWD, TemporaryPath.c_str());
    Handle = open(TemporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Handle < 0) return false;
    // Held until the file has taken the original's place (see RemoveIfAbandoned).
    return flock(static_cast<int>(Handle), LOCK_EX | LOCK_NB) == 0;
}

bool TReplacement::Write(std::string_view Bytes) { return WriteAll(static_cast<int>(Handle), Bytes); }

bool TReplacement::Finish() {
    const int Fd = static_cast<int>(Handle);
    struct stat Original {};
    if (stat(Path.c_str(), &Original) == 0) {
        // Keeping owner and group needs privileges we may lack; the mode does not.
        if (fchown(Fd, Original.st_uid, Original.st_gid) != 0) { /* best effort */ }
        if (fchmod(Fd, Original.st_mode & 07777) != 0) return false;
    }
    // The file stays open, and locked, until it is in place: a close after fsync
    // has nothing left to report.
    return fsync(Fd) == 0;
}

bool TReplacement::MoveIntoPlace() {
    if (rename(TemporaryPath.c_str(), Path.c_str()) != 0) return false;
    Placed = true;
    CloseTemporary();
    // The new name must survive a crash too. The content is already in place, so a
    // folder that cannot be synced does not turn the replacement into a failure.
    TDescriptor Folder(open(FolderOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Valid()) fsync(Folder.Get());
    return true;
}

}  // namespace detail
}  // namespace lumaro::platform
