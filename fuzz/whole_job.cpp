// Arbitrary message bytes through the rules and the part tree as one job takes
// them, without files: the message the milter hands the module comes from the
// network, so this is where it is tried hardest. The first byte picks the charset
// to convert into. An unchanged message is left as it was; a changed one starts
// with the tag line, ends every line with CR LF, and splits again into as many
// parts as the tree it was joined from; its header lines keep their addresses and
// parameters.
#include <cstddef>
#include <algorithm>
#include <cstdint>
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

size_t PartCount(const TMimePart& Root) {
    size_t Count = 0;
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        ++Count;
        for (int32_t I = 0; I < Part->ChildCount(); ++I) Pending.push_back(Part->Child(I));
    }
    return Count;
}

// Whether a delimiter of one multipart could be taken for one of another: a
// delimiter is recognised at the start of a line, so a boundary that repeats or
// begins with another one (in any part, parsed or not) makes the split depend on
// more than the tree. Nobody can split such a message back into the same tree;
// its count of parts is not compared.
bool HasAmbiguousBoundaries(std::string_view Message) {
    std::string Lower(Message);
    for (char& C : Lower)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    std::vector<std::string> Boundaries;
    for (size_t At = Lower.find("boundary"); At != std::string::npos; At = Lower.find("boundary", At + 1)) {
        size_t From = Lower.find_first_not_of(" \t=\"", At + 8);
        if (From == std::string::npos) From = Lower.size();
        const size_t To = std::min(Lower.find_first_of(" \t\r\n;\"", From), Lower.size());
        Boundaries.push_back(std::string(Message.substr(From, To - From)));
    }
    for (size_t A = 0; A < Boundaries.size(); ++A)
        for (size_t B = 0; B < Boundaries.size(); ++B)
            if (A != B && Boundaries[B].rfind(Boundaries[A], 0) == 0) return true;
    return false;
}

// A multipart without a boundary parameter delimits its parts with "--", which
// begins every other delimiter: beside another multipart it is ambiguous too.
bool HasMultipartWithoutBoundary(const TMimePart& Root) {
    size_t Multiparts = 0;
    bool Unbounded = false;
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        if (Part->PrimaryKind == TMimePrimaryKind::PrimaryMultipart) {
            ++Multiparts;
            Unbounded = Unbounded || Part->Boundary.empty();
        }
        for (int32_t I = 0; I < Part->ChildCount(); ++I) Pending.push_back(Part->Child(I));
    }
    return Unbounded && Multiparts > 1;
}

// Trimming counts every byte up to the space as a blank: a folded header piece of
// NULs or other control bytes is an empty line once an encapsulated message's
// lines are right-trimmed, and that line ends the header there.
bool HoldsControlBytes(std::string_view Message) {
    for (const char C : Message)
        if (static_cast<unsigned char>(C) < 0x20 && C != '\t' && C != '\r' && C != '\n') return true;
    return false;
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

void SetUpJob(uint8_t Choice) {
    static const char* const Charsets[] = {"ISO-8859-2", "WINDOWS-1250", "KOI8-R", "ISO-8859-1"};
    SetActivitySink([](const std::string&) {});
    JobState.TagName = "X-LUMARO";
    JobState.HostName = "fuzz.example.cz";
    JobState.JobId = "FUZZ";
    JobState.SenderAddress = "fuzz@example.cz";
    JobState.CharSet = Charsets[Choice % 4];
    JobState.Changed = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    SetUpJob(Data[0]);
    const std::string_view Message(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    TMyStringList Lines;
    Lines.SetText(Message);
    const std::unique_ptr<TMimePart> Changed = NormalizedMessage(std::move(Lines));
    fuzz::Require((Changed != nullptr) == JobState.Changed, "a tree comes back exactly when a rule changed it");
    if (!Changed) return 0;

    const std::string Joined = Changed->JoinedText();
    fuzz::Require(Joined.rfind(TagLine() + "\r\n", 0) == 0, "a changed message starts with the tag line");
    fuzz::Require(EveryLineEndsWithCrLf(Joined), "every line of a changed message ends with CR LF");
    CheckHeaderStructure(Message, *Changed);

    if (HoldsControlBytes(Message) || HasAmbiguousBoundaries(Message) || HasMultipartWithoutBoundary(*Changed))
        return 0;
    TMimePart Again;
    Again.MaxDepth = MimeMaxDepth;
    TMyStringList Written;
    Written.SetText(Joined);
    Again.Lines = std::move(Written);
    Again.SplitParts();
    fuzz::Require(PartCount(Again) == PartCount(*Changed), "the written message splits into as many parts");
    return 0;
}
