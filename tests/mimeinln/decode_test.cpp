// Decoding of encoded words: the word finder, the walk over a header text, and
// results that must not depend on whether the iconv library is present.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mimeinln/mimeinln.h"
#include "mimeinln/words_support.h"

namespace lumaro {
namespace {

using testing::Charset;
using namespace std::string_literals;

struct TEndCase {
    std::string Value;
    size_t Start;
    size_t Expected;
};

TEST(FindEncodedWordEnd, ClosesAtTheThirdQuestionMarkFollowedByEquals) {
    const TEndCase Cases[] = {
        {"=?a?b?c?=", 1, 8},
        {"=?a?=?c?=", 1, 8},      // the first two '?' never close, '=' behind or not
        {"x=?a?b?c?=", 2, 9},
        {"=?a?b?c?=d?=", 1, 8},   // the first closing wins
        {"=??" "?=", 1, 0},          // the '?' of the opening itself does not count
        {"=?a?b?c", 1, 0},
        {"=?a?b?c?", 1, 0},       // a '?' in the last position cannot close
        {"=?", 1, 0},
        {"", 0, 0},
        {"=?a?b?c?=", 100, 0},    // a start beyond the end finds nothing
        {"a?b?c?=", 0, 6},        // start 0 scans from the second byte
    };
    for (const TEndCase& C : Cases)
        EXPECT_EQ(FindEncodedWordEnd(C.Value, C.Start), C.Expected) << C.Value << " @" << C.Start;
}

struct TDecodeCase {
    std::string Value;
    std::string Expected;
};

// Words in US-ASCII, read as ISO-8859-1 and decoded into ISO-8859-1: no conversion
// takes place, so these rows pin down the walk itself.
void ExpectDecodedAsLatin1(const TDecodeCase& C) {
    EXPECT_EQ(DecodeEncodedWords(C.Value, Charset("ISO-8859-1")), C.Expected) << C.Value;
}

TEST(DecodeEncodedWords, KeepsTextAroundWordsAndDropsBlanksBetweenThem) {
    const TDecodeCase Cases[] = {
        {"a =?US-ASCII?Q?x?= b", "a x b"},
        {"=?US-ASCII?Q?a?= =?US-ASCII?Q?b?=", "ab"},
        {"=?US-ASCII?Q?a?==?US-ASCII?Q?b?=", "ab"},
        {"=?US-ASCII?Q?a_?= =?US-ASCII?Q?b?=", "a b"},
        {"=?US-ASCII?Q?a?=\r\n\t =?US-ASCII?Q?b?=", "ab"},
        {"=?US-ASCII?Q?a?= - =?US-ASCII?Q?b?=", "a - b"},
        {"  =?US-ASCII?Q?x?=", "x"},
        {"=?US-ASCII?Q?x?=  ", "x  "},
        {"\0 =?US-ASCII?Q?x?="s, "x"},           // NUL counts as a blank
        {"a\0=?US-ASCII?Q?x?="s, "a\0x"s},
        {"", ""},
        {"plain text", "plain text"},
        {"Content-Disposition: attachment; filename=\"=?US-ASCII?Q?a_b.txt?=\"",
         "Content-Disposition: attachment; filename=\"a b.txt\""},
    };
    for (const TDecodeCase& C : Cases) ExpectDecodedAsLatin1(C);
}

TEST(DecodeEncodedWords, ReadsBothLettersInEitherCase) {
    const TDecodeCase Cases[] = {
        {"=?US-ASCII?Q?a_b?=", "a b"},
        {"=?us-ascii?q?a_b?=", "a b"},
        {"=?US-ASCII?B?YWI=?=", "ab"},
        {"=?us-ascii?b?YWI=?=", "ab"},
        {"=?US-ASCII?Q?" "?=", ""},
        {"=?US-ASCII?Q?a=5Fb_c?=", "a_b c"},     // '_' replaced before escapes decode
        {"=?US-ASCII?Q?a=3D=3f?=", "a=?"},
        {"=?US-ASCII?Q?a=G1?=", "a=G1"},         // an invalid escape stays
        {"=?US-ASCII?Q?a=?=", "a"},              // a truncated escape is dropped
        {"=?US-ASCII?B?YW Jj?=", "abc"},         // base64 skips stray bytes
        {"=?US-ASCII?B?Y?=", ""},
        {"=?US-ASCII?Q?a?=b?=", "ab?="},         // the first closing ends the word
    };
    for (const TDecodeCase& C : Cases) ExpectDecodedAsLatin1(C);
}

TEST(DecodeEncodedWords, CopiesMalformedWordsUnchanged) {
    const TDecodeCase Cases[] = {
        {"=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
        {"x =?UTF-8?X?abc?=", "x =?UTF-8?X?abc?="},
        {"=?US-ASCII?Q?a?= =?UTF-8?X?abc?=", "a=?UTF-8?X?abc?="},
        {"=?US-ASCII?QQ?a?=", "=?US-ASCII?QQ?a?="},   // letter must be one byte
        {"=?US-ASCII?=?a?=", "=?US-ASCII?=?a?="},
        {"=?US-ASCII??a?=", "=?US-ASCII??a?="},
        // A stray "=?" swallows the real word behind it.
        {"a=?b =?UTF-8?Q?x?=", "a=?b =?UTF-8?Q?x?="},
    };
    for (const TDecodeCase& C : Cases) ExpectDecodedAsLatin1(C);
}

TEST(DecodeEncodedWords, StopsAtAnOpeningWithoutClosing) {
    const TDecodeCase Cases[] = {
        {"Subject: =?UTF-8?Q?abc", "Subject: =?UTF-8?Q?abc"},
        {"Subject: =?US-ASCII?Q?a?= =?UTF-8?Q?abc", "Subject: a =?UTF-8?Q?abc"},
        {"=?US-ASCII?Q?a?= =?", "a =?"},
        {"=?=?=?", "=?=?=?"},
    };
    for (const TDecodeCase& C : Cases) ExpectDecodedAsLatin1(C);
}

TEST(DecodeEncodedWords, IgnoresTheLanguageTagAndUnknownNames) {
    const TDecodeCase Cases[] = {
        {"=?UTF-8*en?Q?caf=C3=A9?=", "caf\xE9"},
        {"=?utf-8*en-us*x?B?Y2Fmw6k=?=", "caf\xE9"},
        {"=?X-UNKNOWN?Q?caf=E9?=", "caf\xE9"},   // read as ISO-8859-1
    };
    for (const TDecodeCase& C : Cases) ExpectDecodedAsLatin1(C);
}

// Decoding keeps every byte a word carries, line breaks included: keeping them out
// of a header line is the business of whoever writes the line.
TEST(DecodeEncodedWords, KeepsLineBreaksOfDecodedWords) {
    const TDecodeCase Cases[] = {
        {"=?US-ASCII?Q?a=0D=0ABcc:_x?=", "a\r\nBcc: x"},
        {"=?US-ASCII?B?YQ0KDQpi?=", "a\r\n\r\nb"},
    };
    for (const TDecodeCase& C : Cases) ExpectDecodedAsLatin1(C);
}

struct TConvertedCase {
    std::string Value;
    std::string Latin2;
    std::string Windows1250;
};

// Fixed results, checked once with the iconv library and once with our own code.
TEST(DecodeEncodedWords, ConvertsIntoTheTargetCharsetAlike) {
    const TConvertedCase Cases[] = {
        {"=?UTF-8?Q?P=C5=99=C3=ADli=C5=A1_=C5=BElu=C5=A5ou=C4=8Dk=C3=BD?=",
         "P\xF8\xEDli\xB9 \xBElu\xBBou\xE8k\xFD", "P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD"},
        {"Subject: =?utf-8?b?UMWZw61sacWhIMW+bHXFpW91xI1rw70ga8WvxYggw7pwxJtsIMSPw6FiZWxza8OpIMOzZHk=?=",
         "Subject: P\xF8\xEDli\xB9 \xBElu\xBBou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1" "belsk\xE9 \xF3" "dy",
         "Subject: P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1" "belsk\xE9 \xF3" "dy"},
        {"=?ISO-8859-2?Q?P=F8=EDli=B9?= =?UTF-8?Q?_k=C5=AF=C5=88?=", "P\xF8\xEDli\xB9 k\xF9\xF2",
         "P\xF8\xEDli\x9A k\xF9\xF2"},
        {"=?ISO-8859-1?Q?caf=E9_=C4rger?=", "caf\xE9 \xC4rger", "caf\xE9 \xC4rger"},
        {"=?ISO-8859-15?Q?=A6koda?=", "\xA9koda", "\x8Akoda"},
        {"=?iso-8859-2?B?qWtvZGE=?=", "\xA9koda", "\x8Akoda"},
        {"=?UTF-8?B?xaBrb2Rh?=", "\xA9koda", "\x8Akoda"},
    };
    for (const TConvertedCase& C : Cases) {
        EXPECT_EQ(DecodeEncodedWords(C.Value, Charset("ISO-8859-2")), C.Latin2) << C.Value;
        EXPECT_EQ(DecodeEncodedWords(C.Value, Charset("WINDOWS-1250")), C.Windows1250) << C.Value;
    }
    EXPECT_EQ(DecodeEncodedWords("=?ISO-8859-15?Q?=A45?=", Charset("WINDOWS-1250")), "\x80" "5");
}

// A character a sender split between two adjacent words of one charset and
// encoding comes out whole; words that differ in either are converted apart, and
// text between words ends a run of them.
TEST(DecodeEncodedWords, JoinsAdjacentWordsOfOneCharsetAndEncoding) {
    const TDecodeCase Cases[] = {
        {"=?UTF-8?Q?fin=C3?= =?utf-8?q?=A1ln=C3=AD?=", "fin\xE1ln\xED"},
        {"=?UTF-8?B?Zmluww==?=\t=?UTF-8?B?oWxuw60=?=", "fin\xE1ln\xED"},
        {"=?UTF-8?Q?fin=C3?= =?UTF-8?B?oWxuw60=?=", "finln\xED"},
        {"=?UTF-8?Q?fin=C3?= - =?UTF-8?Q?=A1?=", "fin - "},
        {"=?ISO-8859-2?Q?=E1?= =?UTF-8?Q?=C3=A1?=", "\xE1\xE1"},
    };
    for (const TDecodeCase& C : Cases) EXPECT_EQ(DecodeEncodedWords(C.Value, Charset("ISO-8859-2")), C.Expected) << C.Value;
}

// The runs a structured header decodes one by one: where each stands, and whether
// its text lost anything (a letter the target lacks, a malformed byte).
TEST(TEncodedRunReader, ReadsRunsAndTellsWhetherTheyAreWhole) {
    const std::string Value =
        "a =?UTF-8?Q?=C3?= =?UTF-8?Q?=A1?= b =?UTF-8?B?zrE=?= =?X?Y?z?= =?UTF-8?Q?x=C3?==?UTF-8?Q?y?= "
        "=?ISO-8859-2?Q?=E1?=";
    struct TRun {
        std::string Written, Text;
        bool Whole;
    };
    const std::vector<TRun> Expected = {
        {"=?UTF-8?Q?=C3?= =?UTF-8?Q?=A1?=", "\xE1", true},
        {"=?UTF-8?B?zrE=?=", "?", false},
        {"=?UTF-8?Q?x=C3?==?UTF-8?Q?y?= =?ISO-8859-2?Q?=E1?=", "y\xE1", false},
    };
    TEncodedRunReader Reader(Value, Charset("WINDOWS-1250"));
    TEncodedRun Run;
    for (const TRun& E : Expected) {
        ASSERT_TRUE(Reader.Next(Run)) << E.Written;
        EXPECT_EQ(Value.substr(Run.Begin, Run.End - Run.Begin), E.Written);
        EXPECT_EQ(Run.Whole, E.Whole) << E.Written;
        if (E.Whole) {
            EXPECT_EQ(Run.Text, E.Text) << E.Written;
        }
    }
    EXPECT_FALSE(Reader.Next(Run));
}

// A quadratic walk would not finish these in any reasonable time.
TEST(DecodeEncodedWords, WalksLongTextsOnce) {
    std::string Unclosed;
    for (int i = 0; i < 250000; ++i) Unclosed += "=?a ";
    EXPECT_EQ(DecodeEncodedWords(Unclosed, Charset("ISO-8859-1")), Unclosed);

    std::string Openings;
    for (int i = 0; i < 500000; ++i) Openings += "=?";
    EXPECT_EQ(DecodeEncodedWords(Openings, Charset("ISO-8859-1")), Openings);

    std::string Words, Expected;
    for (int i = 0; i < 20000; ++i) {
        Words += "=?US-ASCII?Q?w" + std::to_string(i) + "_?= ";
        Expected += "w" + std::to_string(i) + " ";
    }
    Words += "tail";
    Expected += " tail";
    EXPECT_EQ(DecodeEncodedWords(Words, Charset("ISO-8859-1")), Expected);
}

}  // namespace
}  // namespace lumaro
