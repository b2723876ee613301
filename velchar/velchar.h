// Character sets: the charset identifier with its name table, the single-byte code
// tables, and the conversion engine that converts text between any two charsets
// through UCS-2 big-endian, with an iconv library when one is present and with
// our own code otherwise.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace lumaro {

// The 108 charsets in their fixed order: candidates are tried in this order and
// sets are sets over these ordinals. Each member is its charset's name with "_"
// for "-".
enum class TCharsetId : uint8_t {
    ISO_8859_1,
    ISO_8859_2,
    ISO_8859_3,
    ISO_8859_4,
    ISO_8859_5,
    ISO_8859_6,
    ISO_8859_7,
    ISO_8859_8,
    ISO_8859_9,
    ISO_8859_10,
    ISO_8859_13,
    ISO_8859_14,
    ISO_8859_15,
    WINDOWS_1250,
    WINDOWS_1251,
    WINDOWS_1252,
    WINDOWS_1253,
    WINDOWS_1254,
    WINDOWS_1255,
    WINDOWS_1256,
    WINDOWS_1257,
    WINDOWS_1258,
    KOI8_R,
    CP_895,
    CP852,
    UCS_2,
    UCS_4,
    UTF_8,
    UTF_7,
    mUTF_7,
    UCS_2LE,
    UCS_4LE,
    UTF_16,
    UTF_16LE,
    UTF_32,
    UTF_32LE,
    C99,
    JAVA,
    ISO_8859_16,
    KOI8_U,
    KOI8_RU,
    CP862,
    CP866,
    MAC,
    MACCENTRALEUROPE,
    MACICELAND,
    MACCROATIAN,
    MACROMANIA,
    MACCYRILLIC,
    MACUKRAINE,
    MACGREEK,
    MACTURKISH,
    MACHEBREW,
    MACARABIC,
    MACTHAI,
    HP_ROMAN8,
    NEXTSTEP,
    ARMSCII_8,
    GEORGIAN_ACADEMY,
    GEORGIAN_PS,
    KOI8_T,
    MULELAO_1,
    CP1133,
    TIS_620,
    CP874,
    VISCII,
    TCVN,
    ISO_IR_14,
    JISX0201_1976,
    ISO_IR_87,
    ISO_IR_159,
    CN,
    CHINESE,
    CN_GB_ISOIR165,
    ISO_IR_149,
    EUC_JP,
    SHIFT_JIS,
    CP932,
    ISO_2022_JP,
    ISO_2022_JP_1,
    ISO_2022_JP_2,
    CN_GB,
    CP936,
    GB18030,
    ISO_2022_CN,
    ISO_2022_CN_EXT,
    HZ,
    EUC_TW,
    BIG5,
    CP950,
    BIG5_HKSCS,
    EUC_KR,
    CP949,
    CP1361,
    ISO_2022_KR,
    CP737,
    CP775,
    CP853,
    CP855,
    CP857,
    CP858,
    CP860,
    CP861,
    CP863,
    CP864,
    CP865,
    CP869,
    CP1125
};
constexpr size_t CharsetCount = 108;

constexpr size_t Ordinal(TCharsetId Id) { return static_cast<size_t>(Id); }
constexpr TCharsetId CharsetOfOrdinal(size_t N) { return static_cast<TCharsetId>(N); }

class TCharsetSet {
public:
    TCharsetSet() = default;
    TCharsetSet(std::initializer_list<TCharsetId> Members) {
        for (TCharsetId M : Members) Include(M);
    }
    bool Contains(TCharsetId Id) const { return Bits.test(Ordinal(Id)); }
    TCharsetSet& Include(TCharsetId Id) { Bits.set(Ordinal(Id)); return *this; }
    bool Empty() const { return Bits.none(); }

private:
    std::bitset<CharsetCount> Bits;
};

// A row of the name table: the member and its upper-case names, blank-separated;
// the first name of a member's first row is its output name.
struct TIconvChar {
    TCharsetId Id;
    const char* Names;
};
extern const std::array<TIconvChar, 113> CharsetNames;

