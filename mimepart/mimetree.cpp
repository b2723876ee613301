// The tree operations: splitting a part's lines into a tree of sub-parts, joining
// the tree back into lines with folded headers, and walking it. Each works through
// an explicit list of pending parts, so that the depth of a message never becomes
// the depth of the call stack.
#include <algorithm>
#include <deque>
#include <utility>

#include "mimepart/linespan.h"
#include "mimepart/mimepart.h"

namespace lumaro {

using mimepart_detail::TLineSpan;
using mimepart_detail::TrimRightView;

bool TMimePart::CanDescend() const { return MaxDepth == -1 || Depth < MaxDepth; }


void TMimePart::SkipBlankLines(size_t& Index) const {
    while (Index < Lines.Count() && TrimRightView(Lines.Get(Index)).empty()) ++Index;
}

// --- splitting ------------------------------------------------------------------

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

bool OnlyBlanks(std::string_view Text) {
    for (const char C : Text)
        if (!IsBlank(C)) return false;
    return true;
}

enum class TDelimiter { None, Delimiter, Closing };

// "--" and the boundary, followed by nothing but blanks, is a delimiter line;
// with "--" after the boundary it is the closing one. A line that only begins so
// is content: readers that hold to RFC 2046 take it for content too.
TDelimiter DelimiterOf(std::string_view Line, std::string_view Boundary) {
    // Every delimiter begins with "--": most lines are ruled out by their first byte.
    if (Line.size() < Boundary.size() + 2 || Line[0] != '-' || Line[1] != '-' ||
        Line.substr(2, Boundary.size()) != Boundary)
        return TDelimiter::None;
    std::string_view Rest = Line.substr(Boundary.size() + 2);
    if (OnlyBlanks(Rest)) return TDelimiter::Delimiter;
    if (Rest.substr(0, 2) == "--" && OnlyBlanks(Rest.substr(2))) return TDelimiter::Closing;
    return TDelimiter::None;
}

// The boundaries of the multiparts around a part, nearest first.
struct TEnclosing {
    std::string_view Boundary;
    const TEnclosing* Outer;
};

struct TPendingSplit {
    TMimePart* Part;
    TLineSpan Lines;
    const TEnclosing* Enclosing;
};

// What one split shares across its parts: the charset every new part gets, the
// parts still to split, what is left of the limits, and the boundaries of the
// multiparts split so far (a deque, so that they stay where they are).
struct TSplitState {
    TCharsetId SystemOutput;
    std::vector<TPendingSplit> Pending;
    size_t PartsLeft;
    size_t HeaderItemsLeft;
    std::deque<TEnclosing> Enclosures;
};

size_t LimitOf(int32_t Max) { return Max < 0 ? SIZE_MAX : static_cast<size_t>(Max); }

void AppendLines(const TLineSpan& Lines, size_t Begin, size_t End, TLineList& Target) {
    Lines.AddTo(Target, Begin, End);
}

bool ReadsAsEnclosingDelimiter(std::string_view Line, const TEnclosing* Enclosing) {
    for (; Enclosing != nullptr && Line.size() >= 2 && Line[0] == '-'; Enclosing = Enclosing->Outer)
        if (DelimiterOf(Line, Enclosing->Boundary) != TDelimiter::None) return true;
    return false;
}

// A Content-Type or Content-Disposition line holds at most one parameter more
// than it has semicolons; its parameters are kept one by one.
size_t ItemsOf(std::string_view Logical) {
    const auto Names = [Logical](std::string_view Name) {
        return Logical.size() >= Name.size() && SameText(Logical.substr(0, Name.size()), Name);
    };
    if (!Names("Content-Type:") && !Names("Content-Disposition:")) return 1;
    return 2 + static_cast<size_t>(std::count(Logical.begin(), Logical.end(), ';'));
}

// Reads the header into HeaderLines and moves i past it. The header is dropped
// whole (false) when it has more items than are left, or when a line would read
// otherwise once written back: a line that reads, right-trimmed as header lines
// are, as a delimiter of a multipart around the part ("--b" and a control byte)
// would cut that multipart there; and the last line of a part's lines is never
// taken for a continuation line, but followed by the empty line that ends a
// written header it would be. A header line of one line shares the text it was
// read from instead of a copy, however long it is.
bool ReadHeader(TMimePart& Part, const TLineSpan& Lines, size_t& i, size_t& HeaderItemsLeft,
                const TEnclosing* Enclosing) {
    while (i < Lines.Count) {
        const size_t Start = i;
        const bool Unfolds = mimepart_detail::TakesContinuation(Lines, i);
        const std::string Unfolded = Unfolds ? mimepart_detail::UnfoldHeaderLineAt(Lines, i) : std::string();
        const std::string_view Logical = Unfolds ? std::string_view(Unfolded) : TrimRightView(Lines.HeaderLine(i++));
        if (Logical.empty()) return true;
        const size_t Items = ItemsOf(Logical);
        const bool ReadsBack = Items <= HeaderItemsLeft && !ReadsAsEnclosingDelimiter(Logical, Enclosing) &&
                               (i < Lines.Count || Part.HeaderLines.Count() == 0 ||
                                !mimepart_detail::StartsContinuation(Logical.front()));
        if (!ReadsBack) {
            Part.HeaderLines.Clear();
            return false;
        }
        HeaderItemsLeft -= Items;
        if (Unfolds) {
            Part.HeaderLines.Add(Logical);
        } else {
            Lines.AddTo(Part.HeaderLines, Start, i);
            Part.HeaderLines.TrimLinesRight(Part.HeaderLines.Count() - 1);
        }
    }
    return true;
}

// The first delimiter line from i on, or Lines.Count.
size_t FindDelimiter(const TLineSpan& Lines, size_t i, std::string_view Boundary, TDelimiter& Found) {
    for (; i < Lines.Count; ++i) {
        Found = DelimiterOf(Lines[i], Boundary);
        if (Found != TDelimiter::None) return i;
    }
    Found = TDelimiter::None;
    return i;
}

struct TSubPartLines {
    size_t Begin;
    size_t End;
};

// Splits a multipart after its header at i: the preamble, the sub-parts between
// its delimiter lines (queued for their own split), and after the closing
// delimiter the epilogue. A missing closing delimiter ends the last sub-part at the
// end. Gives false, and changes nothing, when no sub-part begins (no boundary, no
// delimiter line, or a closing one first) or the sub-parts would pass the limit.
bool SplitMultipart(TMimePart& Part, const TLineSpan& Lines, size_t i, const TEnclosing* Enclosing,
                    TSplitState& State) {
    const std::string_view Boundary = Part.Boundary;
    if (Boundary.empty()) return false;
    TDelimiter Found;
    const size_t First = FindDelimiter(Lines, i, Boundary, Found);
    if (Found != TDelimiter::Delimiter) return false;
    std::vector<TSubPartLines> SubParts;
    size_t At = First + 1;
    do {
        if (SubParts.size() == State.PartsLeft) return false;
        const size_t Begin = At;
        At = FindDelimiter(Lines, At, Boundary, Found);
        SubParts.push_back({Begin, At});
        if (At < Lines.Count) ++At;
    } while (Found == TDelimiter::Delimiter);
    State.PartsLeft -= SubParts.size();
    AppendLines(Lines, i, First, Part.Preamble);
    AppendLines(Lines, At, Lines.Count, Part.BodyLines);
    Part.Children.reserve(SubParts.size());
    for (size_t k = 0; k < SubParts.size(); ++k) Part.AddChild(State.SystemOutput);
    // Queued last first, so that parts are split, and the limits spent, in the
    // order they stand in the message.
    const TEnclosing* Inside = &State.Enclosures.emplace_back(TEnclosing{Boundary, Enclosing});
    for (size_t k = SubParts.size(); k-- > 0;)
        State.Pending.push_back(
            {Part.Children[k].get(), Lines.Slice(SubParts[k].Begin, SubParts[k].End, false), Inside});
    return true;
}

// Splits an encapsulated message after its header at i. One that does not begin
// right there, but after blank lines, is left as read: a reader that holds to
// RFC 2046 takes the first blank line for the end of an empty header, and what
// follows for a body of text, not for a message to be changed.
bool SplitMessage(TMimePart& Part, const TLineSpan& Lines, size_t i, const TEnclosing* Enclosing,
                  TSplitState& State) {
    if (i == Lines.Count || TrimRightView(Lines[i]).empty() || State.PartsLeft == 0) return false;
    --State.PartsLeft;
    TMimePart& Encapsulated = Part.AddChild(State.SystemOutput);
    State.Pending.push_back({&Encapsulated, Lines.Slice(i, Lines.Count, true), Enclosing});
    return true;
}

bool SplitSubParts(TMimePart& Part, const TLineSpan& Lines, size_t i, const TEnclosing* Enclosing,
                   TSplitState& State) {
    if (!Part.CanDescend()) return false;
    if (Part.PrimaryKind == TMimePrimaryKind::PrimaryMultipart) return SplitMultipart(Part, Lines, i, Enclosing, State);
    if (Part.PrimaryKind == TMimePrimaryKind::PrimaryMessage) return SplitMessage(Part, Lines, i, Enclosing, State);
    return false;
}

// Readers differ on which of two Content-Type lines counts (this one takes the last,
// others the first), so a part that has more than one is left as it came: neither
// split nor converted, lest one reader find parts where another found text. A
// blank before the colon still names the field for some readers.
bool HasOneContentType(const TMimePart& Part) {
    size_t Found = 0;
    for (std::string_view Line : Part.HeaderLines) {
        const size_t Colon = Line.find(':');
        if (Colon != std::string_view::npos && SameText(TrimRightView(Line.substr(0, Colon)), "Content-Type"))
            ++Found;
    }
    return Found <= 1;
}

// Sub-parts come fresh from construction; only the part the split began with is cleared.
void SplitOne(TMimePart& Part, const TLineSpan& Lines, const TEnclosing* Enclosing, TSplitState& State) {
    size_t i = 0;
    if (!ReadHeader(Part, Lines, i, State.HeaderItemsLeft, Enclosing)) {
        Part.Kept = TMimeKept::Whole;
        AppendLines(Lines, 0, Lines.Count, Part.BodyLines);
        return;
    }
    Part.ParseHeader();
    const bool Parsed = HasOneContentType(Part);
    if (Parsed && SplitSubParts(Part, Lines, i, Enclosing, State)) return;
    // A leaf's body, or every line after the header of a part that is not split.
    if (!Parsed || Part.PrimaryKind == TMimePrimaryKind::PrimaryMultipart ||
        Part.PrimaryKind == TMimePrimaryKind::PrimaryMessage)
        Part.Kept = TMimeKept::Body;
    AppendLines(Lines, i, Lines.Count, Part.BodyLines);
}

}  // namespace

