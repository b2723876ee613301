// Cutting texts at delimiters, header parameters and address parts.
#include <gtest/gtest.h>

#include "velutil/velutil.h"

namespace lumaro {
namespace {

const std::string DQ = "\"";

struct TCutCase {
    std::string Value, Delimiter, Before, After;
};

TEST(TextBeforeAfter, CutAtFirstOccurrenceOrKeepWhole) {
    const TCutCase Cases[] = {
        {"a:b:c", ":", "a", "b:c"},
        {"a:b:c", ";", "a:b:c", "a:b:c"},
        {"a:b:c", "", "a:b:c", "a:b:c"},
        {"ab", "b", "a", ""},
        {"ab", "a", "", "b"},
        {"", ":", "", ""},
        {"x<>y<>z", "<>", "x", "y<>z"},
        {std::string("a\0b", 3), std::string("\0", 1), "a", "b"},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(TextBefore(C.Value, C.Delimiter), C.Before) << C.Value << " / " << C.Delimiter;
        EXPECT_EQ(TextAfter(C.Value, C.Delimiter), C.After) << C.Value << " / " << C.Delimiter;
    }
}

struct TParamCase {
    std::string Value, Name, Expected;
};

TEST(HeaderParameter, Table) {
    const TParamCase Cases[] = {
        {"text/plain; CHARSET = " + DQ + "iso-8859-2" + DQ, "charset", "iso-8859-2"},
        {"text/plain; CHARSET = " + DQ + "iso-8859-2" + DQ, "format", ""},
        {"a; name=" + DQ + "x;y" + DQ + "; z=1", "name", "x;y"},
        {"a; name=" + DQ + "x;y" + DQ + "; z=1", "z", "1"},
        {"a; charset; charset=utf-8", "charset", ""},
        {"a; name=" + DQ + DQ, "name", DQ + DQ},
        {"a; charsetx=1; charset=koi8-r", "charset", "koi8-r"},
        {"a; charset=us-ascii; charset=utf-8", "charset", "us-ascii"},
        {"a; Charset=MixedCase", "CHARSET", "MixedCase"},
        {"charset=first", "charset", "first"},
        {"a; name=" + DQ + "open;rest", "name", "open;rest"},
        {"a; name==x", "name", "=x"},
        {"a; name=", "name", ""},
        {"a; b=1", "", ""},
        {"", "charset", ""},
        {";;; ;charset=x", "charset", "x"},
        {"a; name=\tplain\t; next=1", "name", "plain"},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(HeaderParameter(C.Value, C.Name), C.Expected) << C.Value << " / " << C.Name;
}

// The parameter reader walks the value once; this is the plain loop over
// FetchQuoted it must agree with.
std::string ReferenceHeaderParameter(std::string_view Value, std::string_view Name) {
    if (Name.empty()) return "";
    std::string R(Value);
    while (!R.empty()) {
        std::string T = Trim(FetchQuoted(R, ";", DQ));
        if (!StartsWith(UpperCase(T), UpperCase(Name))) continue;
        T = Trim(T.substr(Name.size()));
        if (T.empty()) return "";
        if (T[0] != '=') continue;
        return Unquote(Trim(TextAfter(T, "=")), '"');
    }
    return "";
}

TEST(HeaderParameter, AgreesWithItemByItemReading) {
    // Every text of up to five bytes over an alphabet of the interesting bytes.
    const std::string Alphabet = "n=;\" x";
    std::string V;
    for (int Length = 0; Length <= 5; ++Length) {
        size_t Combinations = 1;
        for (int i = 0; i < Length; ++i) Combinations *= Alphabet.size();
        for (size_t K = 0; K < Combinations; ++K) {
            V.clear();
            for (size_t R = K, i = 0; i < static_cast<size_t>(Length); ++i, R /= Alphabet.size())
                V.push_back(Alphabet[R % Alphabet.size()]);
            ASSERT_EQ(HeaderParameter(V, "n"), ReferenceHeaderParameter(V, "n")) << V;
        }
    }
}

TEST(HeaderParameter, LongValueWithManyItemsFindsTheLast) {
    std::string V = "text/plain";
    for (int i = 0; i < 200000; ++i) V += "; p=v";
    V += "; charset=utf-8";
    EXPECT_EQ(HeaderParameter(V, "charset"), "utf-8");
}

struct TFetchCase {
    std::string Value, Delimiter, Quote, Item, Rest;
};

TEST(FetchQuoted, Table) {
    const TFetchCase Cases[] = {
        {"a;b;c", ";", DQ, "a", "b;c"},
        {"a", ";", DQ, "a", ""},
        {"a;", ";", DQ, "a", ""},
        {";a", ";", DQ, "", "a"},
        {DQ + "x;y" + DQ + ";z", ";", DQ, DQ + "x;y" + DQ, "z"},
        {DQ + "x;y", ";", DQ, DQ + "x;y", ""},
        {"a" + DQ + "b;" + DQ + "c;d", ";", DQ, "a" + DQ + "b;" + DQ + "c", "d"},
        {"a::b", "::", DQ, "a", "b"},
        {"a:b", "::", DQ, "a:b", ""},
        {"a;b", "", DQ, "a;b", ""},
        {DQ + ";" + DQ + ";x", ";", "", DQ, DQ + ";x"},
        {"'a;b';c", ";", "'", "'a;b'", "c"},
    };
    for (const auto& C : Cases) {
        std::string V = C.Value;
        EXPECT_EQ(FetchQuoted(V, C.Delimiter, C.Quote), C.Item) << C.Value;
        EXPECT_EQ(V, C.Rest) << C.Value;
    }
}

TEST(Unquote, Table) {
    const std::pair<std::string, std::string> Cases[] = {
        {DQ + "abc" + DQ, "abc"},
        {DQ + "abc", "abc"},
        {DQ + "a" + DQ + DQ + "b" + DQ, "a" + DQ + "b"},
        {DQ + "abc" + DQ + "def", "abc"},
        {"abc", "abc"},
        {"abc" + DQ, "abc" + DQ},
        {DQ + DQ, DQ + DQ},
        {DQ, DQ},
        {"", ""},
        {DQ + "a" + DQ + DQ, "a" + DQ},
        {DQ + DQ + DQ + DQ, DQ},
        {DQ + DQ + DQ, DQ},
        {" " + DQ + "a" + DQ, " " + DQ + "a" + DQ},
    };
    for (const auto& [Value, Expected] : Cases) EXPECT_EQ(Unquote(Value, '"'), Expected) << Value;
}

TEST(AddressOf, Table) {
    const std::pair<std::string, std::string> Cases[] = {
        {" Desk <mailbox> ", "mailbox"},
        {"mailbox", "mailbox"},
        {"  mailbox\t", "mailbox"},
        {"Desk <mailbox", "mailbox"},
        {"Sales Desk <mailbox>", "mailbox"},
        {"<a> <b>", "a"},
        {"a > b", "a"},
        {"< spaced >", "spaced"},
        {"", ""},
        {"<>", ""},
    };
    for (const auto& [Value, Expected] : Cases) EXPECT_EQ(AddressOf(Value), Expected) << Value;
}

TEST(DisplayNameOf, Table) {
    const std::pair<std::string, std::string> Cases[] = {
        {"Sales Desk <mailbox>", "Sales Desk"},
        {DQ + "Desk, Sales" + DQ + " <mailbox>", "Desk, Sales"},
        {"mailbox (Sales Desk)", "Sales Desk"},
        {"<mailbox>", ""},
        {"mailbox", ""},
        {DQ + "Desk <mailbox>", "Desk <mailbox>"},
        {"mailbox (open comment", "open comment"},
        {"Name <x> (comment)", "Name"},
        {"(c) " + DQ + " q " + DQ, "q"},
        {"", ""},
        {DQ, ""},
        {"(", ""},
    };
    for (const auto& [Value, Expected] : Cases) EXPECT_EQ(DisplayNameOf(Value), Expected) << Value;
}

}  // namespace
}  // namespace lumaro
