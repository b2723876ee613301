#include <gtest/gtest.h>

#include <new>

#include "lumaro/lumaro.h"
#include "platform/platform.h"
#include "platform/test_support.h"
#include "test_host.h"

namespace lumaro::test {
namespace {

const std::string PlainMessage = "Subject: hello\r\nFrom: a@b.cz\r\n\r\nbody\r\n";

std::string Sep() { return platform::PathSeparator(); }

// The job's state as DAEMON's job gathers it from the host.
TJobState Gathered(TTestHost& Host) {
    TJobState Job;
    GatherJobState(Job, reinterpret_cast<void*>(uintptr_t{0x5eed}), Host.Record);
    return Job;
}

TEST(EntryPoints, StartupWritesTheStartMessageAndReturnsOne) {
    TTestHost Host;
    EXPECT_EQ(STARTUP(&Host.Record), 1);
    EXPECT_EQ(Host.Calls, std::vector<std::string>{"WriteServerLog 0 5 Lumaro " LUMARO_VERSION " started"});
}

TEST(EntryPoints, ClosedownAndConfigureDoNothing) {
    TTestHost Host;
    EXPECT_EQ(CLOSEDOWN(), 0);
    EXPECT_EQ(CONFIGURE(), 1);
    EXPECT_TRUE(Host.Calls.empty());
}

TEST(EntryPoints, VersionGate) {
    struct {
        uint8_t Major, Minor;
        bool Runs;
    } Cases[] = {{2, 19, false}, {1, 99, false}, {0, 255, false}, {2, 20, true},
                 {2, 255, true}, {3, 0, true},   {255, 0, true}};
    for (const auto& C : Cases) {
        TScratch Scratch;
        Scratch.WriteConfig();
        WriteFile(Scratch.QueueFile("JOB1"), PlainMessage);
        TTestHost Host;
        Host.UseScratch(Scratch);
        Host.Record.VersionMajor = C.Major;
        Host.Record.VersionMinor = C.Minor;
        EXPECT_EQ(Host.RunDaemon(), 0);
        if (C.Runs) {
            ASSERT_FALSE(Host.Calls.empty()) << int(C.Major) << "." << int(C.Minor);
            EXPECT_EQ(Host.Calls.front(), "QueryVariable 8");
        } else {
            EXPECT_TRUE(Host.Calls.empty()) << int(C.Major) << "." << int(C.Minor);
        }
    }
}

TEST(EntryPoints, HostCallsInOrderAndTheJobHandlePassedBack) {
    struct {
        bool QueueConfigured;
        std::vector<std::string> Calls;
    } Cases[] = {
        {true, {"QueryVariable 8", "QueryVariable 3", "QueryJobInfo"}},
        {false, {"QueryVariable 8", "QueryVariable 1", "QueryVariable 3", "QueryJobInfo"}},
    };
    for (const auto& C : Cases) {
        TScratch Scratch;
        if (C.QueueConfigured) Scratch.WriteConfig();
        else WriteFile(Scratch.Base / "lumaro.ini", "[Lumaro]\r\nLogFile=" + Scratch.Log.string() + "\r\n");
        WriteFile(Scratch.QueueFile("JOB1"), PlainMessage);
        TTestHost Host;
        Host.UseScratch(Scratch);
        Host.QueueDir = Scratch.Queue.string();
        void* Handle = reinterpret_cast<void*>(uintptr_t{0xC0FFEE});
        EXPECT_EQ(Host.RunDaemon(Handle), 0);
        EXPECT_EQ(Host.Calls, C.Calls);
        EXPECT_EQ(Host.SeenJobHandle, Handle);
    }
}

TEST(EntryPoints, JobIdentity) {
    struct {
        std::string JobId;
        std::optional<std::string> Sender;
        std::string ExpectedJobId, ExpectedSender;
    } Cases[] = {
        {"ABC", "Jan Novak <jan@example.cz>", "ABC", "jan@example.cz"},
        {"ABCDEFGHIJKLMNOPQRST", "  plain@example.cz  ", "ABCDEFGHIJKLMNOPQRST", "plain@example.cz"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "\"Desk, Sales\" <desk@example.cz>", "ABCDEFGHIJKLMNOPQRST",
         "desk@example.cz"},
        {"", std::nullopt, "", ""},
    };
    for (const auto& C : Cases) {
        TScratch Scratch;
        Scratch.WriteConfig();
        TTestHost Host;
        Host.UseScratch(Scratch);
        Host.JobId = C.JobId;
        Host.Sender = C.Sender;
        const TJobState JobState = Gathered(Host);
        EXPECT_EQ(JobState.JobId, C.ExpectedJobId);
        EXPECT_EQ(JobState.SenderAddress, C.ExpectedSender);
        EXPECT_EQ(JobState.QueueFile, Scratch.Queue.string() + Sep() + C.ExpectedJobId + ".QDF");
    }
}

TEST(EntryPoints, ConfigurationDefaultsAndServerFallbacks) {
    TScratch Scratch;  // no lumaro.ini at all
    WriteFile(Scratch.QueueFile("JOB1"), PlainMessage);
    TTestHost Host;
    Host.UseScratch(Scratch);
    Host.HostName = std::nullopt;
    TJobState JobState = Gathered(Host);
    EXPECT_EQ(JobState.LogFile, "lumaro.log");
    EXPECT_EQ(JobState.TagName, "X-LUMARO");
    EXPECT_EQ(JobState.CharSet, "ISO-8859-2");
    EXPECT_EQ(JobState.QueueDir, Scratch.Base.string() + Sep() + "QUEUE");
    EXPECT_EQ(JobState.HostName, "-unknown-");

    const std::string ServerQueue = (Scratch.Base / "SERVERQ").string();
    std::filesystem::create_directories(ServerQueue);
    WriteFile(std::filesystem::path(ServerQueue) / "JOB1.QDF", PlainMessage);
    Host.QueueDir = ServerQueue;
    Host.HostName = "";
    JobState = Gathered(Host);
    EXPECT_EQ(JobState.QueueDir, ServerQueue);
    EXPECT_EQ(JobState.HostName, "-unknown-");
}

TEST(EntryPoints, ConfiguredValuesWin) {
    TScratch Scratch;
    Scratch.WriteConfig("TagName=X-NORM\r\nCharSet=\r\n");
    TTestHost Host;
    Host.UseScratch(Scratch);
    Host.QueueDir = "/elsewhere";
    const TJobState JobState = Gathered(Host);
    EXPECT_EQ(JobState.TagName, "X-NORM");
    EXPECT_EQ(JobState.CharSet, "");  // present but empty stays empty
    EXPECT_EQ(JobState.QueueDir, Scratch.Queue.string());
    EXPECT_EQ(JobState.LogFile, Scratch.Log.string());
    EXPECT_EQ(TagLine(JobState), "X-NORM: normalization conversion made by Lumaro " LUMARO_VERSION " on mail.example.cz");
}

TEST(EntryPoints, MissingQueueFileIsOneCrashReport) {
    TScratch Scratch;
    Scratch.WriteConfig();
    TTestHost Host;
    Host.UseScratch(Scratch);
    Host.JobId = "MISSING";
    EXPECT_EQ(Host.RunDaemon(), 0);
    const std::string Path = Scratch.QueueFile("MISSING").string();
    ASSERT_EQ(Host.ServerLog.size(), 1u);
    const std::string Crash = "Lumaro " LUMARO_VERSION " - CRASH: ";
    ASSERT_EQ(Host.ServerLog[0].rfind(Crash, 0), 0u);
    // The file error, and the system's reason after it.
    const std::string Message = Host.ServerLog[0].substr(Crash.size());
    EXPECT_TRUE(testing::IsFileError(Message, "Cannot open file " + Path)) << Message;
    const std::vector<std::string> Log = ReadLines(Scratch.Log);
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(WithoutStamp(Log[0]),
              FormatLogLine("F", "<stamp>", "MISSING", "jan@example.cz", Message, 0));
    EXPECT_TRUE(Log[0].size() >= 3 && Log[0].compare(Log[0].size() - 2, 2, " 0") == 0);
}

// Whatever raises while the job's identity is gathered, the server gets 0 and a
// crash report instead of an exception.
TEST(EntryPoints, FailureWhileGatheringTheJobIsReported) {
    struct {
        std::string FailingCall;
        bool OutOfMemory;
        std::string Expected;
    } Cases[] = {
        {"QueryVariable 3", true, "Lumaro " LUMARO_VERSION " - CRASH: Out of memory"},
        {"QueryJobInfo", false, "Lumaro " LUMARO_VERSION " - CRASH: server went away"},
    };
    for (const auto& C : Cases) {
        TScratch Scratch;
        Scratch.WriteConfig();
        TTestHost Host;
        Host.UseScratch(Scratch);
        // A job before it, whose identity the failed one must not take.
        Host.JobId = "PREVIOUS";
        WriteFile(Scratch.QueueFile("PREVIOUS"), PlainMessage);
        EXPECT_EQ(Host.RunDaemon(), 0);
        Host.JobId = "JOB1";
        Host.BeforeAnswer = [&](const std::string& Call) {
            if (Call != C.FailingCall) return;
            if (C.OutOfMemory) throw std::bad_alloc();
            throw std::runtime_error("server went away");
        };
        EXPECT_EQ(Host.RunDaemon(), 0);
        EXPECT_EQ(Host.ServerLog, std::vector<std::string>{C.Expected});
        const std::vector<std::string> Log = ReadLines(Scratch.Log);
        ASSERT_EQ(Log.size(), 1u);
        // The failed job's identity is not yet known; the previous one's is not used.
        EXPECT_EQ(WithoutStamp(Log[0]),
                  FormatLogLine("F", "<stamp>", "", "", C.Expected.substr(std::string(CrashPrefix).size()), 0));
    }
}

}  // namespace
}  // namespace lumaro::test
