// The configuration: lumaro.ini read as every job reads it, what a job makes of
// settings it cannot use, and the check that shows an administrator all of it
// before the mail does.
#include <algorithm>

#include "lumaro/lumaro.h"
#include "platform/platform.h"
#include "velchar/velchar.h"
#include "velicnv/velicnv.h"
#include "velutil/velutil.h"

namespace lumaro {

const TConfigurationKey ConfigurationKeys[5] = {
    {"LogFile", "lumaro.log", &TConfiguration::LogFile},
    {"TagName", DefaultTagName, &TConfiguration::TagName},
    {"Queue", "", &TConfiguration::Queue},
    {"CharSet", "ISO-8859-2", &TConfiguration::CharSet},
    {"CodePage", "", &TConfiguration::CodePage},
};

namespace {

constexpr const char* ConfigSection = "Lumaro";

// A default no file holds, so that a missing key is told from one present with
// any value.
const std::string MissingValue("\x01lumaro-missing\x01");

std::optional<uint32_t> UsableCodePage(const TSetting& Setting) {
    const std::optional<uint32_t> Number = platform::CodePageNumber(Setting.Value);
    if (!Number || (Setting.Source != TSettingSource::Environment && !CodePageKnown(*Number))) return std::nullopt;
    return Number;
}

std::string Quoted(const std::string& Value) { return "\"" + Value + "\""; }

std::string CharSetProblem(const std::string& Value) {
    return "CharSet " + Quoted(Value) + " names no charset the module knows: text parts are left unconverted";
}

std::string TagNameProblem(const std::string& Value) {
    return "TagName " + Quoted(Value) + " is no header field name (printable ASCII, no blank, no colon): " +
           DefaultTagName + " is written instead";
}

std::string CodePageProblem(const std::string& Value) {
    return "CodePage " + Quoted(Value) + " is no code page number the module knows: it is not used";
}

}  // namespace

std::string JoinPath(const std::string& Folder, const std::string& Name) {
    std::string Path;
    Path.reserve(Folder.size() + 1 + Name.size());
    Path += Folder;
    Path += platform::PathSeparator();
    Path += Name;
    return Path;
}

std::string ConfigurationPath(const std::string& BaseDir) { return JoinPath(BaseDir, "lumaro.ini"); }

std::string QueueFolderOf(const std::string& Configured, const std::function<std::string()>& ServerQueue,
                          const std::string& BaseDir) {
    if (!Configured.empty()) return Configured;
    std::string Server = ServerQueue();
    return Server.empty() ? JoinPath(BaseDir, "QUEUE") : Server;
}

std::string QueueFileOf(const std::string& QueueDir, const std::string& JobId) {
    return JoinPath(QueueDir, JobId + ".QDF");
}

TConfiguration ReadConfiguration(const std::string& Path) {
    std::vector<platform::TProfileKey> Keys;
    for (const TConfigurationKey& Key : ConfigurationKeys) Keys.push_back({Key.Name, MissingValue});
    std::vector<std::string> Values = platform::ProfileStrings(Path, ConfigSection, Keys);
    TConfiguration Configuration;
    Configuration.Path = Path;
    for (size_t I = 0; I < Values.size(); ++I) {
        TSetting& Setting = Configuration.*(ConfigurationKeys[I].Field);
        const bool Missing = Values[I] == MissingValue;
        Setting.Value = Missing ? ConfigurationKeys[I].Default : std::move(Values[I]);
        Setting.Source = Missing ? TSettingSource::Default : TSettingSource::File;
    }
    if (std::optional<uint32_t> Forced = platform::ForcedCodePage())
        Configuration.CodePage = {std::to_string(*Forced), TSettingSource::Environment, {}};
    return Configuration;
}

bool IsFieldName(std::string_view Name) {
    return !Name.empty() && std::all_of(Name.begin(), Name.end(), [](char C) { return C > ' ' && C < 0x7F && C != ':'; });
}

TJobSettings SettleJobSettings(const TConfiguration& Configuration) {
    TJobSettings Settings;
    Settings.TagName = Configuration.TagName.Value;
    if (!IsFieldName(Settings.TagName)) {
        Settings.Problems.push_back(TagNameProblem(Settings.TagName));
        Settings.TagName = DefaultTagName;
    }
    const std::optional<TCharsetId> CharSet = KnownCharsetByName(Configuration.CharSet.Value);
    Settings.CharSetKnown = CharSet.has_value();
    if (!CharSet) Settings.Problems.push_back(CharSetProblem(Configuration.CharSet.Value));
    Settings.CodePage = UsableCodePage(Configuration.CodePage);
    if (!Settings.CodePage && !Configuration.CodePage.Value.empty())
        Settings.Problems.push_back(CodePageProblem(Configuration.CodePage.Value));
    // Where the system has no ANSI code page, the charset the server's mail is
    // converted into says which script its headers are to be read in.
    if (!Settings.CodePage && !platform::SystemAnsiCodePage())
        Settings.CodePage = AnsiCodePageOfCharset(CharSet.value_or(TCharsetId::ISO_8859_1));
    return Settings;
}

// --- the check ---------------------------------------------------------------------

namespace {

std::string SourceText(const TSetting& Setting) {
    switch (Setting.Source) {
        case TSettingSource::File: return "from the file";
        case TSettingSource::Default: return "default";
        case TSettingSource::Environment: return "from the environment";
        case TSettingSource::Host: return Setting.HostNote;
    }
    return {};
}

std::string CodePageOrigin(const TConfiguration& Configuration, const TJobSettings& Settings) {
    if (Configuration.CodePage.Source == TSettingSource::Environment) return "LUMARO_CODEPAGE";
    if (UsableCodePage(Configuration.CodePage)) return "the CodePage setting";
    if (Settings.CodePage) return "the script of CharSet";
    return "the system's ANSI code page";
}

// The names of every charset, wrapped into lines after a first line of text.
std::vector<std::string> CharsetNameLines() {
    std::vector<std::string> Lines{"Charset names the module knows (and their aliases):"};
    std::string Line = " ";
    for (size_t N = 0; N < CharsetCount; ++N) {
        const std::string Name = CharsetName(CharsetOfOrdinal(N));
        if (Line.size() + 1 + Name.size() > 78) {
            Lines.push_back(Line);
            Line = " ";
        }
        Line += " " + Name;
    }
    Lines.push_back(Line);
    return Lines;
}

void CheckSections(const TConfiguration& Configuration, TConfigurationCheck& Check) {
    const std::vector<std::string> Sections = platform::ProfileSectionNames(Configuration.Path);
    const bool HasOurs = std::any_of(Sections.begin(), Sections.end(),
                                     [](const std::string& Name) { return SameText(Name, ConfigSection); });
    if (!HasOurs && !Sections.empty()) {
        Check.Problems.push_back("the file has no section [" + std::string(ConfigSection) + "] (its first is [" +
                                 Sections.front() + "]): every setting has its default");
    }
    for (const std::string& Key : platform::ProfileKeyNames(Configuration.Path, ConfigSection)) {
        const bool Known = std::any_of(std::begin(ConfigurationKeys), std::end(ConfigurationKeys),
                                       [&Key](const TConfigurationKey& K) { return SameText(Key, K.Name); });
        if (!Known) Check.Problems.push_back("unknown key " + Quoted(Key) + " in [Lumaro]: it is not read");
    }
}

void CheckActivityLog(const TSetting& LogFile, bool LogToStream, TConfigurationCheck& Check) {
    if (LogToStream) {
        Check.Lines.push_back("Activity log: standard error (" + LogFile.HostNote + ")");
        return;
    }
    const std::string Full = platform::FullPath(LogFile.Value);
    std::string Line = "Activity log: " + Full;
    if (Full != LogFile.Value && LogFile.Source != TSettingSource::Host)
        Line += " (relative: a server's process takes it from its own current folder, not this one)";
    Check.Lines.push_back(Line);
    const std::string Refusal = platform::WhyCannotAppend(LogFile.Value);
    if (Refusal.empty()) {
        Check.Lines.push_back("  can be appended to");
    } else {
        Check.Problems.push_back("the activity log " + Full + " cannot be appended to (" + Refusal +
                                 "): every job that changes a message fails");
    }
}

std::string IconvLine() {
    bool Chosen = false;
    const std::string Choice = platform::Environment("LUMARO_ICONV", &Chosen);
    const std::string File = IconvLibraryFile();
    std::string Line = "iconv library: " + (File.empty() ? std::string("none found, the module's own code converts") : File);
    if (Chosen) Line += " (LUMARO_ICONV=" + Choice + ")";
    return Line;
}

}  // namespace

TConfigurationCheck CheckConfiguration(const std::string& BaseDir, const TCheckedHost& Host) {
    TConfiguration Configuration = ReadConfiguration(ConfigurationPath(BaseDir));
    if (Host.LogFile) Configuration.LogFile = *Host.LogFile;
    if (Host.Queue) Configuration.Queue = *Host.Queue;
    const TJobSettings Settings = SettleJobSettings(Configuration);

    TConfigurationCheck Check;
    Check.Problems = Settings.Problems;
    const std::string Path = platform::FullPath(Configuration.Path);
    Check.Lines.push_back("Configuration file: " + Path +
                          (platform::FileExists(Configuration.Path) ? "" : " (not found: every setting has its default)"));
    for (const TConfigurationKey& Key : ConfigurationKeys) {
        const TSetting& Setting = Configuration.*(Key.Field);
        std::string Line = "  " + std::string(Key.Name) + "=" + Setting.Value;
        Line.resize(std::max<size_t>(Line.size(), 28), ' ');
        Check.Lines.push_back(Line + " (" + SourceText(Setting) + ")");
    }
    const TSystemCodePageScope CodePage(Settings.CodePage.value_or(SystemCodePage()));
    Check.Lines.push_back("Headers are decoded into code page " + std::to_string(SystemCodePage()) + " (" +
                          CharsetName(SystemCharset()) + "), from " + CodePageOrigin(Configuration, Settings));
    CheckActivityLog(Configuration.LogFile, Host.LogToStream, Check);
    Check.Lines.push_back(IconvLine());
    CheckSections(Configuration, Check);
    if (!Settings.CharSetKnown) {
        const std::vector<std::string> Names = CharsetNameLines();
        Check.Lines.insert(Check.Lines.end(), Names.begin(), Names.end());
    }
    return Check;
}

}  // namespace lumaro
