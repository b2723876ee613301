#include <gtest/gtest.h>

#include <random>

#include "velcode/velcode.h"
#include "velcode/samples.h"

namespace lumaro {
namespace {

using namespace std::string_literals;

using samples::ExpectRows;
using samples::TCase;

TEST(DecodeUULine, DataLines) {
    const TCase Cases[] = {
        {"#86)C", "abc"},
        {"#86)", "ab@"},            // a stripped trailing digit comes back as digit 0
        {"#86", "a`\0"s},
        {"!86", "a"},
        {"#86)C  ignored", "abc"},   // bytes past the announced count are not read
        {"#86)C\r\n", "abc"},
        {"$86)C", "abc\0"s},
    };
    ExpectRows(Cases, DecodeUULine);
}

TEST(DecodeUULine, LinesWithoutData) {
    const char* Lines[] = {
        "", "   ", "begin 644 x.bin", "BEGIN", "END", "end", "  end  ", "table", "TABLE",
        "`", "`86)C",                // length 0
        "!",                         // a length but no digits
        " #86)C",                    // the length byte is taken untrimmed
        "a86)C",                     // lower case is no UU digit
    };
    for (const char* Line : Lines) EXPECT_EQ(DecodeUULine(Line), "") << Line;
}

TEST(DecodeXXLine, DataLines) {
    EXPECT_EQ(DecodeXXLine("1MK7X"), "abc");
    EXPECT_EQ(DecodeXXLine("1MK7"), "ab@");
    // Unlike UU, XX has no "table" line: 't' announces 57 bytes.
    const std::string Table = DecodeXXLine("table");
    EXPECT_EQ(Table.size(), 57u);
    EXPECT_EQ(Table, DecodeByAlphabet("able" + std::string(72, ' '), XXAlphabet));
}

TEST(DecodeXXLine, LinesWithoutData) {
    const char* Lines[] = {"", "begin 644 x", "End", "+", "+MK7X", "-", " 1MK7X", "*1MK7X"};
    for (const char* Line : Lines) EXPECT_EQ(DecodeXXLine(Line), "") << Line;
}

// A line as an encoder writes it: the length character, then the digits without padding.
std::string EncodedLine(const std::string& Bytes, std::string_view Alphabet) {
    return Alphabet[Bytes.size()] + EncodeByAlphabet(Bytes, Alphabet);
}

TEST(LineDecoders, GiveBackWhatWasEncoded) {
    std::mt19937 Rng(13);
    for (size_t N = 1; N <= 45; ++N) {
        const std::string Bytes = samples::RandomBytes(Rng, N);
        EXPECT_EQ(DecodeUULine(EncodedLine(Bytes, UUAlphabet)), Bytes) << N;
        EXPECT_EQ(DecodeXXLine(EncodedLine(Bytes, XXAlphabet)), Bytes) << N;
    }
}

}  // namespace
}  // namespace lumaro
