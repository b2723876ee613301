// The own UTF-7 codec, plain ("+", base64 with "/") and modified ("&", base64 with
// ","). A run that does not decode to whole 16-bit units is kept as the characters
// it was written with, so that nothing of a damaged text is lost.
#include <array>

#include "velchar/velchar.h"
#include "velcode/velcode.h"

namespace lumaro {
namespace {

struct TUtf7Form {
    char Shift;
    std::array<bool, 256> InRun;  // the 64 base64 letters; "=" ends a run like any other byte
};

constexpr TUtf7Form MakeForm(char Shift, std::string_view Letters) {
    TUtf7Form F{Shift, {}};
    for (char C : Letters) F.InRun[static_cast<uint8_t>(C)] = true;
    return F;
}

constexpr TUtf7Form PlainForm =
    MakeForm('+', "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
constexpr TUtf7Form ModifiedForm =
    MakeForm('&', "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,");

const TUtf7Form& FormOf(bool Modified) { return Modified ? ModifiedForm : PlainForm; }

void AppendAsciiUnit(std::string& Out, char C) {
    Out += '\0';
    Out += C;
}

void AppendRun(std::string& Out, std::string_view Run, bool Modified, char Shift) {
    const std::string Decoded = Modified ? DecodeBase64Mod(Run) : DecodeBase64(Run);
    if (Decoded.size() % 2 == 0) {
        Out += Decoded;
        return;
    }
    AppendAsciiUnit(Out, Shift);
    for (char C : Run) AppendAsciiUnit(Out, C);
}

bool IsAsciiUnit(const uint8_t* U) { return U[0] == 0 && U[1] < 0x80; }

}  // namespace

std::string DecodeUtf7Units(std::string_view Text, bool Modified) {
    const TUtf7Form& Form = FormOf(Modified);
    std::string Out;
    Out.reserve(Text.size() * 2);
    size_t I = 0;
    while (I < Text.size()) {
        const char C = Text[I++];
        if (C != Form.Shift) {
            AppendAsciiUnit(Out, C);
            continue;
        }
        const size_t Start = I;
        while (I < Text.size() && Form.InRun[static_cast<uint8_t>(Text[I])]) ++I;
        const std::string_view Run = Text.substr(Start, I - Start);
        if (I < Text.size() && Text[I] == '-') ++I;
        if (Run.empty())
            AppendAsciiUnit(Out, Form.Shift);
        else
            AppendRun(Out, Run, Modified, Form.Shift);
    }
    return Out;
}

std::string EncodeUtf7Units(std::string_view Units, bool Modified) {
    const char Shift = FormOf(Modified).Shift;
    const size_t Count = Units.size() / 2;
    const uint8_t* P = reinterpret_cast<const uint8_t*>(Units.data());
    std::string Out;
    Out.reserve(Units.size() * 2);
    size_t K = 0;
    while (K < Count) {
        if (IsAsciiUnit(P + 2 * K)) {
            const char C = static_cast<char>(P[2 * K + 1]);
            Out += C;
            if (C == Shift) Out += '-';
            ++K;
            continue;
        }
        size_t End = K + 1;
        while (End < Count && !IsAsciiUnit(P + 2 * End)) ++End;
        const std::string_view Run = Units.substr(2 * K, 2 * (End - K));
        const std::string Letters = Modified ? EncodeBase64Mod(Run) : EncodeBase64(Run);
        Out += Shift;
        Out.append(Letters, 0, Letters.find('='));
        Out += '-';
        K = End;
    }
    return Out;
}

}  // namespace lumaro
