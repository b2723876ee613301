// The header side of a message that a job changed: the MTA holds the old header
// block as (name, value) fields, the job wrote a new block, and the MTA is told
// the smallest set of edits that turns the one into the other.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro::milter {

// One header field as the MTA holds it: the value without the blank after the
// colon, folded lines joined by "\n" followed by their blanks.
struct THeaderField {
    std::string Name;
    std::string Value;
    bool operator==(const THeaderField&) const = default;
};

enum class THeaderEditKind { Change, Delete, Add, InsertAtTop };

// Change and Delete name the Index-th field (from 1) of that name, counted
// without regard to case, as the milter calls smfi_chgheader do.
struct THeaderEdit {
    THeaderEditKind Kind;
    std::string Name;
    int Index = 0;
    std::string Value;
    bool operator==(const THeaderEdit&) const = default;
};

// The fields of a header block of CR LF ended lines (the block ends at the first
// empty line or at the end of the text). Folded values are rejoined with "\n\t",
// the form in which an MTA takes them from a milter. Nothing when a line is
// neither a field nor the continuation of one.
std::optional<std::vector<THeaderField>> ParseHeaderBlock(std::string_view Block);

// Whether a name can stand before the colon of a header line: printable ASCII
// without the colon, at least one character.
bool IsHeaderName(std::string_view Name);

// Whether a field, written as "Name: Value" into the queue file, stays one field:
// the name holds no CR, LF or NUL, and the value none but the line breaks of its
// folds (LF, or CR LF, each followed by a blank). A break followed by anything
// else would start a field of the sender's making, or end the header.
bool StaysOneField(std::string_view Name, std::string_view Value);

// Whether two values say the same: how a value is folded, and how many blanks
// separate its words, do not count.
bool SameValue(std::string_view A, std::string_view B);

// The edits that turn Old into New. The n-th field of a name in Old stands for
// the n-th of that name in New (names compared without regard to case), so a
// field that only moved, was refolded or had its name's case changed needs no
// edit; one whose value differs is changed under the MTA's spelling of its name;
// Old's surplus fields of a name are deleted, New's surplus ones added at the end.
// Changes and deletions of a name come highest index first, so that each index
// still names the field it meant whether or not the MTA renumbers after a
// deletion.
std::vector<THeaderEdit> HeaderEdits(const std::vector<THeaderField>& Old, const std::vector<THeaderField>& New);

// A value as the queue file holds it: every bare LF of a fold becomes CR LF.
std::string WithCrLfFolds(std::string_view Value);

}  // namespace lumaro::milter
