// UTF-8 into a single-byte charset by the answers the iconv library gave for each
// character alone. Only well-formed UTF-8 is read: anything else is the library's
// to convert, with its neighbours.
#include <algorithm>

#include "velchar/unicode_units.h"

namespace lumaro {
namespace {

constexpr uint32_t AsciiEnd = 0x80;

// The byte-order mark and its reversed form: our own decoding lets them vanish or
// turn the byte order round, and a library may treat one at the start of a text
// otherwise than inside it. A text holding one goes to the library whole.
constexpr uint32_t Mark = 0xFEFF;
constexpr uint32_t ReversedMark = 0xFFFE;

// Where the answers of a text go: room for the rest of the text at one byte a
// byte, and seven bytes more for a copy of a word of ASCII or of an answer. An
// answer longer than its sequence makes more room first. The cursor is the
// caller's local: a byte stored through a pointer held in memory would make the
// compiler reload the pointer after every byte.
class TAnswerOutput {
public:
    TAnswerOutput(std::string& Out, size_t TextSize) : Out(Out), Before(Out.size()) {
        Out.resize(Before + TextSize + TLearnedAnswers::LongestAnswer);
    }
    uint8_t* Start() { return reinterpret_cast<uint8_t*>(Out.data()) + Before; }
    // Room at O for Length bytes now and one a byte for the Rest of the text after
    // them; gives the cursor, which moves when the room does.
    uint8_t* MakeRoom(uint8_t* O, size_t Length, size_t Rest) {
        const size_t Used = static_cast<size_t>(O - Start());
        const size_t Need = Used + Length + Rest + TLearnedAnswers::LongestAnswer;
        if (Need > Out.size() - Before) Out.resize(Before + Need + Need / 4);
        return Start() + Used;
    }
    void Keep(const uint8_t* O) { Out.resize(Before + static_cast<size_t>(O - Start())); }
    void Drop() { Out.resize(Before); }

private:
    std::string& Out;
    const size_t Before;
};

}  // namespace

TLearnedAnswers::TLearnedAnswers(TAsker Asker) : Ask(std::move(Asker)) {
    std::vector<uint32_t> Ascii(AsciiEnd);
    for (uint32_t C = 0; C < AsciiEnd; ++C) Ascii[C] = C;
    std::lock_guard<std::mutex> Guard(Lock);
    LearnLocked(Ascii);
    SlotLocked(Mark).State.store(Refused, std::memory_order_release);
    SlotLocked(ReversedMark).State.store(Refused, std::memory_order_release);
    AllAscii = true;
    for (uint32_t C = 0; C < AsciiEnd; ++C) {
        const TAnswer& A = *Find(C);
        AllAscii = AllAscii && A.State.load(std::memory_order_relaxed) == 2 && A.Bytes[0] == C;
    }
}

TLearnedAnswers::~TLearnedAnswers() = default;

TLearnedAnswers::TAnswer& TLearnedAnswers::SlotLocked(uint32_t Character) {
    std::atomic<TBlock*>& Block = Blocks[Character >> BlockBits];
    if (Block.load(std::memory_order_relaxed) == nullptr) {
        Owned.push_back(std::make_unique<TBlock>());
        Block.store(Owned.back().get(), std::memory_order_release);
    }
    return (*Block.load(std::memory_order_relaxed))[Character & (BlockSize - 1)];
}

void TLearnedAnswers::LearnLocked(const std::vector<uint32_t>& Characters) {
    TAsked Answers;
    Answers.Lengths.reserve(Characters.size());
    Ask(Characters, Answers);
    Asked += Characters.size();
    size_t From = 0;
    for (size_t K = 0; K < Characters.size(); ++K) {
        TAnswer& A = SlotLocked(Characters[K]);
        const int Length = K < Answers.Lengths.size() ? Answers.Lengths[K] : NoAnswer;
        const size_t Have = Answers.Bytes.size() - std::min(From, Answers.Bytes.size());
        if (Length < 0 || static_cast<size_t>(Length) > std::min(LongestAnswer, Have)) {
            A.State.store(Refused, std::memory_order_release);
            From += Length < 0 ? 0 : static_cast<size_t>(Length);
            continue;
        }
        std::memcpy(A.Bytes, Answers.Bytes.data() + From, static_cast<size_t>(Length));
        From += static_cast<size_t>(Length);
        A.State.store(static_cast<uint8_t>(1 + Length), std::memory_order_release);
        if (Characters[K] < SingleBytes.size() && Length == 1)
            SingleBytes[Characters[K]].store(A.Bytes[0], std::memory_order_relaxed);
    }
}

void TLearnedAnswers::LearnCharactersOf(std::string_view Text) {
    const uint8_t* P = reinterpret_cast<const uint8_t*>(Text.data());
    const size_t N = Text.size();
    std::vector<uint32_t> New;
    for (size_t I = 0; I < N;) {
        uint32_t C = P[I];
        const size_t Length = C < AsciiEnd ? 1 : ReadSequence(P, N, I, C);
        if (Length == 0) {
            ++I;
            continue;
        }
        I += Length;
        const TAnswer* A = Find(C);
        const bool Known = A != nullptr && A->State.load(std::memory_order_acquire) != Unknown;
        if (!Known && (New.empty() || New.back() != C)) New.push_back(C);
    }
    // Most texts hold few new characters; a text of every character holds them in order.
    if (!std::is_sorted(New.begin(), New.end())) std::sort(New.begin(), New.end());
    New.erase(std::unique(New.begin(), New.end()), New.end());
    std::lock_guard<std::mutex> Guard(Lock);
    // Another thread may have learned some of them meanwhile.
    std::erase_if(New, [this](uint32_t C) { return SlotLocked(C).State.load(std::memory_order_relaxed) != Unknown; });
    if (!New.empty()) LearnLocked(New);
}

size_t TLearnedAnswers::AskedCount() const {
    std::lock_guard<std::mutex> Guard(Lock);
    return Asked;
}

bool AppendLearnedAnswers(std::string_view Text, TLearnedAnswers& Answers, std::string& Out) {
    const uint8_t* P = reinterpret_cast<const uint8_t*>(Text.data());
    const size_t N = Text.size();
    TAnswerOutput Output(Out, N);
    uint8_t* O = Output.Start();
    const bool AsciiAsItStands = Answers.AsciiAsItStands();
    size_t I = 0;
    while (I < N) {
        if (AsciiAsItStands) {
            // The room kept for the rest of the text holds every word copied.
            CopyAsciiWords(P, N, I, O);
            while (I < N && P[I] < AsciiEnd) *O++ = P[I++];
            if (I == N) break;
        }
        uint32_t C = P[I];
        size_t Length = 1;
        // A two-byte sequence, the usual accented letter, is read at once.
        if (C >= 0xC2 && C <= 0xDF && N - I >= 2 && (P[I + 1] & 0xC0) == 0x80) {
            C = ((C & 0x1Fu) << 6) | (P[I + 1] & 0x3Fu);
            Length = 2;
        } else if (C >= AsciiEnd && (Length = ReadSequence(P, N, I, C)) == 0) {
            break;
        }
        if (C <= 0xFFFF) {
            if (const uint8_t B = Answers.SingleByteOf(C); B != 0) [[likely]] {
                *O++ = B;
                I += Length;
                continue;
            }
        }
        const TLearnedAnswers::TAnswer* A = Answers.Find(C);
        uint8_t State = A != nullptr ? A->State.load(std::memory_order_acquire) : TLearnedAnswers::Unknown;
        if (State == TLearnedAnswers::Unknown) [[unlikely]] {
            Answers.LearnCharactersOf(Text.substr(I));
            A = Answers.Find(C);
            State = A->State.load(std::memory_order_acquire);
        }
        if (State == TLearnedAnswers::Refused) break;
        const size_t Written = State - 1u;
        I += Length;
        if (Written > Length) O = Output.MakeRoom(O, Written, N - I);
        std::memcpy(O, A->Bytes, Written);
        O += Written;
    }
    if (I < N) {
        Output.Drop();
        return false;
    }
    Output.Keep(O);
    return true;
}

}  // namespace lumaro
