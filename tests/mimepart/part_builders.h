// Helpers shared by the message-model tests: parts built from line tables, and
// generators of deeply nested messages.
#pragma once

#include <string>
#include <vector>

#include "mimepart/mimepart.h"

namespace lumaro::test {

using TLines = std::vector<std::string>;

inline void SplitFrom(TMimePart& Part, const TLines& Lines) {
    Part.Lines.Assign(Lines);
    Part.SplitParts();
}

inline TLines Joined(TMimePart& Part) {
    Part.JoinParts();
    return Part.Lines.Strings();
}

// Multiparts nested Levels deep, each with one sub-part; the innermost is a text part.
inline TLines NestedMultiparts(int Levels) {
    // No boundary may be a prefix of another: "b1" would end the part at "--b10".
    auto Boundary = [](int k) { return "b" + std::to_string(k) + "z"; };
    TLines Lines;
    for (int k = 0; k < Levels; ++k) {
        Lines.push_back("Content-Type: multipart/mixed; boundary=" + Boundary(k));
        Lines.push_back("");
        Lines.push_back("--" + Boundary(k));
    }
    Lines.push_back("Content-Type: text/plain");
    Lines.push_back("");
    Lines.push_back("innermost");
    for (int k = Levels - 1; k >= 0; --k) Lines.push_back("--" + Boundary(k) + "--");
    return Lines;
}

// Encapsulated messages nested Levels deep around a text message.
inline TLines NestedMessages(int Levels) {
    TLines Lines;
    for (int k = 0; k < Levels; ++k) {
        Lines.push_back("Subject: level " + std::to_string(k));
        Lines.push_back("Content-Type: message/rfc822");
        Lines.push_back("");
    }
    Lines.push_back("Subject: innermost");
    Lines.push_back("");
    Lines.push_back("body");
    return Lines;
}

}  // namespace lumaro::test
