// One message spooled into its scratch queue file as the MTA hands it over.
#include <sys/stat.h>

#include <cstdio>

#include "tools/lumaro_milter/milter.h"

namespace lumaro::milter {
namespace {

// The body comes in pieces of up to 64 KB: one write each, where the file's own
// block-sized buffer would take sixteen.
constexpr size_t SpoolBufferSize = 64 * 1024;

}  // namespace

TMessage::TMessage(std::string InPath, std::string OutPath, std::string Sender, uint64_t Limit)
    : In(std::move(InPath)), Out(std::move(OutPath)), EnvelopeSender(std::move(Sender)), MaxSize(Limit) {
    File = std::fopen(In.c_str(), "wb");
    if (File == nullptr) {
        Current = TState::WriteFailed;
        return;
    }
    std::setvbuf(File, nullptr, _IOFBF, SpoolBufferSize);
}

TMessage::~TMessage() {
    if (File != nullptr) std::fclose(File);
    std::remove(In.c_str());
    std::remove(Out.c_str());
}

void TMessage::Stop(TState Why) {
    Current = Why;
    if (File != nullptr) std::fclose(File);
    File = nullptr;
    std::remove(In.c_str());
}

bool TMessage::Write(const void* Data, size_t Size) {
    if (Current != TState::Receiving) return false;
    if (Size > MaxSize - Written) {
        Stop(TState::OverSize);
    } else if (Size > 0 && std::fwrite(Data, 1, Size, File) != Size) {
        Stop(TState::WriteFailed);
    } else {
        Written += Size;
    }
    return Current == TState::Receiving;
}

bool TMessage::AddHeader(const std::string& Name, const std::string& Value) {
    if (Current != TState::Receiving) return false;
    // The queue file would hold another header than the MTA's: the job could
    // then make the MTA add the sender's fields, or lose its own ones.
    if (!StaysOneField(Name, Value)) {
        Stop(TState::UnsafeHeader);
        return false;
    }
    // The MTA folds with a bare LF; the queue file has CR LF everywhere.
    const std::string Line = Name + ": " + WithCrLfFolds(Value) + "\r\n";
    if (!Write(Line.data(), Line.size())) return false;
    Fields.push_back({Name, Value});
    return true;
}

bool TMessage::EndHeader() {
    if (!Write("\r\n", 2)) return false;
    BodyStart = Written;
    return true;
}

bool TMessage::AddBody(const unsigned char* Data, size_t Size) { return Write(Data, Size); }

bool TMessage::Finish() {
    if (Current != TState::Receiving) return false;
    // A message without a body still needs the line that ends its header.
    if (BodyStart == 0 && !EndHeader()) return false;
    struct stat Info {};
    const bool Flushed = std::fflush(File) == 0 && fstat(fileno(File), &Info) == 0;
    const bool Closed = std::fclose(File) == 0 && Flushed;
    File = nullptr;
    if (!Closed) Current = TState::WriteFailed;
    SpooledInode = Info.st_ino;
    return Closed;
}

}  // namespace lumaro::milter
