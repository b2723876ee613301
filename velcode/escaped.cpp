// Escape coding in the manner of quoted-printable: an escape character followed by
// two hex digits stands for one byte, and an escape before a line break is a soft
// break that joins two lines.
//
// Both directions are hot: a body is decoded in runs of some 64 KB and encoded a
// line at a time, and in text beyond ASCII an escape comes every few bytes, too
// often and too irregularly for a branch per byte to be foreseen. The decoder
// flags the escapes of 64 bytes at once with word operations, copies the plain
// bytes between two escapes 16 at a time and handles only the escapes one by one;
// the windows sit at fixed offsets, so that finding the next escape never waits
// for the one before it to be decoded. The encoder looks every byte up in a table
// of what it becomes and skips the lookups for 16 plain bytes at a time.
#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "velcode/velcode.h"
#if defined(__SSE2__)
#include "velcode/escaped_sse2.h"
#endif

namespace lumaro {
namespace {

// Worst case of the encoder: every byte becomes an escape and two hex digits.
constexpr size_t EscapedLengthMax(size_t N) { return 3 * N; }

// The value of a hex digit of either case, or -1.
constexpr int HexDigitValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

// Escapes come every few bytes in text beyond ASCII: one load per digit beats three
// range tests. The first byte after an escape is looked up in one table, the second
// in another, and the two are added (modulo 2^32): a hex digit pair gives its byte,
// 0 to 0xFF; CR LF, the soft line break of a wrapped body, gives SoftBreakCode; any
// other pair a value above that. One test then lets both through.
constexpr uint32_t SoftBreakCode = 0x100;

struct TEscapeDigitTables {
    uint32_t First[256];
    uint32_t Second[256];
    constexpr TEscapeDigitTables() : First(), Second() {
        for (int B = 0; B < 256; ++B) {
            const int V = HexDigitValue(static_cast<char>(B));
            First[B] = V < 0 ? 0x2000 : static_cast<uint32_t>(V << 4);
            Second[B] = V < 0 ? 0x1000 : static_cast<uint32_t>(V);
        }
        // CR first and LF second sum to SoftBreakCode. LF's value is just below 2^32:
        // after a digit it stays far above 0x100, after any other first byte the sum
        // wraps around to 0x1000 or more. CR before anything but LF stays at 0x1000
        // or more.
        First[static_cast<uint8_t>('\r')] = 0x1000;
        Second[static_cast<uint8_t>('\n')] = SoftBreakCode - 0x1000;
    }
};
constexpr TEscapeDigitTables EscapeDigitTables;

inline uint32_t EscapedPairCode(char D, char E) {
    return EscapeDigitTables.First[static_cast<uint8_t>(D)] + EscapeDigitTables.Second[static_cast<uint8_t>(E)];
}

constexpr char UpperHexDigits[] = "0123456789ABCDEF";

// --- flagging many bytes at once ------------------------------------------------
//
// Two kernels give one flag bit per byte: bit I for byte I of the text.
// EscapeFlags64 flags the bytes equal to an escape character among 64, and
// QuotedPrintableFlags16 the bytes of QuotedPrintableSpecials among 16. Word
// arithmetic does it eight bytes at a time on every build; on x86, where the
// processor has SSE2, a compare and a mask extraction do it 16 bytes at a time.
// Which one runs is chosen once for each text (WithKernels), so that the same
// tests run over both on any x86 machine. Loads go through memcpy, so that no
// pointer is cast.

constexpr size_t BlockBytes = 16;
constexpr size_t WindowBytes = 64;

using TWord = uint64_t;

constexpr size_t WordBytes = sizeof(TWord);

constexpr TWord EveryByte(uint8_t B) { return 0x0101010101010101ull * B; }
constexpr TWord HighBits = EveryByte(0x80);
constexpr TWord LowBits = EveryByte(0x7F);

// Byte I of the text lands in bits 8I to 8I+7 on every machine.
inline TWord LoadWord(const char* P) {
    TWord W;
    std::memcpy(&W, P, sizeof W);
    if constexpr (std::endian::native == std::endian::big) {
        TWord Swapped = 0;
        for (size_t I = 0; I < WordBytes; ++I) Swapped = Swapped << 8 | (W >> (8 * I) & 0xFF);
        W = Swapped;
    }
    return W;
}

// The high bit of every byte of W that is zero. No carry crosses from one byte into
// the next, so every byte is judged on its own, not only the first zero one.
constexpr TWord ZeroBytes(TWord W) { return ~(((W & LowBits) + LowBits) | W) & HighBits; }

// Byte flags (high bits, as ZeroBytes gives them) gathered into the low eight bits:
// bit I for byte I. The product moves flag I to bit 56 + I and carries nothing.
constexpr uint32_t GatherFlags(TWord Flags) {
    return static_cast<uint32_t>(((Flags >> 7) * 0x0102040810204080ull) >> 56);
}

// Every byte with its high bit set, and among the others those below 0x20, 0x7F and
// '='. The sums stay inside their byte because the high bits are cleared first.
constexpr TWord QuotedPrintableWordFlags(TWord W) {
    const TWord Low = W & LowBits;
    const TWord Control = ~(Low + EveryByte(0x80 - 0x20)) & HighBits;
    const TWord Delete = (Low + EveryByte(0x01)) & HighBits;
    return (W & HighBits) | Control | Delete | ZeroBytes(W ^ EveryByte('='));
}

struct TWordKernels {
    static uint64_t EscapeFlags64(const char* P, char EscChar) {
        const TWord Escapes = EveryByte(static_cast<uint8_t>(EscChar));
        uint64_t Flags = 0;
        for (size_t I = 0; I < WindowBytes / WordBytes; ++I)
            Flags |= uint64_t{GatherFlags(ZeroBytes(LoadWord(P + I * WordBytes) ^ Escapes))} << (I * WordBytes);
        return Flags;
    }
    static uint32_t QuotedPrintableFlags16(const char* P) {
        return GatherFlags(QuotedPrintableWordFlags(LoadWord(P))) |
               GatherFlags(QuotedPrintableWordFlags(LoadWord(P + WordBytes))) << 8;
    }
};

#if defined(__SSE2__)
// Every x86-64 build: the compares are inlined.
struct TSse2Kernels {
    static uint64_t EscapeFlags64(const char* P, char EscChar) { return velcode_detail::EscapeFlags64Sse2(P, EscChar); }
    static uint32_t QuotedPrintableFlags16(const char* P) { return velcode_detail::QuotedPrintableFlags16Sse2(P); }
};
#elif defined(__i386__)
}  // namespace

// In the unit compiled with SSE2, which a 32-bit x86 build calls only where the
// processor has it.
namespace velcode_detail {
uint64_t EscapeFlags64WithSse2(const char* P, char EscChar);
uint32_t QuotedPrintableFlags16WithSse2(const char* P);
}  // namespace velcode_detail

namespace {

struct TSse2Kernels {
    static uint64_t EscapeFlags64(const char* P, char EscChar) { return velcode_detail::EscapeFlags64WithSse2(P, EscChar); }
    static uint32_t QuotedPrintableFlags16(const char* P) { return velcode_detail::QuotedPrintableFlags16WithSse2(P); }
};
#endif

// Runs Operation with the kernels of this processor: the one choice of this unit,
// made once for each text rather than for every block of it.
template <typename TOperation>
auto WithKernels(TOperation Operation) {
#if defined(__SSE2__) || defined(__i386__)
    if (platform::ProcessorHasSse2()) return Operation(TSse2Kernels{});
#endif
    return Operation(TWordKernels{});
}

// Byte I of the value goes to P[I] on every machine.
inline void StoreLittle32(char* P, uint32_t V) {
    if constexpr (std::endian::native == std::endian::big)
        V = (V >> 24) | (V >> 8 & 0xFF00) | (V << 8 & 0xFF0000) | (V << 24);
    std::memcpy(P, &V, sizeof V);
}

// Plain bytes are copied a block at a time; the caller keeps room for the excess.
inline void CopyBlock(char* To, const char* From) { std::memcpy(To, From, BlockBytes); }

// --- decoding -------------------------------------------------------------------

// An escape that no hex digit pair follows; At has at least two bytes after it
// before End. A soft line break (a lone CR or LF, or a pair of them in either
// order) vanishes; an invalid escape stays as it was written, the escape character
// kept and the bytes after it read again as ordinary bytes. Gives the next byte to
// read.
const char* DecodeOtherEscape(const char* At, const char* End, char EscChar, char*& Out) {
    const char D = At[1];
    if (D == '\n' || D == '\r') {
        const char Partner = D == '\n' ? '\r' : '\n';
        return End - At > 2 && At[2] == Partner ? At + 3 : At + 2;
    }
    *Out++ = EscChar;
    return At + 1;
}

// Decodes the escape at At, which has two bytes after it, and gives the next byte
// to read. The soft break that ends every line of a wrapped body takes the common
// path too: its code is written but not kept.
inline const char* DecodeWholeEscape(const char* At, const char* End, char EscChar, char*& Out) {
    const uint32_t Code = EscapedPairCode(At[1], At[2]);
    if (Code <= SoftBreakCode) [[likely]] {
        *Out = static_cast<char>(Code);
        Out += (Code ^ SoftBreakCode) >> 8;
        return At + 3;
    }
    return DecodeOtherEscape(At, End, EscChar, Out);
}

// Copies Count plain bytes a block at a time; up to a block more is written and
// read. Runs between escapes are seldom longer than a block.
inline void CopyRun(char* To, const char* From, size_t Count) {
    CopyBlock(To, From);
    for (size_t K = BlockBytes; K < Count; K += BlockBytes) CopyBlock(To + K, From + K);
}

// Whether an escape character can be read as a digit or a line break of the escape
// before it: then an escape flag may stand on a byte that is already consumed.
bool EscapesCanOverlap(char EscChar) {
    return HexDigitValue(EscChar) >= 0 || EscChar == '\n' || EscChar == '\r';
}

// Decodes the windows of [In, End) that have a window of text after them and gives
// the next byte to read. Every read stays inside the text: an escape at the end of
// a window reads three bytes on, and a copy of plain bytes reads less than a block
// past its last byte. Output never outruns input, so the writes stay inside room
// of the text's length. The loop over a window's escapes ends once per window; the
// windows are long so that this branch, the one that is hard to foresee, is seldom
// met.
template <bool CanOverlap, typename TKernels>
const char* DecodeWindows(const char* In, const char* End, char EscChar, char*& Out) {
    const char* X = In;  // next byte to read; may lie up to two bytes into the next window
    if (static_cast<size_t>(End - In) < 2 * WindowBytes) return X;
    // The flags of the next window are ready before the loop over this one's ends,
    // so that the work after its hard-to-foresee end does not wait for them.
    uint64_t NextFlags = TKernels::EscapeFlags64(In, EscChar);
    for (const char* Window = In; static_cast<size_t>(End - Window) >= 2 * WindowBytes; Window += WindowBytes) {
        uint64_t Flags = NextFlags;
        NextFlags = TKernels::EscapeFlags64(Window + WindowBytes, EscChar);
        for (; Flags != 0; Flags &= Flags - 1) {
            const char* At = Window + static_cast<unsigned>(std::countr_zero(Flags));
            if (CanOverlap && At < X) continue;  // a digit or break byte of the escape before
            CopyRun(Out, X, static_cast<size_t>(At - X));
            Out += At - X;
            X = DecodeWholeEscape(At, End, EscChar, Out);
        }
        const char* WindowEnd = Window + WindowBytes;
        if (X < WindowEnd) {
            CopyRun(Out, X, static_cast<size_t>(WindowEnd - X));
            Out += WindowEnd - X;
            X = WindowEnd;
        }
    }
    return X;
}

}  // namespace

void AppendDecodedEscaped(std::string_view Value, char EscChar, std::string& R) {
    const size_t Start = R.size();
    R.resize(Start + Value.size());  // decoding never lengthens
    char* const OutStart = R.data() + Start;
    char* Out = OutStart;
    const char* const End = Value.data() + Value.size();
    const bool CanOverlap = EscapesCanOverlap(EscChar);
    const char* X = WithKernels([&](auto Kernels) {
        using TKernels = decltype(Kernels);
        return CanOverlap ? DecodeWindows<true, TKernels>(Value.data(), End, EscChar, Out)
                          : DecodeWindows<false, TKernels>(Value.data(), End, EscChar, Out);
    });
    while (X < End) {
        if (*X != EscChar) {
            *Out++ = *X++;
        } else if (End - X < 3) {
            // An escape with fewer than two bytes after it is the cut-off end of a
            // text: it and its lone follower are dropped.
            break;
        } else {
            X = DecodeWholeEscape(X, End, EscChar, Out);
        }
    }
    R.resize(Start + static_cast<size_t>(Out - OutStart));
}

std::string DecodeEscaped(std::string_view Value, char EscChar) {
    std::string R;
    AppendDecodedEscaped(Value, EscChar, R);
    return R;
}

std::string DecodeQuotedPrintable(std::string_view Value) { return DecodeEscaped(Value, '='); }

// --- encoding -------------------------------------------------------------------

namespace {

// Built once: quoted-printable text is encoded a line at a time.
const TByteSet& QuotedPrintableSpecials() {
    static const TByteSet Specials = ControlAndHighBytes + TByteSet().Include('=');
    return Specials;
}

const TByteSet& StrictSpecials() {
    static const TByteSet Specials = ControlAndHighBytes + HeaderSpecials;
    return Specials;
}

// What each byte becomes: up to three bytes in the low three bytes of a code (the
// first lowest) and their count in the top byte. One load per byte and no branch:
// in text beyond ASCII whether a byte needs escaping changes every few bytes.
struct TEscapeCodes {
    uint32_t Code[256];
    TEscapeCodes(char EscChar, const TByteSet& Specials) : Code() {
        for (unsigned B = 0; B < 256; ++B) {
            Code[B] = Specials.Contains(static_cast<uint8_t>(B))
                          ? uint32_t{3} << 24 | uint32_t{static_cast<uint8_t>(UpperHexDigits[B & 15])} << 16 |
                                uint32_t{static_cast<uint8_t>(UpperHexDigits[B >> 4])} << 8 |
                                static_cast<uint8_t>(EscChar)
                          : uint32_t{1} << 24 | B;
        }
    }
};

// The sets in everyday use get their codes once.
const TEscapeCodes& QuotedPrintableCodes() {
    static const TEscapeCodes Codes('=', QuotedPrintableSpecials());
    return Codes;
}

const TEscapeCodes& StrictQuotedPrintableCodes() {
    static const TEscapeCodes Codes('=', StrictSpecials());
    return Codes;
}

// Writes the codes of Count bytes from In on at Out and gives the end of what it
// wrote. Every code is stored whole: Out needs three bytes of room past the
// encoding. (Pointers go in and out by value: a char store through a pointer held
// in memory would make the compiler reload the pointer after every byte.)
inline char* EncodeBytes(const char* In, size_t Count, const TEscapeCodes& Codes, char* Out) {
    for (size_t I = 0; I < Count; ++I) {
        const uint32_t Code = Codes.Code[static_cast<uint8_t>(In[I])];
        StoreLittle32(Out, Code);
        Out += Code >> 24;
    }
    return Out;
}

// Quoted-printable text is mostly plain: a block without a byte to escape is copied
// whole.
template <typename TKernels>
char* EncodeQuotedPrintableBlocks(std::string_view Value, char* Out) {
    const TEscapeCodes& Codes = QuotedPrintableCodes();
    const char* In = Value.data();
    size_t X = 0;
    for (; Value.size() - X >= BlockBytes; X += BlockBytes) {
        if (TKernels::QuotedPrintableFlags16(In + X) == 0) {
            CopyBlock(Out, In + X);
            Out += BlockBytes;
        } else {
            Out = EncodeBytes(In + X, BlockBytes, Codes, Out);
        }
    }
    return EncodeBytes(In + X, Value.size() - X, Codes, Out);
}

// Appends what Encode (Value, output start) writes, the end of which it gives. The
// output gets room for the longest encoding and a block more.
template <typename TEncode>
void AppendEncoded(std::string_view Value, std::string& R, TEncode Encode) {
    const size_t Start = R.size();
    R.resize(Start + EscapedLengthMax(Value.size()) + BlockBytes);
    char* const Out = R.data() + Start;
    R.resize(Start + static_cast<size_t>(Encode(Value, Out) - Out));
}

void AppendWithCodes(std::string_view Value, const TEscapeCodes& Codes, std::string& R) {
    AppendEncoded(Value, R, [&Codes](std::string_view V, char* Out) { return EncodeBytes(V.data(), V.size(), Codes, Out); });
}

}  // namespace

void AppendEncodedEscaped(std::string_view Value, char EscChar, const TByteSet& Specials, std::string& R) {
    if (EscChar == '=' && Specials.Bits == QuotedPrintableSpecials().Bits) return AppendQuotedPrintable(Value, R);
    if (EscChar == '=' && Specials.Bits == StrictSpecials().Bits) return AppendWithCodes(Value, StrictQuotedPrintableCodes(), R);
    AppendWithCodes(Value, TEscapeCodes(EscChar, Specials), R);
}

std::string EncodeEscaped(std::string_view Value, char EscChar, const TByteSet& Specials) {
    std::string R;
    AppendEncodedEscaped(Value, EscChar, Specials, R);
    return R;
}

std::string EncodeQuotedPrintable(std::string_view Value) {
    std::string R;
    AppendQuotedPrintable(Value, R);
    return R;
}

void AppendQuotedPrintable(std::string_view Value, std::string& Out) {
    AppendEncoded(Value, Out, [](std::string_view V, char* To) {
        return WithKernels([&](auto Kernels) { return EncodeQuotedPrintableBlocks<decltype(Kernels)>(V, To); });
    });
}

std::string EncodeQuotedPrintableStrict(std::string_view Value) {
    std::string R;
    AppendWithCodes(Value, StrictQuotedPrintableCodes(), R);
    return R;
}

}  // namespace lumaro
