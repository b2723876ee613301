// A job run in a scratch folder of the host's own: the folder and the
// configuration written into it.
#include <chrono>
#include <filesystem>

#include "tools/hostside/hostside.h"

#ifndef _WIN32
#include <cstdlib>
#include <vector>
#endif

namespace lumaro::host {
namespace {

namespace fs = std::filesystem;

}  // namespace

std::string TemporaryFolder() {
    std::error_code Error;
    const fs::path Temp = fs::temp_directory_path(Error);
    if (Error) throw TUsageError("no folder for temporary files");
    return TextOf(Temp);
}

#ifdef _WIN32
TScratchFolder::TScratchFolder(const std::string& Parent, const std::string& Prefix) {
    std::error_code Error;
    const auto Seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned Try = 0; Try < 100; ++Try) {
        const fs::path Candidate = PathOf(Parent) / PathOf(Prefix + std::to_string(Seed + Try));
        // create_directory fails on an existing folder, so two hosts never share one.
        if (fs::create_directory(Candidate, Error) && !Error) {
            Folder = TextOf(Candidate);
            return;
        }
    }
    throw TUsageError("cannot create a scratch folder in " + Parent);
}
#else
TScratchFolder::TScratchFolder(const std::string& Parent, const std::string& Prefix) {
    // mkdtemp makes a new folder of mode 700 under a name nobody else holds.
    std::string Template = JoinPath(Parent, Prefix + "XXXXXX");
    std::vector<char> Name(Template.begin(), Template.end());
    Name.push_back('\0');
    if (mkdtemp(Name.data()) == nullptr) throw TUsageError("cannot create a scratch folder in " + Parent);
    Folder = Name.data();
}
#endif

TScratchFolder::~TScratchFolder() {
    std::error_code Error;
    fs::remove_all(PathOf(Folder), Error);
}

std::string ScratchConfiguration(const std::optional<std::string>& BaseDir, const std::string& LogFile,
                                 const std::string& Queue, const std::optional<std::string>& CharSetOverride) {
    TConfiguration Base;
    if (BaseDir) Base = ReadConfiguration(ConfigurationPath(*BaseDir));
    if (CharSetOverride) Base.CharSet = {*CharSetOverride, TSettingSource::File, {}};
    std::string Text = "[Lumaro]\r\n";
    Text += "LogFile=" + LogFile + "\r\n";
    Text += "Queue=" + Queue + "\r\n";
    // What the base folder's file sets goes on; a default stays a default.
    const std::pair<const char*, const TSetting*> Kept[] = {
        {"TagName", &Base.TagName}, {"CharSet", &Base.CharSet}, {"CodePage", &Base.CodePage}};
    for (const auto& [Key, Setting] : Kept)
        if (Setting->Source == TSettingSource::File) Text += std::string(Key) + "=" + Setting->Value + "\r\n";
    return Text;
}

}  // namespace lumaro::host
