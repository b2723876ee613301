// Helpers shared by the encoded-word tests.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

#include "mimeinln/mimeinln.h"

namespace lumaro::testing {

// Charsets by name, so that the tests do not depend on how members are spelled.
inline TCharsetId Charset(std::string_view Name) { return CharsetByName(Name); }

// Fixes the ANSI code page for the lifetime of the object.
class TCodePageScope {
public:
    explicit TCodePageScope(const char* CodePage) {
        const char* Old = std::getenv(VariableName);
        HadOld = Old != nullptr;
        if (HadOld) OldValue = Old;
        Set(CodePage);
    }
    ~TCodePageScope() {
        if (HadOld)
            Set(OldValue.c_str());
        else
            Set(nullptr);
    }
    TCodePageScope(const TCodePageScope&) = delete;
    TCodePageScope& operator=(const TCodePageScope&) = delete;

private:
    static constexpr const char* VariableName = "LUMARO_CODEPAGE";
    static void Set(const char* Value) {
#ifdef _WIN32
        _putenv_s(VariableName, Value ? Value : "");
#else
        if (Value)
            setenv(VariableName, Value, 1);
        else
            unsetenv(VariableName);
#endif
    }
    bool HadOld = false;
    std::string OldValue;
};

// True when Value is one or more Q words in the charset Name, separated by single
// spaces, each text non-empty printable ASCII without blanks and '?', and every
// '=' starting an escape with two upper-case hex digits.
inline bool IsQWordSequence(std::string_view Value, std::string_view Name) {
    const std::string Opening = "=?" + std::string(Name) + "?Q?";
    const auto IsHex = [](char C) { return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F'); };
    for (size_t At = 0;; ++At) {
        if (Value.substr(At, Opening.size()) != Opening) return false;
        const size_t TextStart = At + Opening.size();
        const size_t Close = Value.find("?=", TextStart);
        if (Close == std::string_view::npos || Close == TextStart) return false;
        for (size_t i = TextStart; i < Close; ++i) {
            const unsigned char C = static_cast<unsigned char>(Value[i]);
            if (C <= 0x20 || C >= 0x7F || C == '?') return false;
            if (C == '=' && !(i + 2 < Close && IsHex(Value[i + 1]) && IsHex(Value[i + 2])))
                return false;
        }
        At = Close + 2;
        if (At == Value.size()) return true;
        if (Value[At] != ' ') return false;
    }
}

}  // namespace lumaro::testing
