// The charset name table and the lookups between names, members and code pages.
#include "velchar/velchar.h"

#include <iterator>
#include <type_traits>

#include "platform/platform.h"
#include "velutil/velutil.h"

namespace lumaro {

namespace {

// Table order matters only for the output name (the first name of a member's first
// row); the lookup by name finds the same row in any order because no name occurs
// twice.
constexpr std::array<TIconvChar, 113> NameRows{{
    {TCharsetId::ISO_8859_1, "ISO-8859-1 CP819 IBM819 ISO-IR-100 ISO8859-1 ISO_8859-1 ISO_8859-1:1987 L1 LATIN1 CSISOLATIN1"},
    {TCharsetId::UTF_8, "UTF-8"},
    {TCharsetId::UCS_2, "ISO-10646-UCS-2 UCS-2 CSUNICODE"},
    {TCharsetId::UCS_2, "UCS-2BE UNICODE-1-1 UNICODEBIG CSUNICODE11"},
    {TCharsetId::UCS_2LE, "UCS-2LE UNICODELITTLE"},
    {TCharsetId::UCS_4, "ISO-10646-UCS-4 UCS-4 CSUCS4"},
    {TCharsetId::UCS_4, "UCS-4BE"},
    {TCharsetId::UCS_4LE, "UCS-4LE"},
    {TCharsetId::UTF_16, "UTF-16"},
    {TCharsetId::UTF_16, "UTF-16BE"},
    {TCharsetId::UTF_16LE, "UTF-16LE"},
    {TCharsetId::UTF_32, "UTF-32"},
    {TCharsetId::UTF_32, "UTF-32BE"},
    {TCharsetId::UTF_32LE, "UTF-32LE"},
    {TCharsetId::UTF_7, "UNICODE-1-1-UTF-7 UTF-7 CSUNICODE11UTF7"},
    {TCharsetId::C99, "C99"},
    {TCharsetId::JAVA, "JAVA"},
    {TCharsetId::ISO_8859_1, "US-ASCII ANSI_X3.4-1968 ANSI_X3.4-1986 ASCII CP367 IBM367 ISO-IR-6 ISO646-US ISO_646.IRV:1991 US CSASCII"},
    {TCharsetId::ISO_8859_2, "ISO-8859-2 ISO-IR-101 ISO8859-2 ISO_8859-2 ISO_8859-2:1987 L2 LATIN2 CSISOLATIN2"},
    {TCharsetId::ISO_8859_3, "ISO-8859-3 ISO-IR-109 ISO8859-3 ISO_8859-3 ISO_8859-3:1988 L3 LATIN3 CSISOLATIN3"},
    {TCharsetId::ISO_8859_4, "ISO-8859-4 ISO-IR-110 ISO8859-4 ISO_8859-4 ISO_8859-4:1988 L4 LATIN4 CSISOLATIN4"},
    {TCharsetId::ISO_8859_5, "ISO-8859-5 CYRILLIC ISO-IR-144 ISO8859-5 ISO_8859-5 ISO_8859-5:1988 CSISOLATINCYRILLIC"},
    {TCharsetId::ISO_8859_6, "ISO-8859-6 ARABIC ASMO-708 ECMA-114 ISO-IR-127 ISO8859-6 ISO_8859-6 ISO_8859-6:1987 CSISOLATINARABIC"},
    {TCharsetId::ISO_8859_7, "ISO-8859-7 ECMA-118 ELOT_928 GREEK GREEK8 ISO-IR-126 ISO8859-7 ISO_8859-7 ISO_8859-7:1987 CSISOLATINGREEK"},
    {TCharsetId::ISO_8859_8, "ISO_8859-8 HEBREW ISO-8859-8 ISO-IR-138 ISO8859-8 ISO_8859-8:1988 CSISOLATINHEBREW"},
    {TCharsetId::ISO_8859_9, "ISO-8859-9 ISO-IR-148 ISO8859-9 ISO_8859-9 ISO_8859-9:1989 L5 LATIN5 CSISOLATIN5"},
    {TCharsetId::ISO_8859_10, "ISO-8859-10 ISO-IR-157 ISO8859-10 ISO_8859-10 ISO_8859-10:1992 L6 LATIN6 CSISOLATIN6"},
    {TCharsetId::ISO_8859_13, "ISO-8859-13 ISO-IR-179 ISO8859-13 ISO_8859-13 L7 LATIN7"},
    {TCharsetId::ISO_8859_14, "ISO-8859-14 ISO-CELTIC ISO-IR-199 ISO8859-14 ISO_8859-14 ISO_8859-14:1998 L8 LATIN8"},
    {TCharsetId::ISO_8859_15, "ISO-8859-15 ISO-IR-203 ISO8859-15 ISO_8859-15 ISO_8859-15:1998"},
    {TCharsetId::ISO_8859_16, "ISO-8859-16 ISO-IR-226 ISO8859-16 ISO_8859-16 ISO_8859-16:2000"},
    {TCharsetId::KOI8_R, "KOI8-R CSKOI8R"},
    {TCharsetId::KOI8_U, "KOI8-U"},
    {TCharsetId::KOI8_RU, "KOI8-RU"},
    {TCharsetId::WINDOWS_1250, "WINDOWS-1250 CP1250 MS-EE"},
    {TCharsetId::WINDOWS_1251, "WINDOWS-1251 CP1251 MS-CYRL"},
    {TCharsetId::WINDOWS_1252, "WINDOWS-1252 CP1252 MS-ANSI"},
    {TCharsetId::WINDOWS_1253, "WINDOWS-1253 CP1253 MS-GREEK"},
    {TCharsetId::WINDOWS_1254, "WINDOWS-1254 CP1254 MS-TURK"},
    {TCharsetId::WINDOWS_1255, "WINDOWS-1255 CP1255 MS-HEBR"},
    {TCharsetId::WINDOWS_1256, "WINDOWS-1256 CP1256 MS-ARAB"},
    {TCharsetId::WINDOWS_1257, "WINDOWS-1257 CP1257 WINBALTRIM"},
    {TCharsetId::WINDOWS_1258, "WINDOWS-1258 CP1258"},
    {TCharsetId::ISO_8859_1, "850 CP850 IBM850 CSPC850MULTILINGUAL"},
    {TCharsetId::CP862, "862 CP862 IBM862 CSPC862LATINHEBREW"},
    {TCharsetId::CP866, "866 CP866 IBM866 CSIBM866"},
    {TCharsetId::MAC, "MAC MACINTOSH MACROMAN CSMACINTOSH"},
    {TCharsetId::MACCENTRALEUROPE, "MACCENTRALEUROPE"},
    {TCharsetId::MACICELAND, "MACICELAND"},
    {TCharsetId::MACCROATIAN, "MACCROATIAN"},
    {TCharsetId::MACROMANIA, "MACROMANIA"},
    {TCharsetId::MACCYRILLIC, "MACCYRILLIC"},
    {TCharsetId::MACUKRAINE, "MACUKRAINE"},
    {TCharsetId::MACGREEK, "MACGREEK"},
    {TCharsetId::MACTURKISH, "MACTURKISH"},
    {TCharsetId::MACHEBREW, "MACHEBREW"},
    {TCharsetId::MACARABIC, "MACARABIC"},
    {TCharsetId::MACTHAI, "MACTHAI"},
    {TCharsetId::HP_ROMAN8, "HP-ROMAN8 R8 ROMAN8 CSHPROMAN8"},
    {TCharsetId::NEXTSTEP, "NEXTSTEP"},
    {TCharsetId::ARMSCII_8, "ARMSCII-8"},
    {TCharsetId::GEORGIAN_ACADEMY, "GEORGIAN-ACADEMY"},
    {TCharsetId::GEORGIAN_PS, "GEORGIAN-PS"},
    {TCharsetId::KOI8_T, "KOI8-T"},
    {TCharsetId::MULELAO_1, "MULELAO-1"},
    {TCharsetId::CP1133, "CP1133 IBM-CP1133"},
    {TCharsetId::TIS_620, "TIS-620 ISO-IR-166 TIS620 TIS620-0 TIS620.2529-1 TIS620.2533-0 TIS620.2533-1"},
    {TCharsetId::CP874, "CP874 WINDOWS-874"},
    {TCharsetId::VISCII, "VISCII VISCII1.1-1 CSVISCII"},
    {TCharsetId::TCVN, "TCVN TCVN-5712 TCVN5712-1 TCVN5712-1:1993"},
    {TCharsetId::ISO_IR_14, "ISO-IR-14 ISO646-JP JIS_C6220-1969-RO JP CSISO14JISC6220RO"},
    {TCharsetId::JISX0201_1976, "JISX0201-1976 JIS_X0201 X0201 CSHALFWIDTHKATAKANA"},
    {TCharsetId::ISO_IR_87, "ISO-IR-87 JIS0208 JIS_C6226-1983 JIS_X0208 JIS_X0208-1983 JIS_X0208-1990 X0208 CSISO87JISX0208"},
    {TCharsetId::ISO_IR_159, "ISO-IR-159 JIS_X0212 JIS_X0212-1990 JIS_X0212.1990-0 X0212 CSISO159JISX02121990"},
    {TCharsetId::CN, "CN GB_1988-80 ISO-IR-57 ISO646-CN CSISO57GB1988"},
    {TCharsetId::CHINESE, "CHINESE GB_2312-80 ISO-IR-58 CSISO58GB231280"},
    {TCharsetId::CN_GB_ISOIR165, "CN-GB-ISOIR165 ISO-IR-165"},
    {TCharsetId::ISO_IR_149, "ISO-IR-149 KOREAN KSC_5601 KS_C_5601-1987 KS_C_5601-1989 CSKSC56011987"},
    {TCharsetId::EUC_JP, "EUC-JP EUCJP EXTENDED_UNIX_CODE_PACKED_FORMAT_FOR_JAPANESE CSEUCPKDFMTJAPANESE"},
    {TCharsetId::SHIFT_JIS, "SHIFT-JIS MS_KANJI SHIFT_JIS SJIS CSSHIFTJIS"},
    {TCharsetId::CP932, "CP932"},
    {TCharsetId::ISO_2022_JP, "ISO-2022-JP CSISO2022JP"},
    {TCharsetId::ISO_2022_JP_1, "ISO-2022-JP-1"},
    {TCharsetId::ISO_2022_JP_2, "ISO-2022-JP-2 CSISO2022JP2"},
    {TCharsetId::CN_GB, "CN-GB EUC-CN EUCCN GB2312 CSGB2312"},
    {TCharsetId::CP936, "CP936 GBK"},
    {TCharsetId::GB18030, "GB18030"},
    {TCharsetId::ISO_2022_CN, "ISO-2022-CN CSISO2022CN"},
    {TCharsetId::ISO_2022_CN_EXT, "ISO-2022-CN-EXT"},
    {TCharsetId::HZ, "HZ HZ-GB-2312"},
    {TCharsetId::EUC_TW, "EUC-TW EUCTW CSEUCTW"},
    {TCharsetId::BIG5, "BIG5 BIG-5 BIG-FIVE BIGFIVE CN-BIG5 CSBIG5"},
    {TCharsetId::CP950, "CP950"},
    {TCharsetId::BIG5_HKSCS, "BIG5-HKSCS BIG5HKSCS"},
    {TCharsetId::EUC_KR, "EUC-KR EUCKR CSEUCKR"},
    {TCharsetId::CP949, "CP949 UHC"},
    {TCharsetId::CP1361, "CP1361 JOHAB"},
    {TCharsetId::ISO_2022_KR, "ISO-2022-KR CSISO2022KR"},
    {TCharsetId::ISO_8859_1, "437 CP437 IBM437 CSPC8CODEPAGE437"},
    {TCharsetId::CP737, "CP737"},
    {TCharsetId::CP775, "CP775 IBM775 CSPC775BALTIC"},
    {TCharsetId::CP852, "852 CP852 IBM852 CSPCP852"},
    {TCharsetId::CP853, "CP853"},
    {TCharsetId::CP855, "855 CP855 IBM855 CSIBM855"},
    {TCharsetId::CP857, "857 CP857 IBM857 CSIBM857"},
    {TCharsetId::CP858, "CP858"},
    {TCharsetId::CP860, "860 CP860 IBM860 CSIBM860"},
    {TCharsetId::CP861, "861 CP-IS CP861 IBM861 CSIBM861"},
    {TCharsetId::CP863, "863 CP863 IBM863 CSIBM863"},
    {TCharsetId::CP864, "CP864 IBM864 CSIBM864"},
    {TCharsetId::CP865, "865 CP865 IBM865 CSIBM865"},
    {TCharsetId::CP869, "869 CP-GR CP869 IBM869 CSIBM869"},
    {TCharsetId::CP1125, "CP1125"},
}};

constexpr bool IsBlank(char C) { return C == ' '; }

// Calls Visit(word, row) for every blank-separated word of every row, in table order.
template <typename TVisit>
constexpr void ForEachName(TVisit Visit) {
    for (const TIconvChar& Row : NameRows) {
        std::string_view Names = Row.Names;
        size_t Start = 0;
        while (Start <= Names.size()) {
            size_t End = Names.find(' ', Start);
            if (End == std::string_view::npos) End = Names.size();
            Visit(Names.substr(Start, End - Start), Row);
            Start = End + 1;
        }
    }
}

struct TNameSlot {
    std::string_view Name;
    TCharsetId Id{};
};

// Open addressing over a power of two at least twice the number of names keeps the
// probe runs short.
constexpr size_t SlotCount = 1024;

constexpr uint32_t HashName(std::string_view Name) {
    uint32_t Hash = 2166136261u;
    for (char C : Name) Hash = (Hash ^ static_cast<unsigned char>(C)) * 16777619u;
    return Hash;
}

struct TNameIndex {
    std::array<TNameSlot, SlotCount> Slots{};
    size_t Count = 0;
    bool NameTwice = false;
};

// Every single name with its member in a hash table: the lookup runs for every
// encoded word and every part, so it must not walk the rows.
constexpr TNameIndex BuildNameIndex() {
    TNameIndex Index;
    ForEachName([&Index](std::string_view Name, const TIconvChar& Row) {
        size_t At = HashName(Name) % SlotCount;
        while (!Index.Slots[At].Name.empty()) {
            if (Index.Slots[At].Name == Name) Index.NameTwice = true;
            At = (At + 1) % SlotCount;
        }
        Index.Slots[At] = TNameSlot{Name, Row.Id};
        ++Index.Count;
    });
    return Index;
}

constexpr TNameIndex NameIndex = BuildNameIndex();
static_assert(!NameIndex.NameTwice, "no name is held by two rows");
static_assert(NameIndex.Count * 2 <= SlotCount, "the name index needs more slots");

constexpr bool IsWellFormedName(std::string_view Name) {
    if (Name.empty()) return false;
    for (char C : Name) {
        if (IsBlank(C) || (C >= 'a' && C <= 'z')) return false;
    }
    return true;
}

constexpr bool NamesAreWellFormed() {
    bool WellFormed = true;
    ForEachName([&WellFormed](std::string_view Name, const TIconvChar&) {
        WellFormed = WellFormed && IsWellFormedName(Name);
    });
    return WellFormed;
}
static_assert(NamesAreWellFormed(), "names are upper-case, separated by single blanks");

// The output name of every member: the first name of its first row.
constexpr std::array<std::string_view, CharsetCount> BuildOutputNames() {
    std::array<std::string_view, CharsetCount> Output{};
    for (const TIconvChar& Row : NameRows) {
        std::string_view& Slot = Output[Ordinal(Row.Id)];
        std::string_view Names = Row.Names;
        if (Slot.empty()) Slot = Names.substr(0, Names.find(' '));
    }
    Output[Ordinal(TCharsetId::CP_895)] = "CP-895";
    Output[Ordinal(TCharsetId::mUTF_7)] = "mUTF-7";
    return Output;
}

constexpr std::array<std::string_view, CharsetCount> OutputNames = BuildOutputNames();

constexpr bool EveryMemberHasAName() {
    for (std::string_view Name : OutputNames) {
        if (Name.empty()) return false;
    }
    return true;
}
static_assert(EveryMemberHasAName(), "every member needs a row or a rule of its own");

bool Holds(std::string_view Text, std::string_view Sub) {
    return Text.find(Sub) != std::string_view::npos;
}

std::optional<TCharsetId> MemberOfSingleName(std::string_view Upper) {
    for (size_t At = HashName(Upper) % SlotCount; !NameIndex.Slots[At].Name.empty();
         At = (At + 1) % SlotCount) {
        if (NameIndex.Slots[At].Name == Upper) return NameIndex.Slots[At].Id;
    }
    return std::nullopt;
}

// A name holding a blank can only match a run of words inside one row, so it takes
// the row-by-row walk; every other name is one lookup in the index.
std::optional<TCharsetId> MemberOfUpperName(std::string_view Upper) {
    // Kamenicky and modified UTF-7 travel under many private names ("x-kamenicky",
    // "cp895", "x-mutf-7"), so any name holding the telltale part counts.
    if (Holds(Upper, "KAMENICKY") || Holds(Upper, "895")) return TCharsetId::CP_895;
    if (Holds(Upper, "MUTF-7")) return TCharsetId::mUTF_7;
    if (!Holds(Upper, " ")) return MemberOfSingleName(Upper);
    for (const TIconvChar& Row : NameRows) {
        if (NameListContains(Upper, Row.Names)) return Row.Id;
    }
    return std::nullopt;
}

}  // namespace

const std::array<TIconvChar, 113> CharsetNames = NameRows;

bool NameListContains(std::string_view Name, std::string_view List) {
    if (Name.empty()) return false;
    for (size_t At = List.find(Name); At != std::string_view::npos;
         At = List.find(Name, At + 1)) {
        size_t After = At + Name.size();
        bool WordStart = At == 0 || IsBlank(List[At - 1]);
        bool WordEnd = After == List.size() || IsBlank(List[After]);
        if (WordStart && WordEnd) return true;
    }
    return false;
}

TCharsetId CharsetByName(std::string_view Name) {
    return KnownCharsetByName(Name).value_or(TCharsetId::ISO_8859_1);
}

std::optional<TCharsetId> KnownCharsetByName(std::string_view Name) {
    // Charset names are short; upper-casing them on the stack spares an allocation.
    constexpr size_t ShortName = 64;
    if (Name.size() <= ShortName) {
        char Upper[ShortName];
        for (size_t I = 0; I < Name.size(); ++I) Upper[I] = UpperByte(Name[I]);
        return MemberOfUpperName(std::string_view(Upper, Name.size()));
    }
    std::string Upper(Name);
    for (char& C : Upper) C = UpperByte(C);
    return MemberOfUpperName(Upper);
}

std::string CharsetName(TCharsetId Id) {
    size_t N = Ordinal(Id);
    if (N >= CharsetCount) return "ISO-8859-1";
    return std::string(OutputNames[N]);
}

namespace {

struct TCodePageCharset {
    uint32_t CodePage;
    TCharsetId Id;
};

// The charset of each Windows code page the module knows, in the order of the
// charsets; any other page is taken for 1252.
constexpr TCodePageCharset CodePageCharsets[] = {
    {437, TCharsetId::ISO_8859_1}, {850, TCharsetId::ISO_8859_1}, {20127, TCharsetId::ISO_8859_1},
    {28591, TCharsetId::ISO_8859_1}, {28592, TCharsetId::ISO_8859_2}, {28593, TCharsetId::ISO_8859_3},
    {28594, TCharsetId::ISO_8859_4}, {28595, TCharsetId::ISO_8859_5}, {708, TCharsetId::ISO_8859_6},
    {28596, TCharsetId::ISO_8859_6}, {28597, TCharsetId::ISO_8859_7}, {28598, TCharsetId::ISO_8859_8},
    {38598, TCharsetId::ISO_8859_8}, {28599, TCharsetId::ISO_8859_9}, {874, TCharsetId::ISO_8859_15},
    {28605, TCharsetId::ISO_8859_15}, {1250, TCharsetId::WINDOWS_1250}, {1251, TCharsetId::WINDOWS_1251},
    {1253, TCharsetId::WINDOWS_1253}, {1254, TCharsetId::WINDOWS_1254}, {1255, TCharsetId::WINDOWS_1255},
    {1256, TCharsetId::WINDOWS_1256}, {1257, TCharsetId::WINDOWS_1257}, {1258, TCharsetId::WINDOWS_1258},
    {20866, TCharsetId::KOI8_R}, {21866, TCharsetId::KOI8_U}, {895, TCharsetId::CP_895}, {852, TCharsetId::CP852},
    {737, TCharsetId::CP737}, {775, TCharsetId::CP775}, {855, TCharsetId::CP855}, {857, TCharsetId::CP857},
    {858, TCharsetId::CP858}, {860, TCharsetId::CP860}, {861, TCharsetId::CP861}, {862, TCharsetId::CP862},
    {863, TCharsetId::CP863}, {864, TCharsetId::CP864}, {865, TCharsetId::CP865}, {866, TCharsetId::CP866},
    {869, TCharsetId::CP869}, {0, TCharsetId::UCS_2LE}, {1200, TCharsetId::UCS_2LE}, {1201, TCharsetId::UCS_2},
    {12000, TCharsetId::UCS_4LE}, {12001, TCharsetId::UCS_4}, {65000, TCharsetId::UTF_7}, {65001, TCharsetId::UTF_8},
    {10000, TCharsetId::MAC}, {10004, TCharsetId::MACARABIC}, {10005, TCharsetId::MACHEBREW},
    {10006, TCharsetId::MACGREEK}, {10007, TCharsetId::MACCYRILLIC}, {10010, TCharsetId::MACROMANIA},
    {10017, TCharsetId::MACUKRAINE}, {10021, TCharsetId::MACTHAI}, {10029, TCharsetId::MACCENTRALEUROPE},
    {10079, TCharsetId::MACICELAND}, {10081, TCharsetId::MACTURKISH}, {10082, TCharsetId::MACCROATIAN},
    {932, TCharsetId::CP932}, {936, TCharsetId::CP936}, {949, TCharsetId::CP949}, {950, TCharsetId::CP950},
    {1361, TCharsetId::CP1361}, {20932, TCharsetId::ISO_IR_87}, {20936, TCharsetId::CN_GB},
    {51936, TCharsetId::CN_GB}, {50220, TCharsetId::ISO_2022_JP}, {50221, TCharsetId::ISO_2022_JP_1},
    {50222, TCharsetId::ISO_2022_JP_2}, {50225, TCharsetId::ISO_2022_KR}, {50227, TCharsetId::ISO_2022_CN},
    {50229, TCharsetId::ISO_2022_CN_EXT}, {51932, TCharsetId::EUC_JP}, {51949, TCharsetId::EUC_KR},
    {52936, TCharsetId::HZ}, {54936, TCharsetId::GB18030},
};

constexpr bool EveryCodePageOnce() {
    for (size_t I = 0; I < std::size(CodePageCharsets); ++I)
        for (size_t K = I + 1; K < std::size(CodePageCharsets); ++K)
            if (CodePageCharsets[I].CodePage == CodePageCharsets[K].CodePage) return false;
    return true;
}
static_assert(EveryCodePageOnce(), "a code page has one charset");

}  // namespace

TCharsetId CharsetOfCodePage(uint32_t CodePage) {
    for (const TCodePageCharset& Row : CodePageCharsets)
        if (Row.CodePage == CodePage) return Row.Id;
    return TCharsetId::WINDOWS_1252;
}

bool CodePageKnown(uint32_t CodePage) {
    return CodePage == 1252 || CharsetOfCodePage(CodePage) != TCharsetId::WINDOWS_1252;
}

namespace {

struct TScriptCodePage {
    TCharsetId Id;
    uint16_t CodePage;
};

// The Windows code page of each charset's script. Latin 3, Celtic, Nordic DOS and
// Mac pages, and scripts Windows has no ANSI code page for, fall to 1252.
constexpr TScriptCodePage ScriptCodePages[] = {
    {TCharsetId::ISO_8859_2, 1250},      {TCharsetId::ISO_8859_16, 1250},     {TCharsetId::WINDOWS_1250, 1250},
    {TCharsetId::CP852, 1250},           {TCharsetId::CP_895, 1250},          {TCharsetId::MACCENTRALEUROPE, 1250},
    {TCharsetId::MACCROATIAN, 1250},     {TCharsetId::MACROMANIA, 1250},
    {TCharsetId::ISO_8859_5, 1251},      {TCharsetId::WINDOWS_1251, 1251},    {TCharsetId::KOI8_R, 1251},
    {TCharsetId::KOI8_U, 1251},          {TCharsetId::KOI8_RU, 1251},         {TCharsetId::KOI8_T, 1251},
    {TCharsetId::CP855, 1251},           {TCharsetId::CP866, 1251},           {TCharsetId::CP1125, 1251},
    {TCharsetId::MACCYRILLIC, 1251},     {TCharsetId::MACUKRAINE, 1251},
    {TCharsetId::ISO_8859_7, 1253},      {TCharsetId::WINDOWS_1253, 1253},    {TCharsetId::CP737, 1253},
    {TCharsetId::CP869, 1253},           {TCharsetId::MACGREEK, 1253},
    {TCharsetId::ISO_8859_9, 1254},      {TCharsetId::WINDOWS_1254, 1254},    {TCharsetId::CP857, 1254},
    {TCharsetId::MACTURKISH, 1254},
    {TCharsetId::ISO_8859_8, 1255},      {TCharsetId::WINDOWS_1255, 1255},    {TCharsetId::CP862, 1255},
    {TCharsetId::MACHEBREW, 1255},
    {TCharsetId::ISO_8859_6, 1256},      {TCharsetId::WINDOWS_1256, 1256},    {TCharsetId::CP864, 1256},
    {TCharsetId::MACARABIC, 1256},
    {TCharsetId::ISO_8859_4, 1257},      {TCharsetId::ISO_8859_10, 1257},     {TCharsetId::ISO_8859_13, 1257},
    {TCharsetId::WINDOWS_1257, 1257},    {TCharsetId::CP775, 1257},
    {TCharsetId::WINDOWS_1258, 1258},    {TCharsetId::VISCII, 1258},          {TCharsetId::TCVN, 1258},
    {TCharsetId::TIS_620, 874},          {TCharsetId::CP874, 874},            {TCharsetId::MACTHAI, 874},
    {TCharsetId::EUC_JP, 932},           {TCharsetId::SHIFT_JIS, 932},        {TCharsetId::CP932, 932},
    {TCharsetId::ISO_2022_JP, 932},      {TCharsetId::ISO_2022_JP_1, 932},    {TCharsetId::ISO_2022_JP_2, 932},
    {TCharsetId::ISO_IR_14, 932},        {TCharsetId::JISX0201_1976, 932},    {TCharsetId::ISO_IR_87, 932},
    {TCharsetId::ISO_IR_159, 932},
    {TCharsetId::CN, 936},               {TCharsetId::CHINESE, 936},          {TCharsetId::CN_GB_ISOIR165, 936},
    {TCharsetId::CN_GB, 936},            {TCharsetId::CP936, 936},            {TCharsetId::GB18030, 936},
    {TCharsetId::ISO_2022_CN, 936},      {TCharsetId::ISO_2022_CN_EXT, 936},  {TCharsetId::HZ, 936},
    {TCharsetId::ISO_IR_149, 949},       {TCharsetId::EUC_KR, 949},           {TCharsetId::CP949, 949},
    {TCharsetId::ISO_2022_KR, 949},      {TCharsetId::CP1361, 1361},
    {TCharsetId::EUC_TW, 950},           {TCharsetId::BIG5, 950},             {TCharsetId::CP950, 950},
    {TCharsetId::BIG5_HKSCS, 950},
};

constexpr uint32_t NoScriptCodePage = 1252;

// The job's code page on this thread. Trivially destructible on purpose: a
// thread-local with a destructor keeps the module mapped when the server unloads
// it, and its static destructors then run at the process's exit instead, where
// releasing the iconv library's converters can unmap the module under them.
struct TThreadCodePage {
    bool Set;
    uint32_t CodePage;
};
static_assert(std::is_trivially_destructible_v<TThreadCodePage>);
thread_local TThreadCodePage ThreadCodePage{false, 0};

}  // namespace

uint32_t AnsiCodePageOfCharset(TCharsetId Id) {
    for (const TScriptCodePage& Row : ScriptCodePages)
        if (Row.Id == Id) return Row.CodePage;
    return NoScriptCodePage;
}

uint32_t SystemCodePage() {
    if (std::optional<uint32_t> Forced = platform::ForcedCodePage()) return *Forced;
    if (ThreadCodePage.Set) return ThreadCodePage.CodePage;
    return platform::SystemAnsiCodePage().value_or(NoScriptCodePage);
}

TCharsetId SystemCharset() { return CharsetOfCodePage(SystemCodePage()); }

TSystemCodePageScope::TSystemCodePageScope(uint32_t CodePage)
    : OuterSet(ThreadCodePage.Set), Outer(ThreadCodePage.CodePage) {
    ThreadCodePage = {true, CodePage};
}

TSystemCodePageScope::~TSystemCodePageScope() { ThreadCodePage = {OuterSet, Outer}; }

std::string ByteOrderMark(TCharsetId Id) {
    using namespace std::string_literals;
    switch (Id) {
        case TCharsetId::UCS_2: return "\xFE\xFF"s;
        case TCharsetId::UCS_4: return "\0\0\xFE\xFF"s;
        case TCharsetId::UTF_8: return "\xEF\xBB\xBF"s;
        case TCharsetId::UCS_2LE: return "\xFF\xFE"s;
        case TCharsetId::UCS_4LE: return "\xFF\xFE\0\0"s;
        default: return {};
    }
}

}  // namespace lumaro
