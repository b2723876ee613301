// Encoded words in structured header values: address lists and content lines. The
// structure is read from the value as written, and only the text a reader finds
// inside it (display names, comments, parameter values) is decoded, each run of
// words written so that it keeps its place.
#include <algorithm>
#include <utility>
#include <vector>

#include "mimeinln/mimeinln.h"
#include "velutil/velutil.h"

namespace lumaro {
namespace {

using TKind = TAddressPieceKind;

// Decoded text may carry line breaks and NUL bytes; written raw into a header they
// would start a header line of the sender's choosing.
void ReplaceLineBreaks(std::string& Text) {
    for (char& C : Text)
        if (C == '\r' || C == '\n' || C == '\0') C = ' ';
}

bool HoldsAnyOf(std::string_view Text, std::string_view Bytes) {
    return Text.find_first_of(Bytes) != std::string_view::npos;
}

bool IsControlByte(char C) { return static_cast<unsigned char>(C) < 0x20 || C == 0x7F; }

bool HoldsControlBytes(std::string_view Text) { return std::any_of(Text.begin(), Text.end(), IsControlByte); }

// Text with the given bytes escaped by a backslash.
std::string Escaped(std::string_view Text, std::string_view Bytes) {
    std::string Out;
    Out.reserve(Text.size() + Text.size() / 8);
    for (const char C : Text) {
        if (Bytes.find(C) != std::string_view::npos) Out += '\\';
        Out += C;
    }
    return Out;
}

// What a run's decoded text is written as at one kind of place: false keeps the run
// as it was written.
using TPlaceRule = bool (*)(std::string& Text);

// Writes Stretch with each of its runs replaced as Rule says; runs the target
// cannot hold whole stay as written.
void RewriteRuns(std::string_view Stretch, TCharsetId Target, TPlaceRule Rule, std::string& Out) {
    TEncodedRunReader Runs(Stretch, Target);
    TEncodedRun Run;
    size_t Rest = 0;
    while (Runs.Next(Run)) {
        Out.append(Stretch.substr(Rest, Run.Begin - Rest));
        if (Run.Whole && Rule(Run.Text)) Out += Run.Text;
        else Out.append(Stretch.substr(Run.Begin, Run.End - Run.Begin));
        Rest = Run.End;
    }
    Out.append(Stretch.substr(Rest));
}

// The inside of a quoted string or comment: its escapes (and a comment's nested
// parentheses) are copied as they stand and the plain stretches between them
// rewritten, so that no run begins behind a backslash that would escape its text.
void RewriteDelimitedContent(std::string_view Content, bool Comment, TCharsetId Target, TPlaceRule Rule,
                             std::string& Out) {
    size_t Start = 0;
    for (size_t I = 0; I < Content.size(); ++I) {
        const char C = Content[I];
        const bool Escape = C == '\\';
        if (!Escape && !(Comment && (C == '(' || C == ')'))) continue;
        RewriteRuns(Content.substr(Start, I - Start), Target, Rule, Out);
        const size_t Kept = Escape ? std::min<size_t>(2, Content.size() - I) : 1;
        Out.append(Content.substr(I, Kept));
        I += Kept - 1;
        Start = I + 1;
    }
    RewriteRuns(Content.substr(Start), Target, Rule, Out);
}

// --- address lists -------------------------------------------------------------------

bool IsOneQuotedString(std::string_view Text) {
    const std::string_view Trimmed = TrimView(Text);
    if (Trimmed.empty() || Trimmed.front() != '"') return false;
    const TAddressPiece Piece = AddressPieceAt(Trimmed, 0);
    return !Piece.Doubtful && Piece.End == Trimmed.size();
}

// A display name is words: a special or a control byte in it would start another
// piece of structure, so such a text is quoted, and so is one that begins with a
// dot, which some readers cannot take as the start of a name. A text that is one
// quoted string already is the sender's own quoting, written inside the words
// (Emacs does so).
bool DisplayNameRule(std::string& Text) {
    ReplaceLineBreaks(Text);
    const bool Plain = !HoldsAnyOf(Text, "()<>[]:;@\\,\"") && !HoldsControlBytes(Text) &&
                       !TrimView(Text).starts_with('.');
    if (!Plain && !IsOneQuotedString(Text)) Text = "\"" + Escaped(Text, "\"\\") + "\"";
    return true;
}

bool QuotedStringRule(std::string& Text) {
    ReplaceLineBreaks(Text);
    Text = Escaped(Text, "\"\\");
    return true;
}

bool CommentRule(std::string& Text) {
    ReplaceLineBreaks(Text);
    if (HoldsAnyOf(Text, ",")) return false;
    Text = Escaped(Text, "()\\\"");
    return true;
}

std::string_view Inside(std::string_view Value, const TAddressPiece& Piece) {
    return Value.substr(Piece.Begin + 1, Piece.End - Piece.Begin - 2);
}

// The inside of a quoted string or comment as a reader gives it, without escapes.
void AppendUnescaped(std::string_view Content, std::string& Out) {
    for (size_t I = 0; I < Content.size(); ++I) {
        if (Content[I] == '\\' && I + 1 < Content.size()) ++I;
        Out += Content[I];
    }
}

bool IsPhraseStretchPiece(std::string_view Value, const TAddressPiece& Piece) {
    return Piece.Kind == TKind::Atom || Piece.Kind == TKind::Blank ||
           (Piece.Kind == TKind::Special && Value[Piece.Begin] == '.');
}

// Whether Text, written as it is, is nothing but the words of a display name.
bool IsPlainPhrase(std::string_view Text) {
    for (size_t At = 0; At < Text.size();) {
        const TAddressPiece Piece = AddressPieceAt(Text, At);
        if (!IsPhraseStretchPiece(Text, Piece) && !(Piece.Kind == TKind::QuotedString && !Piece.Doubtful)) return false;
        At = Piece.End;
    }
    return !TrimView(Text).starts_with('.') &&
           std::none_of(Text.begin(), Text.end(), [](char C) { return C != '\t' && IsControlByte(C); });
}

// Some senders encode a whole quoted display name with its quotes written raw inside
// the words (s-nail does): a word that spans those quotes cannot be decoded piece by
// piece. Decoded as one text the name is written when it is a plain display name
// again, which keeps its place as any display name does.
bool RewriteNameAcrossQuotes(std::string_view Name, TCharsetId Target, std::string& Out) {
    if (Name.find('"') == std::string_view::npos) return false;
    TEncodedRunReader Runs(Name, Target);
    TEncodedRun Run;
    std::string Text;
    size_t Rest = 0;
    bool Spans = false;
    while (Runs.Next(Run)) {
        if (!Run.Whole) return false;
        Spans = Spans || Name.substr(Run.Begin, Run.End - Run.Begin).find('"') != std::string_view::npos;
        Text.append(Name.substr(Rest, Run.Begin - Rest)).append(Run.Text);
        Rest = Run.End;
    }
    Text.append(Name.substr(Rest));
    ReplaceLineBreaks(Text);
    if (!Spans || !IsPlainPhrase(Text)) return false;
    Out += Text;
    return true;
}

// One entry of a To or CC value: comments anywhere, and the words of its display
// name (or group name) have their runs rewritten; everything else is copied.
void RewriteEntry(std::string_view Value, const TAddressEntry& Entry, TCharsetId Target, std::string& Out) {
    const auto InName = [&Entry](const TAddressPiece& Piece) {
        return Piece.Begin >= Entry.NameBegin && Piece.End <= Entry.NameEnd;
    };
    for (size_t At = Entry.Begin; At < Entry.End;) {
        if (At == Entry.NameBegin && Entry.NameEnd > At &&
            RewriteNameAcrossQuotes(Value.substr(At, Entry.NameEnd - At), Target, Out)) {
            At = Entry.NameEnd;
            continue;
        }
        TAddressPiece Piece = AddressPieceAt(Value, At);
        if (Piece.Kind == TKind::Comment) {
            Out += '(';
            RewriteDelimitedContent(Inside(Value, Piece), true, Target, CommentRule, Out);
            Out += ')';
        } else if (InName(Piece) && Piece.Kind == TKind::QuotedString) {
            Out += '"';
            RewriteDelimitedContent(Inside(Value, Piece), false, Target, QuotedStringRule, Out);
            Out += '"';
        } else if (InName(Piece) && IsPhraseStretchPiece(Value, Piece)) {
            // Atoms, dots and blanks in a row: a run of words may span them.
            size_t End = Piece.End;
            while (End < Entry.NameEnd) {
                const TAddressPiece Next = AddressPieceAt(Value, End);
                if (!IsPhraseStretchPiece(Value, Next)) break;
                End = Next.End;
            }
            RewriteRuns(Value.substr(At, End - At), Target, DisplayNameRule, Out);
            Piece.End = End;
        } else {
            Out.append(Value.substr(Piece.Begin, Piece.End - Piece.Begin));
        }
        At = Piece.End;
    }
}

// The text of a display name as a reader gives it: quoted strings without their
// quotes and escapes, comments left out, the words decoded. Decoded line breaks
// become blanks, which encoded again no reader can take for a line of its own.
std::string PhraseText(std::string_view Value, size_t Begin, size_t End, TCharsetId Target) {
    std::string Raw;
    for (size_t At = Begin; At < End;) {
        const TAddressPiece Piece = AddressPieceAt(Value, At);
        if (Piece.Kind == TKind::QuotedString)
            AppendUnescaped(Inside(Value, Piece), Raw);
        else if (Piece.Kind != TKind::Comment)
            Raw.append(Value.substr(Piece.Begin, Piece.End - Piece.Begin));
        At = Piece.End;
    }
    std::string Text = DecodeEncodedWords(Raw, Target);
    ReplaceLineBreaks(Text);
    return Trim(Text);
}

std::string CommentText(std::string_view Content, TCharsetId Target) {
    std::string Raw;
    AppendUnescaped(Content, Raw);
    std::string Text = DecodeEncodedWords(Raw, Target);
    ReplaceLineBreaks(Text);
    return Text;
}

// The comments of an entry, each decoded and encoded again in parentheses behind
// the mailbox, where they stay comments.
void AppendComments(std::string_view Value, const TAddressEntry& Entry, TCharsetId CharFrom, std::string& Out) {
    for (size_t At = Entry.Begin; At < Entry.End;) {
        const TAddressPiece Piece = AddressPieceAt(Value, At);
        if (Piece.Kind == TKind::Comment)
            Out.append(" (").append(EncodeHeaderTextAs(CommentText(Inside(Value, Piece), CharFrom), CharFrom)).append(")");
        At = Piece.End;
    }
}

void AppendMailbox(std::string_view Value, const TAddressEntry& Entry, TCharsetId CharFrom, std::string& Out) {
    const std::string Name = PhraseText(Value, Entry.NameBegin, Entry.NameEnd, CharFrom);
    const std::string_view Address = Value.substr(Entry.AddressBegin, Entry.AddressEnd - Entry.AddressBegin);
    // An address without a domain (or an empty one) needs its brackets to be read
    // as an address at all.
    if (Name.empty() && Entry.Angle && Address.find('@') == std::string_view::npos)
        Out.append("<").append(Address).append(">");
    else
        Out += EncodeMailboxAs(Name, Address, CharFrom);
    AppendComments(Value, Entry, CharFrom, Out);
}

// Whether a word standing where an address or a separator stands would be
// structure to a reader that decodes it there.
bool DecodesIntoStructure(std::string_view Word) {
    const std::string Text = DecodeEncodedWords(Word, TCharsetId::UTF_8);
    return HoldsAnyOf(Text, "()<>[]:;@\\,\"") || HoldsControlBytes(Text);
}

// Readers that decode words before they read the list (Python's current email
// package does, in places) take a word for one piece of text wherever it stands:
// a word that spans a separator, quote or bracket of the list as written, or one
// outside display names and comments whose text holds structure, gives them
// another list than readers that read first, and any change near it may give them
// yet another. Such a list stays as written. A word inside a display name is a
// display name to both, and one inside a comment a comment.
bool WordsStayInTheirPlaces(std::string_view Value) {
    std::vector<std::pair<size_t, size_t>> Names;
    TAddressListReader Reader(Value);
    TAddressEntry Entry;
    while (Reader.Next(Entry))
        if (Entry.NameEnd > Entry.NameBegin) Names.emplace_back(Entry.NameBegin, Entry.NameEnd);
    size_t Name = 0;
    TAddressPiece Piece{TKind::Blank, 0, 0};
    for (size_t Open = Value.find("=?"); Open != std::string_view::npos;) {
        // The word's '=' is at the 0-based index of its closing '?', 1-based.
        const size_t Close = FindEncodedWordEnd(Value, Open + 1);
        if (Close == 0) break;
        const size_t End = Close + 1;
        while (Piece.End <= Open) Piece = AddressPieceAt(Value, Piece.End);
        while (Name < Names.size() && Names[Name].second <= Open) ++Name;
        const bool InName = Name < Names.size() && Names[Name].first <= Open && End <= Names[Name].second;
        const bool InComment = Piece.Kind == TKind::Comment && End <= Piece.End;
        if (!InName && !InComment && (End > Piece.End || DecodesIntoStructure(Value.substr(Open, End - Open))))
            return false;
        Open = Value.find("=?", End);
    }
    return true;
}

bool HoldsOnlyMailboxesAndGroups(std::string_view Value) {
    TAddressListReader Reader(Value);
    TAddressEntry Entry;
    while (Reader.Next(Entry))
        if (Entry.Kind == TAddressEntryKind::Empty || Entry.Kind == TAddressEntryKind::Unclear) return false;
    return true;
}

// --- content lines -------------------------------------------------------------------

// Inside quotes anything but a quote or a backslash stands as it is: our own
// parameter reader knows no escapes, mail readers do, so an escaped quote would be
// read in two ways.
bool QuotedValueRule(std::string& Text) {
    ReplaceLineBreaks(Text);
    return !HoldsAnyOf(Text, "\"\\");
}

// Readers agree on where the parameters of a line begin and end when its field
// name ends in a colon before them (a decoded colon would otherwise become the
// end of the name), no backslash stands in it (escaped quotes are read in two
// ways), every quote is closed, and no comment stands outside quotes (some readers
// skip comments, others do not).
bool ParameterLineIsClear(std::string_view Line) {
    const size_t Colon = Line.find(':');
    if (Colon == std::string_view::npos || HoldsAnyOf(Line.substr(0, Colon), ";\"")) return false;
    if (HoldsAnyOf(Line, "\\")) return false;
    bool Quoted = false;
    for (const char C : Line) {
        if (C == '"') Quoted = !Quoted;
        else if (C == '(' && !Quoted) return false;
    }
    return !Quoted;
}

// One parameter ("name=value" between two semicolons), its value's runs rewritten.
void RewriteParameter(std::string_view Item, TCharsetId Target, std::string& Out) {
    const size_t Equals = Item.find('=');
    if (Equals == std::string_view::npos || HoldsAnyOf(Item.substr(0, Equals), "\"")) {
        Out.append(Item);
        return;
    }
    size_t Start = Equals + 1;
    while (Start < Item.size() && (Item[Start] == ' ' || Item[Start] == '\t')) ++Start;
    Out.append(Item.substr(0, Start));
    const std::string_view Value = Item.substr(Start);
    // Outside quotes an encoded word is no token at all ('?' and '=' are specials):
    // some readers drop such a parameter and would find it once decoded, so only
    // quoted values are decoded.
    const size_t Close = Value.empty() || Value.front() != '"' ? std::string_view::npos : Value.find('"', 1);
    if (Close == std::string_view::npos) {
        Out.append(Value);
        return;
    }
    Out += '"';
    RewriteRuns(Value.substr(1, Close - 1), Target, QuotedValueRule, Out);
    Out.append(Value.substr(Close));
}

}  // namespace

std::string DecodeAddressList(std::string_view Value, TCharsetId Target) {
    if (!AddressListIsClear(Value) || !WordsStayInTheirPlaces(Value)) return std::string(Value);
    std::string Out;
    Out.reserve(Value.size());
    TAddressListReader Reader(Value);
    TAddressEntry Entry;
    size_t Rest = 0;
    while (Reader.Next(Entry)) {
        Out.append(Value.substr(Rest, Entry.Begin - Rest));
        RewriteEntry(Value, Entry, Target, Out);
        Rest = Entry.End;
    }
    Out.append(Value.substr(Rest));
    return Out;
}

std::string RecodeMailboxList(std::string_view Value, TCharsetId CharFrom) {
    if (!HoldsOnlyMailboxesAndGroups(Value) || !WordsStayInTheirPlaces(Value)) return std::string(Value);
    std::string Out;
    TAddressListReader Reader(Value);
    TAddressEntry Entry;
    bool GroupOpened = false;
    while (Reader.Next(Entry)) {
        if (Entry.Kind == TAddressEntryKind::GroupEnd) {
            Out += ';';
            GroupOpened = false;
            continue;
        }
        // A group's first member follows its colon after a blank, every other
        // entry its predecessor after a comma.
        if (GroupOpened) Out += ' ';
        else if (!Out.empty()) Out += ", ";
        GroupOpened = false;
        if (Entry.Kind == TAddressEntryKind::GroupStart) {
            Out += EncodeHeaderTextAs(PhraseText(Value, Entry.NameBegin, Entry.NameEnd, CharFrom), CharFrom);
            Out += ':';
            GroupOpened = true;
        } else {
            AppendMailbox(Value, Entry, CharFrom, Out);
        }
    }
    return Out;
}

std::string DecodeParameterValues(std::string_view Line, TCharsetId Target) {
    if (!ParameterLineIsClear(Line)) return std::string(Line);
    std::string Out;
    Out.reserve(Line.size());
    bool Quoted = false, First = true;
    size_t Start = 0;
    for (size_t I = 0; I <= Line.size(); ++I) {
        if (I < Line.size() && (Line[I] != ';' || Quoted)) {
            Quoted = Quoted != (Line[I] == '"');
            continue;
        }
        // The first item is the field name and the media or disposition type.
        const std::string_view Item = Line.substr(Start, I - Start);
        if (First) Out.append(Item);
        else RewriteParameter(Item, Target, Out);
        if (I < Line.size()) Out += ';';
        First = false;
        Start = I + 1;
    }
    return Out;
}

}  // namespace lumaro
