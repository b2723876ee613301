// Reading values from INI files; the same cases hold for our reader and for the
// Windows profile service.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

struct TProfileCase {
    const char* Name;
    std::string Ini;
    std::string Section, Key, Expected;
};

const std::string Long(2000, 'v');

const TProfileCase ProfileCases[] = {
    {"key found", "[Lumaro]\r\nLogFile=act.log\r\n", "Lumaro", "LogFile", "act.log"},
    {"names without case", "[lUMARO]\r\nlogfile=Act.log\r\n", "Lumaro", "LOGFILE", "Act.log"},
    {"missing section", "[Other]\r\nLogFile=act.log\r\n", "Lumaro", "LogFile", "default"},
    {"missing key", "[Lumaro]\r\nTagName=X\r\n", "Lumaro", "LogFile", "default"},
    {"key of the next section", "[Lumaro]\r\nA=1\r\n[Next]\r\nLogFile=no\r\n", "Lumaro", "LogFile", "default"},
    {"empty value is empty", "[Lumaro]\r\nQueue=\r\n", "Lumaro", "Queue", ""},
    {"blanks around name and value", "[ Lumaro ]\r\n  Queue =  C:\\q \t\r\n", "Lumaro", "Queue", "C:\\q"},
    {"bare LF lines, inner blanks", "[Lumaro]\nA=1\nB=x  y\n", "Lumaro", "B", "x  y"},
    {"first of two equal keys", "[Lumaro]\r\nB=first\r\nB=x=y\r\n", "Lumaro", "B", "first"},
    {"a longer name is another key", "[Lumaro]\r\nBB=long\r\nB=short\r\n", "Lumaro", "B", "short"},
    {"equals sign and semicolon in the value", "[Lumaro]\r\nB=a=b ;c\r\n", "Lumaro", "B", "a=b ;c"},
    {"comment line", "[Lumaro]\r\n;B=commented\r\n", "Lumaro", "B", "default"},
    {"value cut to 1023", "[Lumaro]\r\nB=" + Long + "\r\n", "Lumaro", "B", Long.substr(0, 1023)},
    {"quotes dropped", "[Lumaro]\r\nC='r'\r\n", "Lumaro", "C", "r"},
    {"unpaired quote kept", "[Lumaro]\r\nB=\"q v\r\n", "Lumaro", "B", "\"q v"},
    {"line without equals", "[Lumaro]\r\nB\r\n", "Lumaro", "B", "default"},
    {"unclosed section", "[Lumaro\r\nB=1\r\n", "Lumaro", "B", "default"},
    {"only the first section", "[Lumaro]\r\nA=1\r\n[LUMARO]\r\nB=2\r\n", "Lumaro", "B", "default"},
    {"byte-order mark, CR lines", "\xEF\xBB\xBF[Lumaro] old\rB=cr\r", "Lumaro", "B", "cr"},
};

class ProfileTable : public ::testing::TestWithParam<TProfileCase> {};

TEST_P(ProfileTable, GivesTheValueOrTheDefault) {
    const TProfileCase& C = GetParam();
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("lumaro.ini");
    platform::WriteWholeFile(Path, C.Ini);
    EXPECT_EQ(platform::ProfileString(Path, C.Section, C.Key, "default"), C.Expected) << C.Name;
    // Read together with other keys, each gives what it gives alone.
    const std::vector<std::string> Together = platform::ProfileStrings(
        Path, C.Section, {{"A", " a "}, {C.Key, "default"}, {"NoSuchKey", ""}});
    EXPECT_EQ(Together, (std::vector<std::string>{platform::ProfileString(Path, C.Section, "A", " a "),
                                                  C.Expected, ""}))
        << C.Name;
}

INSTANTIATE_TEST_SUITE_P(Rules, ProfileTable, ::testing::ValuesIn(ProfileCases));

TEST(ProfileString, MissingFileGivesTheDefault) {
    testing::TScratchFolder Folder;
    EXPECT_EQ(platform::ProfileString(Folder.Path("none.ini"), "Lumaro", "LogFile", "lumaro.log"),
              "lumaro.log");
    EXPECT_EQ(platform::ProfileString(Folder.Path("none.ini"), "Lumaro", "Queue", " q  "), " q");
    EXPECT_EQ(platform::ProfileString(Folder.Path("none.ini"), "Lumaro", "Queue", Long),
              Long.substr(0, 1023));
    EXPECT_EQ(platform::ProfileString(Folder.Path("none.ini"), "Lumaro", "Queue", ""), "");
}

TEST(ProfileString, RelativePathIsTakenFromTheCurrentFolder) {
    testing::TScratchFolder Folder;
    platform::WriteWholeFile(Folder.Path("lumaro.ini"), "[Lumaro]\r\nTagName=Here\r\n");
    const auto Previous = std::filesystem::current_path();
    std::filesystem::current_path(Folder.Path(""));
    const std::string Value = platform::ProfileString("lumaro.ini", "Lumaro", "TagName", "none");
    std::filesystem::current_path(Previous);
    EXPECT_EQ(Value, "Here");
}

}  // namespace
}  // namespace lumaro
