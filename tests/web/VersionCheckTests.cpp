#include "FormServer.h"
#include "RawServer.h"
#include "WebFixture.h"
#include "web/WebTexts.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace velmora;

using namespace std::chrono_literals;
using vtest::CFormServer;
using vtest::CRawServer;
using vtest::kCheckBody;
using vtest::kCheckPath;

namespace vtest {
// Found by lookup through the type's own namespace.
inline bool operator==(const CRecordingBox::Shown& a, const CRecordingBox::Shown& b)
{
    return a.csText == b.csText && a.iType == b.iType;
}
inline void PrintTo(const CRecordingBox::Shown& s, std::ostream* os)
{
    *os << s.iType << ": " << s.csText;
}
} // namespace vtest

namespace {

using Shown = vtest::CRecordingBox::Shown;

class VersionCheck : public vtest::WebTest {
protected:
    VersionCheck() { SetMakerHostForTesting(m_server.Host()); }
    CFormServer m_server;
};

// A box that runs something while it is on screen, as a timer tick would.
class CBoxWithTick final : public IMessageBox {
public:
    CBoxWithTick() { SetMessageBox(this); }
    ~CBoxWithTick() override { SetMessageBox(nullptr); }
    int Show(const std::string& csText, int iType) override
    {
        shown.push_back({ csText, iType });
        bFlagWhileShown = g_bUpdatePromptShowing;
        if (auto fn = std::exchange(fnTick, nullptr))
            fn();
        return iAnswer;
    }
    std::function<void()> fnTick;
    int iAnswer = IDNO;
    bool bFlagWhileShown = false;
    std::vector<Shown> shown;
};

} // namespace

TEST_F(VersionCheck, AnswersAreJudgedByTheirKeywordsInOrder)
{
    struct SCase {
        const char* szAnswer;
        int iResult;
        const char* szRecord;
    };
    const SCase cases[] = {
        { "PASS", 0, "FYI. CheckVersion [%s] PASS" },
        { "Pass", 0, "FYI. CheckVersion [%s] PASS" },
        { "Update available", 1, "FYI. CheckVersion [%s] UPDATE" },
        { "UPDATE", 1, "FYI. CheckVersion [%s] UPDATE" },
        { "PASS UPDATE", 0, "FYI. CheckVersion [%s] PASS" },
        { "UPDATE FAIL", 1, "FYI. CheckVersion [%s] UPDATE" },
        { "pass", -1, "Err. CheckVersion [%s] Unknown error" },
        { "Enter your Password", 0, "FYI. CheckVersion [%s] PASS" },
        { "FAIL", -1, "FYI. CheckVersion [%s] FAIL" },
        { "Failed", -1, "FYI. CheckVersion [%s] FAIL" },
        { "", -1, "Err. CheckVersion [%s] Unknown error" },
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szAnswer);
        vtest::WriteFile(m_dir.File("Debuglog.txt"), "");
        m_server.Answer(kCheckPath, c.szAnswer);
        CWebServices ws;
        EXPECT_EQ(ws.CheckVersion("Velmora", "1.00aB", ""), c.iResult);
        EXPECT_FALSE(IsWebRequestBusy());

        char szRecord[256];
        std::snprintf(szRecord, sizeof szRecord, c.szRecord, kCheckBody.c_str());
        EXPECT_EQ(DebugTexts(),
            (std::vector<std::string> { "FYI. CheckVersion " + kCheckBody, szRecord }));
    }
    for (const CFormServer::SSeen& seen : m_server.Seen()) {
        EXPECT_EQ(seen.csPath, kCheckPath);
        EXPECT_EQ(seen.csBody, kCheckBody);
        EXPECT_EQ(seen.csUserAgent, "Tarn Software HTTP Retriever 1.0");
        EXPECT_EQ(seen.csContentType, "application/x-www-form-urlencoded");
        EXPECT_FALSE(seen.bExpect);
    }
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(VersionCheck, ManualCheckReportsEveryOutcome)
{
    m_server.Answer(kCheckPath, "PASS");
    RunManualVersionCheck();
    m_server.Answer(kCheckPath, "FAIL");
    RunManualVersionCheck();
    SetMakerHostForTesting("127.0.0.1:" + std::to_string(vtest::UnusedPort()));
    RunManualVersionCheck();

    EXPECT_EQ(m_box.shown,
        (std::vector<Shown> { { kNoUpdatesText, MB_OK }, { kCouldNotConnectText, MB_OK },
            { kCouldNotConnectText, MB_OK } }));
    const auto log = LogTexts();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "MessageAndLog iType=[0] msg=[No updates available ]");
    EXPECT_EQ(log[1], "MessageAndLog return = [ 1]");
    EXPECT_EQ(log[4], std::string("MessageAndLog iType=[0] msg=[") + kCouldNotConnectText + "]");
    EXPECT_TRUE(m_opener.opened.empty());
    EXPECT_FALSE(IsWebRequestBusy());
}

