// Run-time binding of an iconv library. The library is optional: every failure
// turns into an answer that the library cannot serve, and the conversion engine
// then uses its own code.
//
// Which library: "iconv.dll" on Windows; on Linux GNU libiconv ("libiconv.so.2")
// when present, else the C library's own iconv. The environment variable
// LUMARO_ICONV chooses: unset, the default search; "none", no library; any other
// value, that library file only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumaro {

using TIconvDescriptor = intptr_t;
constexpr TIconvDescriptor NoIconvDescriptor = -1;

bool LoadIconvLibrary();
bool UnloadIconvLibrary();
bool IconvLibraryLoaded();
// The library in use, loading it when needed: every load gets a number of its own,
// so that what a caller learned of one library is never taken for another's; 0
// while no library can be loaded.
uint32_t IconvLibraryGeneration();
// The file of the library in use, with its folder, loading it when needed; empty
// while no library can be loaded.
std::string IconvLibraryFile();

// While one of these lives, a library that could not be loaded is not looked for
// again until the last one ends; and one that begins less than IconvSearchInterval
// after a search for the same files found none takes that search's answer. Without
// it every conversion half searches for the absent file anew, which for a Windows
// server without iconv.dll (the usual setup) costs more than the conversions
// themselves: a Subject's charset trials alone make dozens of them, and each
// search opens files in several folders. The job driver holds one for each job, so
// a library put in place while the module runs takes effect with the first job
// after that minute; outside a job every attempt still tries the load again.
constexpr std::chrono::seconds IconvSearchInterval{60};
class TIconvAbsenceMemo {
public:
    TIconvAbsenceMemo();
    ~TIconvAbsenceMemo();
    TIconvAbsenceMemo(const TIconvAbsenceMemo&) = delete;
    TIconvAbsenceMemo& operator=(const TIconvAbsenceMemo&) = delete;
};

// For tests and benchmarks: a choice that takes the place of LUMARO_ICONV (no value:
// the environment decides again). The library is unloaded, so that the next use
// loads by the new choice.
void SetIconvChoice(const std::optional<std::string>& Choice);
// For tests: the last search that found no library counts as made Age earlier.
void AgeIconvSearch(std::chrono::steady_clock::duration Age);

TIconvDescriptor OpenConverter(const std::string& Target, const std::string& Source);
TIconvDescriptor OpenConverterTranslit(const std::string& Target, const std::string& Source);
TIconvDescriptor OpenConverterIgnore(const std::string& Target, const std::string& Source);

// Converts the whole input. Returns false when the library stopped before the
// input was consumed for a reason other than lack of output room (invalid or
// incomplete input, a library that is absent); Output then holds what was written.
// The output room grows as needed, and a final call returns a stateful target
// to its initial state.
bool RunConverter(TIconvDescriptor Descriptor, std::string_view Input, std::string& Output);
// The same with the output room to start with: a caller that knows the output's
// likely length saves the clearing of room that is never written. The room still
// grows as needed, so the output is the same whatever the start.
bool RunConverter(TIconvDescriptor Descriptor, std::string_view Input, std::string& Output, size_t InitialRoom);

int CloseConverter(TIconvDescriptor& Descriptor);

}  // namespace lumaro
