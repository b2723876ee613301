// Helpers of the tests that touch files and the environment.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "platform/platform.h"

namespace lumaro::testing {

// The message of the TError that Action raises; empty when it raises none.
template <typename F>
std::string ErrorOf(F Action) {
    try {
        Action();
    } catch (const TError& E) {
        return E.what();
    }
    return std::string();
}

// Whether Message is a file error that begins with Start and goes on with the
// system's reason after ": ". A fault the tests inject has no reason of the
// system's; with Required false the reason may be missing.
inline bool IsFileError(const std::string& Message, const std::string& Start, bool Required = true) {
    if (Message == Start) return !Required;
    return Message.size() > Start.size() + 2 && Message.compare(0, Start.size() + 2, Start + ": ") == 0;
}

// A fresh, empty folder for one test, removed with everything in it afterwards.
class TScratchFolder {
public:
    TScratchFolder() {
        // A random stem keeps test programs that run at the same time apart.
        static int Counter = 0;
        const auto Base = std::filesystem::temp_directory_path();
        const std::string Stem = "lumaro-test-" + std::to_string(std::random_device()()) + "-";
        do {
            Root = Base / (Stem + std::to_string(++Counter));
        } while (!std::filesystem::create_directory(Root));
    }
    ~TScratchFolder() {
        std::error_code Ignored;
        std::filesystem::remove_all(Root, Ignored);
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;
    std::string Path(const std::string& Name) const { return (Root / Name).string(); }

    // The names of everything in the folder.
    std::set<std::string> Names() const {
        std::set<std::string> Result;
        for (const auto& Entry : std::filesystem::directory_iterator(Root))
            Result.insert(Entry.path().filename().string());
        return Result;
    }

private:
    std::filesystem::path Root;
};

// Sets (or, with a null value, removes) an environment variable for one scope.
class TScopedEnvironment {
public:
    TScopedEnvironment(const char* Name, const char* Value) : Name_(Name) {
        Previous = platform::Environment(Name, &HadValue);
        SetVariable(Name, Value);
    }
    ~TScopedEnvironment() { SetVariable(Name_.c_str(), HadValue ? Previous.c_str() : nullptr); }

private:
    // Windows: the C runtime passes the change on to the process environment; it
    // cannot make a variable empty, an empty value removes it.
    static void SetVariable(const char* Name, const char* Value) {
#ifdef _WIN32
        _putenv((std::string(Name) + "=" + (Value ? Value : "")).c_str());
#else
        if (Value) setenv(Name, Value, 1);
        else unsetenv(Name);
#endif
    }

    std::string Name_;
    std::string Previous;
    bool HadValue = false;
};

}  // namespace lumaro::testing
