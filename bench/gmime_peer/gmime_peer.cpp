// The same job as the module's, done with GMime 3, so that the job benchmark can
// measure a well-known library beside us on the same files in the same run.
//
//     gmime-peer queue DIR
//
// For every *.QDF file in DIR, in name order: parse the message; decode the
// UTF-8 encoded words of Subject, From, To and CC and write them again in
// ISO-8859-2; for every text part that is not HTML and whose charset is UTF-8,
// decode its body, convert it into ISO-8859-2 with GMime's charset filter, give
// it back with its transfer encoding and relabel its charset. A message that
// changed is written to a temporary file, flushed and renamed over the original,
// as the module does. The summary line has the form of lumaro-host's.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* Target = "iso-8859-2";

bool IsUtf8(const char* Charset) { return Charset != nullptr && g_ascii_strcasecmp(Charset, "utf-8") == 0; }

// Decodes the body through the transfer encoding and the charset filter into memory.
GMimeStream* ConvertedContent(GMimePart* Part) {
    GMimeStream* Memory = g_mime_stream_mem_new();
    GMimeStream* Filtered = g_mime_stream_filter_new(Memory);
    GMimeFilter* Charset = g_mime_filter_charset_new("utf-8", Target);
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(Filtered), Charset);
    g_object_unref(Charset);
    g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(Part), Filtered);
    g_mime_stream_flush(Filtered);
    g_object_unref(Filtered);
    g_mime_stream_reset(Memory);
    return Memory;
}

void ConvertTextPart(GMimeObject*, GMimeObject* Object, gpointer Changed) {
    if (!GMIME_IS_PART(Object)) return;
    GMimeContentType* Type = g_mime_object_get_content_type(Object);
    if (!g_mime_content_type_is_type(Type, "text", "*") || g_mime_content_type_is_type(Type, "text", "html")) return;
    if (!IsUtf8(g_mime_content_type_get_parameter(Type, "charset"))) return;
    GMimePart* Part = GMIME_PART(Object);
    GMimeStream* Converted = ConvertedContent(Part);
    // The part keeps its transfer encoding: writing the message encodes the new content with it.
    GMimeDataWrapper* Content = g_mime_data_wrapper_new_with_stream(Converted, GMIME_CONTENT_ENCODING_DEFAULT);
    g_object_unref(Converted);
    g_mime_part_set_content(Part, Content);
    g_object_unref(Content);
    g_mime_object_set_content_type_parameter(Object, "charset", "ISO-8859-2");
    *static_cast<bool*>(Changed) = true;
}

bool DecodeHeaders(GMimeMessage* Message) {
    bool Changed = false;
    GMimeHeaderList* Headers = g_mime_object_get_header_list(GMIME_OBJECT(Message));
    for (int I = 0; I < g_mime_header_list_get_count(Headers); ++I) {
        GMimeHeader* Header = g_mime_header_list_get_header_at(Headers, I);
        const char* Name = g_mime_header_get_name(Header);
        if (g_ascii_strcasecmp(Name, "Subject") != 0 && g_ascii_strcasecmp(Name, "From") != 0 &&
            g_ascii_strcasecmp(Name, "To") != 0 && g_ascii_strcasecmp(Name, "CC") != 0)
            continue;
        // Like the module, only headers holding an encoded word of a UTF charset.
        const char* Raw = g_mime_header_get_raw_value(Header);
        if (Raw == nullptr) continue;
        char* Upper = g_ascii_strup(Raw, -1);
        const bool Unicode = g_strstr_len(Upper, -1, "=?UTF") != nullptr;
        g_free(Upper);
        if (!Unicode) continue;
        char* Text = g_mime_utils_header_decode_text(nullptr, Raw);
        g_mime_header_set_value(Header, nullptr, Text, Target);
        g_free(Text);
        Changed = true;
    }
    return Changed;
}

// Lines end in CR LF, as in the module's output.
GMimeFormatOptions* WriteOptions() {
    static GMimeFormatOptions* Options = [] {
        GMimeFormatOptions* O = g_mime_format_options_new();
        g_mime_format_options_set_newline_format(O, GMIME_NEWLINE_FORMAT_DOS);
        return O;
    }();
    return Options;
}

void WriteBack(GMimeMessage* Message, const std::string& Path) {
    const std::string Temporary = Path + ".peer-tmp";
    const int Fd = open(Temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (Fd < 0) throw std::runtime_error("cannot create " + Temporary);
    GMimeStream* Out = g_mime_stream_fs_new(Fd);
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(Out), FALSE);
    g_mime_object_write_to_stream(GMIME_OBJECT(Message), WriteOptions(), Out);
    g_mime_stream_flush(Out);
    g_object_unref(Out);
    if (fsync(Fd) != 0 || close(Fd) != 0 || rename(Temporary.c_str(), Path.c_str()) != 0)
        throw std::runtime_error("cannot replace " + Path);
}

// True when the message changed.
bool RunJob(const std::string& Path) {
    const int Fd = open(Path.c_str(), O_RDONLY);
    if (Fd < 0) throw std::runtime_error("cannot open " + Path);
    GMimeStream* In = g_mime_stream_fs_new(Fd);
    GMimeParser* Parser = g_mime_parser_new_with_stream(In);
    g_object_unref(In);
    GMimeMessage* Message = g_mime_parser_construct_message(Parser, nullptr);
    g_object_unref(Parser);
    if (Message == nullptr) throw std::runtime_error("cannot parse " + Path);
    bool Changed = DecodeHeaders(Message);
    g_mime_message_foreach(Message, ConvertTextPart, &Changed);
    if (Changed) WriteBack(Message, Path);
    g_object_unref(Message);
    return Changed;
}

std::vector<std::string> QueueFiles(const std::string& Folder) {
    std::vector<std::string> Files;
    DIR* D = opendir(Folder.c_str());
    if (D == nullptr) throw std::runtime_error("cannot read " + Folder);
    while (dirent* E = readdir(D)) {
        const std::string Name = E->d_name;
        if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".QDF") == 0) Files.push_back(Folder + "/" + Name);
    }
    closedir(D);
    std::sort(Files.begin(), Files.end());
    return Files;
}

double PeakMegabytes() {
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("VmHWM:", 0) == 0) return std::stod(Line.substr(6)) / 1000.0;
    return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
    if (Argc != 3 || std::strcmp(Argv[1], "queue") != 0) {
        std::fprintf(stderr, "usage: gmime-peer queue DIR\n");
        return 2;
    }
    g_mime_init();
    const std::vector<std::string> Files = QueueFiles(Argv[2]);
    uint64_t Bytes = 0;
    for (const std::string& File : Files) {
        struct stat St {};
        if (stat(File.c_str(), &St) == 0) Bytes += static_cast<uint64_t>(St.st_size);
    }
    size_t Changed = 0, Failed = 0;
    const auto Start = std::chrono::steady_clock::now();
    for (const std::string& File : Files) {
        try {
            Changed += RunJob(File) ? 1 : 0;
        } catch (const std::exception& E) {
            std::fprintf(stderr, "%s\n", E.what());
            ++Failed;
        }
    }
    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    std::printf("jobs %zu, changed %zu, failed %zu, %.3f seconds, %.1f MB/s, peak memory %.1f MB\n", Files.size(),
                Changed, Failed, Seconds, Seconds > 0 ? static_cast<double>(Bytes) / 1e6 / Seconds : 0.0,
                PeakMegabytes());
    g_mime_shutdown();
    return Failed == 0 ? 0 : 1;
}
