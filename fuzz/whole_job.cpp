// Arbitrary message bytes through the rules and the part tree as one job takes
// them, without files: the message the milter hands the module comes from the
// network, so this is where it is tried hardest. The first byte picks the charset
// to convert into. An unchanged message is left as it was; a changed one starts
// with the tag line, ends every line with CR LF, splits again into the parts of
// the tree it was joined from, each with the same lines, and its header lines keep
// their addresses and parameters.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lumaro/lumaro.h"
#include "mimepart/mimepart.h"
#include "mystrlist/mystrlist.h"
#include "velutil/velutil.h"

namespace {

using namespace lumaro;

// What a reader finds of every part, in walk order: its depth, its kind, how it was
// kept, its boundary and sub-parts, and every line of its preamble and body, so
// that a part of anyone's making, a lost delimiter or a changed line shows.
std::string StructureOf(const TMimePart& Root) {
    std::string Found;
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        const bool Multipart = Part->PrimaryKind == TMimePrimaryKind::PrimaryMultipart;
        Found += "part " + std::to_string(Part->Depth) + " kind " + std::to_string(static_cast<int>(Part->PrimaryKind)) +
                 " kept " + std::to_string(static_cast<int>(Part->Kept)) + " sub-parts " +
                 std::to_string(Part->ChildCount()) + " boundary " + (Multipart ? Part->Boundary : "") +
                 "\npreamble\n" + Part->Preamble.GetText() + "body\n" + Part->BodyLines.GetText();
        for (int32_t I = Part->ChildCount(); I-- > 0;) Pending.push_back(Part->Child(I));
    }
    return Found;
}

// The written message read again as the job reads a message; its header holds the
// tag line besides the lines the job read.
std::string StructureReadAgain(const std::string& Joined) {
    TMimePart Again;
    Again.MaxDepth = MimeMaxDepth;
    Again.MaxParts = MimeMaxParts;
    Again.MaxHeaderItems = MimeMaxHeaderItems + 1;
    Again.Lines.SetText(Joined);
    Again.SplitParts();
    return StructureOf(Again);
}

// Whether a part's Content-Type line holds an encoded word: the header rule decodes
// it, and a parameter that decoded text adds or changes (a boundary) changes what
// a reader finds. Such messages are left to a check of the content lines.
bool ContentTypeHoldsEncodedWords(std::string_view Message) {
    TMimePart Root;
    Root.MaxDepth = MimeMaxDepth;
    Root.Lines.SetText(Message);
    Root.SplitParts();
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        for (std::string_view Line : Part->HeaderLines)
            if (Line.size() >= 13 && SameText(Line.substr(0, 13), "content-type:") &&
                Line.find("=?") != std::string_view::npos)
                return true;
        for (int32_t I = 0; I < Part->ChildCount(); ++I) Pending.push_back(Part->Child(I));
    }
    return false;
}

// Where two structures part, shown before a mismatch is reported.
void ShowFirstDifference(const std::string& Expected, const std::string& Found) {
    size_t At = 0;
    while (At < Expected.size() && At < Found.size() && Expected[At] == Found[At]) ++At;
    const size_t From = At > 200 ? At - 200 : 0;
    std::fprintf(stderr, "expected ...%s\nfound ...%s\n", Expected.substr(From, 400).c_str(),
                 Found.substr(From, 400).c_str());
}

bool EveryLineEndsWithCrLf(std::string_view Text) {
    if (Text.size() < 2 || Text.substr(Text.size() - 2) != "\r\n") return false;
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\n' && (I == 0 || Text[I - 1] != '\r')) return false;
        if (Text[I] == '\r' && (I + 1 == Text.size() || Text[I + 1] != '\n')) return false;
    }
    return true;
}

// --- header structure --------------------------------------------------------------
//
// The header rule decodes only text: read with the module's own readers, each
// address line keeps its number of mailboxes and each content line its parameter
// names. A converted part has its content lines rebuilt, which may name the file
// and the charset where the sender did not, and nothing else new.

std::vector<const TMimePart*> PartsInOrder(const TMimePart& Root) {
    std::vector<const TMimePart*> Parts;
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        Parts.push_back(Part);
        for (int32_t I = Part->ChildCount(); I-- > 0;) Pending.push_back(Part->Child(I));
    }
    return Parts;
}

std::string LowerText(std::string_view Text) {
    std::string Lower(Text);
    for (char& C : Lower)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return Lower;
}

// The lines of one kind: address lines by their field name, content lines by the
// prefix the header rule tests.
std::vector<std::string_view> LinesOfKind(const TMimePart& Part, std::string_view Kind, bool Prefix) {
    std::vector<std::string_view> Found;
    for (const std::string_view Line : Part.HeaderLines) {
        const std::string Lower = LowerText(Line.substr(0, std::min(Line.find(':'), Line.size())));
        const std::string_view Name = TrimView(Lower);
        if (Prefix ? Lower.rfind(Kind, 0) == 0 : Name == Kind) Found.push_back(Line);
    }
    return Found;
}

