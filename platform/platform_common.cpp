// The parts of the platform layer that are the same on every system: error
// texts, the forced code page, and the order of the steps that replace a file.
#include <array>
#include <atomic>
#include <cstring>

#include "platform/platform_internal.h"

namespace lumaro::platform {
namespace detail {

namespace {

// The reason is read first, before anything else can change it.
[[noreturn]] void Fail(const char* What, const std::string& Path) {
    const std::string Reason = LastSystemError();
    std::string Message = What + Path;
    if (!Reason.empty()) Message += ": " + Reason;
    throw TError(Message);
}

}  // namespace

void FailOpen(const std::string& Path) { Fail("Cannot open file ", Path); }
void FailCreate(const std::string& Path) { Fail("Cannot create file ", Path); }
void FailWrite(const std::string& Path) { Fail("Cannot write file ", Path); }
// Not a failure of the system: the file is as another program left it.
void FailChanged(const std::string& Path) {
    throw TError("File " + Path + " was changed by another program since it was read; it was left as it is");
}

namespace {

constexpr size_t ProfileValueLimit = 1023;

bool IsLineBlank(char C) { return C == ' ' || C == '\t'; }

std::string_view Unquoted(std::string_view Value) {
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') && Value.back() == Value.front())
        return Value.substr(1, Value.size() - 2);
    return Value;
}

}  // namespace

std::string_view TrimLineBlanks(std::string_view V) {
    while (!V.empty() && IsLineBlank(V.front())) V.remove_prefix(1);
    while (!V.empty() && IsLineBlank(V.back())) V.remove_suffix(1);
    return V;
}

// The layer lies below the text helpers of velutil, so it folds ASCII case itself.
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

std::string ProfileValue(std::optional<std::string_view> Raw, std::string_view Default) {
    std::string_view Value = Raw ? Unquoted(TrimLineBlanks(*Raw)) : Default;
    if (!Raw)
        while (!Value.empty() && Value.back() == ' ') Value.remove_suffix(1);
    return std::string(Value.substr(0, ProfileValueLimit));
}

}  // namespace detail

std::optional<uint32_t> CodePageNumber(std::string_view Text) {
    if (Text.empty() || Text.size() > 9) return std::nullopt;
    uint32_t Number = 0;
    for (char C : Text) {
        if (C < '0' || C > '9') return std::nullopt;
        Number = Number * 10 + static_cast<uint32_t>(C - '0');
    }
    return Number;
}

std::optional<uint32_t> ForcedCodePage() { return CodePageNumber(Environment("LUMARO_CODEPAGE")); }

namespace {

std::atomic<TReplaceFault> PendingFault{TReplaceFault::None};

// The name ends in neither ".QDF" nor anything a queue scanner would pick up; the
// number of the process keeps two processes that replace one file apart.
std::string TemporaryNameFor(const std::string& Path) {
    return Path + std::string(detail::TemporaryMark) + std::to_string(detail::ProcessId());
}

}  // namespace

bool detail::IsTemporaryName(std::string_view Name) {
    const size_t Mark = Name.rfind(detail::TemporaryMark);
    if (Mark == std::string_view::npos || Mark == 0) return false;
    const std::string_view Number = Name.substr(Mark + detail::TemporaryMark.size());
    return !Number.empty() && Number.find_first_not_of("0123456789") == std::string_view::npos;
}

namespace {

bool AskProcessorForSse2() {
#if defined(__i386__) || defined(__x86_64__)
    // Static constructors may run before the compiler's own CPU probe.
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
#else
    return false;
#endif
}

}  // namespace

std::atomic<bool> Sse2Refused{false};

bool ProcessorHasSse2() {
    static const bool Sse2 = AskProcessorForSse2();
    return Sse2 && !Sse2Refused.load(std::memory_order_relaxed);
}

void RefuseSse2(bool Refuse) { Sse2Refused.store(Refuse); }

void InjectReplaceFault(TReplaceFault Fault) { PendingFault.store(Fault); }

void AppendToFile(const std::string& Path, const std::string& Content) {
    TAppendFile File(Path);
    File.Append(Content);
    File.Close();
}

TAppendFile::TAppendFile(std::string P) : FilePath(std::move(P)), Handle(detail::OpenToAppend(FilePath)) {
    if (Handle == detail::NoHandle) detail::FailOpen(FilePath);
}

TAppendFile::~TAppendFile() { detail::CloseFile(Handle); }

void TAppendFile::Append(std::string_view Content) {
    if (Handle == detail::NoHandle || !detail::AppendBytes(Handle, Content)) detail::FailWrite(FilePath);
}

void TAppendFile::Close() {
    if (!detail::CloseFile(Handle)) detail::FailWrite(FilePath);
}

#ifdef LUMARO_COUNT_CALLS
namespace {

struct TCallSlot {
    std::atomic<const char*> Name{nullptr};
    std::atomic<uint64_t> Count{0};
};
// More than the platform layer calls distinct functions.
std::array<TCallSlot, 64> CallSlots;

}  // namespace

void detail::CountSystemCall(const char* Name) {
    for (TCallSlot& Slot : CallSlots) {
        const char* Held = Slot.Name.load();
        if (Held == nullptr && Slot.Name.compare_exchange_strong(Held, Name)) Held = Name;
        if (Held != nullptr && std::strcmp(Held, Name) == 0) {
            ++Slot.Count;
            return;
        }
    }
}

std::vector<TSystemCallCount> SystemCallCounts() {
    std::vector<TSystemCallCount> Counts;
    for (const TCallSlot& Slot : CallSlots)
        if (const char* Name = Slot.Name.load()) Counts.push_back({Name, Slot.Count.load()});
    return Counts;
}
#else
std::vector<TSystemCallCount> SystemCallCounts() { return {}; }
#endif

void ReplaceFile(const std::string& Path, const std::string& Content) {
    ReplaceFileWith(Path, [&Content](const TContentWriter& Write) { Write(Content); });
}

namespace {

// The steps of one replacement, with the fault a test asked for. MayReplace is
// asked once the new content is on disk, just before it takes the original's place.
void Replace(const std::string& Path, const std::function<void(const TContentWriter&)>& Produce,
             const std::function<bool()>& MayReplace, detail::TOriginal Original = {}) {
    const TReplaceFault Fault = PendingFault.exchange(TReplaceFault::None);
    detail::TReplacement R(Path, TemporaryNameFor(Path), Original);
    if (Fault == TReplaceFault::CreateTemporary || !R.CreateTemporary()) detail::FailCreate(Path);
    const bool Halfway = Fault == TReplaceFault::WriteHalfway;
    const TContentWriter Write = [&R, &Path, Halfway](std::string_view Bytes) {
        if (Halfway) {
            R.Write(Bytes.substr(0, Bytes.size() / 2));
            detail::FailCreate(Path);
        }
        if (!Bytes.empty() && !R.Write(Bytes)) detail::FailCreate(Path);
    };
    Produce(Write);
    if (Halfway || !R.Finish()) detail::FailCreate(Path);
    if (!MayReplace()) detail::FailChanged(Path);
    if (Fault == TReplaceFault::FinalReplace || !R.MoveIntoPlace()) detail::FailCreate(Path);
}

}  // namespace

void ReplaceFileWith(const std::string& Path, const std::function<void(const TContentWriter&)>& Produce) {
    Replace(Path, Produce, [] { return true; });
}

TLoadedFile::TLoadedFile(std::string P) : Path(std::move(P)), Handle(detail::OpenToRead(Path)) {
    bool Read = false;
    try {
        Read = Handle != detail::NoHandle && detail::ReadWhole(Handle, Content, State, Steady, Attributes);
    } catch (...) {
        // No destructor runs for an object whose constructor fails.
        detail::CloseFile(Handle);
        throw;
    }
    if (Read) return;
    detail::CloseFile(Handle);
    detail::FailOpen(Path);
}

TLoadedFile::~TLoadedFile() { detail::CloseFile(Handle); }

void TLoadedFile::ReplaceWith(const std::function<void(const TContentWriter&)>& Produce) {
    Replace(Path, Produce, [this] {
        const bool Unchanged = Steady && detail::StillAsRead(Path, Handle, State);
        // Windows replaces no file that is open without sharing its deletion.
        detail::CloseFile(Handle);
        return Unchanged;
    }, detail::TOriginal{Handle, Attributes});
}

}  // namespace lumaro::platform
