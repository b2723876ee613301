// Decoding of encoded words in header texts.
//
// The decoder walks one index over the value: every byte is looked at a bounded
// number of times, whatever the number of words or of stray "=?".

#include <cstring>
#include <optional>

#include "mimeinln/mimeinln.h"
#include "velcode/velcode.h"
#include "velutil/velutil.h"

namespace lumaro {

size_t FindEncodedWordEnd(std::string_view Value, size_t Start) {
    const size_t Length = Value.size();
    // The two '?' behind the charset part and the encoding letter never close a
    // word, so the third '?' followed by '=' is the first that can.
    if (Start > Length || Length < 2) return 0;
    size_t Count = 0;
    // i is 1-based and runs from Start + 2 to Length - 1.
    for (size_t i = Start + 2; i < Length;) {
        const void* Hit = std::memchr(Value.data() + (i - 1), '?', Length - i);
        if (!Hit) return 0;
        i = static_cast<size_t>(static_cast<const char*>(Hit) - Value.data()) + 1;
        ++Count;
        if (Count >= 3 && Value[i] == '=') return i;
        ++i;
    }
    return 0;
}

namespace {

constexpr std::string_view WordOpening = "=?";

std::string UnderscoresToSpaces(std::string_view Text) {
    std::string Out(Text);
    for (char& C : Out)
        if (C == '_') C = ' ';
    return Out;
}

// The decoded bytes of the encoded text, still in the word's charset; nothing for
// an encoding letter other than B or Q.
std::optional<std::string> DecodeWordText(char Letter, std::string_view Text) {
    switch (Letter) {
        case 'B':
        case 'b':
            return DecodeBase64(Text);
        case 'Q':
        case 'q':
            // Underscores go first, so that the escape "=5F" still gives a literal '_'.
            return DecodeQuotedPrintable(UnderscoresToSpaces(Text));
        default:
            return std::nullopt;
    }
}

// Inner is a word without its "=?" and "?=". Nothing when it lacks the shape
// charset '?' letter '?' text, or when its letter is unknown.
std::optional<std::string> DecodeWord(std::string_view Inner, TCharsetId Target) {
    const size_t Mark = Inner.find('?');
    if (Mark == std::string_view::npos || Inner.size() < Mark + 3 || Inner[Mark + 2] != '?')
        return std::nullopt;
    std::optional<std::string> Bytes = DecodeWordText(Inner[Mark + 1], Inner.substr(Mark + 3));
    if (!Bytes) return std::nullopt;
    // A language tag ("UTF-8*en") says nothing about the bytes.
    const TCharsetId Charset = CharsetByName(TextBefore(Inner.substr(0, Mark), "*"));
    return ConvertCharset(*Bytes, Charset, Target);
}

}  // namespace

std::string DecodeEncodedWords(std::string_view Value, TCharsetId Target) {
    std::string Result;
    Result.reserve(Value.size());
    size_t Rest = 0;  // 0-based start of the text not yet copied
    for (size_t Open = Value.find(WordOpening); Open != std::string_view::npos;
         Open = Value.find(WordOpening, Rest)) {
        const size_t Close = FindEncodedWordEnd(Value, Open + 1);
        // Without a closing "?=" behind this "=?" there is none behind any later
        // one either: the rest is copied as it stands.
        if (Close == 0) break;
        // Blanks between two words (or before the first) are folding, not text.
        const std::string_view Lead = Value.substr(Rest, Open - Rest);
        if (!TrimView(Lead).empty()) Result.append(Lead);
        // Close is the 1-based position of the closing '?', so the word's '=' sits
        // at the 0-based index Close.
        const std::string_view Word = Value.substr(Open, Close + 1 - Open);
        const std::optional<std::string> Decoded =
            DecodeWord(Word.substr(2, Word.size() - 4), Target);
        if (Decoded)
            Result.append(*Decoded);
        else
            Result.append(Word);
        Rest = Close + 1;
    }
    Result.append(Value.substr(Rest));
    return Result;
}

}  // namespace lumaro
