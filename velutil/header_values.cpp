// Reading structured header values: items cut at delimiters outside quotes,
// quoted texts, parameters, and the two halves of an address.
#include "velutil/velutil.h"

namespace lumaro {
namespace {

constexpr char DoubleQuote = '"';

// Cuts the item that starts at Index off Value and moves Index behind the
// delimiter that ends it (or to the end). The item is a stretch of Value, so a
// caller walking a long text item by item never copies what is still ahead.
// An empty Delimiter never matches (as an empty text is found nowhere), and an
// empty Quote means no quoting.
std::string_view NextQuotedItem(std::string_view Value, size_t& Index,
                                std::string_view Delimiter, std::string_view Quote) {
    const size_t Start = Index;
    bool InQuote = false;
    while (Index < Value.size()) {
        const char C = Value[Index];
        if (InQuote) {
            InQuote = C != Quote[0];
        } else if (!Delimiter.empty() && Value.compare(Index, Delimiter.size(), Delimiter) == 0) {
            std::string_view Item = Value.substr(Start, Index - Start);
            Index += Delimiter.size();
            return Item;
        } else {
            InQuote = !Quote.empty() && C == Quote[0];
        }
        ++Index;
    }
    return Value.substr(Start);
}

// Whether Value begins with Prefix, ASCII letters compared without case.
bool StartsWithText(std::string_view Value, std::string_view Prefix) {
    return Value.size() >= Prefix.size() && SameText(Value.substr(0, Prefix.size()), Prefix);
}

// The stretch from Open up to the next Close after it, or to the end without one.
std::string_view Enclosed(std::string_view Value, size_t Open, char Close) {
    size_t End = Value.find(Close, Open + 1);
    return Value.substr(Open + 1, End == std::string_view::npos ? End : End - Open - 1);
}

}  // namespace

std::vector<std::string> WrittenParameterItems(std::string_view Value) {
    std::vector<std::string> Items;
    bool First = true, Quoted = false;
    size_t Start = 0;
    const auto Cut = [&](size_t End) {
        const std::string_view Item = TrimView(Value.substr(Start, End - Start));
        if (!First && !Item.empty()) Items.emplace_back(Item);
        First = false;
        Start = End + 1;
    };
    for (size_t I = 0; I < Value.size(); ++I) {
        const char C = Value[I];
        if (Quoted && C == '\\') ++I;
        else if (C == DoubleQuote) Quoted = !Quoted;
        else if (!Quoted && C == ';') Cut(I);
    }
    Cut(Value.size());
    return Items;
}

std::string FetchQuoted(std::string& Value, std::string_view Delimiter, std::string_view Quote) {
    size_t Index = 0;
    std::string Item(NextQuotedItem(Value, Index, Delimiter, Quote));
    Value.erase(0, Index);
    return Item;
}

std::string Unquote(std::string_view Value, char Quote) {
    if (Value.empty() || Value.front() != Quote) return std::string(Value);
    // An unclosed quote is read as if it were closed at the end; a text of the
    // quote alone stays as it is.
    std::string V(Value);
    if (V.size() > 1 && V.back() != Quote) V.push_back(Quote);
    std::string Inner;
    Inner.reserve(V.size());
    for (size_t i = 1; i < V.size(); ++i) {
        if (V[i] != Quote) {
            Inner.push_back(V[i]);
        } else if (i + 1 < V.size() && V[i + 1] == Quote) {
            Inner.push_back(Quote);
            ++i;
        } else {
            break;
        }
    }
    // An empty quoted text ("") is kept with its quotes, so a caller can tell
    // it from an absent value.
    return Inner.empty() ? V : Inner;
}

std::string HeaderParameter(std::string_view Value, std::string_view Name) {
    if (Name.empty()) return std::string();
    size_t Index = 0;
    while (Index < Value.size()) {
        std::string_view T = TrimView(NextQuotedItem(Value, Index, ";", "\""));
        if (!StartsWithText(T, Name)) continue;
        T = TrimView(T.substr(Name.size()));
        // A parameter written as a bare name ends the search without a value.
        if (T.empty()) return std::string();
        // Only "name=" counts: "charset" must not match an item "charsetx=1".
        if (T.front() != '=') continue;
        return Unquote(TrimView(T.substr(1)), DoubleQuote);
    }
    return std::string();
}

std::string AddressOf(std::string_view Value) {
    return Trim(TextBefore(TextAfter(Value, "<"), ">"));
}

std::string DisplayNameOf(std::string_view Value) {
    // Quotes win over angle brackets, and angle brackets over a comment.
    std::string_view V = TrimView(Value);
    if (size_t Q = V.find(DoubleQuote); Q != std::string_view::npos)
        return Trim(Enclosed(V, Q, DoubleQuote));
    if (size_t A = V.find('<'); A != std::string_view::npos) return Trim(V.substr(0, A));
    if (size_t P = V.find('('); P != std::string_view::npos) return Trim(Enclosed(V, P, ')'));
    return std::string();
}

}  // namespace lumaro
