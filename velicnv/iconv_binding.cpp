// Loading the iconv library, resolving its entry points and wrapping its three
// operations so that every failure becomes "the library cannot serve this".
#include "velicnv/velicnv.h"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumaro {
namespace {

using TOpenEntry = void* (*)(const char* Target, const char* Source);
using TConvertEntry = size_t (*)(void* Descriptor, char** Input, size_t* InputLeft, char** Output,
                                 size_t* OutputLeft);
using TCloseEntry = int (*)(void* Descriptor);

struct TEntryPoints {
    TOpenEntry Open = nullptr;
    TConvertEntry Convert = nullptr;
    TCloseEntry Close = nullptr;
    void* Control = nullptr;  // resolved with the others, never called
};

struct TEntryNames {
    const char* Open;
    const char* Convert;
    const char* Close;
    const char* Control;
};

constexpr TEntryNames LibiconvNames{"libiconv_open", "libiconv", "libiconv_close", "libiconvctl"};
// The C library's own iconv has the plain names (and no control entry point).
constexpr TEntryNames PlainNames{"iconv_open", "iconv", "iconv_close", "iconvctl"};

// Descriptors that conversions closed, kept open for the next conversion of the
// same pair: opening a descriptor may load one of the C library's converter modules
// and closing the last one unload it again, which costs far more than converting a
// header. A kept descriptor is reset to its initial state before it goes out again,
// so that it gives exactly what a fresh one would.
class TDescriptorCache {
public:
    // A kept descriptor of the pair, reset; null when none is kept.
    void* Take(const std::string& Pair, const TEntryPoints& E) {
        void* D = nullptr;
        {
            platform::TLockGuard Guard(Lock);
            auto It = Idle.find(Pair);
            if (It == Idle.end() || It->second.empty()) return nullptr;
            D = It->second.back();
            It->second.pop_back();
            Lent.emplace(D, Pair);
        }
        E.Convert(D, nullptr, nullptr, nullptr, nullptr);
        return D;
    }
    void Lend(void* D, const std::string& Pair) {
        platform::TLockGuard Guard(Lock);
        Lent.emplace(D, Pair);
    }
    // Takes back a descriptor that the cache lent; false for any other.
    bool Keep(void* D, const TEntryPoints& E) {
        {
            platform::TLockGuard Guard(Lock);
            auto It = Lent.find(D);
            if (It == Lent.end()) return false;
            std::vector<void*>& Kept = Idle[It->second];
            Lent.erase(It);
            if (Kept.size() < KeptPerPair) {
                Kept.push_back(D);
                return true;
            }
        }
        E.Close(D);
        return true;
    }
    void CloseAll(const TEntryPoints& E) {
        platform::TLockGuard Guard(Lock);
        for (auto& [Pair, Kept] : Idle)
            for (void* D : Kept)
                if (E.Close != nullptr) E.Close(D);
        Idle.clear();
        Lent.clear();
    }

private:
    // Enough for the conversions that run at the same time in practice.
    static constexpr size_t KeptPerPair = 4;
    platform::TLock Lock;
    std::map<std::string, std::vector<void*>> Idle;
    std::map<void*, std::string> Lent;
};

// The binding state of the process. The lock exists from module start; the
// library is loaded on first use and released at module stop.
struct TBinding {
    platform::TLock Lock;
    platform::TLibrary Library;
    bool Loaded = false;
    // TIconvAbsenceMemo: how many live, and whether a load failed while one did.
    int AbsenceMemos = 0;
    bool KnownAbsent = false;
    // The last search that found no library: when, and which files it tried.
    std::optional<std::chrono::steady_clock::time_point> FailedSearchAt;
    std::vector<std::string> FailedCandidates;
    uint32_t Generation = 0;
    TEntryPoints Entries;
    std::optional<std::string> Choice;
    TDescriptorCache Cache;