TEST_F(VersionCheck, ManualQuestionIsLoggedAndYesOpensTheInstallerOnce)
{
    m_server.Answer(kCheckPath, "UPDATE");
    m_box.answers = { IDNO, IDYES };
    RunManualVersionCheck();
    EXPECT_TRUE(m_opener.opened.empty());
    RunManualVersionCheck();

    EXPECT_EQ(m_opener.opened, std::vector<std::string> { InstallerUrl() });
    EXPECT_EQ(
        InstallerUrl(), "http://" + m_server.Host() + "/files/resources/Installer_Velmora.exe");
    EXPECT_EQ(m_box.shown,
        (std::vector<Shown> {
            { kNewVersionQuestion, MB_YESNO }, { kNewVersionQuestion, MB_YESNO } }));
    const std::string csAsked
        = std::string("MessageAndLog iType=[4] msg=[") + kNewVersionQuestion + "]";
    EXPECT_EQ(LogTexts(),
        (std::vector<std::string> {
            csAsked, "MessageAndLog return = [ 7]", csAsked, "MessageAndLog return = [ 6]" }));
}

TEST_F(VersionCheck, AutomaticCheckSpeaksOnlyOfAnUpdateAndLogsNoBox)
{
    m_server.Script(kCheckPath, { { "PASS" }, { "FAIL" }, { "nothing" }, { "Update" } });
    for (int i = 0; i < 3; ++i)
        RunAutomaticVersionCheck();
    EXPECT_TRUE(m_box.shown.empty());

    CBoxWithTick box;
    box.iAnswer = IDYES;
    RunAutomaticVersionCheck();
    EXPECT_EQ(box.shown, (std::vector<Shown> { { kNewVersionQuestion, MB_YESNO } }));
    EXPECT_TRUE(box.bFlagWhileShown);
    EXPECT_FALSE(g_bUpdatePromptShowing);
    EXPECT_EQ(m_opener.opened, std::vector<std::string> { InstallerUrl() });

    // The question leaves no record in either log; the checks leave theirs.
    EXPECT_TRUE(LogTexts().empty());
    for (const std::string& cs : DebugTexts())
        EXPECT_EQ(cs.find("MessageAndLog"), std::string::npos) << cs;
    EXPECT_EQ(DebugTexts().back(), "FYI. CheckVersion [" + kCheckBody + "] UPDATE");
}

TEST_F(VersionCheck, TickWhileTheQuestionIsOpenChecksButAsksNothing)
{
    m_server.Answer(kCheckPath, "UPDATE");
    CBoxWithTick box;
    box.fnTick = [] { RunAutomaticVersionCheck(); };
    RunAutomaticVersionCheck();

    EXPECT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(m_server.Seen().size(), 2u);
    EXPECT_FALSE(g_bUpdatePromptShowing);
    EXPECT_TRUE(m_opener.opened.empty());
}

