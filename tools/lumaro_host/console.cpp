// Standard streams as byte streams, and whether stderr is a terminal.
#include <cstdio>

#include "tools/lumaro_host/host.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace lumaro::host {

void UseBinaryStdio() {
#ifdef _WIN32
    // A message is bytes: no CR LF translation and no end at a Ctrl-Z.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::string ReadAllStdin() {
    std::string Bytes;
    char Buffer[1 << 16];
    size_t N;
    while ((N = std::fread(Buffer, 1, sizeof Buffer, stdin)) > 0) Bytes.append(Buffer, N);
    if (std::ferror(stdin)) throw TUsageError("cannot read standard input");
    return Bytes;
}

}  // namespace lumaro::host
