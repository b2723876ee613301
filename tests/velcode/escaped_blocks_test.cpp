// The escape codec reads its text in words, blocks and windows: escapes, soft breaks
// and cut-off ends at every offset against those boundaries, checked against the
// literal versions of the rules.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "velcode/reference.h"
#include "velcode/samples.h"
#include "platform/sse2_choice.h"
#include "velcode/velcode.h"

namespace lumaro {
namespace {

using namespace std::literals;

// Byte by byte, as the rule is written.
std::string ReferenceEncodeEscaped(std::string_view Value, char EscChar, const TByteSet& Specials) {
    std::string R;
    for (const char C : Value) {
        const uint8_t B = static_cast<uint8_t>(C);
        if (!Specials.Contains(B)) {
            R += C;
            continue;
        }
        R += EscChar;
        R += "0123456789ABCDEF"[B >> 4];
        R += "0123456789ABCDEF"[B & 15];
    }
    return R;
}

// Plain text around Piece, Piece starting at byte Offset; long enough that the
// decoder's fast path reaches it for the smaller offsets.
std::string PlacedAt(size_t Offset, std::string_view Piece, size_t After) {
    return std::string(Offset, 'a') + std::string(Piece) + std::string(After, 'b');
}

const std::string_view DecodePieces[] = {
    "=C5", "=c5", "=C5=BE", "=3D", "==41", "===", "=G1", "=4G", "= x", "=\r\n", "=\n", "=\r",
    "=\n\r", "=\r\r", "=\n\n", "=\r\n=\r\n", "=0\n", "=\r0", "=A\r", "=\r\n\r", "=0", "=", "=C5=",
    "\0=00"sv, "=\xFF\xFF",
};

// Every case runs twice on a processor with SSE2: with its compares, and with the
// word arithmetic of processors without it.
class EscapedBlocks : public testing::WithAndWithoutSse2 {};
INSTANTIATE_TEST_SUITE_P(Sse2, EscapedBlocks, ::testing::Values(false, true), testing::Sse2CaseName);

TEST_P(EscapedBlocks, DecodesEveryPieceAtEveryOffset) {
    for (const std::string_view Piece : DecodePieces)
        for (size_t Offset = 0; Offset < 200; ++Offset)
            for (const size_t After : {size_t{0}, size_t{1}, size_t{2}, size_t{150}}) {
                const std::string Text = PlacedAt(Offset, Piece, After);
                ASSERT_EQ(DecodeQuotedPrintable(Text), reference::DecodeEscaped(Text, '='))
                    << "piece " << Piece << " at " << Offset << " with " << After << " after";
            }
}

TEST_P(EscapedBlocks, PiecesAcrossWindowEnds) {
    // An escape whose digits or break lie in the next 64 bytes, and one right after.
    const samples::TCase Cases[] = {
        {std::string(62, 'a') + "=C5=BEx" + std::string(130, 'b'), std::string(62, 'a') + "\xC5\xBEx" + std::string(130, 'b')},
        {std::string(63, 'a') + "=41=42" + std::string(130, 'b'), std::string(63, 'a') + "AB" + std::string(130, 'b')},
        {std::string(63, 'a') + "=\r\n=41" + std::string(130, 'b'), std::string(63, 'a') + "A" + std::string(130, 'b')},
        {std::string(62, 'a') + "=\n\r=G" + std::string(130, 'b'), std::string(62, 'a') + "=G" + std::string(130, 'b')},
        {std::string(64, '=') + std::string(130, 'x'), std::string(64, '=') + std::string(130, 'x')},
        {std::string(200, 'a') + "=4", std::string(200, 'a')},
        {std::string(200, 'a') + "=", std::string(200, 'a')},
    };
    samples::ExpectRows(Cases, DecodeQuotedPrintable);
}

TEST_P(EscapedBlocks, DecodesDenseRandomTextAsTheRuleSays) {
    std::mt19937 Rng(11);
    // Escape characters that are also digits or line breaks overlap with the escape
    // before them; high ones test the word arithmetic of every byte.
    for (const char EscChar : {'=', '%', 'A', '3', '\n', '\r', '\0', '\x7F', '\x80', '\xFF'}) {
        const std::string Likely = std::string(3, EscChar) + "0123456789ABCDEFabcdefG \r\n\xC5";
        for (size_t N = 0; N < 700; N += 7) {
            const std::string Text = samples::RandomTextOf(Rng, N, Likely);
            ASSERT_EQ(DecodeEscaped(Text, EscChar), reference::DecodeEscaped(Text, EscChar))
                << "escape " << int(EscChar) << " text " << Text;
        }
    }
}

TEST_P(EscapedBlocks, AppendingKeepsWhatIsThere) {
    const std::string Body = std::string(100, 'x') + "=C5=BE=\r\n" + std::string(100, 'y');
    std::string Out = "kept";
    AppendDecodedEscaped(Body, '=', Out);
    AppendQuotedPrintable("\xC5\xBE", Out);
    AppendEncodedEscaped("a b", '%', TByteSet().Include(' '), Out);
    EXPECT_EQ(Out, "kept" + std::string(100, 'x') + "\xC5\xBE" + std::string(100, 'y') + "=C5=BEa%20b");
}

TEST_P(EscapedBlocks, EncodesEveryByteAtEveryOffset) {
    const TByteSet QuotedPrintable = ControlAndHighBytes + TByteSet().Include('=');
    const TByteSet Strict = ControlAndHighBytes + HeaderSpecials;
    const TByteSet Own = TByteSet().IncludeRange('a', 'f').Include(0);
    for (unsigned B = 0; B < 256; ++B)
        for (size_t Offset = 0; Offset < 40; ++Offset) {
            std::string Text = PlacedAt(Offset, std::string(1, static_cast<char>(B)), 40 - Offset);
            if (Offset > 0) Text[Offset / 2] = '=';  // another special before it, in its block or one before
            ASSERT_EQ(EncodeQuotedPrintable(Text), ReferenceEncodeEscaped(Text, '=', QuotedPrintable)) << B;
            ASSERT_EQ(EncodeQuotedPrintableStrict(Text), ReferenceEncodeEscaped(Text, '=', Strict)) << B;
            ASSERT_EQ(EncodeEscaped(Text, '%', QuotedPrintable), ReferenceEncodeEscaped(Text, '%', QuotedPrintable));
            ASSERT_EQ(EncodeEscaped(Text, '#', Own), ReferenceEncodeEscaped(Text, '#', Own)) << B;
        }
}

TEST_P(EscapedBlocks, EncodesRandomTextOfEveryLengthAsTheRuleSays) {
    const TByteSet QuotedPrintable = ControlAndHighBytes + TByteSet().Include('=');
    std::mt19937 Rng(5);
    for (size_t N = 0; N < 400; ++N) {
        const std::string Text = samples::RandomTextOf(Rng, N, "plain text with = signs\r\n");
        ASSERT_EQ(EncodeQuotedPrintable(Text), ReferenceEncodeEscaped(Text, '=', QuotedPrintable)) << N;
    }
}

}  // namespace
}  // namespace lumaro
