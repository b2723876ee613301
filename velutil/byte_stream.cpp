// The in-memory byte stream and moving texts into and out of it.
#include "velutil/velutil.h"

#include <algorithm>
#include <cstring>

namespace lumaro {

size_t TByteStream::Read(char* Buffer, size_t Count) {
    size_t N = std::min(Count, Data.size() - Pos_);
    if (N > 0) std::memcpy(Buffer, Data.data() + Pos_, N);
    Pos_ += N;
    return N;
}

void TByteStream::Write(const char* Buffer, size_t Count) {
    if (Count == 0) return;
    // Writing overwrites the bytes at the position and extends the stream past its end.
    size_t Overwritten = std::min(Count, Data.size() - Pos_);
    Data.replace(Pos_, Overwritten, Buffer, Count);
    Pos_ += Count;
}

std::string ReadStreamText(TByteStream& Stream, size_t Count) {
    size_t Available = Stream.Size() - Stream.Position();
    std::string Result(std::min(Count, Available), '\0');
    Result.resize(Stream.Read(Result.data(), Result.size()));
    return Result;
}

void WriteStreamText(TByteStream& Stream, std::string_view Value) {
    Stream.Write(Value.data(), Value.size());
}

}  // namespace lumaro
