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
std::string EncodeAddressAs(std::string_view Value, TCharsetId CharFrom);
std::string EncodeAddress(std::string_view Value);

}  // namespace lumaro
