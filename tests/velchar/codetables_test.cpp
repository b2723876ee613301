#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "velchar/velchar.h"

#ifndef _WIN32
#include <iconv.h>
#endif

namespace lumaro {
namespace {

using C = TCharsetId;
constexpr uint16_t Undefined = 0xFFFD;
constexpr size_t TableCount = 25;

uint16_t ValueOf(C Id, unsigned Byte) { return LoadCodeTable(Id)[Byte - 0x80]; }

// The byte the own encoder writes: the first entry from 80 upwards holding the value.
int FirstByteOf(C Id, uint16_t Value) {
    const TCodeTable& Table = LoadCodeTable(Id);
    for (size_t K = 0; K < Table.size(); ++K) {
        if (Table[K] == Value) return static_cast<int>(0x80 + K);
    }
    return -1;
}

TEST(CodeTables, Values) {
    struct TCase {
        C Id;
        unsigned Byte;
        uint16_t Expected;
    };
    const TCase Cases[] = {
        {C::ISO_8859_1, 0x80, 0x0080},   {C::ISO_8859_1, 0xFF, 0x00FF},
        {C::ISO_8859_2, 0xA9, 0x0160},   {C::ISO_8859_2, 0xE8, 0x010D},
        {C::ISO_8859_2, 0xFF, 0x02D9},   {C::ISO_8859_3, 0xA5, Undefined},
        {C::ISO_8859_5, 0xB0, 0x0410},   {C::ISO_8859_6, 0xC1, 0x0621},
        {C::ISO_8859_6, 0xFF, Undefined}, {C::ISO_8859_7, 0xA4, Undefined},
        {C::ISO_8859_7, 0xA5, Undefined}, {C::ISO_8859_7, 0xAA, Undefined},
        {C::ISO_8859_7, 0xA1, 0x2018},   {C::ISO_8859_7, 0xC1, 0x0391},
        {C::ISO_8859_8, 0xDF, 0x2017},   {C::ISO_8859_8, 0xFD, 0x200E},
        {C::ISO_8859_8, 0xFE, 0x200F},   {C::ISO_8859_8, 0xE0, 0x05D0},
        {C::ISO_8859_8, 0xBF, Undefined}, {C::ISO_8859_9, 0xA1, 0x00A1},
        {C::ISO_8859_9, 0xD0, 0x011E},   {C::ISO_8859_15, 0xA4, 0x20AC},
        {C::WINDOWS_1250, 0x8A, 0x0160}, {C::WINDOWS_1250, 0x81, Undefined},
        {C::WINDOWS_1251, 0xC0, 0x0410}, {C::WINDOWS_1251, 0x98, Undefined},
        {C::WINDOWS_1252, 0x80, 0x20AC}, {C::WINDOWS_1252, 0x81, Undefined},
        {C::WINDOWS_1255, 0xCA, Undefined}, {C::WINDOWS_1256, 0x81, 0x067E},
        {C::WINDOWS_1257, 0xA1, Undefined}, {C::WINDOWS_1258, 0xD2, 0x0309},
        {C::KOI8_R, 0xC1, 0x0430},       {C::KOI8_R, 0xB3, 0x0401},
        {C::CP_895, 0x80, 0x010C},       {C::CP_895, 0x9E, 0x0158},
        {C::CP_895, 0xAF, 0x00BB},       {C::CP_895, 0xB0, 0x2591},
        {C::CP_895, 0xE1, 0x03B2},       {C::CP_895, 0xE6, 0x03BC},
        {C::CP_895, 0xED, 0x2205},       {C::CP_895, 0xF8, 0x2218},
        {C::CP_895, 0xF9, 0x00B7},       {C::CP_895, 0xFA, 0x2219},
        {C::CP_895, 0xFF, 0x00A0},       {C::CP852, 0x80, 0x00C7},
        {C::CP852, 0xA7, 0x017E},        {C::CP852, 0xD8, 0x011B},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(ValueOf(Case.Id, Case.Byte), Case.Expected)
            << CharsetName(Case.Id) << " byte " << std::hex << Case.Byte;
    }
}

TEST(CodeTables, EncodingPicksTheFirstByteFrom80Upwards) {
    struct TCase {
        C Id;
        uint16_t Value;
        int Expected;
    };
    const TCase Cases[] = {
        {C::WINDOWS_1250, Undefined, 0x81},
        {C::ISO_8859_2, Undefined, -1},
        {C::ISO_8859_7, 0x20AC, -1},
        {C::CP_895, 0x00DF, -1},
        {C::CP_895, 0x00B7, 0xF9},
        {C::ISO_8859_2, 0x010D, 0xE8},
        {C::WINDOWS_1250, 0x010D, 0xE8},
        {C::CP852, 0x010D, 0x9F},
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(FirstByteOf(Case.Id, Case.Value), Case.Expected)
            << CharsetName(Case.Id) << " U+" << std::hex << Case.Value;
    }
}

TEST(CodeTables, MembersWithoutATableReadAsLatin1) {
    const TCodeTable& Latin1 = LoadCodeTable(C::ISO_8859_1);
    for (size_t K = 0; K < Latin1.size(); ++K) EXPECT_EQ(Latin1[K], 0x80 + K);
    for (size_t N = TableCount; N < CharsetCount; ++N) {
        EXPECT_EQ(&LoadCodeTable(CharsetOfOrdinal(N)), &Latin1) << N;
    }
    EXPECT_EQ(LoadCodeTable(C::KOI8_U), Latin1);
    // Every member below 25 has a table of its own.
    for (size_t N = 1; N < TableCount; ++N) {
        EXPECT_NE(LoadCodeTable(CharsetOfOrdinal(N)), Latin1) << N;
    }
}

TEST(CodeTables, Iso8859KeepsTheC1Controls) {
    for (size_t N = 0; N <= Ordinal(C::ISO_8859_15); ++N) {
        const TCodeTable& Table = LoadCodeTable(CharsetOfOrdinal(N));
        for (unsigned K = 0; K < 0x20; ++K) EXPECT_EQ(Table[K], 0x80 + K) << N;
    }
}

#ifndef _WIN32
TEST(CodeTables, GeneratedFileIsUpToDate) {
    if (std::system("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    std::string Command = std::string("python3 ") + LUMARO_SOURCE_DIR +
                          "/tools/gen_codetables.py --check > /dev/null";
    EXPECT_EQ(std::system(Command.c_str()), 0) << "velchar/codetables.cpp was edited by hand";
}

// The C library's iconv as an independent source of the published mappings.
class TSystemDecoder {
public:
    explicit TSystemDecoder(const std::string& Name)
        : Descriptor(iconv_open("UCS-2BE", Name.c_str())) {}
    ~TSystemDecoder() {
        if (Known()) iconv_close(Descriptor);
    }
    TSystemDecoder(const TSystemDecoder&) = delete;
    TSystemDecoder& operator=(const TSystemDecoder&) = delete;
    bool Known() const { return Descriptor != reinterpret_cast<iconv_t>(-1); }

    // The UCS-2 value of one byte, or -1 when the library rejects it.
    long Decode(unsigned char Byte) {
        iconv(Descriptor, nullptr, nullptr, nullptr, nullptr);
        char In[1] = {static_cast<char>(Byte)};
        char Out[8] = {};
        char* InPtr = In;
        char* OutPtr = Out;
        size_t InLeft = 1, OutLeft = sizeof Out;
        if (iconv(Descriptor, &InPtr, &InLeft, &OutPtr, &OutLeft) == static_cast<size_t>(-1))
            return -1;
        // Some decoders hold a base character back for a following combining mark.
        if (iconv(Descriptor, nullptr, nullptr, &OutPtr, &OutLeft) == static_cast<size_t>(-1))
            return -1;
        if (OutPtr - Out != 2) return -1;
        return (static_cast<unsigned char>(Out[0]) << 8) | static_cast<unsigned char>(Out[1]);
    }

private:
    iconv_t Descriptor;
};

TEST(CodeTables, AgreeWithTheSystemIconv) {
    size_t Checked = 0;
    for (size_t N = 0; N < TableCount; ++N) {
        C Id = CharsetOfOrdinal(N);
        TSystemDecoder Decoder(CharsetName(Id));
        if (!Decoder.Known()) continue;  // Kamenicky, for one, is unknown to glibc
        const TCodeTable& Table = LoadCodeTable(Id);
        for (unsigned K = 0; K < Table.size(); ++K) {
            if (Table[K] == Undefined) continue;
            EXPECT_EQ(Decoder.Decode(static_cast<unsigned char>(0x80 + K)), Table[K])
                << CharsetName(Id) << " byte " << std::hex << 0x80 + K;
            ++Checked;
        }
    }
    // All tables but Kamenicky are known to glibc; a broken lookup must not pass.
    EXPECT_GT(Checked, 20u * 100u);
}
#endif

}  // namespace
}  // namespace lumaro