std::string_view ValueOf(std::string_view Line) {
    return Line.substr(std::min(Line.find(':') + 1, Line.size()));
}

std::vector<std::string> ParameterNames(std::string_view Line) {
    std::vector<std::string> Names;
    for (const std::string& Item : WrittenParameterItems(ValueOf(Line)))
        Names.push_back(LowerText(TrimView(std::string_view(Item).substr(0, Item.find('=')))));
    return Names;
}

void CheckAddressLines(const TMimePart& Before, const TMimePart& After) {
    for (const std::string_view Kind : {"from", "to", "cc"}) {
        const auto Old = LinesOfKind(Before, Kind, false), New = LinesOfKind(After, Kind, false);
        fuzz::Require(Old.size() == New.size(), "the header rule keeps every address line");
        for (size_t I = 0; I < Old.size() && I < New.size(); ++I)
            fuzz::Require(MailboxCount(ValueOf(Old[I])) == MailboxCount(ValueOf(New[I])),
                          "an address line keeps its number of mailboxes");
    }
}

void CheckContentLines(const TMimePart& Before, const TMimePart& After) {
    const bool Rebuilt = After.Charset != Before.Charset;
    for (const std::string_view Kind : {"content-type", "content-disposition"}) {
        const auto Old = LinesOfKind(Before, Kind, true), New = LinesOfKind(After, Kind, true);
        if (!Rebuilt) {
            fuzz::Require(Old.size() == New.size(), "the header rule keeps every content line");
            for (size_t I = 0; I < Old.size() && I < New.size(); ++I)
                fuzz::Require(ParameterNames(Old[I]) == ParameterNames(New[I]),
                              "a content line keeps its parameter names");
            continue;
        }
        std::set<std::string> Known{"charset", "name", "filename"};
        for (const std::string_view Line : Old)
            for (std::string& Name : ParameterNames(Line)) Known.insert(std::move(Name));
        for (const std::string_view Line : New)
            for (const std::string& Name : ParameterNames(Line))
                fuzz::Require(Known.count(Name) > 0, "a rebuilt content line gains no parameter");
    }
}

// The message as the job reads it, split before any rule ran.
std::unique_ptr<TMimePart> SplitAsRead(std::string_view Message) {
    auto Root = std::make_unique<TMimePart>();
    TMyStringList Lines;
    Lines.SetText(Message);
    Root->Lines = std::move(Lines);
    Root->MaxDepth = MimeMaxDepth;
    Root->SplitParts();
    return Root;
}

void CheckHeaderStructure(std::string_view Message, const TMimePart& Changed) {
    const std::unique_ptr<TMimePart> Before = SplitAsRead(Message);
    const auto Old = PartsInOrder(*Before), New = PartsInOrder(Changed);
    fuzz::Require(Old.size() == New.size(), "the rules keep the tree");
    for (size_t I = 0; I < Old.size() && I < New.size(); ++I) {
        CheckAddressLines(*Old[I], *New[I]);
        CheckContentLines(*Old[I], *New[I]);
    }
}

void SetUpJob(TJobState& Job, uint8_t Choice) {
    static const char* const Charsets[] = {"ISO-8859-2", "WINDOWS-1250", "KOI8-R", "ISO-8859-1"};
    Job.ActivitySink = [](const std::string&) {};
    Job.TagName = "X-LUMARO";
    Job.HostName = "fuzz.example.cz";
    Job.JobId = "FUZZ";
    Job.SenderAddress = "fuzz@example.cz";
    Job.CharSet = Charsets[Choice % 4];
    Job.Changed = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    TJobState Job;
    SetUpJob(Job, Data[0]);
    const std::string_view Message(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    TMyStringList Lines;
    Lines.SetText(Message);
    const std::unique_ptr<TMimePart> Changed = NormalizedMessage(Job, std::move(Lines));
    fuzz::Require((Changed != nullptr) == Job.Changed, "a tree comes back exactly when a rule changed it");
    if (!Changed) return 0;

    const std::string Joined = Changed->JoinedText();
    fuzz::Require(Joined.rfind(TagLine(Job) + "\r\n", 0) == 0, "a changed message starts with the tag line");
    fuzz::Require(EveryLineEndsWithCrLf(Joined), "every line of a changed message ends with CR LF");
    CheckHeaderStructure(Message, *Changed);

    if (ContentTypeHoldsEncodedWords(Message)) return 0;
    const std::string Expected = StructureOf(*Changed), Found = StructureReadAgain(Joined);
    if (Found != Expected) ShowFirstDifference(Expected, Found);
    fuzz::Require(Found == Expected, "the written message splits again into the same parts with the same lines");
    return 0;
}
