// The tree operations: splitting a part's lines into a tree of sub-parts, joining
// the tree back into lines with folded headers, and walking it. Each works through
// an explicit list of pending parts, so that the depth of a message never becomes
// the depth of the call stack.
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

struct TPendingSplit {
    TMimePart* Part;
    TLineSpan Lines;
};

void AppendLines(const TLineSpan& Lines, size_t Begin, size_t End, TLineList& Target) {
    Lines.AddTo(Target, Begin, End);
}

size_t ReadHeader(TMimePart& Part, const TLineSpan& Lines) {
    size_t i = 0;
    while (i < Lines.Count) {
        std::string Logical = mimepart_detail::UnfoldHeaderLineAt(Lines, i);
        if (Logical.empty()) break;
        Part.HeaderLines.Add(std::move(Logical));
    }
    return i;
}

// Lines up to the first delimiter line, which is consumed and stored nowhere.
size_t ReadPreamble(TMimePart& Part, const TLineSpan& Lines, size_t i, std::string_view Delimiter) {
    size_t Begin = i;
    while (i < Lines.Count) {
        if (TrimRightView(Lines[i]) == Delimiter) {
            AppendLines(Lines, Begin, i, Part.Preamble);
            return i + 1;
        }
        ++i;
    }
    AppendLines(Lines, Begin, i, Part.Preamble);
    return i;
}

// Cuts the sub-parts off at their delimiter lines and queues each for its own split.
// A later delimiter is recognised as a prefix of its line, the closing one only
// when the line equals it exactly: a closing delimiter followed by blanks starts
// one more part.
size_t ReadSubParts(TMimePart& Part, const TLineSpan& Lines, size_t i, TCharsetId SystemOutput,
                    std::vector<TPendingSplit>& Pending) {
    const std::string Delimiter = "--" + Part.Boundary;
    const std::string Closing = Delimiter + "--";
    for (;;) {
        TMimePart& Sub = Part.AddChild(SystemOutput);
        const size_t Begin = i;
        size_t End = Lines.Count;
        std::string_view Last;
        while (i < Lines.Count) {
            Last = Lines[i];
            ++i;
            // Every delimiter begins with "--": most lines are ruled out by their first byte.
            if (!Last.empty() && Last.front() == '-' && StartsWith(Last, Delimiter)) {
                End = i - 1;
                break;
            }
        }
        Pending.push_back({&Sub, Lines.Slice(Begin, End, false)});
        if (i >= Lines.Count || Last == Closing) return i;
    }
}

// Sub-parts come fresh from construction; only the part the split began with is cleared.
void SplitOne(TMimePart& Part, const TLineSpan& Lines, TCharsetId SystemOutput,
              std::vector<TPendingSplit>& Pending) {
    size_t i = ReadHeader(Part, Lines);
    Part.ParseHeader();
    if (Part.PrimaryKind == TMimePrimaryKind::PrimaryMultipart && Part.CanDescend()) {
        i = ReadPreamble(Part, Lines, i, "--" + Part.Boundary);
        i = ReadSubParts(Part, Lines, i, SystemOutput, Pending);
    } else if (Part.PrimaryKind == TMimePrimaryKind::PrimaryMessage && Part.CanDescend()) {
        TMimePart& Encapsulated = Part.AddChild(SystemOutput);
        while (i < Lines.Count && TrimRightView(Lines[i]).empty()) ++i;
        Pending.push_back({&Encapsulated, Lines.Slice(i, Lines.Count, true)});
        return;
    }
    // What follows a multipart's closing delimiter, a leaf's body, or every line of
    // a part that may not descend, delimiters and encapsulated message included.
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
    const TCharsetId SystemOutput = OutputCharsetId;
    std::vector<TPendingSplit> Pending{{this, TLineSpan{&Lines, 0, Lines.Count(), false}}};
    while (!Pending.empty()) {
        const TPendingSplit Next = Pending.back();
        Pending.pop_back();
        SplitOne(*Next.Part, Next.Lines, SystemOutput, Pending);
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

// Hands each piece of the folded line to Each as a stretch of the line itself, so
// that writing a long header line needs no copy of it.
template <typename TEach>
void ForEachFoldedPiece(std::string_view Line, int32_t MaxLineLength, TEach Each) {
    std::string_view Rest = Line;
    do {
        size_t Cut = Rest.size();
        if (static_cast<int64_t>(Rest.size()) >= MaxLineLength) {
            Cut = SeparatorCut(Rest, MaxLineLength);
            if (Cut == 0) Cut = CutAtNextBlank(Rest);
        }
        Each(Rest.substr(0, Cut));
        Rest.remove_prefix(Cut);
    } while (!Rest.empty());
}

}  // namespace

std::vector<std::string> FoldHeaderLine(std::string_view Line, int32_t MaxLineLength) {
    std::vector<std::string> Pieces;
    ForEachFoldedPiece(Line, MaxLineLength, [&Pieces](std::string_view Piece) { Pieces.emplace_back(Piece); });
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
        ForEachFoldedPiece(Line, Part.MaxLineLength, [&Sink](std::string_view Piece) { Sink.Line(Piece); });
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

// Writes a part's header, and a multipart's preamble, when the walk enters it.
template <typename TSink>
void OpenPart(TMimePart& Part, TSink& Sink, bool Multipart) {
    WriteHeader(Part, Sink);
    if (Multipart) AppendAll(Part.Preamble, Sink);
}

// The line order of a joined tree, written to Sink. Sub-parts' Lines are emptied, as
// a join leaves only the part it was called on holding the text.
template <typename TSink>
void JoinTree(TMimePart& Root, TSink& Sink) {
    OpenPart(Root, Sink, Root.CanDescend() && Root.PrimaryKind == TMimePrimaryKind::PrimaryMultipart);
    std::vector<TJoinFrame> Stack{{&Root, 0}};
    while (!Stack.empty()) {
        TJoinFrame& Frame = Stack.back();
        TMimePart& Part = *Frame.Part;
        const bool Descends = Part.CanDescend();
        TMimePart* Sub = nullptr;
        if (Descends && Part.PrimaryKind == TMimePrimaryKind::PrimaryMultipart) {
            if (Frame.NextChild < Part.Children.size()) {
                Sink.Line("--" + Part.Boundary);
                Sub = Part.Children[Frame.NextChild++].get();
            } else {
                Sink.Line("--" + Part.Boundary + "--");
                AppendAll(Part.BodyLines, Sink);
            }
        } else if (Descends && Part.PrimaryKind == TMimePrimaryKind::PrimaryMessage) {
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
        OpenPart(*Sub, Sink, Sub->CanDescend() && Sub->PrimaryKind == TMimePrimaryKind::PrimaryMultipart);
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
