// Ordered lists of text lines. TLineList cuts a text at CR LF, LF or CR;
// TMyStringList, through which a queued message enters and leaves the system,
// also takes the pair CR CR (with or without a following LF) as one line break.
// Joining ends every line with CR LF. A NUL byte is an ordinary byte of its line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro {

class TLineList {
public:
    TLineList() = default;
    virtual ~TLineList() = default;
    TLineList(const TLineList&) = default;
    TLineList& operator=(const TLineList&) = default;
    TLineList(TLineList&&) = default;
    TLineList& operator=(TLineList&&) = default;

    size_t Count() const { return Lines.size(); }
    // Index errors raise std::out_of_range.
    const std::string& Get(size_t Index) const;
    void Put(size_t Index, std::string Line);
    void Add(std::string Line) { Lines.push_back(std::move(Line)); }
    void Insert(size_t Index, std::string Line);
    void Clear() { Lines.clear(); }
    void Assign(const TLineList& Other) { Lines = Other.Lines; }
    void AddStrings(const TLineList& Other);
    void Reserve(size_t N) { Lines.reserve(N); }

    void SetText(std::string_view Text);
    std::string GetText() const;
    // TError "Cannot open file " + FileName when the file cannot be read; the list
    // is then unchanged. A file without any LF byte is cut at its lone CRs by the
    // plain rule, so that its empty lines survive.
    void LoadFromFile(const std::string& FileName);
    // TError "Cannot create file " + FileName.
    void SaveToFile(const std::string& FileName) const;

    // Direct access for linear passes and moves of whole lists.
    std::vector<std::string>& Items() { return Lines; }
    const std::vector<std::string>& Items() const { return Lines; }

private:
    void Split(std::string_view Text, bool SkipSecondCR);

protected:
    // Whether a second CR after the first belongs to the same line break.
    virtual bool DoubleCarriageReturnIsOneBreak() const { return false; }

private:
    std::vector<std::string> Lines;
};

class TMyStringList : public TLineList {
protected:
    bool DoubleCarriageReturnIsOneBreak() const override { return true; }
};

}  // namespace lumaro
