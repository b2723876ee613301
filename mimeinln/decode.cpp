// Decoding of encoded words in header texts.
//
// The decoder walks one index over the value: every byte is looked at a bounded
// number of times, whatever the number of words or of stray "=?".

#include <cstring>

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

// Appends the bytes a Q text stands for: underscores are spaces, but only those
// written as such, so the escape "=5F" still gives a literal '_'.
void AppendQText(std::string_view Text, std::string& Out) {
    std::string Spaced(Text);
    for (char& C : Spaced)
        if (C == '_') C = ' ';
    AppendDecodedEscaped(Spaced, '=', Out);
}

// The decoded bytes of one word, still in the word's charset.
struct TWordBytes {
    TCharsetId Charset = TCharsetId::ISO_8859_1;
    bool Base64 = false;
    std::string Bytes;
};

// Inner is a word without its "=?" and "?=". False when it lacks the shape
// charset '?' letter '?' text, or when its letter is neither B nor Q.
bool DecodeWordBytes(std::string_view Inner, TWordBytes& Word) {
    const size_t Mark = Inner.find('?');
    if (Mark == std::string_view::npos || Inner.size() < Mark + 3 || Inner[Mark + 2] != '?') return false;
    const char Letter = Inner[Mark + 1];
    const std::string_view Text = Inner.substr(Mark + 3);
    Word.Bytes.clear();
    if (Letter == 'B' || Letter == 'b') {
        Word.Base64 = true;
        Word.Bytes = DecodeBase64(Text);
    } else if (Letter == 'Q' || Letter == 'q') {
        Word.Base64 = false;
        AppendQText(Text, Word.Bytes);
    } else {
        return false;
    }
    // A language tag ("UTF-8*en") says nothing about the bytes.
    Word.Charset = CharsetByName(TextBefore(Inner.substr(0, Mark), "*"));
    return true;
}

// The words of a text one after another: where each stands, and its bytes when it
// decodes. The walk is one index over the text, so every byte is looked at a
// bounded number of times, whatever the number of words or of stray "=?".
class TWordScanner {
public:
    explicit TWordScanner(std::string_view Value) : Value(Value) {}

    // Begin and End (0-based, End behind the "?=") of the next word, and whether it
    // decodes into Word.
    bool Next(size_t& Begin, size_t& End, bool& Decodes, TWordBytes& Word) {
        const size_t Open = Value.find(WordOpening, Rest);
        if (Open == std::string_view::npos) return false;
        // Without a closing "?=" behind this "=?" there is none behind any later one
        // either.
        const size_t Close = FindEncodedWordEnd(Value, Open + 1);
        if (Close == 0) {
            Rest = Value.size();
            return false;
        }
        // Close is the 1-based position of the closing '?', so the word's '=' sits at
        // the 0-based index Close.
        Begin = Open;
        End = Close + 1;
        Decodes = DecodeWordBytes(Value.substr(Open + 2, End - Open - 4), Word);
        Rest = End;
        return true;
    }

private:
    std::string_view Value;
    size_t Rest = 0;
};

// Adjacent words of one charset and one encoding, their bytes joined, so that a
// character a sender split between two words is converted whole.
class TWordGroup {
public:
    // Adds the word when it continues the group; false when it cannot.
    bool Takes(TWordBytes& Word) {
        if (!Open || Word.Charset != Charset || Word.Base64 != Base64) return false;
        Bytes += Word.Bytes;
        return true;
    }
    void Start(TWordBytes& Word) {
        Open = true;
        Charset = Word.Charset;
        Base64 = Word.Base64;
        Bytes = std::move(Word.Bytes);
    }
    bool Empty() const { return !Open; }
    // The group's text in Target, as the mail reader converts it, and whether every
    // character of it has a place there: converting back gives the same bytes.
    void ConvertInto(TCharsetId Target, std::string& Out, bool* Whole) {
        if (!Open) return;
        if (Whole == nullptr) {
            Out += ConvertCharset(Bytes, Charset, Target);
        } else {
            std::string There;
            *Whole = ConvertsWhole(Bytes, Charset, Target, There) && *Whole;
            Out += There;
        }
        Open = false;
        Bytes.clear();
    }

private:
    bool Open = false;
    TCharsetId Charset = TCharsetId::ISO_8859_1;
    bool Base64 = false;
    std::string Bytes;
};

bool IsBlankText(std::string_view Text) { return TrimView(Text).empty(); }

}  // namespace

std::string DecodeEncodedWords(std::string_view Value, TCharsetId Target) {
    std::string Result;
    Result.reserve(Value.size());
    TWordScanner Words(Value);
    TWordGroup Group;
    TWordBytes Word;
    size_t Rest = 0, Begin = 0, End = 0;
    bool Decodes = false;
    while (Words.Next(Begin, End, Decodes, Word)) {
        // Blanks between two words (or before the first) are folding, not text.
        const std::string_view Lead = Value.substr(Rest, Begin - Rest);
        if (!IsBlankText(Lead)) {
            Group.ConvertInto(Target, Result, nullptr);
            Result.append(Lead);
        }
        if (!Decodes) {
            Group.ConvertInto(Target, Result, nullptr);
            Result.append(Value.substr(Begin, End - Begin));
        } else if (!Group.Takes(Word)) {
            Group.ConvertInto(Target, Result, nullptr);
            Group.Start(Word);
        }
        Rest = End;
    }
    Group.ConvertInto(Target, Result, nullptr);
    Result.append(Value.substr(Rest));
    return Result;
}

// A run ends at a word that does not decode or at text between words; its groups
// are converted one after another.
bool TEncodedRunReader::Next(TEncodedRun& Run) {
    TWordScanner Words(Value.substr(Rest));
    TWordGroup Group;
    TWordBytes Word;
    size_t Begin = 0, End = 0;
    bool Decodes = false, Started = false;
    Run.Text.clear();
    Run.Whole = true;
    for (size_t Scanned = Rest; Words.Next(Begin, End, Decodes, Word);) {
        Begin += Rest;
        End += Rest;
        if (Started && (!Decodes || !IsBlankText(Value.substr(Scanned, Begin - Scanned)))) break;
        Scanned = End;
        if (!Decodes) continue;
        if (!Started) Run.Begin = Begin;
        Started = true;
        Run.End = End;
        if (!Group.Takes(Word)) {
            Group.ConvertInto(Target, Run.Text, &Run.Whole);
            Group.Start(Word);
        }
    }
    Group.ConvertInto(Target, Run.Text, &Run.Whole);
    if (!Started) {
        Rest = Value.size();
        return false;
    }
    Rest = Run.End;
    return true;
}

}  // namespace lumaro
