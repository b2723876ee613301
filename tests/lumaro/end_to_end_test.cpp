#include <gtest/gtest.h>

#include <chrono>

#include "lumaro/lumaro.h"
#include "platform/platform.h"
#include "platform/test_support.h"
#include "test_host.h"

namespace lumaro::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string NulLine("epilogue \0 with a NUL", sizeof("epilogue \0 with a NUL") - 1);

const std::string Tag = "X-LUMARO: normalization conversion made by Lumaro " LUMARO_VERSION " on mail.example.cz";

// "Příliš žluťoučký kůň" in UTF-8 quoted-printable, in a single-part message.
const Lines WorkedExample = {
    "Received: from mx.example.cz by mail.example.cz",
    "Subject: =?UTF-8?Q?P=C5=99=C3=ADli=C5=A1_=C5=BElu=C5=A5ou=C4=8Dk=C3=BD?=",
    "MIME-Version: 1.0",
    "Content-Type: text/plain; charset=utf-8",
    "Content-Transfer-Encoding: quoted-printable",
    "",
    "P=C5=99=C3=ADli=C5=A1 =C5=BElu=C5=A5ou=C4=8Dk=C3=BD k=C5=AF=C5=88",
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        Scratch.WriteConfig();
        Host.UseScratch(Scratch);
    }

    void Queue(const std::string& Bytes) { WriteFile(Scratch.QueueFile("JOB1"), Bytes); }
    std::string Queued() const { return ReadFile(Scratch.QueueFile("JOB1")); }

    Lines LogLines() const {
        Lines Result;
        for (const std::string& Line : ReadLines(Scratch.Log)) Result.push_back(WithoutStamp(Line));
        return Result;
    }
    static std::string Logged(const std::string& Code, const std::string& Text) {
        return FormatLogLine(Code, "<stamp>", "JOB1", "jan@example.cz", Text, 0);
    }
    Lines QueueFolder() const {
        Lines Names;
        for (const auto& Entry : fs::directory_iterator(Scratch.Queue)) Names.push_back(Entry.path().filename().string());
        return Names;
    }

    TScratch Scratch;
    TTestHost Host;
};

TEST_F(EndToEnd, WorkedExample) {
    Queue(CrLfText(WorkedExample));
    EXPECT_EQ(Host.RunDaemon(), 0);
    EXPECT_EQ(Queued(), CrLfText({
                            Tag,
                            "Received: from mx.example.cz by mail.example.cz",
                            "Subject: =?ISO-8859-2?Q?P=F8=EDli=B9_=BElu=BBou=E8k=FD?=",
                            "MIME-Version: 1.0",
                            "Content-type: TEXT/PLAIN; charset=ISO-8859-2",
                            "Content-Transfer-Encoding: Quoted-printable",
                            "",
                            "P=F8=EDli=B9 =BElu=BBou=E8k=FD k=F9=F2",
                        }));
    EXPECT_EQ(LogLines(), (Lines{Logged("H", "subject"), Logged("C", "UTF-8")}));
    EXPECT_TRUE(Host.ServerLog.empty());
}

TEST_F(EndToEnd, MultipartAlternative) {
    const Lines Message = {
        "From: =?UTF-8?Q?Jan_Nov=C3=A1k?= <jan@example.cz>",
        "To: eva@example.cz",
        "Subject: =?UTF-8?B?UMWZw61sacWhIMW+bHXFpW91xI1rw70ga8WvxYg=?=",
        "MIME-Version: 1.0",
        "Content-Type: multipart/alternative; boundary=\"b1\"",
        "",
        "preamble",
        "--b1",
        "Content-Type: text/plain; charset=UTF-8",
        "Content-Transfer-Encoding: base64",
        "",
        "UMWZw61sacWhIMW+bHXFpW91xI1rw70ga8WvxYgNCg==",
        "--b1",
        "Content-Type: text/html; charset=UTF-8",
        "Content-Transfer-Encoding: quoted-printable",
        "",
        "<p>P=C5=99=C3=ADli=C5=A1</p>",
        "--b1--",
        NulLine,
    };
    Queue(CrLfText(Message));
    Host.RunDaemon();
    Lines Expected = Message;
    Expected[0] = "From: \"=?ISO-8859-1?Q?Jan_Nov=E1k?=\"<jan@example.cz>";
    Expected[2] = "Subject: =?ISO-8859-2?Q?P=F8=EDli=B9_=BElu=BBou=E8k=FD_k=F9=F2?=";
    Expected[8] = "Content-type: TEXT/PLAIN; charset=ISO-8859-2";
    Expected[9] = "Content-Transfer-Encoding: Base64";
    Expected[11] = "UPjtbGm5IL5sdbtvdehr/SBr+fINCg==";
    Expected.insert(Expected.begin(), Tag);
    EXPECT_EQ(Queued(), CrLfText(Expected));
    EXPECT_EQ(LogLines(), (Lines{Logged("H", "from"), Logged("H", "subject"), Logged("C", "UTF-8")}));
}