TCharsetId CharsetByName(std::string_view Name);
// The member a row of the table (or the rule for Kamenicky and modified UTF-7)
// gives the name; nothing for a name the table does not hold, which CharsetByName
// takes for ISO-8859-1.
std::optional<TCharsetId> KnownCharsetByName(std::string_view Name);
std::string CharsetName(TCharsetId Id);
TCharsetId CharsetOfCodePage(uint32_t CodePage);
// Whether CharsetOfCodePage maps the number itself rather than by its fallback.
bool CodePageKnown(uint32_t CodePage);
// The Windows ANSI code page of the script a charset writes (ISO-8859-2 and CP852
// 1250, KOI8-R 1251, a WINDOWS-125x charset its own number); 1252 where no
// script matches.
uint32_t AnsiCodePageOfCharset(TCharsetId Id);

// The code page that SystemCharset answers for: LUMARO_CODEPAGE when it holds a
// number; else the one of this thread's innermost TSystemCodePageScope (a job's
// setting); else the system's ANSI code page; else, on a system without one
// (Linux), 1252. Never the locale: its codeset is an accident of the process's
// environment, and a UTF-8 one is no single-byte charset at all.
uint32_t SystemCodePage();
// CharsetOfCodePage of SystemCodePage, asked afresh on every call.
TCharsetId SystemCharset();

// While one lives, SystemCharset on this thread answers for the given code page:
// the job driver holds one for the duration of a job whose settings choose the
// code page, so that jobs on other threads keep their own. Scopes nest.
class TSystemCodePageScope {
public:
    explicit TSystemCodePageScope(uint32_t CodePage);
    ~TSystemCodePageScope();
    TSystemCodePageScope(const TSystemCodePageScope&) = delete;
    TSystemCodePageScope& operator=(const TSystemCodePageScope&) = delete;

private:
    bool OuterSet;
    uint32_t Outer;
};
std::string ByteOrderMark(TCharsetId Id);
bool NameListContains(std::string_view Name, std::string_view List);

// --- single-byte code tables --------------------------------------------------
// Entry k is the Unicode value of byte 0x80 + k; undefined positions hold U+FFFD.
using TCodeTable = std::array<uint16_t, 128>;
// The table of a member with ordinal 0 to 24, the ISO-8859-1 table for any other.
const TCodeTable& LoadCodeTable(TCharsetId Id);

// --- conversion engine ------------------------------------------------------------
std::string ConvertCharset(std::string_view Text, TCharsetId Source, TCharsetId Target);
// ConvertCharset handed to Take in pieces, in order, so that a long text is never
// held whole a second time: where both charsets keep no state from one character
// to the next, a piece of some hundred kilobytes at a time, cut between
// characters; else the whole text at once. The pieces together are what
// ConvertCharset gives.
void ConvertCharsetInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target,
                            const std::function<void(std::string_view)>& Take);
// Whether ConvertCharsetInPieces hands the text over in more than one piece.
bool ConvertsCharsetInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target);
std::string TranscodeText(std::string_view Text, TCharsetId Source, TCharsetId Target,
                          bool Transliterate);
TCharsetId BestCharset(std::string_view Text, TCharsetId Source, const TCharsetSet& Candidates);
// Text converted without transliteration into Converted; true when no character
// (nor byte of the source) was lost on the way.
bool ConvertsWhole(std::string_view Text, TCharsetId Source, TCharsetId Target, std::string& Converted);

// A code unit as four value bytes, B0 least significant.
struct TCodeUnit {
    uint8_t B0 = 0, B1 = 0, B2 = 0, B3 = 0;
};
// Reads one unit of Width (1, 2 or 4) bytes at the 1-based Position and advances it.
// The caller makes sure that Width bytes remain.
TCodeUnit ReadCodeUnit(std::string_view Text, size_t& Position, int Width, bool LittleEndian);
// Appends the unit's bytes, exactly those that ReadCodeUnit reads.
void WriteCodeUnit(std::string& Out, TCodeUnit Unit, int Width, bool LittleEndian);

std::string DecodeUtf8Units(std::string_view Text);
// The number of characters of a well-formed UTF-8 text; false, with the count
// unusable, when some byte starts or continues no well-formed sequence.
bool CountUtf8Characters(std::string_view Text, size_t& Characters);
std::string EncodeUtf8Units(std::string_view Units);
std::string DecodeUtf7Units(std::string_view Text, bool Modified);
std::string EncodeUtf7Units(std::string_view Units, bool Modified);

}  // namespace lumaro