void TMimePart::SplitParts() { SplitLines(); }

void TMimePart::SplitPartsTakingLines() {
    SplitLines();
    // The tree shares the text of the lines; the list of them is no longer needed.
    Lines.Clear();
}

void TMimePart::SplitLines() {
    Clear();
    // Asking the system's charset is costly, and every part of one split would get
    // the same answer: sub-parts take the one the split began with.
    TSplitState State{OutputCharsetId, {{this, TLineSpan{&Lines, 0, Lines.Count(), false}, nullptr}},
                      LimitOf(MaxParts), LimitOf(MaxHeaderItems), {}};
    while (!State.Pending.empty()) {
        const TPendingSplit Next = State.Pending.back();
        State.Pending.pop_back();
        SplitOne(*Next.Part, Next.Lines, Next.Enclosing, State);
    }
}

// --- header folding ---------------------------------------------------------------

namespace {

// Cut of a piece that has a separator after its first character within the limit:
// "; " is preferred to ", " and ", " to " ", wherever they stand.
size_t SeparatorCut(std::string_view Rest, int32_t Limit) {
    const size_t Semicolon = BackwardPos("; ", Rest, Limit);
    const size_t Blank = BackwardPos(" ", Rest, Limit);
    const size_t Comma = BackwardPos(", ", Rest, Limit);
    if (Semicolon <= 1 && Blank <= 1 && Comma <= 1) return 0;
    if (Semicolon > 0) return Semicolon;
    if (Comma > 0) return Comma;
    return Blank - 1;
}

// Without a separator in reach, the piece runs up to the next blank.
size_t CutAtNextBlank(std::string_view Rest) {
    const size_t Blank = Rest.find(' ', 1);
    return Blank == std::string_view::npos ? Rest.size() : Blank;
}

bool IsBlankOrControl(char C) { return static_cast<unsigned char>(C) <= 0x20; }

// Whether the line may be cut before the blank at At. Reading the pieces again
// trims each continuation line, turns its TABs into blanks and joins it with one
// blank; so the cut must fall between a single blank and bytes that are neither
// blanks nor control bytes on either side, and no TAB may follow it (LastTab is the
// position of the line's last TAB, npos for none). Otherwise a
// run of blanks or a TAB inside a quoted value (a boundary) would change, and
// inside an encapsulated message, whose header lines are read right-trimmed, a
// piece of blanks would end the header.
bool FoldsBefore(std::string_view Line, size_t At, size_t LastTab) {
    return At > 0 && At + 1 < Line.size() && !IsBlankOrControl(Line[At - 1]) && !IsBlankOrControl(Line[At + 1]) &&
           (LastTab == std::string_view::npos || LastTab < At);
}

// Calls Emit with every piece of the folded line, in order; a cut that the pieces
// would not read back from is not made, and its pieces go out as one.
template <typename TEmit>
void FoldPieces(std::string_view Line, int32_t MaxLineLength, TEmit&& Emit) {
    std::string_view Rest = Line;
    size_t PieceBegin = 0;
    const size_t LastTab = Line.rfind('\t');
    do {
        size_t Cut = Rest.size();
        if (static_cast<int64_t>(Rest.size()) >= MaxLineLength) {
            Cut = SeparatorCut(Rest, MaxLineLength);
            if (Cut == 0) Cut = CutAtNextBlank(Rest);
        }
        Rest.remove_prefix(Cut);
        const size_t Next = Line.size() - Rest.size();
        if (!Rest.empty() && FoldsBefore(Line, Next, LastTab)) {
            Emit(Line.substr(PieceBegin, Next - PieceBegin));
            PieceBegin = Next;
        }
    } while (!Rest.empty());
    Emit(Line.substr(PieceBegin));
}

}  // namespace

