#include "FormServer.h"
#include "WebFixture.h"
#include "web/WebTexts.h"

#include <QTimer>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

using namespace velmora;

using namespace std::chrono_literals;
using vtest::CFormServer;
using vtest::kCheckBody;
using vtest::kCheckPath;

namespace {

class RequestSequence : public vtest::WebTest {
protected:
    RequestSequence() { SetMakerHostForTesting(m_server.Host()); }
    CFormServer m_server;
};

double ThreadCpuSeconds()
{
    rusage ru {};
    getrusage(RUSAGE_THREAD, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
        + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST_F(RequestSequence, CheckStartedDuringTheWaitRunsAfterItAndBothSeeTheSecondAnswer)
{
    m_server.Script(kCheckPath, { { "PASS", 200, 400 }, { "Update available" } });
    std::vector<std::string> order;
    int iInner = 99;
    QTimer::singleShot(50, [&] {
        order.push_back("inner starts");
        CWebServices ws;
        iInner = ws.CheckVersion("Velmora", "1.00aB", "");
        order.push_back("inner returns");
    });
    CWebServices ws;
    const int iOuter = ws.CheckVersion("Velmora", "1.00aB", "");
    order.push_back("outer returns");

    EXPECT_EQ(iInner, 1);
    EXPECT_EQ(iOuter, 1);
    EXPECT_EQ(
        order, (std::vector<std::string> { "inner starts", "inner returns", "outer returns" }));
    EXPECT_EQ(m_server.Seen().size(), 2u);
    EXPECT_EQ(m_server.MostAtOnce(), 1);
    EXPECT_FALSE(IsWebRequestBusy());
    const std::string csUpdate = "FYI. CheckVersion [" + kCheckBody + "] UPDATE";
    EXPECT_EQ(DebugTexts(),
        (std::vector<std::string> { "FYI. CheckVersion " + kCheckBody,
            "FYI. CheckVersion " + kCheckBody, csUpdate, csUpdate }));
}

TEST_F(RequestSequence, SecondManualCheckShowsItsMessageFirst)
{
    m_server.Script(kCheckPath, { { "PASS", 200, 300 }, { "FAIL" } });
    QTimer::singleShot(30, [] { RunManualVersionCheck(); });
    RunManualVersionCheck();

    ASSERT_EQ(m_box.shown.size(), 2u);
    EXPECT_EQ(m_box.shown[0].csText, kCouldNotConnectText);
    EXPECT_EQ(m_box.shown[1].csText, kCouldNotConnectText);
}

TEST_F(RequestSequence, CheckInsideTheFeedbackWaitDoesNotDecideTheFeedback)
{
    m_server.Script(vtest::kFeedbackPath, { { "FAIL", 200, 300 } });
    m_server.Answer(kCheckPath, "PASS");
    int iCheck = 99;
    QTimer::singleShot(30, [&] {
        CWebServices ws;
        iCheck = ws.CheckVersion("Velmora", "1.00aB", "");
    });
    SendFeedbackFromForm("hello");

    EXPECT_EQ(iCheck, 0);
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, MessageNotSentText());
    EXPECT_EQ(m_server.Seen().size(), 2u);
}

TEST_F(RequestSequence, WorkerThatCannotStartEndsInFailureWithTheServiceFree)
{
    m_server.Answer(kCheckPath, "PASS");
    WebRequestOptions noThread;
    noThread.bWorkerStartFails = true;
    CWebServices ws(noThread);
    EXPECT_EQ(ws.CheckVersion("Velmora", "1.00aB", ""), -1);
    EXPECT_EQ(ws.SendFeedback("Velmora", "1.00aB", "hi", vtest::kCompileNotes), -1);
    EXPECT_FALSE(IsWebRequestBusy());
    EXPECT_TRUE(m_server.Seen().empty());
    EXPECT_EQ(DebugTexts().back(),
        "Err. SendFeedback [Product=Velmora&ProductV=1.00aB&Msg=hi&Notes=" + vtest::kCompileNotes
            + "] unknow error");

    EXPECT_EQ(CWebServices().CheckVersion("Velmora", "1.00aB", ""), 0);
}

TEST_F(RequestSequence, WaitSleepsInTheEventLoopAndKeepsHandlingEvents)
{
    m_server.Script(kCheckPath, { { "PASS", 200, 5000 } });
    int iTicks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++iTicks; });
    timer.start(100);

    const auto start = std::chrono::steady_clock::now();
    const double dCpuBefore = ThreadCpuSeconds();
    CWebServices ws;
    const int iResult = ws.CheckVersion("Velmora", "1.00aB", "");
    const double dCpu = ThreadCpuSeconds() - dCpuBefore;
    const double dWall
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timer.stop();

    const double dShare = dCpu / dWall;
    std::printf(
        "UI thread while waiting: %.4f s CPU in %.2f s (%.2f%% of one core), %d timer ticks\n",
        dCpu, dWall, dShare * 100, iTicks);
    RecordProperty("ui_cpu_percent", std::to_string(dShare * 100));
    EXPECT_EQ(iResult, 0);
    EXPECT_GE(dWall, 4.9);
    EXPECT_LT(dShare, 0.05);
    EXPECT_GE(iTicks, 25);
}

TEST_F(RequestSequence, WorksOnAThreadWithoutAnEventLoop)
{
    m_server.Script(kCheckPath, { { "UPDATE", 200, 200 } });
    int iResult = 99;
    std::thread other([&] {
        CWebServices ws;
        iResult = ws.CheckVersion("Velmora", "1.00aB", "");
    });
    other.join();
    EXPECT_EQ(iResult, 1);
    EXPECT_FALSE(IsWebRequestBusy());
}
