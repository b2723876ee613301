// The conversion engine: every conversion goes through UCS-2 big-endian. Each half
// (source to intermediate, intermediate to target) is done by the iconv library
// when it serves the charset, else by our own code; the halves decide separately.
#include <atomic>
#include <clocale>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "velchar/unicode_units.h"
#include "platform/platform.h"
#include "velchar/velchar.h"
#include "velicnv/velicnv.h"

namespace lumaro {
namespace {

constexpr const char* IntermediateName = "UCS-2BE";
constexpr size_t BestCharsetSample = 1024;
// Members with ordinals below this have a code table of their own.
constexpr size_t TableCharsetCount = 25;

struct TUnitShape {
    int Width;
    bool LittleEndian;
};

TUnitShape ShapeOf(TCharsetId Id) {
    switch (Id) {
    case TCharsetId::UCS_2:
    case TCharsetId::UTF_7:
    case TCharsetId::mUTF_7: return {2, false};
    case TCharsetId::UCS_2LE: return {2, true};
    case TCharsetId::UCS_4:
    case TCharsetId::UTF_8: return {4, false};
    case TCharsetId::UCS_4LE: return {4, true};
    default: return {1, false};
    }
}

bool IsSingleByte(TCharsetId Id) { return ShapeOf(Id).Width == 1; }

// Output room for the library to start with. Too little costs a copy as the room
// grows; too much costs clearing memory that is never written.
constexpr size_t SpareRoom = 256;
// UTF-8 and single-byte text gives at most two intermediate bytes a byte.
size_t WideningRoom(size_t InputLength) {
    return InputLength <= (SIZE_MAX - SpareRoom) / 2 ? InputLength * 2 + SpareRoom : InputLength;
}
// A single-byte target takes one byte for two of the intermediate, transliterations aside.
size_t EncodingRoom(size_t IntermediateLength, TCharsetId Target) {
    return IsSingleByte(Target) ? IntermediateLength / 2 + SpareRoom : WideningRoom(IntermediateLength);
}

// Closes a library descriptor on every way out, exceptions included.
class TConverter {
public:
    explicit TConverter(TIconvDescriptor D) : Descriptor(D) {}
    ~TConverter() { CloseConverter(Descriptor); }
    TConverter(const TConverter&) = delete;
    TConverter& operator=(const TConverter&) = delete;
    bool Opened() const { return Descriptor != NoIconvDescriptor; }
    bool Run(std::string_view Input, std::string& Output, size_t InitialRoom) const {
        return RunConverter(Descriptor, Input, Output, InitialRoom);
    }

private:
    TIconvDescriptor Descriptor;
};

// --- library halves: false sends the half to our own code ---------------------------

// Characters above U+FFFF have no place in the intermediate: the library drops them.
TIconvDescriptor OpenDecoder(const std::string& SourceName) { return OpenConverterIgnore(IntermediateName, SourceName); }

TIconvDescriptor OpenEncoder(const std::string& TargetName, bool Transliterate) {
    return Transliterate ? OpenConverterTranslit(TargetName, IntermediateName)
                         : OpenConverterIgnore(TargetName, IntermediateName);
}

bool RunDecoder(const TConverter& Converter, std::string_view Text, std::string& Intermediate) {
    return Converter.Run(Text, Intermediate, WideningRoom(Text.size()));
}

bool RunEncoder(const TConverter& Converter, std::string_view Intermediate, TCharsetId Target, std::string& Out) {
    const size_t Room = EncodingRoom(Intermediate.size(), Target);
    if (Target != TCharsetId::UTF_7) return Converter.Run(Intermediate, Out, Room);
    // A closing "-" makes the library end an open base64 run; the "-" itself goes again.
    std::string Closed;
    Closed.reserve(Intermediate.size() + 2);
    Closed.append(Intermediate).append(std::string_view("\0-", 2));
    if (!Converter.Run(Closed, Out, Room)) return false;
    if (!Out.empty()) Out.pop_back();
    return true;
}

bool LibraryDecode(std::string_view Text, const std::string& SourceName, std::string& Intermediate) {
    TConverter Converter(OpenDecoder(SourceName));
    return Converter.Opened() && RunDecoder(Converter, Text, Intermediate);
}

bool LibraryEncode(std::string_view Intermediate, TCharsetId Target, const std::string& TargetName,
                   bool Transliterate, std::string& Out) {
    TConverter Converter(OpenEncoder(TargetName, Transliterate));
    return Converter.Opened() && RunEncoder(Converter, Intermediate, Target, Out);
}

// --- own decoding -----------------------------------------------------------------------

std::string SingleBytesToIntermediate(std::string_view Text, const TCodeTable& Table) {
    std::array<uint16_t, 256> ValueOf{};
    for (unsigned B = 0; B < 0x80; ++B) ValueOf[B] = static_cast<uint16_t>(B);
    for (unsigned K = 0; K < 0x80; ++K) ValueOf[0x80 + K] = Table[K];
    std::string Out(Text.size() * 2, '\0');
    for (size_t I = 0; I < Text.size(); ++I) {
        const uint16_t V = ValueOf[static_cast<uint8_t>(Text[I])];
        Out[2 * I] = static_cast<char>(V >> 8);
        Out[2 * I + 1] = static_cast<char>(V & 0xFF);
    }
    return Out;
}

std::string OwnDecode(std::string_view Text, TCharsetId Source) {
    if (Source == TCharsetId::UTF_8) return Utf8ToIntermediate(Text);
    const TUnitShape Shape = ShapeOf(Source);
    if (Shape.Width == 1) return SingleBytesToIntermediate(Text, LoadCodeTable(Source));
    if (Source == TCharsetId::UTF_7 || Source == TCharsetId::mUTF_7)
        return WalkUnits(DecodeUtf7Units(Text, Source == TCharsetId::mUTF_7), Shape.Width, Shape.LittleEndian);
    return WalkUnits(Text, Shape.Width, Shape.LittleEndian);
}

// --- own encoding -----------------------------------------------------------------------

// The reverse table of a code table: the first position from 80 upwards whose entry
// is the value.
std::unique_ptr<TByteOfValue> BuildReverseTable(const TCodeTable& Table) {
    auto Reverse = std::make_unique<TByteOfValue>();
    for (size_t K = Table.size(); K-- > 0;) (*Reverse)[Table[K]] = static_cast<uint8_t>(0x80 + K);
    return Reverse;
}


std::string IntermediateToWideUnits(std::string_view Intermediate, TUnitShape Shape) {
    const size_t Count = Intermediate.size() / 2;
    std::string Out;
    Out.reserve(Count * static_cast<size_t>(Shape.Width));
    for (size_t K = 0; K < Count; ++K) {
        TCodeUnit Unit;
        Unit.B1 = static_cast<uint8_t>(Intermediate[2 * K]);
        Unit.B0 = static_cast<uint8_t>(Intermediate[2 * K + 1]);
        WriteCodeUnit(Out, Unit, Shape.Width, Shape.LittleEndian);
    }
    return Out;
}

std::string OwnEncode(std::string_view Intermediate, TCharsetId Target, bool Transliterate) {
    switch (Target) {
    case TCharsetId::UTF_8: return IntermediateToUtf8(Intermediate);
    // 2-byte big-endian units are the intermediate itself.
    case TCharsetId::UTF_7: return EncodeUtf7Units(Intermediate, false);
    case TCharsetId::mUTF_7: return EncodeUtf7Units(Intermediate, true);
    default: break;
    }
    const TUnitShape Shape = ShapeOf(Target);
    if (Shape.Width == 1) return IntermediateToMappedBytes(Intermediate, ReverseTableOf(Target), Transliterate);
    return IntermediateToWideUnits(Intermediate, Shape);
}

uint32_t ValueOf(TCodeUnit U) {
    return (uint32_t{U.B3} << 24) | (uint32_t{U.B2} << 16) | (uint32_t{U.B1} << 8) | U.B0;
}

}  // namespace

const TByteOfValue& ReverseTableOf(TCharsetId Id) {
    static std::array<std::once_flag, TableCharsetCount> Built;
    static std::array<std::unique_ptr<TByteOfValue>, TableCharsetCount> Tables;
    // Every member without a table of its own is written as Latin-1.
    const size_t Index = Ordinal(Id) < TableCharsetCount ? Ordinal(Id) : Ordinal(TCharsetId::ISO_8859_1);
    std::call_once(Built[Index], [Index] {
        Tables[Index] = BuildReverseTable(LoadCodeTable(CharsetOfOrdinal(Index)));
    });
    return *Tables[Index];
}

std::string WalkUnits(std::string_view Units, int Width, bool LittleEndian) {
    const size_t Step = static_cast<size_t>(Width);
    std::string Out;
    Out.reserve(Units.size() / Step * 2);
    size_t Position = 1;
    while (Units.size() - (Position - 1) >= Step) {
        const TCodeUnit Unit = ReadCodeUnit(Units, Position, Width, LittleEndian);
        switch (RoleOfUnit(ValueOf(Unit))) {
        case TUnitRole::SwitchByteOrder: LittleEndian = !LittleEndian; break;
        case TUnitRole::Vanish: break;
        case TUnitRole::Character:
            Out += static_cast<char>(Unit.B1);
            Out += static_cast<char>(Unit.B0);
            break;
        }
    }
    return Out;
}

TCodeUnit ReadCodeUnit(std::string_view Text, size_t& Position, int Width, bool LittleEndian) {
    const size_t Step = Width == 4 ? 4 : Width == 2 ? 2 : 1;
    std::array<uint8_t, 4> B{};
    for (size_t K = 0; K < Step; ++K) {
        const size_t At = Position - 1 + K;
        if (Position >= 1 && At < Text.size()) B[K] = static_cast<uint8_t>(Text[At]);
    }
    Position += Step;
    TCodeUnit U;
    if (Step == 1) {
        U.B0 = B[0];
    } else if (LittleEndian) {
        U.B0 = B[0], U.B1 = B[1], U.B2 = B[2], U.B3 = B[3];
    } else if (Step == 2) {
        U.B1 = B[0], U.B0 = B[1];
    } else {
        U.B3 = B[0], U.B2 = B[1], U.B1 = B[2], U.B0 = B[3];
    }
    return U;
}

void WriteCodeUnit(std::string& Out, TCodeUnit Unit, int Width, bool LittleEndian) {
    const char B0 = static_cast<char>(Unit.B0), B1 = static_cast<char>(Unit.B1);
    const char B2 = static_cast<char>(Unit.B2), B3 = static_cast<char>(Unit.B3);
    if (Width == 4) {
        const char Bytes[4] = {B3, B2, B1, B0}, Reversed[4] = {B0, B1, B2, B3};
        Out.append(LittleEndian ? Reversed : Bytes, 4);
    } else if (Width == 2) {
        const char Bytes[2] = {B1, B0}, Reversed[2] = {B0, B1};
        Out.append(LittleEndian ? Reversed : Bytes, 2);
    } else {
        Out += B0;
    }
}

std::string IntermediateToMappedBytes(std::string_view Intermediate, const TByteOfValue& ByteOf,
                                      bool Transliterate) {
    const size_t Count = Intermediate.size() / 2;
    const uint8_t* P = reinterpret_cast<const uint8_t*>(Intermediate.data());
    std::string Out(Count, '\0');
    uint8_t* O = reinterpret_cast<uint8_t*>(Out.data());
    for (size_t K = 0; K < Count; ++K, P += 2) AppendMappedByte(O, (unsigned{P[0]} << 8) | P[1], ByteOf, Transliterate);
    Out.resize(static_cast<size_t>(O - reinterpret_cast<uint8_t*>(Out.data())));
    return Out;
}

std::string IntermediateToSingleBytes(std::string_view Intermediate, TCharsetId Target, bool Transliterate) {
    return IntermediateToMappedBytes(Intermediate, ReverseTableOf(Target), Transliterate);
}

std::string Utf8ToSingleBytes(std::string_view Text, TCharsetId Target, bool Transliterate) {
    return Utf8ToMappedBytes(Text, ReverseTableOf(Target), Transliterate);
}

namespace {

// A text this long goes through the library a piece at a time, so that its
// intermediate form (two bytes a character) is never held whole.
constexpr size_t PieceBytes = 256 * 1024;

// UTF-8 and the charsets of our own code tables keep no state from one character
// to the next, so a text of them converts piece by piece to what it converts to
// whole - when the pieces are cut between characters.
bool ConvertsPieceByPiece(TCharsetId Id) {
    return Id == TCharsetId::UTF_8 || Ordinal(Id) < TableCharsetCount;
}

// A run of continuation bytes longer than this is no character; the cut may fall into it.
constexpr size_t LongestContinuationRun = 64;

// The end of the piece that starts at From: PieceBytes on, moved back to a byte that
// is no UTF-8 continuation byte, so that every sequence stays whole.
size_t PieceEnd(std::string_view Text, size_t From, TCharsetId Source) {
    const size_t Cut = From + PieceBytes;
    if (Cut >= Text.size()) return Text.size();
    if (Source != TCharsetId::UTF_8) return Cut;
    for (size_t End = Cut; End > Cut - LongestContinuationRun; --End)
        if ((static_cast<uint8_t>(Text[End]) & 0xC0) != 0x80) return End;
    return Cut;
}

std::string TranscodeWhole(std::string_view Text, TCharsetId Source, TCharsetId Target, bool Transliterate);

// --- characters by the library's answers for each alone ---------------------------------

std::atomic<bool> LearnedAnswersUsed{true};

bool HasOwnTable(TCharsetId Id) { return Ordinal(Id) < TableCharsetCount; }

// Asks the library for one character by the two halves a text takes, and gives no
// answer where a half that the library opened stops short (in a text that half
// would go to our own code whole); that half is closed. A half the library does not
// open is our own code's, for a lone character as for a text. Intermediate and Out
// are the caller's, kept from one character to the next.
void AskOne(std::string_view Character, TCharsetId Target, bool Transliterate, std::optional<TConverter>& Decoder,
            std::optional<TConverter>& Encoder, std::string& Intermediate, std::string& Out,
            TLearnedAnswers::TAsked& Answers) {
    if (!Decoder->Opened()) {
        Intermediate = OwnDecode(Character, TCharsetId::UTF_8);
    } else if (!RunDecoder(*Decoder, Character, Intermediate)) {
        Decoder.reset();
        return Answers.Refuse();
    }
    if (!Encoder->Opened()) {
        Out = OwnEncode(Intermediate, Target, Transliterate);
    } else if (!RunEncoder(*Encoder, Intermediate, Target, Out)) {
        Encoder.reset();
        return Answers.Refuse();
    }
    Answers.Add(Out);
}

// Asks the library for characters one at a time, with both descriptors open for the
// whole batch (a closed one is opened afresh for the next character).
void AskLibrary(TCharsetId Target, bool Transliterate, const std::vector<uint32_t>& Characters,
                TLearnedAnswers::TAsked& Answers) {
    const std::string SourceName = CharsetName(TCharsetId::UTF_8);
    const std::string TargetName = CharsetName(Target);
    std::optional<TConverter> Decoder, Encoder;
    std::string Intermediate, Out;
    for (const uint32_t C : Characters) {
        if (!Decoder) Decoder.emplace(OpenDecoder(SourceName));
        if (!Encoder) Encoder.emplace(OpenEncoder(TargetName, Transliterate));
        AskOne(Utf8OfCharacter(C), Target, Transliterate, Decoder, Encoder, Intermediate, Out, Answers);
    }
}

// The locale's name: a C library that transliterates by the locale may answer
// otherwise in another one.
std::string TransliterationLocale() {
    const char* Name = std::setlocale(LC_CTYPE, nullptr);
    return Name != nullptr ? Name : "";
}

// What the library numbered Library answered for the target in this mode, in the
// locale now in force; a new library or locale starts afresh. The lock guards the
// choice of the table, not the table, which guards itself.
std::shared_ptr<TLearnedAnswers> AnswersOfLibrary(uint32_t Library, TCharsetId Target, bool Transliterate) {
    struct TLearned {
        uint32_t Library = 0;
        std::string Locale;
        std::shared_ptr<TLearnedAnswers> Answers;
    };
    static std::mutex Lock;
    static std::array<std::array<TLearned, 2>, TableCharsetCount> Learned;
    std::string Locale = TransliterationLocale();
    std::lock_guard<std::mutex> Guard(Lock);
    TLearned& Slot = Learned[Ordinal(Target)][Transliterate ? 1 : 0];
    if (Slot.Library != Library || Slot.Locale != Locale || !Slot.Answers) {
        Slot.Answers = std::make_shared<TLearnedAnswers>(
            [Target, Transliterate](const std::vector<uint32_t>& Characters, TLearnedAnswers::TAsked& Answers) {
                AskLibrary(Target, Transliterate, Characters, Answers);
            });
        Slot.Library = Library;
        Slot.Locale = std::move(Locale);
    }
    return Slot.Answers;
}

// A text (or a piece of one) by the library's answers for its characters when they
// all have one, else through the library as always.
void AppendTranscoded(std::string_view Text, TCharsetId Source, TCharsetId Target, bool Transliterate,
                      TLearnedAnswers* Answers, std::string& Out) {
    if (Answers != nullptr && AppendLearnedAnswers(Text, *Answers, Out)) return;
    Out += TranscodeWhole(Text, Source, Target, Transliterate);
}

std::string TranscodeInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target, bool Transliterate,
                              TLearnedAnswers* Answers) {
    std::string Out;
    Out.reserve(Text.size() + Text.size() / 2);
    platform::AdviseLargeBuffer(Out.data(), Out.capacity());
    for (size_t From = 0; From < Text.size();) {
        const size_t End = PieceEnd(Text, From, Source);
        AppendTranscoded(Text.substr(From, End - From), Source, Target, Transliterate, Answers, Out);
        From = End;
    }
    return Out;
}

bool ConvertsInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target) {
    return Text.size() > 2 * PieceBytes && ConvertsPieceByPiece(Source) && ConvertsPieceByPiece(Target);
}

