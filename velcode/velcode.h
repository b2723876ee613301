// Byte-level codecs of the mail transfer encodings: escape coding in the manner of
// quoted-printable, base64 in the standard and the modified-UTF-7 alphabet, and the
// decoding of single UU and XX lines. Pure functions; none wraps lines.
#pragma once

#include <string>
#include <string_view>

#include "velutil/velutil.h"

namespace lumaro {

extern const TByteSet ControlAndHighBytes;  // 0x00-0x1F, 0x7F-0xFF
extern const TByteSet HeaderSpecials;       // the 16 header specials, '_' included

extern const std::string_view Base64Alphabet;     // 65 characters, '=' last
extern const std::string_view Base64ModAlphabet;  // ',' for '/'
extern const std::string_view Base64ReverseTable; // 96 bytes for the bytes 0x21 to 0x80
extern const std::string_view UUAlphabet;         // 64 characters
extern const std::string_view XXAlphabet;         // 64 characters

std::string DecodeEscaped(std::string_view Value, char EscChar);
std::string DecodeQuotedPrintable(std::string_view Value);
std::string EncodeEscaped(std::string_view Value, char EscChar, const TByteSet& Specials);
std::string EncodeQuotedPrintable(std::string_view Value);
std::string EncodeQuotedPrintableStrict(std::string_view Value);
std::string DecodeByAlphabet(std::string_view Value, std::string_view Alphabet);
std::string DecodeByReverseTable(std::string_view Value, std::string_view Table);
std::string EncodeByAlphabet(std::string_view Value, std::string_view Alphabet);
std::string DecodeBase64(std::string_view Value);
std::string EncodeBase64(std::string_view Value);
std::string DecodeBase64Mod(std::string_view Value);
std::string EncodeBase64Mod(std::string_view Value);
std::string DecodeUULine(std::string_view Line);
std::string DecodeXXLine(std::string_view Line);

}  // namespace lumaro
