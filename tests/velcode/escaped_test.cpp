#include <gtest/gtest.h>

#include <random>

#include "velcode/velcode.h"
#include "velcode/samples.h"

namespace lumaro {
namespace {

using namespace std::string_literals;

using samples::ExpectRows;
using samples::TCase;

TEST(DecodeQuotedPrintable, ValidEscapesAndSoftBreaks) {
    const TCase Cases[] = {
        {"", ""},
        {"a=3Db", "a=b"},
        {"a=3db", "a=b"},
        {"=E9t=E9", "\xE9t\xE9"},
        {"=00", "\0"s},
        {"a=\r\nb", "ab"},
        {"a=\nb", "ab"},
        {"a=\n\rb", "ab"},
        {"a=\rb", "ab"},
        {"a=\r\rb", "a\rb"},          // one CR is the break, the other is data
        {"a=\n\nb", "a\nb"},
        {"trailing  =\r\nnext", "trailing  next"},  // blanks before a soft break stay
        {"abc=41", "abcA"},
        {"x\0=41y"s, "x\0Ay"s},
    };
    ExpectRows(Cases, DecodeQuotedPrintable);
}

TEST(DecodeQuotedPrintable, BrokenInputs) {
    const TCase Cases[] = {
        {"a=G1b", "a=G1b"},
        {"==41", "=A"},          // the kept escape is followed by a valid one
        {"abc=", "abc"},
        {"abc=4", "abc"},        // a cut-off escape at the end is dropped
        {"abc=\r", "abc"},
        {"a= b", "a= b"},
        {"=\r\n=", ""},
        {"=G", ""},               // fewer than two bytes follow: dropped even if invalid
    };
    ExpectRows(Cases, DecodeQuotedPrintable);
}

TEST(DecodeEscaped, OtherEscapeCharacter) {
    const TCase Cases[] = {
        {"a%20b", "a b"},
        {"100%", "100"},
        {"%zz", "%zz"},
    };
    ExpectRows(Cases, [](std::string_view V) { return DecodeEscaped(V, '%'); });
}

TEST(EncodeQuotedPrintable, EscapesControlHighAndEquals) {
    const TCase Cases[] = {
        {"", ""},
        {"a=b\r\n", "a=3Db=0D=0A"},
        {"\t", "=09"},
        {"x ", "x "},
        {"\xE9", "=E9"},
        {"\x7F\xFF\x1F", "=7F=FF=1F"},
        {"\0"s, "=00"},
        {"Re: a_b?", "Re: a_b?"},
    };
    ExpectRows(Cases, EncodeQuotedPrintable);
}

TEST(EncodeQuotedPrintableStrict, AlsoEscapesHeaderSpecials) {
    const TCase Cases[] = {
        {"a_b?c", "a=5Fb=3Fc"},
        {"Re: x", "Re=3A x"},
        {"\"(),/:;<=>?@[\\]_", "=22=28=29=2C=2F=3A=3B=3C=3D=3E=3F=40=5B=5C=5D=5F"},
        {"\xC3\xA9", "=C3=A9"},
    };
    ExpectRows(Cases, EncodeQuotedPrintableStrict);
}

TEST(EscapedCoding, EncodeThenDecodeGivesTheBytesBack) {
    std::mt19937 Rng(7);
    for (size_t N = 0; N < 300; ++N) {
        const std::string Bytes = samples::RandomBytes(Rng, N);
        EXPECT_EQ(DecodeQuotedPrintable(EncodeQuotedPrintable(Bytes)), Bytes);
        EXPECT_EQ(DecodeQuotedPrintable(EncodeQuotedPrintableStrict(Bytes)), Bytes);
    }
}

}  // namespace
}  // namespace lumaro
