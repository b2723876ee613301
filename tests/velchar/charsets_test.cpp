#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "velchar/velchar.h"

namespace lumaro {
namespace {

using C = TCharsetId;

std::vector<std::string_view> Words(std::string_view Names) {
    std::vector<std::string_view> Result;
    size_t Start = 0;
    while (Start <= Names.size()) {
        size_t End = std::min(Names.find(' ', Start), Names.size());
        Result.push_back(Names.substr(Start, End - Start));
        Start = End + 1;
    }
    return Result;
}

// The lookup as a plain walk over the rows: the oracle for the indexed lookup.
std::optional<C> ReferenceKnownCharsetByName(std::string_view Name) {
    std::string Upper(Name);
    for (char& Ch : Upper) {
        if (Ch >= 'a' && Ch <= 'z') Ch = static_cast<char>(Ch - 32);
    }
    if (Upper.find("KAMENICKY") != std::string::npos || Upper.find("895") != std::string::npos)
        return C::CP_895;
    if (Upper.find("MUTF-7") != std::string::npos) return C::mUTF_7;
    for (const TIconvChar& Row : CharsetNames) {
        if (NameListContains(Upper, Row.Names)) return Row.Id;
    }
    return std::nullopt;
}

C ReferenceCharsetByName(std::string_view Name) { return ReferenceKnownCharsetByName(Name).value_or(C::ISO_8859_1); }

TEST(CharsetNames, TableShape) {
    ASSERT_EQ(CharsetNames.size(), 113u);
    EXPECT_EQ(CharsetNames[0].Id, C::ISO_8859_1);
    EXPECT_EQ(CharsetNames[24].Id, C::ISO_8859_8);
    EXPECT_STREQ(CharsetNames[24].Names,
                 "ISO_8859-8 HEBREW ISO-8859-8 ISO-IR-138 ISO8859-8 ISO_8859-8:1988 CSISOLATINHEBREW");
    EXPECT_EQ(CharsetNames[98].Id, C::ISO_8859_1);
    EXPECT_EQ(CharsetNames[112].Id, C::CP1125);

    std::set<std::string_view> Seen;
    std::set<size_t> Members;
    for (const TIconvChar& Row : CharsetNames) {
        Members.insert(Ordinal(Row.Id));
        for (std::string_view Word : Words(Row.Names)) {
            EXPECT_FALSE(Word.empty()) << Row.Names;
            EXPECT_TRUE(Seen.insert(Word).second) << "twice: " << Word;
        }
    }
    EXPECT_EQ(Seen.size(), 366u);
    // Every member has a row except the two that are recognised by rule.
    EXPECT_EQ(Members.size(), CharsetCount - 2);
    EXPECT_EQ(Members.count(Ordinal(C::CP_895)), 0u);
    EXPECT_EQ(Members.count(Ordinal(C::mUTF_7)), 0u);
}

TEST(CharsetNames, EveryMemberComesBackFromItsName) {
    for (size_t N = 0; N < CharsetCount; ++N) {
        EXPECT_EQ(Ordinal(CharsetByName(CharsetName(CharsetOfOrdinal(N)))), N)
            << CharsetName(CharsetOfOrdinal(N));
    }
}

TEST(CharsetNames, EveryNameOfEveryRowFindsItsRow) {
    for (const TIconvChar& Row : CharsetNames) {
        for (std::string_view Word : Words(Row.Names)) {
            C Expected = ReferenceCharsetByName(Word);
            EXPECT_EQ(CharsetByName(Word), Expected) << Word;
            std::string Lower(Word);
            for (char& Ch : Lower) {
                if (Ch >= 'A' && Ch <= 'Z') Ch = static_cast<char>(Ch + 32);
            }
            EXPECT_EQ(CharsetByName(Lower), Expected) << Lower;
        }
    }
}

TEST(CharsetNames, ByName) {
    struct TCase {
        std::string Name;
        C Expected;
    };
    const TCase Cases[] = {
        {"utf-8", C::UTF_8},
        {"Windows-1250", C::WINDOWS_1250},
        {"latin2", C::ISO_8859_2},
        {"iso_8859-8", C::ISO_8859_8},
        {"CP-IS", C::CP861},
        {" UTF-8", C::ISO_8859_1},
        {"UTF-8 ", C::ISO_8859_1},
        {"UTF-8\t", C::ISO_8859_1},
        {"US-ASCII", C::ISO_8859_1},
        {"IBM437", C::ISO_8859_1},
        {"CP850", C::ISO_8859_1},
        {"", C::ISO_8859_1},
        {"ISO-8859-11", C::ISO_8859_1},
        {"UTF", C::ISO_8859_1},
        {"UTF-8X", C::ISO_8859_1},
        {"CP-895", C::CP_895},
        {"cp895", C::CP_895},
        {"x-kamenicky", C::CP_895},
        {"ISO-8859-1895", C::CP_895},
        {"mUTF-7", C::mUTF_7},
        {"x-mutf-7", C::mUTF_7},
        {"mutf-7-kamenicky", C::CP_895},
        {"UTF-7", C::UTF_7},
        {"UNICODE-1-1-UTF-7", C::UTF_7},
        {"UCS-4LE", C::UCS_4LE},
        {"UTF-32LE", C::UTF_32LE},
        {"UTF-16BE", C::UTF_16},
        {"UCS-2BE", C::UCS_2},
        {"UNICODEBIG", C::UCS_2},
        {"ks_c_5601-1987", C::ISO_IR_149},
        {"gb2312", C::CN_GB},
        {"big5-hkscs", C::BIG5_HKSCS},
        {"Shift_JIS", C::SHIFT_JIS},
        {"koi8-u", C::KOI8_U},
        {"852", C::CP852},
        {"ISO_8859-1:1987", C::ISO_8859_1},
        {"TCVN5712-1:1993", C::TCVN},
        // A run of whole words of one row is found, a run across rows is not.
        {"cp819 ibm819", C::ISO_8859_1},
        {"UCS-2 CSUNICODE", C::UCS_2},
        {"CSUNICODE UCS-2BE", C::ISO_8859_1},
        {"ISO-8859-2 ISO", C::ISO_8859_1},
        {std::string("UTF-8\0", 6), C::ISO_8859_1},
        // Settings an administrator writes that name no charset.
        {"LATIN-2", C::ISO_8859_1},
        {"ISO8859-2x", C::ISO_8859_1},
        {"WINDOWS-1250 ; Czech", C::ISO_8859_1},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(CharsetByName(Case.Name), Case.Expected) << '"' << Case.Name << '"';
        EXPECT_EQ(ReferenceCharsetByName(Case.Name), Case.Expected) << '"' << Case.Name << '"';
        // Only a name that no row holds is unknown, ISO-8859-1's own names are not.
        EXPECT_EQ(KnownCharsetByName(Case.Name), ReferenceKnownCharsetByName(Case.Name)) << '"' << Case.Name << '"';
    }
}

TEST(CharsetNames, OutputNames) {
    struct TCase {
        C Id;
        const char* Expected;
    };
    const TCase Cases[] = {
        {C::ISO_8859_1, "ISO-8859-1"},   {C::ISO_8859_8, "ISO_8859-8"},
        {C::CP852, "852"},               {C::UCS_2, "ISO-10646-UCS-2"},
        {C::UCS_4, "ISO-10646-UCS-4"},   {C::UTF_7, "UNICODE-1-1-UTF-7"},
        {C::UTF_8, "UTF-8"},             {C::CP_895, "CP-895"},
        {C::mUTF_7, "mUTF-7"},           {C::CP862, "862"},
        {C::CP866, "866"},               {C::CP855, "855"},
        {C::CP857, "857"},               {C::CP860, "860"},
        {C::CP861, "861"},               {C::CP863, "863"},
        {C::CP865, "865"},               {C::CP869, "869"},
        {C::CP864, "CP864"},             {C::UTF_16, "UTF-16"},
        {C::WINDOWS_1250, "WINDOWS-1250"}, {C::CP1125, "CP1125"},
        {C::MAC, "MAC"},                 {C::ISO_8859_16, "ISO-8859-16"},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(CharsetName(Case.Id), Case.Expected) << Ordinal(Case.Id);
    }
}

TEST(CharsetNames, NameListContains) {
    struct TCase {
        const char* Name;
        const char* List;
        bool Expected;
    };
    const TCase Cases[] = {
        {"A", "A", true},
        {"A", "A B C", true},
        {"B", "A B C", true},
        {"C", "A B C", true},
        {"A B", "A B C", true},
        {"", "A B C", false},
        {"", "", false},
        {"A", "", false},
        {"a", "A B C", false},
        {"AB", "A B C", false},
        {"B", "AB BC B", true},
        {"B", "AB BC", false},
        {"UTF-8", "XUTF-8 UTF-8X", false},
        {" A", "A B", false},
        {"A ", "A B", false},
        {"UTF-16", "UTF-16BE", false},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(NameListContains(Case.Name, Case.List), Case.Expected)
            << '"' << Case.Name << "\" in \"" << Case.List << '"';
    }
}

TEST(CharsetNames, CodePages) {
    struct TCase {
        uint32_t CodePage;
        C Expected;
    };
    const TCase Cases[] = {
        {437, C::ISO_8859_1},     {850, C::ISO_8859_1},      {20127, C::ISO_8859_1},
        {28591, C::ISO_8859_1},   {28592, C::ISO_8859_2},    {708, C::ISO_8859_6},
        {38598, C::ISO_8859_8},   {874, C::ISO_8859_15},     {28605, C::ISO_8859_15},
        {1250, C::WINDOWS_1250},  {1251, C::WINDOWS_1251},   {1252, C::WINDOWS_1252},
        {1258, C::WINDOWS_1258},  {20866, C::KOI8_R},        {21866, C::KOI8_U},
        {895, C::CP_895},         {852, C::CP852},           {737, C::CP737},
        {862, C::CP862},          {869, C::CP869},           {0, C::UCS_2LE},
        {1200, C::UCS_2LE},       {1201, C::UCS_2},          {12000, C::UCS_4LE},
        {12001, C::UCS_4},        {65000, C::UTF_7},         {65001, C::UTF_8},
        {10000, C::MAC},          {10004, C::MACARABIC},     {10029, C::MACCENTRALEUROPE},
        {10082, C::MACCROATIAN},  {932, C::CP932},           {1361, C::CP1361},
        {20932, C::ISO_IR_87},    {51936, C::CN_GB},         {50222, C::ISO_2022_JP_2},
        {50225, C::ISO_2022_KR},  {50229, C::ISO_2022_CN_EXT}, {51932, C::EUC_JP},
        {52936, C::HZ},           {54936, C::GB18030},       {1, C::WINDOWS_1252},
        {1125, C::WINDOWS_1252},  {28600, C::WINDOWS_1252},  {0xFFFFFFFFu, C::WINDOWS_1252},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(CharsetOfCodePage(Case.CodePage), Case.Expected) << Case.CodePage;
    }
}

void SetCodePage(const char* Value) {
#ifdef _WIN32
    _putenv_s("LUMARO_CODEPAGE", Value ? Value : "");
#else
    if (Value) setenv("LUMARO_CODEPAGE", Value, 1); else unsetenv("LUMARO_CODEPAGE");
#endif
}

// LUMARO_CODEPAGE first, then the job's own code page on its thread, then the
// system's ANSI code page (1252 on a system that has none), asked on every call.
TEST(CharsetNames, SystemCodePageInItsOrderOfChoice) {
    const char* Saved = std::getenv("LUMARO_CODEPAGE");
    const std::string Restore = Saved ? Saved : "";
    SetCodePage(Saved ? "" : nullptr);
    const uint32_t System = platform::SystemAnsiCodePage().value_or(1252);
    EXPECT_EQ(SystemCodePage(), System);
    {
        const TSystemCodePageScope Job(1251);
        EXPECT_EQ(SystemCharset(), C::WINDOWS_1251);
        {
            const TSystemCodePageScope Inner(28592);
            EXPECT_EQ(SystemCharset(), C::ISO_8859_2);
        }
        EXPECT_EQ(SystemCodePage(), 1251u);
        uint32_t OnAnotherThread = 0;
        std::thread([&OnAnotherThread] { OnAnotherThread = SystemCodePage(); }).join();
        EXPECT_EQ(OnAnotherThread, System);
        SetCodePage("874");
        EXPECT_EQ(SystemCharset(), C::ISO_8859_15);
        SetCodePage("65001");
        EXPECT_EQ(SystemCharset(), C::UTF_8);
        SetCodePage(Saved ? "" : nullptr);
    }
    EXPECT_EQ(SystemCodePage(), System);
    SetCodePage(Saved ? Restore.c_str() : nullptr);
}

TEST(CharsetNames, AnsiCodePageOfACharsetsScript) {
    const std::pair<C, uint32_t> Cases[] = {
        {C::ISO_8859_2, 1250}, {C::CP852, 1250},       {C::ISO_8859_1, 1252}, {C::ISO_8859_15, 1252},
        {C::ISO_8859_5, 1251}, {C::KOI8_R, 1251},      {C::KOI8_U, 1251},     {C::ISO_8859_7, 1253},
        {C::ISO_8859_9, 1254}, {C::ISO_8859_13, 1257}, {C::UTF_8, 1252},      {C::ISO_8859_3, 1252},
    };
    for (const auto& [Id, Expected] : Cases) EXPECT_EQ(AnsiCodePageOfCharset(Id), Expected) << CharsetName(Id);
    // A Windows charset is its own code page, and every answer is a code page
    // that maps to a charset of its own.
    for (size_t N = 0; N < CharsetCount; ++N) {
        const C Id = CharsetOfOrdinal(N);
        EXPECT_TRUE(CodePageKnown(AnsiCodePageOfCharset(Id))) << CharsetName(Id);
        if (Id >= C::WINDOWS_1250 && Id <= C::WINDOWS_1258) {
            EXPECT_EQ(CharsetOfCodePage(AnsiCodePageOfCharset(Id)), Id);
        }
    }
}

TEST(CharsetNames, ByteOrderMarks) {
    struct TCase {
        C Id;
        std::string Expected;
    };
    const TCase Cases[] = {
        {C::UCS_2, "\xFE\xFF"},
        {C::UCS_4, std::string("\0\0\xFE\xFF", 4)},
        {C::UTF_8, "\xEF\xBB\xBF"},
        {C::UCS_2LE, "\xFF\xFE"},
        {C::UCS_4LE, std::string("\xFF\xFE\0\0", 4)},
        {C::UTF_7, ""},
        {C::mUTF_7, ""},
        {C::UTF_16, ""},
        {C::UTF_16LE, ""},
        {C::UTF_32, ""},
        {C::UTF_32LE, ""},
        {C::ISO_8859_1, ""},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(ByteOrderMark(Case.Id), Case.Expected) << CharsetName(Case.Id);
    }
}

}  // namespace
}  // namespace lumaro