// Whether TranscodeText converts the text a piece at a time: only through the
// library. Our own UTF-8 reader keeps a state across the text (a reversed mark
// turns the order of the units that follow), so our own code converts it whole.
bool TranscodesInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target) {
    if (!ConvertsInPieces(Text, Source, Target)) return false;
    if (Source == TCharsetId::UTF_8 && IsSingleByte(Target)) {
        if (IconvLibraryGeneration() == 0) return false;
        if (HasOwnTable(Target) && LearnedAnswersUsed) return true;
    }
    return LoadIconvLibrary();
}

}  // namespace

void UseLearnedAnswers(bool On) { LearnedAnswersUsed = On; }

std::shared_ptr<TLearnedAnswers> LearnedAnswersOf(TCharsetId Target, bool Transliterate) {
    const uint32_t Library = IconvLibraryGeneration();
    if (Library == 0 || !HasOwnTable(Target)) return nullptr;
    return AnswersOfLibrary(Library, Target, Transliterate);
}

std::string TranscodeText(std::string_view Text, TCharsetId Source, TCharsetId Target, bool Transliterate) {
    if (Source == Target) return std::string(Text);
    if (Source == TCharsetId::UTF_8 && IsSingleByte(Target)) {
        // With no library both halves are ours, and UTF-8 into a single-byte charset
        // needs no intermediate.
        const uint32_t Library = IconvLibraryGeneration();
        if (Library == 0) return Utf8ToSingleBytes(Text, Target, Transliterate);
        // A loaded library keeps both halves, but what it answered for each character
        // alone is what it writes for the character in a text: the answers are written
        // in one pass.
        if (HasOwnTable(Target) && LearnedAnswersUsed) {
            const std::shared_ptr<TLearnedAnswers> Answers = AnswersOfLibrary(Library, Target, Transliterate);
            if (ConvertsInPieces(Text, Source, Target))
                return TranscodeInPieces(Text, Source, Target, Transliterate, Answers.get());
            std::string Out;
            if (AppendLearnedAnswers(Text, *Answers, Out)) return Out;
            return TranscodeWhole(Text, Source, Target, Transliterate);
        }
    }
    if (ConvertsInPieces(Text, Source, Target) && LoadIconvLibrary())
        return TranscodeInPieces(Text, Source, Target, Transliterate, nullptr);
    return TranscodeWhole(Text, Source, Target, Transliterate);
}