std::vector<std::string> FoldHeaderLine(std::string_view Line, int32_t MaxLineLength) {
    std::vector<std::string> Pieces;
    FoldPieces(Line, MaxLineLength, [&Pieces](std::string_view Piece) { Pieces.emplace_back(Piece); });
    return Pieces;
}

// --- joining ------------------------------------------------------------------------

namespace {

// Where joining writes its lines: a list of lines, or one text of CR LF ended lines.
// A list sink shares the text of whole lists of lines instead of copying it.
struct TLineSink {
    TLineList& Out;
    void Line(std::string_view Line) { Out.Add(Line); }
    void Lines(const TLineList& Source) { Out.AddStrings(Source); }
};

struct TTextSink {
    std::string& Out;
    void Line(std::string_view Line) { Out.append(Line).append("\r\n"); }
    void Lines(const TLineList& Source) { Source.AppendText(Out); }
};

// Hands the text on in pieces of about PieceBytes. Lines that lie in their list's
// storage with their CR LF already go on from there, without a copy.
struct TStreamSink : TLineList::TJoinedTextSink {
    static constexpr size_t PieceBytes = 256 * 1024;
    const std::function<void(std::string_view)>& Write;
    std::string Buffer;

    explicit TStreamSink(const std::function<void(std::string_view)>& W) : Write(W) {
        Buffer.reserve(PieceBytes + 1024);
    }
    void Line(std::string_view Line) override {
        Buffer.append(Line).append("\r\n");
        if (Buffer.size() >= PieceBytes) Flush();
    }
    void Lines(const TLineList& Source) { Source.HandJoinedText(*this); }
    void Stored(std::string_view Stretch) override {
        // Short stretches are gathered, so that the writes stay large.
        if (Stretch.size() < PieceBytes / 4) {
            Buffer.append(Stretch);
            if (Buffer.size() >= PieceBytes) Flush();
            return;
        }
        Flush();
        Write(Stretch);
    }
    void Flush() {
        if (!Buffer.empty()) Write(Buffer);
        Buffer.clear();
    }
};

// Counts the bytes a text sink would receive, so the text is reserved once.
struct TSizeSink {
    size_t Size = 0;
    void Line(std::string_view Line) { Size += Line.size() + 2; }
    void Lines(const TLineList& Source) { Size += Source.TextSize(); }
};

template <typename TSink>
void AppendAll(const TLineList& Source, TSink& Sink) {
    Sink.Lines(Source);
}

template <typename TSink>
void WriteHeader(const TMimePart& Part, TSink& Sink) {
    for (std::string_view Line : Part.HeaderLines) {
        if (static_cast<int64_t>(Line.size()) < Part.MaxLineLength) {
            Sink.Line(Line);
            continue;
        }
        FoldPieces(Line, Part.MaxLineLength, [&Sink](std::string_view Piece) { Sink.Line(Piece); });
    }
    Sink.Line(std::string_view());
}

// An upper bound of the lines that joining the tree writes, apart from folding.
size_t CountJoinedLines(const TMimePart& Root) {
    size_t Count = 0;
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        Count += Part->HeaderLines.Count() + Part->Preamble.Count() + Part->BodyLines.Count() + 2 +
                 Part->Children.size();
        for (const auto& Sub : Part->Children) Pending.push_back(Sub.get());
    }
    return Count;
}

