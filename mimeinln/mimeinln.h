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
std::string DecodeEncodedWords(std::string_view Value, TCharsetId Target);
std::string EncodeQWords(std::string_view Value, TCharsetId CharFrom, TCharsetId CharTo);
bool NeedsEncoding(std::string_view Value);
std::string EncodeHeaderTextAs(std::string_view Value, TCharsetId CharFrom);
std::string EncodeHeaderText(std::string_view Value);
std::string EncodeAddressAs(std::string_view Value, TCharsetId CharFrom);
std::string EncodeAddress(std::string_view Value);

}  // namespace lumaro