namespace {

std::string TranscodeWhole(std::string_view Text, TCharsetId Source, TCharsetId Target, bool Transliterate) {
    const std::string SourceName = CharsetName(Source);
    const std::string TargetName = CharsetName(Target);

    std::string Intermediate;
    if (Source == TCharsetId::UCS_2)
        Intermediate.assign(Text);
    else if (!LibraryDecode(Text, SourceName, Intermediate))
        Intermediate = OwnDecode(Text, Source);

    std::string Out;
    if (!LibraryEncode(Intermediate, Target, TargetName, Transliterate, Out))
        Out = OwnEncode(Intermediate, Target, Transliterate);
    return Out;
}

}  // namespace

std::string ConvertCharset(std::string_view Text, TCharsetId Source, TCharsetId Target) {
    return TranscodeText(Text, Source, Target, true);
}

void ConvertCharsetInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target,
                            const std::function<void(std::string_view)>& Take) {
    if (Source == Target) {
        Take(Text);
        return;
    }
    // Pieces of a text that converts in pieces are cut where the conversion of the
    // whole text cuts them, and each is short enough to be converted whole.
    if (!TranscodesInPieces(Text, Source, Target)) {
        Take(ConvertCharset(Text, Source, Target));
        return;
    }
    for (size_t From = 0; From < Text.size();) {
        const size_t End = PieceEnd(Text, From, Source);
        Take(ConvertCharset(Text.substr(From, End - From), Source, Target));
        From = End;
    }
}