    void UnloadLocked() {
        Cache.CloseAll(Entries);
        Loaded = false;
        Library.Release();
        Entries = TEntryPoints{};
    }
    ~TBinding() {
        platform::TLockGuard Guard(Lock);
        UnloadLocked();
    }
};

TBinding& Binding() {
    static TBinding TheBinding;
    return TheBinding;
}
// Created while the module starts, not at the first conversion.
[[maybe_unused]] TBinding& BindingAtStart = Binding();

template <typename T>
T EntryPoint(const platform::TLibrary& Library, const char* Name) {
    return reinterpret_cast<T>(Library.Symbol(Name));
}

TEntryPoints Resolve(const platform::TLibrary& Library, const TEntryNames& Names) {
    TEntryPoints E;
    E.Open = EntryPoint<TOpenEntry>(Library, Names.Open);
    E.Convert = EntryPoint<TConvertEntry>(Library, Names.Convert);
    E.Close = EntryPoint<TCloseEntry>(Library, Names.Close);
    E.Control = Library.Symbol(Names.Control);
    return E;
}

TEntryPoints ResolveAny(const platform::TLibrary& Library) {
    TEntryPoints E = Resolve(Library, LibiconvNames);
#ifndef _WIN32
    if (E.Open == nullptr) E = Resolve(Library, PlainNames);
#endif
    return E;
}

// The library files to try, in order, by the choice in force.
std::vector<std::string> CandidateFiles(const std::optional<std::string>& Override) {
    bool Set = false;
    std::string Choice = Override ? *Override : platform::Environment("LUMARO_ICONV", &Set);
    if (Override) Set = true;
    if (Set && Choice == "none") return {};
    // An empty value counts as unset: loading "" would give the program itself.
    if (Set && !Choice.empty()) return {Choice};
#ifdef _WIN32
    return {"iconv.dll"};
#else
    return {"libiconv.so.2", "libc.so.6"};
#endif
}

bool LoadLocked(TBinding& B) {
    if (B.Loaded) return true;
    if (B.KnownAbsent) return false;
    const std::vector<std::string> Candidates = CandidateFiles(B.Choice);
    for (const std::string& File : Candidates) {
        if (!B.Library.Load(File)) continue;
        B.Entries = ResolveAny(B.Library);
        B.Loaded = true;
        // Zero stays free for "no library", also after the count wraps.
        if (++B.Generation == 0) ++B.Generation;
        return true;
    }
    B.KnownAbsent = B.AbsenceMemos > 0;
    B.FailedSearchAt = std::chrono::steady_clock::now();
    B.FailedCandidates = Candidates;
    return false;
}

// A search for the same files that found none less than a minute ago.
bool RecentlyAbsent(const TBinding& B) {
    return B.FailedSearchAt && std::chrono::steady_clock::now() - *B.FailedSearchAt < IconvSearchInterval &&
           CandidateFiles(B.Choice) == B.FailedCandidates;
}

// Loads the library when needed and hands out its entry points, all under the
// lock; false while no library can be loaded (the next call tries again).
bool BoundEntries(TEntryPoints& Entries) {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    if (!LoadLocked(B)) return false;
    Entries = B.Entries;
    return true;
}

void* AsLibraryDescriptor(TIconvDescriptor D) { return reinterpret_cast<void*>(D); }

// A call that stops with less room than this may have stopped for want of room;
// no character's output comes near it.
constexpr size_t RoomForOneCharacter = 256;

// Four bytes per input byte, when the caller does not know better.
size_t DefaultRoom(size_t InputLength) {
    return InputLength <= (SIZE_MAX - 64) / 4 ? InputLength * 4 + 64 : InputLength;
}

// Output room of a run: the library writes into a window of WindowBytes that is
// emptied into the output whenever it runs short, so that the output never has
// to be sized (and cleared) for the worst case of the whole text.
class TOutputRoom {
public:
    static constexpr size_t WindowBytes = 64 * 1024;
    // A short text (a header, one character) gets a small window of its own: a
    // fresh large block costs more than converting it, often a fault for every page.
    static constexpr size_t SmallWindowBytes = 4 * RoomForOneCharacter;
    // A worst-case guess for a very large text is left to growth instead.
    static constexpr size_t ReserveMax = 64u << 20;

    TOutputRoom(std::string& Out, size_t Expected)
        : Out(Out), Size(Expected <= SmallWindowBytes ? SmallWindowBytes : WindowBytes),
          Large(Size > SmallWindowBytes ? new char[Size] : nullptr), Window(Large ? Large.get() : Small) {
        // Only a hint: the room is taken as the output grows. A small window's output
        // gets exactly its size when the window is emptied.
        if (Large) Out.reserve(std::min(Expected, ReserveMax));
    }
    TOutputRoom(const TOutputRoom&) = delete;
    TOutputRoom& operator=(const TOutputRoom&) = delete;
    char* Next() { return Window + Written; }
    size_t Left() const { return Size - Written; }
    // Takes note of the bytes the library wrote up to Cursor.
    void Advance(char* Cursor) { Written = static_cast<size_t>(Cursor - Window); }
    // Empties the window into the output; false when it was empty, so that a call
    // with the whole window free that still finds no room is not run again.
    bool Grow() {
        if (Written == 0) return false;
        Finish();
        return true;
    }
    void Finish() {
        Out.append(Window, Written);
        Written = 0;
    }

private:
    std::string& Out;
    const size_t Size;
    char Small[SmallWindowBytes];
    std::unique_ptr<char[]> Large;
    char* const Window;
    size_t Written = 0;
};

// Feeds the whole input to the library. The library's error codes are not used:
// errno may belong to another C runtime than ours (Windows). Progress and room
// tell enough: a call that consumes nothing although room is ample is stuck on
// invalid or incomplete input.
bool ConvertAll(const TEntryPoints& E, void* D, std::string_view Input, TOutputRoom& Room) {
    if (Input.empty()) return true;
    char* In = const_cast<char*>(Input.data());
    size_t InLeft = Input.size();
    for (;;) {
        const size_t Before = InLeft;
        char* Out = Room.Next();
        size_t OutLeft = Room.Left();
        const size_t Result = E.Convert(D, &In, &InLeft, &Out, &OutLeft);
        Room.Advance(Out);
        // An //IGNORE run that skipped characters reports an error after
        // converting everything; with no input left it is complete.
        if (Result != static_cast<size_t>(-1) || InLeft == 0) return true;
        const bool RoomShort = OutLeft < RoomForOneCharacter;
        if (InLeft == Before && !RoomShort) return false;
        if (RoomShort && !Room.Grow()) return false;
    }
}

// The call without input that writes what returns the target to its initial
// shift state (ISO-2022-JP's ESC ( B, for example).
bool FlushState(const TEntryPoints& E, void* D, TOutputRoom& Room) {
    for (;;) {
        char* Out = Room.Next();
        size_t OutLeft = Room.Left();
        const size_t Result = E.Convert(D, nullptr, nullptr, &Out, &OutLeft);
        Room.Advance(Out);
        if (Result != static_cast<size_t>(-1)) return true;
        if (OutLeft >= RoomForOneCharacter || !Room.Grow()) return false;
    }
}

}  // namespace

