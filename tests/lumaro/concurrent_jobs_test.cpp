// Jobs that a server runs on several threads at once give, byte for byte, what
// each gives alone, and their activity-log lines arrive whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include "lumaro/lumaro.h"
#include "platform/platform.h"
#include "test_host.h"

namespace lumaro::test {
namespace {

using TDaemon = int16_t(LUMARO_CDECL*)(void*, THostInterface*);
using Lines = std::vector<std::string>;

// The DAEMON under test: that of the module file LUMARO_TEST_MODULE names (the
// DLL, under Wine), else the one linked into this program.
class TModuleUnderTest {
public:
    TModuleUnderTest() {
        std::string File = platform::Environment("LUMARO_TEST_MODULE");
        if (File.empty()) return;
#ifdef _WIN32
        // CMake names the file by its Unix path; Wine maps the Unix root to Z:.
        if (File.front() == '/') {
            std::replace(File.begin(), File.end(), '/', '\\');
            File = "Z:" + File;
        }
#endif
        if (!Library.Load(File)) throw std::runtime_error("cannot load the module " + File);
        Daemon = reinterpret_cast<TDaemon>(Library.Symbol("DAEMON"));
        if (Daemon == nullptr) throw std::runtime_error("the module has no DAEMON");
    }
    TDaemon Daemon = &DAEMON;

private:
    platform::TLibrary Library;
};

// A job: its message and the charset its lumaro.ini configures.
struct TJobCase {
    std::string CharSet;
    std::string Message;
};

std::string Repeated(const std::string& Unit, size_t Times) {
    std::string Text;
    for (size_t I = 0; I < Times; ++I) Text += Unit;
    return Text;
}

// Messages that take every road of a job: both rules, every transfer coding, a
// multipart, a body long enough to be converted in pieces, malformed bytes, and
// one that stays as it is.
std::vector<TJobCase> JobCases() {
    const std::string Czech = "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88";
    const std::string Russian = "\xD0\x97\xD0\xB4\xD1\x80\xD0\xB0\xD0\xB2\xD1\x81\xD1\x82\xD0\xB2\xD1\x83\xD0\xB9";
    const std::string Head = "Subject: =?UTF-8?Q?P=C5=99=C3=ADli=C5=A1?=\r\nFrom: =?utf-8?B?SmFuIE5vdsOhaw==?= <jan@x.cz>\r\n"
                             "To: =?UTF-8?Q?Petr_=C5=A0?= <p@x.cz>\r\nMIME-Version: 1.0\r\n";
    const std::string Plain = "Content-Type: text/plain; charset=utf-8\r\n";
    return {
        {"ISO-8859-2", Head + Plain + "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                      "P=C5=99=C3=ADli=C5=A1 =C5=BElu=C5=A5ou=C4=8Dk=C3=BD k=C5=AF=C5=88\r\n"},
        {"KOI8-R", Head + Plain + "Content-Transfer-Encoding: base64\r\n\r\n0JfQtNGA0LDQstGB0YLQstGD0LnRgtC1\r\n"},
        {"WINDOWS-1250", Head + "Content-Type: text/plain; charset=utf-7\r\n\r\nHi +AQ0BWQF+- there\r\n"},
        {"ISO-8859-1", Head + "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\n" + Plain +
                           "Content-Transfer-Encoding: 8bit\r\n\r\n" + Czech + "\r\n--b\r\n"
                           "Content-Type: text/html; charset=utf-8\r\n\r\n<p>" + Czech + "</p>\r\n--b--\r\n"},
        {"WINDOWS-1252", Head + Plain + "Content-Transfer-Encoding: 8bit\r\n\r\n" +
                             Repeated(Czech + " " + Russian + " \xE2\x82\xAC \xE2\x80\x9E\xE2\x80\x9C\r\n", 6000)},
        {"ISO-8859-15", "Subject: plain\r\n" + Plain + "Content-Transfer-Encoding: 8bit\r\n\r\nbad \xC3 \xFF "
                                                      "\xED\xA0\x80 end \xE2\x82\xAC\r\n"},
        {"ISO-8859-2", "Subject: nothing to do\r\nFrom: a@b.cz\r\n\r\nplain text\r\n"},
        {"KOI8-R", "Subject: =?UTF-8?B?" "0J/RgNC40LLQtdGC?=\r\nCC: =?UTF-8?Q?=D0=98=D0=B2=D0=B0=D0=BD?= <i@x.ru>\r\n"
                   "Content-Type: text/plain; charset=UTF-8; format=flowed\r\n\r\n" + Russian + "\r\n"},
    };
}

// What a job leaves: its queue file and its activity-log lines, stamps masked.
struct TOutcome {
    std::string Queued;
    Lines Logged;
    bool operator==(const TOutcome&) const = default;
};

Lines LogLinesOf(const std::filesystem::path& Log) {
    Lines Result;
    for (const std::string& Line : ReadLines(Log)) Result.push_back(WithoutStamp(Line));
    return Result;
}

class ConcurrentJobs : public ::testing::Test {
protected:
    static std::string JobIdOf(size_t K) { return "JOB" + std::to_string(K); }

    void SetUp() override {
        for (size_t K = 0; K < Cases.size(); ++K) Scratches.push_back(std::make_unique<TScratch>());
    }

    // Every job's queue file as it was before any job ran.
    void QueueAll() const {
        for (size_t K = 0; K < Cases.size(); ++K) WriteFile(Scratches[K]->QueueFile(JobIdOf(K)), Cases[K].Message);
    }

    // One job, on the calling thread, with a host of its own; its activity log
    // goes to Log.
    void RunJob(size_t K, const std::filesystem::path& Log) const {
        const TScratch& Scratch = *Scratches[K];
        WriteFile(Scratch.Base / "lumaro.ini", "[Lumaro]\r\nLogFile=" + Log.string() + "\r\nQueue=" +
                                                   Scratch.Queue.string() + "\r\nCharSet=" + Cases[K].CharSet + "\r\n");
        TTestHost Host;
        Host.UseScratch(Scratch);
        Host.JobId = JobIdOf(K);
        Module.Daemon(reinterpret_cast<void*>(uintptr_t{0x5eed}), &Host.Record);
    }

    TModuleUnderTest Module;
    const std::vector<TJobCase> Cases = JobCases();
    std::vector<std::unique_ptr<TScratch>> Scratches;
};

TEST_F(ConcurrentJobs, GiveWhatEachGivesAloneWithWholeLogLines) {
    // Two threads are enough under Wine, where each thread costs much more.
#ifdef _WIN32
    constexpr size_t Threads = 2;
#else
    constexpr size_t Threads = 8;
#endif
    QueueAll();
    std::vector<TOutcome> Alone(Cases.size());
    for (size_t K = 0; K < Cases.size(); ++K) {
        RunJob(K, Scratches[K]->Log);
        Alone[K] = {ReadFile(Scratches[K]->QueueFile(JobIdOf(K))), LogLinesOf(Scratches[K]->Log)};
    }
    Lines AllLogged;
    for (const TOutcome& O : Alone) AllLogged.insert(AllLogged.end(), O.Logged.begin(), O.Logged.end());
    std::sort(AllLogged.begin(), AllLogged.end());

    for (int Round = 0; Round < 3; ++Round) {
        QueueAll();
        // Every job's lines go to one log, so that lines cut into each other show.
        const std::filesystem::path SharedLog = Scratches[0]->Base / "shared.log";
        std::filesystem::remove(SharedLog);
        std::atomic<size_t> Next{0};
        std::vector<std::thread> Workers;
        for (size_t T = 0; T < Threads; ++T)
            Workers.emplace_back([&] {
                for (size_t K = Next++; K < Cases.size(); K = Next++) RunJob(K, SharedLog);
            });
        for (std::thread& W : Workers) W.join();
        for (size_t K = 0; K < Cases.size(); ++K)
            EXPECT_EQ(ReadFile(Scratches[K]->QueueFile(JobIdOf(K))), Alone[K].Queued) << "job " << K;
        Lines Logged = LogLinesOf(SharedLog);
        std::sort(Logged.begin(), Logged.end());
        EXPECT_EQ(Logged, AllLogged) << "round " << Round;
    }
}

}  // namespace
}  // namespace lumaro::test
