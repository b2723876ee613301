#include <gtest/gtest.h>

#include <random>

#include "velcode/velcode.h"
#include "velcode/reference.h"
#include "velcode/samples.h"

namespace lumaro {
namespace {

using namespace std::string_literals;

using samples::ExpectRows;
using samples::TCase;

TEST(EncodeBase64, PadsToWholeQuanta) {
    const TCase Cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {"\xFF\xFF\xFF", "////"},
        {"\0\0\0"s, "AAAA"},
        {"\xFB\xEF\xBE", "++++"},
    };
    ExpectRows(Cases, EncodeBase64);
    EXPECT_EQ(EncodeBase64Mod("\xFF\xFF\xFF"), ",,,,");
    EXPECT_EQ(EncodeBase64Mod("\xFB\xEF\xBE" "a"), "++++YQ==");
}

TEST(DecodeBase64, ValidInputs) {
    const TCase Cases[] = {
        {"", ""},
        {"YWJj", "abc"},
        {"YW\r\nJj", "abc"},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YWI", "ab"},
        {"////", "\xFF\xFF\xFF"},
        {"AAAA", "\0\0\0"s},
    };
    ExpectRows(Cases, DecodeBase64);
}

TEST(DecodeBase64, BrokenInputsSkipStrayBytes) {
    const TCase Cases[] = {
        {"Y", ""},                            // one digit holds no whole byte
        {"Y W\tJ\x80j", "abc"},
        {"Y,W.J*j", "abc"},                   // ',' belongs to the other alphabet only
        {"YQ==YQ==", "a\x06\x10"},            // padding does not stop decoding
        {"====", ""},
        {"\xFF\xE9YWJj\x7F", "abc"},
        {"YW\0Jj"s, "abc"},
    };
    ExpectRows(Cases, DecodeBase64);
}

TEST(DecodeBase64Mod, ValidInputs) {
    const TCase Cases[] = {
        {"", ""},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YWJj", "abc"},
        {",,,,", "\xFF\xFF\xFF"},
        {"YWJjZA", "abcd"},
    };
    ExpectRows(Cases, DecodeBase64Mod);
}

TEST(DecodeBase64Mod, BrokenInputsCountStrangersAsZero) {
    const TCase Cases[] = {
        {"Y", "\x60"},          // a lone character still gives a byte
        {"////", "\0\0\0"s},    // '/' is not in this alphabet
        {"YW\r\nJj", "a`\0&"s},
        {"Y=Jj", "`\x02" "c"},   // padding in the second place is digit 0 there
        {"YW=j", "a"},           // in the third place it ends the group
        {"YWJ=", "ab"},
    };
    ExpectRows(Cases, DecodeBase64Mod);
}

TEST(DecodeByAlphabet, OtherAlphabets) {
    // Digits of a longer alphabet count modulo 64, apart from index 64 itself.
    std::string Long(std::string(Base64Alphabet.substr(0, 64)) + "=*#");
    EXPECT_EQ(DecodeByAlphabet("YWJj", Long), "abc");
    EXPECT_EQ(DecodeByAlphabet("YW*#", Long), DecodeByAlphabet("YWBC", Long));
    EXPECT_EQ(DecodeByAlphabet("YW=#", Long), "a");
    // A repeated character has the index of its first place.
    EXPECT_EQ(DecodeByAlphabet("BBBB", "ABB"), DecodeByAlphabet("BBBB", "AB"));
    EXPECT_EQ(DecodeByAlphabet("abc", ""), "\0\0"s);
}

TEST(EncodeByAlphabet, LeavesOutDigitsTheAlphabetLacks) {
    EXPECT_EQ(EncodeByAlphabet("a", Base64Alphabet.substr(0, 64)), "YQ");
    EXPECT_EQ(EncodeByAlphabet("\xFF\xFF\xFF\xFF", Base64Alphabet.substr(0, 63)), "w");
    EXPECT_EQ(EncodeByAlphabet("\0\0\0"s, "A"), "AAAA");
    EXPECT_EQ(EncodeByAlphabet("\0\x10"s, "AB"), "ABA");
    EXPECT_EQ(EncodeByAlphabet("abc", ""), "");
}

TEST(DecodeByReverseTable, ShortOrOddTablesAreSafe) {
    // Entries missing from a short table and entries of 64 and more are no digits.
    EXPECT_EQ(DecodeByReverseTable("YWJj", ""), "");
    EXPECT_EQ(DecodeByReverseTable("!!!!", "\x01"), "\x04\x10\x41");
    EXPECT_EQ(DecodeByReverseTable("!\"!!!", "\x01\xC8"), "\x04\x10\x41");
}

TEST(Base64Coding, EncodeThenDecodeGivesTheBytesBack) {
    std::mt19937 Rng(3);
    for (size_t N = 0; N < 300; ++N) {
        const std::string Bytes = samples::RandomBytes(Rng, N);
        EXPECT_EQ(DecodeBase64(EncodeBase64(Bytes)), Bytes);
        EXPECT_EQ(DecodeBase64Mod(EncodeBase64Mod(Bytes)), Bytes);
    }
}

TEST(Base64Decoders, AgreeWithTheLiteralRules) {
    std::mt19937 Rng(5);
    const std::string Likely = std::string(Base64Alphabet) + ",*\r\n";
    std::string Odd(Base64ReverseTable);
    Odd['A' - 0x21] = '\x50';  // a table of the caller's own: 'A' no digit, '*' digit 5
    Odd['*' - 0x21] = 5;
    for (int Round = 0; Round < 3000; ++Round) {
        const std::string Text = samples::RandomTextOf(Rng, Round % 70, Likely);
        ASSERT_EQ(DecodeBase64(Text), reference::DecodeByReverseTable(Text, Base64ReverseTable)) << Text;
        ASSERT_EQ(DecodeByReverseTable(Text, Odd), reference::DecodeByReverseTable(Text, Odd)) << Text;
        ASSERT_EQ(DecodeBase64Mod(Text), reference::DecodeByAlphabet(Text, Base64ModAlphabet)) << Text;
        ASSERT_EQ(DecodeByAlphabet(Text, "xyz=xyz"), reference::DecodeByAlphabet(Text, "xyz=xyz")) << Text;
    }
}

TEST(Base64Decoder, PiecesDecodeAsTheirConcatenation) {
    std::mt19937 Rng(7);
    const std::string Likely = std::string(Base64Alphabet) + "\r\n*";
    for (int Round = 0; Round < 2000; ++Round) {
        const std::string Text = samples::RandomTextOf(Rng, Round % 40, Likely);
        // Every text is cut at two points, anywhere, empty pieces included.
        const size_t A = Text.empty() ? 0 : Rng() % (Text.size() + 1);
        const size_t B = A + (Text.size() == A ? 0 : Rng() % (Text.size() - A + 1));
        TBase64Decoder Decoder;
        std::string Out = "kept";
        for (std::string_view Piece : {std::string_view(Text).substr(0, A), std::string_view(Text).substr(A, B - A),
                                       std::string_view(Text).substr(B)})
            Decoder.Append(Piece, Out);
        Decoder.Finish(Out);
        ASSERT_EQ(Out, "kept" + DecodeBase64(Text)) << Text << " cut at " << A << ", " << B;
    }
}

}  // namespace
}  // namespace lumaro
