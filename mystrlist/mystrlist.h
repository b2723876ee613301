// Ordered lists of text lines. TLineList cuts a text at CR LF, LF or CR;
// TMyStringList, through which a queued message enters and leaves the system,
// also takes the pair CR CR (with or without a following LF) as one line break.
// Joining ends every line with CR LF. A NUL byte is an ordinary byte of its line.
//
// A list does not hold a string per line: its lines are windows on blocks of text
// that only grow, so a message of a hundred thousand lines costs a few large
// allocations, and lists that take lines from one another (a message split into
// parts) share the text instead of copying it. A list made from one text (SetText,
// AdoptText, LoadFromFile), or from a stretch of whole lines of another such list,
// keeps that text uncut and finds its lines in it when they are read: a message of
// empty lines or lone CRs costs no more than its bytes, where a window per line
// would cost eight or sixteen bytes for each one. Such a list is cut into windows
// only when a line of it is changed or inserted. A line read from a list stays
// valid until the list is cleared, assigned or destroyed; changing a line writes
// its new text beside the old one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro {

namespace mystrlist_detail {
class TTextStore;
class TUncutText;
}

class TLineList {
    struct TLineRef {
        const char* Data;
        size_t Size;
    };

public:
    TLineList();
    TLineList(std::initializer_list<std::string_view> Lines);
    virtual ~TLineList();
    TLineList(const TLineList& Other);
    TLineList& operator=(const TLineList& Other);
    TLineList(TLineList&& Other) noexcept;
    TLineList& operator=(TLineList&& Other) noexcept;

    size_t Count() const;
    // Index errors raise std::out_of_range.
    std::string_view Get(size_t Index) const;
    void Put(size_t Index, std::string_view Line);
    // Put taking the text over where it is long, instead of copying it.
    void AdoptLine(size_t Index, std::string&& Line);
    void Add(std::string_view Line);
    void Insert(size_t Index, std::string_view Line);
    void Clear();
    void Assign(const TLineList& Other);
    void Assign(const std::vector<std::string>& Lines);
    void AddStrings(const TLineList& Other);
    // Adds the lines Begin up to End of Other, sharing their text. An empty list
    // that takes a stretch of an uncut list stays uncut itself.
    void AddRange(const TLineList& Other, size_t Begin, size_t End);
    // Removes the blanks and control bytes at the end of every line from From on.
    void TrimLinesRight(size_t From);
    void Reserve(size_t N) { Refs.reserve(N); }

    void SetText(std::string_view Text);
    // SetText taking the text over as the lines' storage instead of copying it.
    void AdoptText(std::string&& Text);
    // The list becomes the lines of Text that end at the given offsets, each line
    // beginning Gap bytes after the one before it ended (the gap holds its line
    // break, if the text has one); Text becomes their storage.
    void AdoptLines(std::string&& Text, const std::vector<size_t>& Ends, size_t Gap = 0);
    std::string GetText() const;
    // The size of GetText, and GetText appended to Out.
    size_t TextSize() const;
    void AppendText(std::string& Out) const;
    // GetText handed out in stretches, in order: where lines lie back to back in a
    // text this list took over, each followed there by CR LF, Stored gets the stretch
    // of that text itself, line breaks included; every other line goes to Line,
    // without its CR LF. Writing a large body thus needs no copy of its text.
    struct TJoinedTextSink {
        virtual void Stored(std::string_view Stretch) = 0;
        virtual void Line(std::string_view Line) = 0;

    protected:
        ~TJoinedTextSink() = default;
    };
    void HandJoinedText(TJoinedTextSink& Sink) const;
    // TError "Cannot open file " + FileName when the file cannot be read; the list
    // is then unchanged. A file without any LF byte is cut at its lone CRs by the
    // plain rule, so that its empty lines survive.
    void LoadFromFile(const std::string& FileName);
    // What LoadFromFile does with the bytes it read, for a file read elsewhere.
    void AdoptFileContent(std::string&& Content);
    // TError "Cannot create file " + FileName.
    void SaveToFile(const std::string& FileName) const;

    // The lines as strings of their own, for callers that keep or compare them.
    std::vector<std::string> Strings() const;
    bool operator==(const TLineList& Other) const;

    class TIterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        TIterator(const TLineList* List, size_t Index) : List(List), Index(Index) {}
        std::string_view operator*() const { return List->LineAt(Index); }
        TIterator& operator++() {
            ++Index;
            return *this;
        }
        TIterator operator++(int) {
            TIterator Before = *this;
            ++Index;
            return Before;
        }
        bool operator==(const TIterator& Other) const { return Index == Other.Index; }
        bool operator!=(const TIterator& Other) const { return Index != Other.Index; }

    private:
        const TLineList* List;
        size_t Index;
    };
    TIterator begin() const { return TIterator(this, 0); }
    TIterator end() const { return TIterator(this, Count()); }

private:
    // The line at Index, which must be below Count.
    std::string_view LineAt(size_t Index) const;
    void AdoptUncut(std::string&& Text, bool SkipSecondCR);
    // Turns an uncut list into windows on its text, before a line of it changes.
    void Cut();
    std::string_view Store(std::string_view Line);
    void Share(const TLineList& Other);
    void Borrow(const std::shared_ptr<const mystrlist_detail::TTextStore>& Store);

protected:
    // Whether a second CR after the first belongs to the same line break.
    virtual bool DoubleCarriageReturnIsOneBreak() const { return false; }

private:
    std::vector<TLineRef> Refs;
    // The blocks this list writes new lines into, and those it reads lines from
    // that other lists (or an adopted text) wrote.
    std::shared_ptr<mystrlist_detail::TTextStore> Own;
    std::vector<std::shared_ptr<const mystrlist_detail::TTextStore>> Borrowed;
    // Set for a list kept as an uncut text; Refs is then empty.
    std::unique_ptr<mystrlist_detail::TUncutText> Uncut;
};

class TMyStringList : public TLineList {
public:
    using TLineList::TLineList;

protected:
    bool DoubleCarriageReturnIsOneBreak() const override { return true; }
};

}  // namespace lumaro
