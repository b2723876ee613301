// Cutting texts at delimiters, header parameters and address parts.
#include <gtest/gtest.h>

#include "velutil/reference.h"
#include "velutil/velutil.h"

namespace lumaro {
namespace {

const std::string DQ = "\"";
using TPairs = std::vector<std::pair<std::string, std::string>>;

TEST(TextBeforeAfter, CutAtFirstOccurrenceOrKeepWhole) {
    const std::tuple<std::string, std::string, std::string, std::string> Cases[] = {
        {"a:b:c", ":", "a", "b:c"}, {"a:b:c", ";", "a:b:c", "a:b:c"}, {"a:b:c", "", "a:b:c", "a:b:c"},
        {"ab", "b", "a", ""},       {"x<>y<>z", "<>", "x", "y<>z"},
        {std::string("a\0b", 3), std::string(1, '\0'), "a", "b"},
    };
    for (const auto& [Value, Delimiter, Before, After] : Cases) {
        EXPECT_EQ(TextBefore(Value, Delimiter), Before) << Value << " / " << Delimiter;
        EXPECT_EQ(TextAfter(Value, Delimiter), After) << Value << " / " << Delimiter;
    }
}

TEST(HeaderParameter, Table) {
    const std::tuple<std::string, std::string, std::string> Cases[] = {
        {"text/plain; CHARSET = " + DQ + "iso-8859-2" + DQ, "charset", "iso-8859-2"},
        {"text/plain; CHARSET = " + DQ + "iso-8859-2" + DQ, "format", ""},
        {"a; name=" + DQ + "x;y" + DQ + "; z=1", "name", "x;y"},
        {"a; name=" + DQ + "x;y" + DQ + "; z=1", "z", "1"},
        {"a; charset; charset=utf-8", "charset", ""},
        {"a; name=" + DQ + DQ, "name", DQ + DQ},
        {"a; charsetx=1; charset=koi8-r", "charset", "koi8-r"},
        {"a; charset=us-ascii; charset=utf-8", "charset", "us-ascii"},
        {"a; name=" + DQ + "open;rest", "name", "open;rest"},
        {"a; b=1", "", ""},
    };
    for (const auto& [Value, Name, Expected] : Cases)
        EXPECT_EQ(HeaderParameter(Value, Name), Expected) << Value << " / " << Name;
}

TEST(HeaderParameter, AgreesWithItemByItemReading) {
    // The reader walks the value by index; the reference cuts it from its front.
    // Every text of up to six bytes over the bytes that matter.
    const std::string Alphabet = "n=;\" x";
    for (size_t Length = 0, Count = 1; Length <= 6; ++Length, Count *= Alphabet.size())
        for (size_t K = 0; K < Count; ++K) {
            std::string V;
            for (size_t R = K, i = 0; i < Length; ++i, R /= Alphabet.size())
                V.push_back(Alphabet[R % Alphabet.size()]);
            ASSERT_EQ(HeaderParameter(V, "n"), reference::HeaderParameter(V, "n")) << V;
        }
}

// The parameters a rebuilt content line carries over, each as it was written.
TEST(WrittenParameterItems, Table) {
    using Items = std::vector<std::string>;
    const std::pair<std::string, Items> Cases[] = {
        {"text/calendar; charset=UTF-8; method=REQUEST", {"charset=UTF-8", "method=REQUEST"}},
        {" attachment ;filename*0*=utf-8''a%C3%A1 ;; filename*1=b ", {"filename*0*=utf-8''a%C3%A1", "filename*1=b"}},
        {"a; name=" + DQ + "x;y" + DQ + "; z=1", {"name=" + DQ + "x;y" + DQ, "z=1"}},
        // A quote escaped inside a quoted string does not end it.
        {"a; name=" + DQ + "r\\" + DQ + "; x=\\" + DQ + "e" + DQ + "; format=flowed",
         {"name=" + DQ + "r\\" + DQ + "; x=\\" + DQ + "e" + DQ, "format=flowed"}},
        // Outside quotes a backslash is an ordinary byte.
        {"a; b=\\; c=1", {"b=\\", "c=1"}},
        {"a; name=" + DQ + "open;rest", {"name=" + DQ + "open;rest"}},
        {"text/plain", {}},
        {"", {}},
    };
    for (const auto& [Value, Expected] : Cases) EXPECT_EQ(WrittenParameterItems(Value), Expected) << Value;
}

TEST(FetchQuoted, Table) {
    const std::tuple<std::string, std::string, std::string, std::string, std::string> Cases[] = {
        {"a;b;c", ";", DQ, "a", "b;c"},
        {DQ + "x;y" + DQ + ";z", ";", DQ, DQ + "x;y" + DQ, "z"},
        {"a" + DQ + "b;" + DQ + "c;d", ";", DQ, "a" + DQ + "b;" + DQ + "c", "d"},
        {"a::b", "::", DQ, "a", "b"},
        {"a;b", "", DQ, "a;b", ""},  // an empty delimiter occurs nowhere
        {DQ + ";" + DQ + ";x", ";", "", DQ, DQ + ";x"},
    };
    for (const auto& [Value, Delimiter, Quote, Item, Rest] : Cases) {
        std::string V = Value;
        EXPECT_EQ(FetchQuoted(V, Delimiter, Quote), Item) << Value;
        EXPECT_EQ(V, Rest) << Value;
    }
}

TEST(Unquote, Table) {
    const TPairs Cases = {
        {DQ + "abc" + DQ, "abc"},      {DQ + "abc", "abc"},     {DQ + "a" + DQ + DQ + "b" + DQ, "a" + DQ + "b"},
        {DQ + "abc" + DQ + "def", "abc"}, {"abc" + DQ, "abc" + DQ}, {DQ + DQ, DQ + DQ},
        {DQ, DQ},                      {"", ""},                {DQ + "a" + DQ + DQ, "a" + DQ},
        {DQ + DQ + DQ + DQ, DQ},       {DQ + DQ + "x", DQ + DQ + "x" + DQ},  // closed at the end, still empty
    };
    for (const auto& [Value, Expected] : Cases) EXPECT_EQ(Unquote(Value, '"'), Expected) << Value;
}

TEST(AddressParts, Table) {
    // {value, address, display name}
    const std::tuple<std::string, std::string, std::string> Cases[] = {
        {" Desk <mailbox> ", "mailbox", "Desk"},
        {"mailbox", "mailbox", ""},
        {"Desk <mailbox", "mailbox", "Desk"},
        {DQ + "Desk, Sales" + DQ + " <mailbox>", "mailbox", "Desk, Sales"},
        {"mailbox (Sales Desk)", "mailbox (Sales Desk)", "Sales Desk"},
        {DQ + "Desk <mailbox>", "mailbox", "Desk <mailbox>"},
        {"mailbox (open comment", "mailbox (open comment", "open comment"},
        {"Name <x> (comment)", "x", "Name"},
        {"a > b", "a", ""},
        {"", "", ""},
    };
    for (const auto& [Value, Address, Name] : Cases) {
        EXPECT_EQ(AddressOf(Value), Address) << Value;
        EXPECT_EQ(DisplayNameOf(Value), Name) << Value;
    }
}

// An address list as readers cut it before anything is decoded: its mailboxes,
// and whether some reader may cut it otherwise (an unclosed quote or comment, a
// backslash or a stray bracket outside quotes, a comma or quote in a comment,
// anything behind an address, a route).
TEST(AddressListReader, CountsMailboxesAndFlagsListsReadInMoreThanOneWay) {
    // {list, mailboxes, clear}
    const std::tuple<std::string, size_t, bool> Cases[] = {
        {"", 0, true},
        {"a@x.cz", 1, true},
        {"Jan <a@x.cz>, " + DQ + "Novak, Petr" + DQ + " <p@x.cz>,", 2, true},
        {"Team: a@x.cz, (c) b@x.cz;, c@x.cz", 3, true},
        {"a@x.cz (Jan), <b@x.cz>, c, Ing. J. Novak <d@[192.0.2.1]>", 4, true},
        {"a@x.cz (Novak, Petr)", 1, false},
        {"a@x.cz (say " + DQ + "hi)", 1, false},
        {DQ + "open <a@x.cz>", 1, false},
        {"a@x.cz (open", 1, false},
        {"a\\b@x.cz", 1, false},
        {"Jan <a@x.cz> junk, b@x.cz", 2, false},
        {"<@route:a@x.cz>", 1, false},
        {"a@x.cz>", 1, false},
    };
    for (const auto& [Value, Mailboxes, Clear] : Cases) {
        EXPECT_EQ(MailboxCount(Value), Mailboxes) << Value;
        EXPECT_EQ(AddressListIsClear(Value), Clear) << Value;
    }
}

}  // namespace
}  // namespace lumaro
