// The smallest set of header edits between the MTA's header block and the job's.
#include "tools/lumaro_milter/header_edits.h"

#include <algorithm>
#include <cstddef>
#include <map>

#include "velutil/velutil.h"

namespace lumaro::milter {
namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t'; }
bool IsSpace(char C) { return IsBlank(C) || C == '\r' || C == '\n'; }

std::string LowerName(std::string_view Name) {
    std::string Lower(Name);
    for (char& C : Lower) C = LowerByte(C);
    return Lower;
}

std::string_view WithoutLeadingBlanks(std::string_view Text) {
    size_t At = 0;
    while (At < Text.size() && IsBlank(Text[At])) ++At;
    return Text.substr(At);
}

std::string_view WithoutTrailingBlanks(std::string_view Text) {
    size_t End = Text.size();
    while (End > 0 && IsBlank(Text[End - 1])) --End;
    return Text.substr(0, End);
}

// The words of a value with one blank between them.
std::string Words(std::string_view Value) {
    std::string Out;
    Out.reserve(Value.size());
    bool PendingBlank = false;
    for (char C : Value) {
        if (IsSpace(C)) {
            PendingBlank = !Out.empty();
            continue;
        }
        if (PendingBlank) Out += ' ';
        PendingBlank = false;
        Out += C;
    }
    return Out;
}

// Where the fields of each name stand in a block, by lower-cased name.
std::map<std::string, std::vector<size_t>> PositionsByName(const std::vector<THeaderField>& Fields) {
    std::map<std::string, std::vector<size_t>> Positions;
    for (size_t I = 0; I < Fields.size(); ++I) Positions[LowerName(Fields[I].Name)].push_back(I);
    return Positions;
}

void EditsOfName(const std::vector<THeaderField>& Old, const std::vector<size_t>& OldAt,
                 const std::vector<THeaderField>& New, const std::vector<size_t>& NewAt,
                 std::vector<THeaderEdit>& Edits) {
    for (size_t K = OldAt.size(); K-- > 0;) {
        const THeaderField& Was = Old[OldAt[K]];
        const int Index = static_cast<int>(K + 1);
        if (K >= NewAt.size()) {
            Edits.push_back({THeaderEditKind::Delete, Was.Name, Index, {}});
        } else if (!SameValue(Was.Value, New[NewAt[K]].Value)) {
            Edits.push_back({THeaderEditKind::Change, Was.Name, Index, New[NewAt[K]].Value});
        }
    }
}

}  // namespace

bool IsHeaderName(std::string_view Name) {
    if (Name.empty()) return false;
    for (char C : Name) {
        const auto Byte = static_cast<unsigned char>(C);
        if (Byte < 33 || Byte > 126 || C == ':') return false;
    }
    return true;
}

bool StaysOneField(std::string_view Name, std::string_view Value) {
    if (Name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
    for (size_t I = 0; I < Value.size(); ++I) {
        const char C = Value[I];
        if (C == '\0') return false;
        const bool Break = C == '\n' || (C == '\r' && I + 1 < Value.size() && Value[I + 1] == '\n');
        if (C == '\r' && !Break) return false;
        if (!Break) continue;
        if (C == '\r') ++I;
        if (I + 1 >= Value.size() || !IsBlank(Value[I + 1])) return false;
    }
    return true;
}

bool SameValue(std::string_view A, std::string_view B) { return Words(A) == Words(B); }

std::optional<std::vector<THeaderField>> ParseHeaderBlock(std::string_view Block) {
    std::vector<THeaderField> Fields;
    size_t At = 0;
    while (At < Block.size()) {
        size_t End = Block.find("\r\n", At);
        if (End == std::string_view::npos) End = Block.size();
        const std::string_view Line = Block.substr(At, End - At);
        At = End + 2;
        if (Line.empty()) break;
        if (IsBlank(Line.front())) {
            if (Fields.empty()) return std::nullopt;
            // A fold that holds nothing but blanks would be an empty line to the MTA.
            const std::string_view Rest = WithoutLeadingBlanks(Line);
            if (!Rest.empty()) Fields.back().Value.append("\n\t").append(Rest);
            continue;
        }
        const size_t Colon = Line.find(':');
        if (Colon == std::string_view::npos) return std::nullopt;
        Fields.push_back({std::string(WithoutTrailingBlanks(Line.substr(0, Colon))),
                          std::string(WithoutLeadingBlanks(Line.substr(Colon + 1)))});
    }
    return Fields;
}

std::vector<THeaderEdit> HeaderEdits(const std::vector<THeaderField>& Old, const std::vector<THeaderField>& New) {
    const auto OldPositions = PositionsByName(Old);
    const auto NewPositions = PositionsByName(New);
    static const std::vector<size_t> None;
    std::vector<THeaderEdit> Edits;
    for (const auto& [Name, OldAt] : OldPositions) {
        const auto Found = NewPositions.find(Name);
        EditsOfName(Old, OldAt, New, Found == NewPositions.end() ? None : Found->second, Edits);
    }
    // Added fields keep the order they have in New.
    std::vector<size_t> Added;
    for (const auto& [Name, NewAt] : NewPositions) {
        const auto Found = OldPositions.find(Name);
        const size_t Had = Found == OldPositions.end() ? 0 : Found->second.size();
        Added.insert(Added.end(), NewAt.begin() + static_cast<std::ptrdiff_t>(std::min(Had, NewAt.size())),
                     NewAt.end());
    }
    std::sort(Added.begin(), Added.end());
    for (size_t At : Added) Edits.push_back({THeaderEditKind::Add, New[At].Name, 0, New[At].Value});
    return Edits;
}

std::string WithCrLfFolds(std::string_view Value) {
    std::string Out;
    Out.reserve(Value.size() + 16);
    for (size_t I = 0; I < Value.size(); ++I) {
        if (Value[I] == '\n' && (I == 0 || Value[I - 1] != '\r')) Out += '\r';
        Out += Value[I];
    }
    return Out;
}

}  // namespace lumaro::milter