struct TJoinFrame {
    TMimePart* Part;
    size_t NextChild;
};

// Writes a part's header and preamble when the walk enters it.
template <typename TSink>
void OpenPart(TMimePart& Part, TSink& Sink) {
    if (Part.Kept != TMimeKept::Whole) WriteHeader(Part, Sink);
    AppendAll(Part.Preamble, Sink);
}

bool IsSplit(const TMimePart& Part, TMimePrimaryKind Kind) {
    return Part.PrimaryKind == Kind && Part.Kept == TMimeKept::Nothing && Part.CanDescend();
}

// The line order of a joined tree, written to Sink. Sub-parts' Lines are emptied, as
// a join leaves only the part it was called on holding the text.
template <typename TSink>
void JoinTree(TMimePart& Root, TSink& Sink) {
    OpenPart(Root, Sink);
    std::vector<TJoinFrame> Stack{{&Root, 0}};
    while (!Stack.empty()) {
        TJoinFrame& Frame = Stack.back();
        TMimePart& Part = *Frame.Part;
        TMimePart* Sub = nullptr;
        if (IsSplit(Part, TMimePrimaryKind::PrimaryMultipart)) {
            if (Frame.NextChild < Part.Children.size()) {
                Sink.Line("--" + Part.Boundary);
                Sub = Part.Children[Frame.NextChild++].get();
            } else {
                Sink.Line("--" + Part.Boundary + "--");
                AppendAll(Part.BodyLines, Sink);
            }
        } else if (IsSplit(Part, TMimePrimaryKind::PrimaryMessage)) {
            // Only the first child is the encapsulated message.
            if (Frame.NextChild == 0 && !Part.Children.empty()) {
                Frame.NextChild = 1;
                Sub = Part.Children.front().get();
            }
        } else {
            AppendAll(Part.BodyLines, Sink);
        }
        if (Sub == nullptr) {
            if (&Part != &Root) Part.Lines.Clear();
            Stack.pop_back();
            continue;
        }
        OpenPart(*Sub, Sink);
        Stack.push_back({Sub, 0});
    }
}

}  // namespace