bool LoadIconvLibrary() {
    TEntryPoints Ignored;
    return BoundEntries(Ignored);
}

bool UnloadIconvLibrary() {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    B.UnloadLocked();
    return true;
}

bool IconvLibraryLoaded() {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    return B.Loaded;
}

uint32_t IconvLibraryGeneration() {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    return LoadLocked(B) ? B.Generation : 0;
}

std::string IconvLibraryFile() {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    return LoadLocked(B) ? B.Library.FileName() : std::string();
}

void SetIconvChoice(const std::optional<std::string>& Choice) {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    B.UnloadLocked();
    B.Choice = Choice;
    B.KnownAbsent = false;
    B.FailedSearchAt.reset();
}

void AgeIconvSearch(std::chrono::steady_clock::duration Age) {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    if (B.FailedSearchAt) *B.FailedSearchAt -= Age;
}

TIconvAbsenceMemo::TIconvAbsenceMemo() {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    if (B.AbsenceMemos++ == 0 && !B.Loaded && RecentlyAbsent(B)) B.KnownAbsent = true;
}

TIconvAbsenceMemo::~TIconvAbsenceMemo() {
    TBinding& B = Binding();
    platform::TLockGuard Guard(B.Lock);
    if (--B.AbsenceMemos == 0) B.KnownAbsent = false;
}

TIconvDescriptor OpenConverter(const std::string& Target, const std::string& Source) {
    TEntryPoints E;
    if (!BoundEntries(E) || E.Open == nullptr) return NoIconvDescriptor;
    const bool Cached = E.Convert != nullptr && E.Close != nullptr;
    const std::string Pair = Target + '\0' + Source;
    if (Cached)
        if (void* Kept = Binding().Cache.Take(Pair, E)) return reinterpret_cast<TIconvDescriptor>(Kept);
    void* D = E.Open(Target.c_str(), Source.c_str());
    const TIconvDescriptor Result = reinterpret_cast<TIconvDescriptor>(D);
    if (Cached && Result != NoIconvDescriptor) Binding().Cache.Lend(D, Pair);
    return Result;
}

TIconvDescriptor OpenConverterTranslit(const std::string& Target, const std::string& Source) {
    return OpenConverter(Target + "//TRANSLIT", Source);
}

TIconvDescriptor OpenConverterIgnore(const std::string& Target, const std::string& Source) {
    return OpenConverter(Target + "//IGNORE", Source);
}

bool RunConverter(TIconvDescriptor Descriptor, std::string_view Input, std::string& Output) {
    return RunConverter(Descriptor, Input, Output, DefaultRoom(Input.size()));
}

bool RunConverter(TIconvDescriptor Descriptor, std::string_view Input, std::string& Output, size_t InitialRoom) {
    Output.clear();
    TEntryPoints E;
    if (Descriptor == NoIconvDescriptor || !BoundEntries(E) || E.Convert == nullptr) return false;
    void* D = AsLibraryDescriptor(Descriptor);
    TOutputRoom Room(Output, InitialRoom);
    const bool Complete = ConvertAll(E, D, Input, Room) && FlushState(E, D, Room);
    Room.Finish();
    return Complete;
}

int CloseConverter(TIconvDescriptor& Descriptor) {
    if (Descriptor == NoIconvDescriptor) return 0;
    TEntryPoints E;
    int Status = -1;
    if (BoundEntries(E) && E.Close != nullptr) {
        void* D = AsLibraryDescriptor(Descriptor);
        Status = Binding().Cache.Keep(D, E) ? 0 : E.Close(D);
    }
    Descriptor = NoIconvDescriptor;
    return Status;
}

}  // namespace lumaro
