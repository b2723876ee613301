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

// An escape and two hex digits of either case give one byte; an escape before CR,
// LF or a pair of them is a soft line break and vanishes; an invalid escape stays
// as written; an escape with fewer than two bytes after it ends the text.
std::string DecodeEscaped(std::string_view Value, char EscChar);
std::string DecodeQuotedPrintable(std::string_view Value);
// DecodeEscaped appending to Out, for callers that decode a long text in runs.
void AppendDecodedEscaped(std::string_view Value, char EscChar, std::string& Out);
// Every byte of Specials becomes EscChar and two upper-case hex digits. No line
// wrapping and no soft breaks: callers cut and wrap.
std::string EncodeEscaped(std::string_view Value, char EscChar, const TByteSet& Specials);
std::string EncodeQuotedPrintable(std::string_view Value);        // escapes control, high and '='
std::string EncodeQuotedPrintableStrict(std::string_view Value);  // also the header specials
// EncodeEscaped and EncodeQuotedPrintable appending to Out, so that a caller that
// encodes line by line reuses one buffer instead of a fresh string per line.
void AppendEncodedEscaped(std::string_view Value, char EscChar, const TByteSet& Specials, std::string& Out);
void AppendQuotedPrintable(std::string_view Value, std::string& Out);
// Reads every position in groups of four; a byte not in Alphabet is digit 0, and the
// 65th character (index 64) or the end of the text ends a group's data.
std::string DecodeByAlphabet(std::string_view Value, std::string_view Alphabet);
// Table gives the digit of each byte from 0x21 on; bytes without a digit below 64
// (blanks, line breaks, padding) are skipped, and decoding goes on after padding.
std::string DecodeByReverseTable(std::string_view Value, std::string_view Table);
// Four characters per started group of three bytes; a digit the alphabet has no
// character for (64 is the padding) is left out.
std::string EncodeByAlphabet(std::string_view Value, std::string_view Alphabet);
std::string DecodeBase64(std::string_view Value);     // skips stray bytes

// DecodeBase64 of a text given in pieces: the pieces decode, one after another
// and then Finish, to what DecodeBase64 gives for their concatenation, without
// the whole text ever being held at once.
class TBase64Decoder {
public:
    void Append(std::string_view Piece, std::string& Out);
    // Writes the bytes of a group that the text left unfinished.
    void Finish(std::string& Out);

private:
    uint32_t Acc = 0;
    unsigned Missing = 4;  // digits still missing in the current group
};
std::string EncodeBase64(std::string_view Value);
std::string DecodeBase64Mod(std::string_view Value);  // stray bytes are digit 0
std::string EncodeBase64Mod(std::string_view Value);
// The data bytes of one encoded line; "begin", "end" (and, for UU, "table") lines
// and lines whose first byte is no length digit give nothing.
std::string DecodeUULine(std::string_view Line);
std::string DecodeXXLine(std::string_view Line);

}  // namespace lumaro
