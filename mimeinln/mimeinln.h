// RFC 2047 encoded words in header texts: decoding into a chosen charset, and
// encoding texts and addresses as Q encoded words in the best-fitting charset.
// Pure functions; malformed input passes through unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "velchar/velchar.h"

namespace lumaro {

// The charsets among which the encoder chooses, tried in ordinal order.
extern const TCharsetSet EncodedWordCandidates;

// Position (1-based) of the '?' of the "?=" that closes the word whose "=?" is at
// Start, or 0.
size_t FindEncodedWordEnd(std::string_view Value, size_t Start);
// Every well-formed word decoded into Target. Adjacent words (only blanks between
// them) of one charset and encoding are decoded together, their bytes joined, as
// mail readers do: a character split between two words comes out whole.
std::string DecodeEncodedWords(std::string_view Value, TCharsetId Target);

// A run of adjacent encoded words that decode: where it stands in the text, its
// text in the target charset, and whether that text lost nothing on the way (every
// character has a place in the target, and the words' bytes were well formed).
struct TEncodedRun {
    size_t Begin = 0;  // 0-based, at the "=?" of its first word
    size_t End = 0;    // behind the "?=" of its last word
    std::string Text;
    bool Whole = true;
};

// The runs of a text one after another, for callers that decide run by run what to
// write in a word's place. A word that does not decode ends a run and belongs to
// none; the words of a run are decoded as DecodeEncodedWords decodes them.
class TEncodedRunReader {
public:
    TEncodedRunReader(std::string_view Value, TCharsetId Target) : Value(Value), Target(Target) {}
    bool Next(TEncodedRun& Run);

private:
    std::string_view Value;
    TCharsetId Target;
    size_t Rest = 0;
};
std::string EncodeQWords(std::string_view Value, TCharsetId CharFrom, TCharsetId CharTo);
bool NeedsEncoding(std::string_view Value);
std::string EncodeHeaderTextAs(std::string_view Value, TCharsetId CharFrom);
std::string EncodeHeaderText(std::string_view Value);
// EncodeHeaderTextAs appended to Out, for a caller that builds a header line: the
// text is taken over and let go of once converted, so that a long text is not
// held in three forms at once.
void AppendHeaderText(std::string& Out, std::string&& Value, TCharsetId CharFrom);
std::string EncodeAddressAs(std::string_view Value, TCharsetId CharFrom);
std::string EncodeAddress(std::string_view Value);
// One mailbox as EncodeAddressAs writes it, from its display name (text in
// CharFrom) and its address: the address alone when the name is empty.
std::string EncodeMailboxAs(std::string_view Name, std::string_view Address, TCharsetId CharFrom);

// --- structured header values ------------------------------------------------------
// These decode encoded words only where a mail reader finds text (display names,
// comments, parameter values), never where it finds structure, and write each run
// of words so that a reader finds, after decoding, the same addresses or the same
// parameters as before. A run whose text the target cannot hold whole stays as it
// was written. A value whose structure readers may read in different ways (an
// unclosed quote, a backslash outside quotes) is given back as it was written.

// A To or CC value, everything outside the runs kept byte for byte. A run in a
// display name is quoted when its text holds a special (a text that is one quoted
// string already stands as it is); inside a quoted string its quotes and
// backslashes are escaped; inside a comment its parentheses, quotes and backslashes
// are, and a comma, which some readers count as a list separator wherever it
// stands, keeps the run as written. Addresses are never decoded.
std::string DecodeAddressList(std::string_view Value, TCharsetId Target);
// A From value, each mailbox written again by EncodeMailboxAs: its display name
// decoded into CharFrom and encoded again, its address as written, its comments
// decoded and encoded again behind it, groups kept. A value with an entry that is
// no mailbox is given back as it was written.
std::string RecodeMailboxList(std::string_view Value, TCharsetId CharFrom);
// A Content-Type or Content-Disposition line: runs in quoted parameter values
// decoded where their text holds no quote or backslash; the media type, the names,
// unquoted values and every run that cannot stand are kept as written.
std::string DecodeParameterValues(std::string_view Line, TCharsetId Target);

}  // namespace lumaro
