// The constant escape sets and digit alphabets of the transfer codings. All of them
// are constant-initialised, so other units may use them from their own static
// initialisers.
#include "velcode/alphabets.h"
#include "velcode/velcode.h"

namespace lumaro {
namespace {

constexpr TByteSet MakeControlAndHighBytes() {
    TByteSet S;
    S.IncludeRange(0x00, 0x1F);
    S.IncludeRange(0x7F, 0xFF);
    return S;
}

constexpr TByteSet MakeHeaderSpecials() {
    TByteSet S;
    for (char C : std::string_view("\"(),/:;<=>?@[\\]_")) S.Include(static_cast<uint8_t>(C));
    return S;
}

}  // namespace

constinit const TByteSet ControlAndHighBytes = MakeControlAndHighBytes();
constinit const TByteSet HeaderSpecials = MakeHeaderSpecials();

constinit const std::string_view Base64Alphabet = alphabets::Base64;
constinit const std::string_view Base64ModAlphabet = alphabets::Base64Mod;
constinit const std::string_view Base64ReverseTable{alphabets::Base64ReverseBytes.data(),
                                                    alphabets::Base64ReverseBytes.size()};
constinit const std::string_view UUAlphabet = alphabets::UU;
constinit const std::string_view XXAlphabet = alphabets::XX;

}  // namespace lumaro