TEST_F(VersionCheck, RequestIsExactOnTheWireAndIgnoresProxies)
{
    CRawServer proxy(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("UPDATE")); });
    CRawServer server(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("PASS")); });
    SetMakerHostForTesting(server.Host());
    vtest::CScopedEnv env;
    vtest::PointProxiesAt(env, "http://" + proxy.Host());

    RunManualVersionCheck();
    RunAutomaticVersionCheck();

    EXPECT_EQ(proxy.Connections(), 0);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& cs : requests) {
        EXPECT_EQ(cs.rfind("POST /script/checkversion.php HTTP/1.1\r\n", 0), 0u) << cs;
        EXPECT_NE(
            cs.find("\r\nUser-Agent: Tarn Software HTTP Retriever 1.0\r\n"), std::string::npos);
        EXPECT_NE(
            cs.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
        EXPECT_NE(cs.find("\r\nAccept: */*\r\n"), std::string::npos);
        EXPECT_EQ(cs.find("Expect"), std::string::npos);
        EXPECT_EQ(cs.substr(cs.size() - kCheckBody.size() - 4), "\r\n\r\n" + kCheckBody);
    }
    EXPECT_EQ(m_box.shown, (std::vector<Shown> { { kNoUpdatesText, MB_OK } }));
}

TEST_F(VersionCheck, BodyOfAtMost2048CharactersIsSent)
{
    CRawServer server(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("PASS")); });
    SetMakerHostForTesting(server.Host());
    const std::string csNotes(2048 - kCheckBody.size(), 'n');
    CWebServices ws;

    EXPECT_EQ(ws.CheckVersion("Velmora", "1.00aB", csNotes + "n"), -1);
    EXPECT_FALSE(IsWebRequestBusy());
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_TRUE(DebugTexts().empty());

    EXPECT_EQ(ws.CheckVersion("Velmora", "1.00aB", csNotes), 0);
    EXPECT_FALSE(IsWebRequestBusy());
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string cs = server.Requests()[0];
    EXPECT_EQ(cs.substr(cs.find("\r\n\r\n") + 4), kCheckBody + csNotes);
    EXPECT_EQ(cs.find("Expect"), std::string::npos);
    EXPECT_EQ(DebugTexts().size(), 2u);
}

TEST_F(VersionCheck, FaultyServersEndInOneOfTheUsualMessages)
{
    const WebRequestOptions shortLimits { { 500, 1500 } };
    struct SCase {
        const char* szName;
        CRawServer::Script fnScript;
        const char* szShown; // null: either the PASS or the could-not-connect text
    };
    const SCase cases[] = {
        { "endless chunked answer",
            [](CRawServer& self, int fd) {
                CRawServer::Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
                const std::string csChunk = "400\r\n" + std::string(1020, '.') + "PASS\r\n";
                for (int i = 0; i < 1 << 16 && !self.Stopping(); ++i) {
                    if (send(fd, csChunk.data(), csChunk.size(), MSG_NOSIGNAL) <= 0)
                        break;
                }
            },
            kNoUpdatesText },
        { "closes mid-body",
            [](CRawServer&, int fd) {
                CRawServer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nPA");
            },
            kCouldNotConnectText },
        { "resets mid-body",
            [](CRawServer& self, int fd) {
                CRawServer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nPASS");
                self.Pause(100ms);
                CRawServer::Reset(fd);
            },
            nullptr },
        { "malformed status line",
            [](CRawServer&, int fd) { CRawServer::Send(fd, "HTTP/1.1 PASS\r\n\r\nPASS"); },
            kCouldNotConnectText },
        { "redirect",
            [](CRawServer&, int fd) {
                CRawServer::Send(fd,
                    "HTTP/1.1 302 Found\r\nLocation: /script/pass.php\r\n"
                    "Content-Length: 5\r\n\r\nMoved");
            },
            kCouldNotConnectText },
        { "never answers", [](CRawServer& self, int fd) { self.WaitForClientClose(fd); },
            kCouldNotConnectText },
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szName);
        m_box.shown.clear();
        CRawServer server(c.fnScript);
        SetMakerHostForTesting(server.Host());
        const auto start = std::chrono::steady_clock::now();
        RunManualVersionCheck(shortLimits);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_FALSE(IsWebRequestBusy());
        EXPECT_EQ(server.Connections(), 1);
        ASSERT_EQ(m_box.shown.size(), 1u);
        if (c.szShown)
            EXPECT_EQ(m_box.shown[0].csText, c.szShown);
        else
            EXPECT_TRUE(m_box.shown[0].csText == kNoUpdatesText
                || m_box.shown[0].csText == kCouldNotConnectText);
    }
}
