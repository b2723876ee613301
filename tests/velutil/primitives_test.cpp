// Trimming, case, binary digit texts and the byte stream.
#include <gtest/gtest.h>

#include "velutil/velutil.h"

namespace lumaro {
namespace {

TEST(Primitives, TrimAndCaseTouchOnlyTheirBytes) {
    const std::string Blanks("\0\x01\t\r\n \x1f", 7);
    EXPECT_EQ(Trim(Blanks + "a b" + Blanks), "a b");
    EXPECT_EQ(TrimRight(Blanks + "a" + Blanks), Blanks + "a");
    EXPECT_EQ(Trim("\x21x\x7f\xa0"), "\x21x\x7f\xa0");
    EXPECT_EQ(UpperCase("az AZ \xe1 @[`{"), "AZ AZ \xe1 @[`{");
    EXPECT_EQ(LowerCase("az AZ \xc1 @[`{"), "az az \xc1 @[`{");
    EXPECT_TRUE(SameText("Content-Type", "CONTENT-type"));
    EXPECT_FALSE(SameText("\xe1", "\xc1"));
    EXPECT_FALSE(SameText("@", "`"));
}

TEST(IntToBin, Table) {
    const std::tuple<int32_t, uint8_t, std::string> Cases[] = {
        {5, 8, "00000101"}, {0, 0, "0"}, {6, 6, "000110"}, {255, 4, "11111111"}, {-5, 0, "000"},
        {INT32_MAX, 0, std::string(31, '1')}, {INT32_MIN, 0, std::string(32, '0')},
    };
    for (const auto& [Value, Digits, Expected] : Cases) EXPECT_EQ(IntToBin(Value, Digits), Expected) << Value;
}

TEST(BinToInt, Table) {
    const std::pair<std::string, int32_t> Cases[] = {
        {"101", 5}, {"10x1", 2}, {"", 0}, {"000110", 6}, {std::string(32, '1'), -1},
        {"1" + std::string(32, '0'), 0}, {"1" + std::string(31, '0'), INT32_MIN},
    };
    for (const auto& [Value, Expected] : Cases) EXPECT_EQ(BinToInt(Value), Expected) << Value;
}

TEST(ByteStream, ReadsWhatIsThereAndOverwritesAtThePosition) {
    TByteStream S;
    WriteStreamText(S, "hello");
    S.SetPosition(1);
    EXPECT_EQ(ReadStreamText(S, 3), "ell");
    EXPECT_EQ(ReadStreamText(S, 10), "o");
    EXPECT_EQ(ReadStreamText(S, 10), "");
    S.SetPosition(3);
    WriteStreamText(S, std::string("P\0Q", 3));
    EXPECT_EQ(S.Bytes(), std::string("helP\0Q", 6));
}

}  // namespace
}  // namespace lumaro
