// Escape coding in the manner of quoted-printable: an escape character followed by
// two hex digits stands for one byte, and an escape before a line break is a soft
// break that joins two lines.
#include "velcode/velcode.h"

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

// Escapes come every few bytes in text beyond ASCII: one load per digit beats
// three range tests.
struct THexTable {
    int8_t Value[256];
    constexpr THexTable() : Value() {
        for (int B = 0; B < 256; ++B) Value[B] = static_cast<int8_t>(HexDigitValue(static_cast<char>(B)));
    }
};
constexpr THexTable HexTable;

inline int HexValue(char C) { return HexTable.Value[static_cast<uint8_t>(C)]; }

constexpr char UpperHexDigits[] = "0123456789ABCDEF";

// Length of the soft line break that starts with D at Value[X]: the break may be
// a lone CR or LF, or a pair of them in either order. 0 when D is no break.
size_t SoftBreakLength(std::string_view Value, size_t X) {
    const char D = Value[X];
    if (D != '\n' && D != '\r') return 0;
    const char Partner = D == '\n' ? '\r' : '\n';
    return X + 1 < Value.size() && Value[X + 1] == Partner ? 2 : 1;
}

}  // namespace

void AppendDecodedEscaped(std::string_view Value, char EscChar, std::string& R) {
    const size_t L = Value.size();
    const size_t Start = R.size();
    R.resize(Start + L);  // decoding never lengthens
    char* Out = R.data();
    size_t O = Start;
    size_t X = 0;  // 0-based index of the next byte to read
    while (X < L) {
        // Escapes come every few bytes in most bodies: a plain loop beats a call
        // that searches for the next one.
        while (X < L && Value[X] != EscChar) Out[O++] = Value[X++];
        if (X >= L) break;
        ++X;  // past the escape character
        // An escape with fewer than two bytes after it is the cut-off end of a text:
        // it and its lone follower are dropped.
        if (L - X < 2) break;
        if (const size_t Break = SoftBreakLength(Value, X)) {
            X += Break;
            continue;
        }
        const int High = HexValue(Value[X]);
        const int Low = HexValue(Value[X + 1]);
        if (High >= 0 && Low >= 0) {
            Out[O++] = static_cast<char>(High * 16 + Low);
            X += 2;
        } else {
            // An invalid escape stays as it was written: the escape character is kept
            // and the bytes after it are read again as ordinary bytes.
            Out[O++] = EscChar;
        }
    }
    R.resize(O);
}

std::string DecodeEscaped(std::string_view Value, char EscChar) {
    std::string R;
    AppendDecodedEscaped(Value, EscChar, R);
    return R;
}

std::string DecodeQuotedPrintable(std::string_view Value) { return DecodeEscaped(Value, '='); }

void AppendEncodedEscaped(std::string_view Value, char EscChar, const TByteSet& Specials, std::string& R) {
    const size_t Start = R.size();
    R.resize(Start + EscapedLengthMax(Value.size()));
    char* Out = R.data();
    size_t O = Start;
    for (const char C : Value) {
        const uint8_t B = static_cast<uint8_t>(C);
        if (Specials.Contains(B)) {
            Out[O] = EscChar;
            Out[O + 1] = UpperHexDigits[B >> 4];
            Out[O + 2] = UpperHexDigits[B & 15];
            O += 3;
        } else {
            Out[O++] = C;
        }
    }
    R.resize(O);
}

std::string EncodeEscaped(std::string_view Value, char EscChar, const TByteSet& Specials) {
    std::string R;
    AppendEncodedEscaped(Value, EscChar, Specials, R);
    return R;
}

namespace {

// Built once: quoted-printable text is encoded a line at a time.
const TByteSet& QuotedPrintableSpecials() {
    static const TByteSet Specials = ControlAndHighBytes + TByteSet().Include('=');
    return Specials;
}

}  // namespace

std::string EncodeQuotedPrintable(std::string_view Value) {
    return EncodeEscaped(Value, '=', QuotedPrintableSpecials());
}

void AppendQuotedPrintable(std::string_view Value, std::string& Out) {
    AppendEncodedEscaped(Value, '=', QuotedPrintableSpecials(), Out);
}

std::string EncodeQuotedPrintableStrict(std::string_view Value) {
    return EncodeEscaped(Value, '=', ControlAndHighBytes + HeaderSpecials);
}

}  // namespace lumaro
