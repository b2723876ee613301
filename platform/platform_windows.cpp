// The platform layer on Windows: the system's own services throughout.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

#include "platform/platform_internal.h"

namespace lumaro::platform {

using detail::SystemCall;

namespace {

// One buffer of 1024 bytes, as the module has always asked: values of at most
// 1023 characters.
constexpr DWORD ProfileBufferSize = 1024;

// The largest piece handed to one ReadFile or WriteFile call.
constexpr DWORD FileChunk = 1u << 24;

class THandle {
public:
    explicit THandle(HANDLE V) : H(V) {}
    ~THandle() { Close(); }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    bool Valid() const { return H != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return H; }
    bool Close() {
        if (!Valid()) return true;
        BOOL R = SystemCall("CloseHandle", CloseHandle, H);
        H = INVALID_HANDLE_VALUE;
        return R != 0;
    }

private:
    HANDLE H;
};

bool WriteAll(HANDLE H, std::string_view Bytes) {
    while (!Bytes.empty()) {
        DWORD Piece = Bytes.size() < FileChunk ? static_cast<DWORD>(Bytes.size()) : FileChunk;
        DWORD Written = 0;
        if (!SystemCall("WriteFile", WriteFile, H, Bytes.data(), Piece, &Written, nullptr) || Written == 0)
            return false;
        Bytes.remove_prefix(Written);
    }
    return true;
}

// What a job needs to know of an open file. Not GetFileInformationByHandle: for
// the volume's serial number it also asks the volume (under Wine a round trip to
// its mount manager process, twice), and the identity it would give is not needed,
// since a file held open without sharing its deletion keeps it.
struct TOpenFileState {
    TFileState State;  // Volume and Index stay 0
    DWORD Links = 0;
    DWORD Attributes = 0;
};

bool StateOfOpenFile(HANDLE H, TOpenFileState& Found) {
    FILE_STANDARD_INFO Standard{};
    FILE_BASIC_INFO Basic{};
    if (!SystemCall("GetFileInformationByHandleEx", GetFileInformationByHandleEx, H, FileStandardInfo, &Standard,
                    static_cast<DWORD>(sizeof Standard)) ||
        !SystemCall("GetFileInformationByHandleEx", GetFileInformationByHandleEx, H, FileBasicInfo, &Basic,
                    static_cast<DWORD>(sizeof Basic)))
        return false;
    Found.State.Size = static_cast<uint64_t>(Standard.EndOfFile.QuadPart);
    Found.State.Modified = Basic.LastWriteTime.QuadPart;
    Found.Links = Standard.NumberOfLinks;
    Found.Attributes = Basic.FileAttributes;
    return true;
}

// Reads the whole file. A file whose size is known is read up to that size with
// no call to find its end: a change after the look at its state is found when the
// state is taken again before a replacement (StillAsRead). Steady tells whether
// the content has the size the file had.
bool ReadAll(HANDLE H, std::string& Content, TOpenFileState& Found, bool& Steady) {
    Steady = false;
    const bool Known = StateOfOpenFile(H, Found);
    const uint64_t Size = Found.State.Size;
    if (Known && Size < Content.max_size()) {
        Content.resize(static_cast<size_t>(Size));
        size_t Got = 0;
        while (Got < Content.size()) {
            const size_t Left = Content.size() - Got;
            DWORD N = 0;
            if (!SystemCall("ReadFile", ReadFile, H, Content.data() + Got,
                            Left < FileChunk ? static_cast<DWORD>(Left) : FileChunk, &N, nullptr))
                return false;
            if (N == 0) break;
            Got += N;
        }
        Content.resize(Got);
        Steady = Got == Size;
        return true;
    }
    std::vector<char> Buffer(65536);
    for (;;) {
        DWORD Got = 0;
        if (!SystemCall("ReadFile", ReadFile, H, Buffer.data(), static_cast<DWORD>(Buffer.size()), &Got, nullptr))
            return false;
        if (Got == 0) return true;
        Content.append(Buffer.data(), Got);
    }
}

HANDLE OpenForReading(const std::string& Path) {
    return SystemCall("CreateFileA", CreateFileA, Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// The large pages of Windows need a privilege that a mail server does not hold.
void AdviseLargeBuffer(const void*, size_t) {}

const char* PathSeparator() { return "\\"; }

// The service looks for a file named without a full path in the Windows folder;
// ours are named relative to the current folder, as every other file is.
std::string FullPath(const std::string& Path) {
    DWORD Needed = GetFullPathNameA(Path.c_str(), 0, nullptr, nullptr);
    if (Needed == 0) return Path;
    std::string Full(Needed, '\0');
    DWORD Got = GetFullPathNameA(Path.c_str(), Needed, Full.data(), nullptr);
    if (Got == 0 || Got >= Needed) return Path;
    Full.resize(Got);
    return Full;
}

std::string ProfileString(const std::string& Path, const std::string& Section,
                          const std::string& Key, const std::string& Default) {
    char Buffer[ProfileBufferSize];
    DWORD N = SystemCall("GetPrivateProfileStringA", GetPrivateProfileStringA, Section.c_str(), Key.c_str(),
                         Default.c_str(), Buffer, ProfileBufferSize, FullPath(Path).c_str());
    return std::string(Buffer, N < ProfileBufferSize ? N : ProfileBufferSize - 1);
}


std::optional<uint32_t> SystemAnsiCodePage() { return GetACP(); }

namespace {

// A list of names, each ended by NUL, the whole by a second NUL, as the profile
// service fills it; the buffer grows until the list fits.
template <typename TFill>
std::vector<std::string> ProfileNameList(TFill Fill) {
    std::vector<char> Buffer(4096);
    for (;;) {
        const DWORD N = Fill(Buffer.data(), static_cast<DWORD>(Buffer.size()));
        if (N + 2 < Buffer.size() || Buffer.size() >= (1u << 24)) {
            std::vector<std::string> Names;
            for (size_t At = 0; At < N && Buffer[At] != '\0';) {
                Names.emplace_back(Buffer.data() + At);
                At += Names.back().size() + 1;
            }
            return Names;
        }
        Buffer.resize(Buffer.size() * 2);
    }
}

}  // namespace

// The whole section in one call of the service, so that a job opens the file once,
// not once for each key: lines "key=value", each ended by NUL. The service has
// already dropped comments and the blanks around names and values; they are
// dropped again in case a system's service keeps them, and the value loses its
// quotes as the service's one-key call drops them.
std::vector<std::string> ProfileStrings(const std::string& Path, const std::string& Section,
                                        const std::vector<TProfileKey>& Keys) {
    const std::string File = FullPath(Path);
    const std::vector<std::string> Lines = ProfileNameList([&File, &Section](char* Buffer, DWORD Size) {
        return SystemCall("GetPrivateProfileSectionA", GetPrivateProfileSectionA, Section.c_str(), Buffer, Size,
                          File.c_str());
    });
    std::vector<std::string> Values;
    Values.reserve(Keys.size());
    for (const TProfileKey& K : Keys) {
        std::optional<std::string_view> Raw;
        for (const std::string& Line : Lines) {
            const std::string_view Entry = detail::TrimLineBlanks(Line);
            if (Entry.empty() || Entry.front() == ';') continue;
            // A key without an equals sign has no value: it gives the default.
            const size_t Equals = Entry.find('=');
            if (!detail::SameName(detail::TrimLineBlanks(Entry.substr(0, Equals)), K.Key)) continue;
            if (Equals != std::string_view::npos) Raw = Entry.substr(Equals + 1);
            break;
        }
        Values.push_back(detail::ProfileValue(Raw, K.Default));
    }
    return Values;
}

std::vector<std::string> ProfileSectionNames(const std::string& Path) {
    const std::string File = FullPath(Path);
    return ProfileNameList([&File](char* Buffer, DWORD Size) {
        return SystemCall("GetPrivateProfileSectionNamesA", GetPrivateProfileSectionNamesA, Buffer, Size,
                          File.c_str());
    });
}

std::vector<std::string> ProfileKeyNames(const std::string& Path, const std::string& Section) {
    const std::string File = FullPath(Path);
    return ProfileNameList([&File, &Section](char* Buffer, DWORD Size) {
        return SystemCall("GetPrivateProfileStringA", GetPrivateProfileStringA, Section.c_str(), nullptr, "", Buffer,
                          Size, File.c_str());
    });
}

std::string WhyCannotAppend(const std::string& Path) {
    HANDLE H = SystemCall("CreateFileA", CreateFileA, Path.c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (H == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND)
        H = SystemCall("CreateFileA", CreateFileA, Path.c_str(), FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (H == INVALID_HANDLE_VALUE) return detail::LastSystemError();
    SystemCall("CloseHandle", CloseHandle, H);
    return {};
}

std::string Environment(const char* Name, bool* Set) {
    // The process's own environment, which a host may change after start-up.
    // An empty variable also gives 0; only the error code tells it from an absent one.
    SetLastError(ERROR_SUCCESS);
    DWORD Needed = GetEnvironmentVariableA(Name, nullptr, 0);
    if (Set) *Set = Needed != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (Needed == 0) return std::string();
    std::string Value(Needed, '\0');
    DWORD Got = GetEnvironmentVariableA(Name, Value.data(), Needed);
    Value.resize(Got < Needed ? Got : 0);
    return Value;
}

// --- libraries and locks -----------------------------------------------------

TLibrary::~TLibrary() { Release(); }

bool TLibrary::Load(const std::string& FileName) {
    Release();
    Handle = reinterpret_cast<void*>(SystemCall("LoadLibraryA", LoadLibraryA, FileName.c_str()));
    return Handle != nullptr;
}

void* TLibrary::Symbol(const char* Name) const {
    if (!Handle) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Handle), Name));
}

std::string TLibrary::FileName() const {
    if (!Handle) return {};
    char Buffer[MAX_PATH + 1];
    const DWORD N = GetModuleFileNameA(static_cast<HMODULE>(Handle), Buffer, MAX_PATH);
    return N > 0 && N < MAX_PATH ? std::string(Buffer, N) : std::string();
}

void TLibrary::Release() {
    if (Handle) SystemCall("FreeLibrary", FreeLibrary, static_cast<HMODULE>(Handle));
    Handle = nullptr;
}

struct TLock::TImpl {
    CRITICAL_SECTION Section;
};

TLock::TLock() : Impl(std::make_unique<TImpl>()) { InitializeCriticalSection(&Impl->Section); }
TLock::~TLock() { DeleteCriticalSection(&Impl->Section); }
void TLock::Enter() { EnterCriticalSection(&Impl->Section); }
void TLock::Leave() { LeaveCriticalSection(&Impl->Section); }

TLocalTime LocalTime() {
    SYSTEMTIME T{};
    GetLocalTime(&T);
    return {T.wYear, T.wMonth, T.wDay, T.wHour, T.wMinute, T.wSecond};
}

// --- whole files ---------------------------------------------------------------

bool FileExists(const std::string& Path) {
    DWORD A = SystemCall("GetFileAttributesA", GetFileAttributesA, Path.c_str());
    return A != INVALID_FILE_ATTRIBUTES && !(A & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadWholeFile(const std::string& Path) {
    THandle F(OpenForReading(Path));
    std::string Content;
    TOpenFileState Found;
    bool Whole = false;
    if (!F.Valid() || !ReadAll(F.Get(), Content, Found, Whole)) detail::FailOpen(Path);
    return Content;
}

void WriteWholeFile(const std::string& Path, const std::string& Content) {
    THandle F(SystemCall("CreateFileA", CreateFileA, Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!F.Valid() || !WriteAll(F.Get(), Content) || !F.Close()) detail::FailCreate(Path);
}

namespace {

class TFolderSearch {
public:
    TFolderSearch(const std::string& Pattern, WIN32_FIND_DATAA& Found)
        : H(SystemCall("FindFirstFileA", FindFirstFileA, Pattern.c_str(), &Found)) {}
    ~TFolderSearch() {
        if (H != INVALID_HANDLE_VALUE) SystemCall("FindClose", FindClose, H);
    }
    TFolderSearch(const TFolderSearch&) = delete;
    TFolderSearch& operator=(const TFolderSearch&) = delete;
    bool Any() const { return H != INVALID_HANDLE_VALUE; }
    bool Next(WIN32_FIND_DATAA& Found) { return SystemCall("FindNextFileA", FindNextFileA, H, &Found) != 0; }

private:
    HANDLE H;
};

}  // namespace

void RemoveLeftoverTemporaries(const std::string& Folder) {
    // A replacement holds its temporary file open without sharing it until just
    // before it takes the original's place, and the system closes it with the
    // process, however it ends: a temporary file that can be deleted is a leftover.
    WIN32_FIND_DATAA Found{};
    TFolderSearch Search(Folder + "\\*" + std::string(detail::TemporaryMark) + "*", Found);
    if (!Search.Any()) return;
    do {
        const DWORD Skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        if (!(Found.dwFileAttributes & Skipped) && detail::IsTemporaryName(Found.cFileName))
            SystemCall("DeleteFileA", DeleteFileA, (Folder + "\\" + Found.cFileName).c_str());
    } while (Search.Next(Found));
}

namespace detail {

std::string LastSystemError() {
    const DWORD Error = GetLastError();
    if (Error == ERROR_SUCCESS) return {};
    char* Text = nullptr;
    const DWORD N = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, Error, 0, reinterpret_cast<char*>(&Text), 0, nullptr);
    std::string Reason = N > 0 && Text != nullptr ? std::string(Text, N) : "error " + std::to_string(Error);
    if (Text != nullptr) LocalFree(Text);
    while (!Reason.empty() && (Reason.back() == '\r' || Reason.back() == '\n' || Reason.back() == ' ' ||
                               Reason.back() == '.'))
        Reason.pop_back();
    return Reason;
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

// Append access makes every write land at the end, even with other writers; the
// file may be renamed or deleted while it is open, as it may between two opens.
intptr_t OpenToAppend(const std::string& Path) {
    return reinterpret_cast<intptr_t>(SystemCall("CreateFileA", CreateFileA, Path.c_str(), FILE_APPEND_DATA,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool AppendBytes(intptr_t Handle, std::string_view Bytes) { return WriteAll(reinterpret_cast<HANDLE>(Handle), Bytes); }

bool CloseFile(intptr_t& Handle) {
    HANDLE H = reinterpret_cast<HANDLE>(Handle);
    Handle = NoHandle;
    return H == INVALID_HANDLE_VALUE || SystemCall("CloseHandle", CloseHandle, H) != 0;
}

intptr_t OpenToRead(const std::string& Path) { return reinterpret_cast<intptr_t>(OpenForReading(Path)); }

bool ReadWhole(intptr_t Handle, std::string& Content, TFileState& State, bool& Steady, uint32_t& Attributes) {
    TOpenFileState Found;
    const bool Read = ReadAll(reinterpret_cast<HANDLE>(Handle), Content, Found, Steady);
    State = Found.State;
    Attributes = Found.Attributes;
    return Read;
}

// The file is open without sharing its deletion, so no other Windows program can
// have deleted, renamed or replaced it: the handle tells everything, and no second
// open by name is needed. A program outside Windows' sharing rules (one on the
// Linux side of Wine) can still unlink it: then it has no link left.
bool StillAsRead(const std::string&, intptr_t Handle, const TFileState& State) {
    TOpenFileState Now;
    return StateOfOpenFile(reinterpret_cast<HANDLE>(Handle), Now) && Now.Links > 0 && Now.State == State;
}

TReplacement::TReplacement(const std::string& P, std::string T, TOriginal O)
    : Path(P), TemporaryPath(std::move(T)), Original(O), Handle(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) {}

TReplacement::~TReplacement() {
    CloseTemporary();
    if (!Placed) SystemCall("DeleteFileA", DeleteFileA, TemporaryPath.c_str());
}

void TReplacement::CloseTemporary() {
    HANDLE H = reinterpret_cast<HANDLE>(Handle);
    if (H != INVALID_HANDLE_VALUE) SystemCall("CloseHandle", CloseHandle, H);
    Handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
}

namespace {

// What a rewrite keeps of the original besides its name, so that it changes only
// content: its attributes (but read-only, which would block the replace) and its
// access list.
struct TProtection {
    DWORD Attributes = FILE_ATTRIBUTE_NORMAL;
    std::string Descriptor;  // a self-relative security descriptor; empty: none known
};

DWORD CreatableAttributes(DWORD Attributes) {
    const DWORD Creatable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    return (Attributes & Creatable) != 0 ? Attributes & Creatable : FILE_ATTRIBUTE_NORMAL;
}

// From the handle the original was read by, with the attributes it had then: no
// opening of the file by its name.
TProtection ProtectionOf(const TOriginal& Original) {
    TProtection P;
    P.Attributes = CreatableAttributes(Original.Attributes);
    const HANDLE H = reinterpret_cast<HANDLE>(Original.Handle);
    P.Descriptor.resize(1024);
    DWORD Needed = 0;
    auto Ask = [&] {
        return SystemCall("GetKernelObjectSecurity", GetKernelObjectSecurity, H, DACL_SECURITY_INFORMATION,
                          P.Descriptor.data(), static_cast<DWORD>(P.Descriptor.size()), &Needed) != 0;
    };
    if (Ask()) return P;
    P.Descriptor.assign(Needed, '\0');
    if (Needed == 0 || !Ask()) P.Descriptor.clear();
    return P;
}

// By the original's name, for a replacement of a file no job read.
TProtection ProtectionOf(const std::string& Path) {
    TProtection P;
    const DWORD Attributes = SystemCall("GetFileAttributesA", GetFileAttributesA, Path.c_str());
    if (Attributes != INVALID_FILE_ATTRIBUTES) P.Attributes = CreatableAttributes(Attributes);
    DWORD Needed = 0;
    SystemCall("GetFileSecurityA", GetFileSecurityA, Path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &Needed);
    if (Needed == 0) return P;
    P.Descriptor.assign(Needed, '\0');
    if (!SystemCall("GetFileSecurityA", GetFileSecurityA, Path.c_str(), DACL_SECURITY_INFORMATION,
                    P.Descriptor.data(), Needed, &Needed))
        P.Descriptor.clear();
    return P;
}

HANDLE CreateNew(const std::string& Path, const TProtection& Protection) {
    SECURITY_ATTRIBUTES Security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    if (!Protection.Descriptor.empty()) Security.lpSecurityDescriptor = const_cast<char*>(Protection.Descriptor.data());
    return SystemCall("CreateFileA", CreateFileA, Path.c_str(), GENERIC_WRITE, 0, &Security, CREATE_NEW,
                      Protection.Attributes, nullptr);
}

}  // namespace

bool TReplacement::CreateTemporary() {
    // The protection goes with the creation: the system takes it from there, with
    // no call of its own. Not shared: until it is closed just before the move, no
    // search for leftovers can delete it (see RemoveLeftoverTemporaries). A
    // leftover of an earlier process with the same number goes first, so that the
    // file made is new and takes the protection.
    const TProtection Protection = Original.Handle != NoHandle ? ProtectionOf(Original) : ProtectionOf(Path);
    HANDLE H = CreateNew(TemporaryPath, Protection);
    if (H == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        SystemCall("DeleteFileA", DeleteFileA, TemporaryPath.c_str()))
        H = CreateNew(TemporaryPath, Protection);
    Handle = reinterpret_cast<intptr_t>(H);
    return H != INVALID_HANDLE_VALUE;
}

bool TReplacement::Write(std::string_view Bytes) {
    return WriteAll(reinterpret_cast<HANDLE>(Handle), Bytes);
}

bool TReplacement::Finish() {
    return SystemCall("FlushFileBuffers", FlushFileBuffers, reinterpret_cast<HANDLE>(Handle)) != 0;
}

// MoveFileEx, not ReplaceFile: a rename over the original is one step of the file
// system, which either happens or does not. ReplaceFile takes several (the
// original goes away, then the new file takes its name); without a backup name,
// its failure ERROR_UNABLE_TO_MOVE_REPLACEMENT leaves no file under the original's
// name at all, and the message would live on only in the temporary file. What
// ReplaceFile would carry over (attributes, access list) the temporary file has
// from its creation.
bool TReplacement::MoveIntoPlace() {
    // An open file cannot be moved; after a flush the close has nothing to report.
    CloseTemporary();
    if (!SystemCall("MoveFileExA", MoveFileExA, TemporaryPath.c_str(), Path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    Placed = true;
    return true;
}

}  // namespace detail
}  // namespace lumaro::platform