void TMimePart::JoinParts() {
    TLineList Out;
    Out.Reserve(CountJoinedLines(*this));
    TLineSink Sink{Out};
    JoinTree(*this, Sink);
    Lines = std::move(Out);
}

std::string TMimePart::JoinedText() {
    TSizeSink Size;
    JoinTree(*this, Size);
    std::string Text;
    Text.reserve(Size.Size);
    TTextSink Sink{Text};
    JoinTree(*this, Sink);
    return Text;
}

void TMimePart::WriteJoinedText(const std::function<void(std::string_view)>& Write) {
    TStreamSink Sink(Write);
    JoinTree(*this, Sink);
    Sink.Flush();
}

// --- walking ------------------------------------------------------------------------

namespace {

struct TVisitFrame {
    TMimePart* Part;
    int32_t Count;  // the part's children, counted after its own visit
    int32_t Next;
};

}  // namespace

void TMimePart::VisitParts() {
    if (!Visitor) return;
    // Called through a copy: the visitor may replace or clear the part's own.
    const TPartVisitor Call = Visitor;
    Call(*this);
    // Children are counted after the visit, so the visitor may add or remove them.
    std::vector<TVisitFrame> Stack{{this, ChildCount(), 0}};
    while (!Stack.empty()) {
        TVisitFrame& Frame = Stack.back();
        if (Frame.Next >= Frame.Count) {
            Stack.pop_back();
            continue;
        }
        TMimePart* Parent = Frame.Part;
        TMimePart* Sub = Parent->Child(Frame.Next++);
        if (Sub == nullptr) continue;  // a child removed behind the walk's back
        Sub->Visitor = Parent->Visitor;
        if (!Sub->Visitor) continue;
        const TPartVisitor Call = Sub->Visitor;
        Call(*Sub);
        Stack.push_back({Sub, Sub->ChildCount(), 0});
    }
}

}  // namespace lumaro