bool ConvertsCharsetInPieces(std::string_view Text, TCharsetId Source, TCharsetId Target) {
    return Source != Target && TranscodesInPieces(Text, Source, Target);
}

bool ConvertsWhole(std::string_view Text, TCharsetId Source, TCharsetId Target, std::string& Converted) {
    Converted = TranscodeText(Text, Source, Target, false);
    if (Source == Target) return true;
    // Into a charset of its own table every character kept gives one byte, so a
    // well-formed UTF-8 text lost nothing when the counts agree; anything else is
    // converted back and compared.
    size_t Characters = 0;
    if (Source == TCharsetId::UTF_8 && HasOwnTable(Target) && CountUtf8Characters(Text, Characters) &&
        Characters == Converted.size())
        return true;
    return TranscodeText(Converted, Target, Source, false) == Text;
}

TCharsetId BestCharset(std::string_view Text, TCharsetId Source, const TCharsetSet& Candidates) {
    const std::string_view Sample = Text.substr(0, BestCharsetSample);
    TCharsetId Result = TCharsetId::ISO_8859_1;
    size_t BestLength = 0;
    for (size_t N = 0; N < CharsetCount; ++N) {
        const TCharsetId Member = CharsetOfOrdinal(N);
        if (!Candidates.Contains(Member)) continue;
        const std::string There = TranscodeText(Sample, Source, Member, false);
        const std::string Back = TranscodeText(There, Member, Source, false);
        if (Back == Sample) return Member;
        if (Back.size() > BestLength) {
            Result = Member;
            BestLength = Back.size();
        }
    }
    return Result;
}

}  // namespace lumaro