TEST_F(EndToEnd, UntouchedMessageKeepsItsBytesAndTime) {
    const std::string Original =
        "Subject: =?ISO-8859-2?Q?=BElu=BBou=E8k=FD?=\n"
        "Content-Type: text/plain; charset=iso-8859-2\n\n\xbelu\xbbou\xe8k\xfd\n";
    Queue(Original);
    const fs::path File = Scratch.QueueFile("JOB1");
    const auto Old = fs::last_write_time(File) - std::chrono::hours(2);
    fs::last_write_time(File, Old);
    EXPECT_EQ(Host.RunDaemon(), 0);
    EXPECT_EQ(Queued(), Original);
    EXPECT_EQ(fs::last_write_time(File), Old);
    EXPECT_FALSE(fs::exists(Scratch.Log));
}

TEST_F(EndToEnd, FailedReplaceLeavesTheMessageIntact) {
    for (auto Fault : {platform::TReplaceFault::CreateTemporary, platform::TReplaceFault::WriteHalfway,
                       platform::TReplaceFault::FinalReplace}) {
        fs::remove(Scratch.Log);
        Host.ServerLog.clear();
        const std::string Original = CrLfText(WorkedExample);
        Queue(Original);
        platform::InjectReplaceFault(Fault);
        EXPECT_EQ(Host.RunDaemon(), 0);
        platform::InjectReplaceFault(platform::TReplaceFault::None);
        EXPECT_EQ(Queued(), Original);
        EXPECT_EQ(QueueFolder(), Lines{"JOB1.QDF"});
        ASSERT_EQ(Host.ServerLog.size(), 1u);
        const std::string Message = Host.ServerLog[0].substr(std::string(CrashPrefix).size());
        EXPECT_EQ(Host.ServerLog[0], CrashPrefix + Message);
        EXPECT_TRUE(testing::IsFileError(Message, "Cannot create file " + Scratch.QueueFile("JOB1").string(), false));
        EXPECT_EQ(LogLines(), (Lines{Logged("H", "subject"), Logged("C", "UTF-8"), Logged("F", Message)}));
    }
}

TEST_F(EndToEnd, ReadOnlyQueueFolderLeavesTheMessageIntact) {
    const std::string Original = CrLfText(WorkedExample);
    Queue(Original);
    fs::permissions(Scratch.Queue, fs::perms::owner_read | fs::perms::owner_exec);
    try {
        WriteFile(Scratch.Queue / "probe", "x");
        fs::remove(Scratch.Queue / "probe");
        GTEST_SKIP() << "the folder stays writable for this user";
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Host.RunDaemon(), 0);
    fs::permissions(Scratch.Queue, fs::perms::owner_all);
    EXPECT_EQ(Queued(), Original);
    const Lines Log = LogLines();
    ASSERT_FALSE(Log.empty());
    ASSERT_EQ(Host.ServerLog.size(), 1u);
    const std::string Message = Host.ServerLog[0].substr(std::string(CrashPrefix).size());
    EXPECT_TRUE(testing::IsFileError(Message, "Cannot create file " + Scratch.QueueFile("JOB1").string()));
    EXPECT_EQ(Log.back(), Logged("F", Message));
}

TEST_F(EndToEnd, UnwritableActivityLogStillReachesTheServerLog) {
    const fs::path LogFile = Scratch.Base / "no-such-folder" / "lumaro.log";
    WriteFile(Scratch.Base / "lumaro.ini", "[Lumaro]\r\nLogFile=" + LogFile.string() + "\r\nQueue=" +
                                               Scratch.Queue.string() + "\r\n");
    const std::string Original = CrLfText(WorkedExample);
    Queue(Original);
    EXPECT_EQ(Host.RunDaemon(), 0);
    EXPECT_EQ(Queued(), Original);
    ASSERT_EQ(Host.ServerLog.size(), 1u);
    EXPECT_TRUE(testing::IsFileError(Host.ServerLog[0], "Lumaro " LUMARO_VERSION " - CRASH: Cannot open file " + LogFile.string()));
}

// Far deeper than the tree is parsed: the lines below the limit travel unparsed,
// and every one of them is written back.
TEST_F(EndToEnd, DeeplyNestedMultipartLosesNoLine) {
    constexpr int Levels = 5000;
    // No boundary is a prefix of another, or a delimiter of one level would end
    // the parts of another.
    auto Boundary = [](int Level) { return "b" + std::to_string(Level) + "."; };
    Lines Message = {"Subject: =?UTF-8?Q?deep?="};
    for (int i = 0; i < Levels; ++i) {
        if (i > 0) Message.push_back("--" + Boundary(i - 1));
        Message.push_back("Content-Type: multipart/mixed; boundary=\"" + Boundary(i) + "\"");
        Message.push_back("");
    }
    Message.push_back("--" + Boundary(Levels - 1));
    Message.push_back("Content-Type: text/plain; charset=iso-8859-2");
    Message.push_back("");
    Message.push_back("innermost");
    for (int i = Levels - 1; i >= 0; --i) Message.push_back("--" + Boundary(i) + "--");
    Queue(CrLfText(Message));
    EXPECT_EQ(Host.RunDaemon(), 0);
    Lines Expected = Message;
    Expected[0] = "Subject: deep";
    Expected.insert(Expected.begin(), Tag);
    const Lines Written = ReadLines(Scratch.QueueFile("JOB1"));
    ASSERT_EQ(Written.size(), Expected.size());
    EXPECT_TRUE(Written == Expected);
    EXPECT_TRUE(Host.ServerLog.empty());
}

}  // namespace
}  // namespace lumaro::test
