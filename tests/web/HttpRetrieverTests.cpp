#include "RawServer.h"
#include "WebFixture.h"
#include "web/HttpRetriever.h"

#include <chrono>
#include <csignal>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace velmora;

using namespace std::chrono_literals;
using vtest::CRawServer;

namespace {

std::string Url(const CRawServer& server, const char* szPath = "/script/checkversion.php")
{
    return "http://" + server.Host() + szPath;
}

std::string Pattern(size_t n)
{
    std::string cs(n, '\0');
    for (size_t i = 0; i < n; ++i)
        cs[i] = char('a' + i % 26);
    return cs;
}

// Sends an answer in uneven slices with short pauses, so libcurl hands it on in
// pieces of sizes that have nothing to do with 8,191.
CRawServer::Script Sliced(std::string csAnswer)
{
    return [csAnswer](CRawServer& server, int fd) {
        const size_t aSlices[] = { 7, 300, 1000, 5000, 9000, 123 };
        size_t pos = 0;
        for (size_t i = 0; pos < csAnswer.size(); ++i) {
            const size_t n = std::min(aSlices[i % 6], csAnswer.size() - pos);
            CRawServer::Send(fd, csAnswer.substr(pos, n));
            pos += n;
            server.Pause(2ms);
        }
    };
}

std::string Head(const std::string& csRequest)
{
    return csRequest.substr(0, csRequest.find("\r\n\r\n") + 4);
}
std::string Body(const std::string& csRequest)
{
    return csRequest.substr(csRequest.find("\r\n\r\n") + 4);
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(HttpRetriever, FreshObjectHasNoErrorAndANullUrlGivesNull)
{
    CHttpRetriever http;
    EXPECT_EQ(http.LastError(), 0u);
    EXPECT_EQ(http.Retrieve(nullptr, "a=b", -1), nullptr);
    EXPECT_EQ(http.LastError(), 0xFFFFFFFFu);
}

TEST(HttpRetriever, SendsTheFormPostByteForByte)
{
    CRawServer server(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("PASS")); });
    const std::string csBody = "Msg=a&b=c%d\r\ne + f&Notes=x";
    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), csBody.c_str(), -1);
    ASSERT_NE(sz, nullptr);
    EXPECT_STREQ(sz, "PASS");

    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string csRequest = server.Requests()[0];
    const std::string csHead = Head(csRequest);
    EXPECT_EQ(csHead.rfind("POST /script/checkversion.php HTTP/1.1\r\n", 0), 0u) << csHead;
    EXPECT_NE(
        csHead.find("\r\nUser-Agent: Tarn Software HTTP Retriever 1.0\r\n"), std::string::npos);
    EXPECT_NE(
        csHead.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
    EXPECT_NE(csHead.find("\r\nAccept: */*\r\n"), std::string::npos);
    EXPECT_NE(csHead.find("\r\nContent-Length: " + std::to_string(csBody.size()) + "\r\n"),
        std::string::npos);
    EXPECT_EQ(csHead.find("Expect"), std::string::npos);
    EXPECT_EQ(csHead.find("Accept-Encoding"), std::string::npos);
    EXPECT_EQ(Body(csRequest), csBody);
}

TEST(HttpRetriever, SendsOnlyTheGivenLengthAndNoExpectForALongBody)
{
    CRawServer server([](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("ok")); });
    CHttpRetriever http;
    ASSERT_NE(http.Retrieve(Url(server).c_str(), "abcdefgh", 5), nullptr);
    // Above the size from which libcurl would ask "Expect: 100-continue" (1 MiB).
    const std::string csLong = Pattern(3 << 20);
    ASSERT_NE(http.Retrieve(Url(server).c_str(), csLong.c_str(), -1), nullptr);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Body(requests[0]), "abcde");
    EXPECT_TRUE(Body(requests[1]) == csLong);
    EXPECT_EQ(Head(requests[1]).find("Expect"), std::string::npos);
}

TEST(HttpRetriever, IgnoresProxiesNamedByTheEnvironment)
{
    CRawServer proxy(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("proxy")); });
    CRawServer server(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("direct")); });
    vtest::CScopedEnv env;
    vtest::PointProxiesAt(env, "http://" + proxy.Host());

    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), "a=b", -1);
    ASSERT_NE(sz, nullptr);
    EXPECT_STREQ(sz, "direct");
    EXPECT_EQ(proxy.Connections(), 0);
}

TEST(HttpRetriever, RefusedConnectionGivesNullAndLibcurlsCode)
{
    CHttpRetriever http;
    const std::string csUrl = "http://127.0.0.1:" + std::to_string(vtest::UnusedPort()) + "/x";
    EXPECT_EQ(http.Retrieve(csUrl.c_str(), "a=b", -1), nullptr);
    EXPECT_EQ(http.LastError(), uint32_t(CURLE_COULDNT_CONNECT));
}

TEST(HttpRetriever, FailedPostKeepsThePreviousText)
{
    CRawServer server(
        [](CRawServer&, int fd) { CRawServer::Send(fd, CRawServer::Answer("first")); });
    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), "a", -1);
    ASSERT_NE(sz, nullptr);
    const std::string csRefused = "http://127.0.0.1:" + std::to_string(vtest::UnusedPort()) + "/x";
    EXPECT_EQ(http.Retrieve(csRefused.c_str(), "a", -1), nullptr);
    EXPECT_STREQ(sz, "first");
}

TEST(HttpRetriever, AnswerBodiesComeBackAsText)
{
    struct SCase {
        const char* szName;
        std::string csAnswer; // what the server sends
        std::string csText; // what Retrieve must give
    };
    const std::string cs20k = Pattern(20000);
    std::string csZeros = Pattern(20000);
    csZeros[100] = '\0'; // cuts the first piece
    csZeros[8191 + 50] = '\0'; // cuts the second
    csZeros[2 * 8191] = '\0'; // the third piece starts with it: nothing of it
    const std::string csPage = "<html><body>Internal error</body></html>";
    const std::vector<SCase> cases = {
        { "empty body", CRawServer::Answer(""), "" },
        { "20,000 bytes", CRawServer::Answer(cs20k), cs20k },
        { "zero bytes", CRawServer::Answer(csZeros),
            csZeros.substr(0, 100) + csZeros.substr(8191, 50) },
        { "error status", CRawServer::Answer(csPage, "500 Internal Server Error"), csPage },
        { "no length, ends at close", "HTTP/1.1 200 OK\r\n\r\n" + cs20k, cs20k },
        { "chunked",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
            "chunked\r\n\r\n5\r\nUPDAT\r\n1\r\nE\r\n0\r\n\r\n",
            "UPDATE" },
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szName);
        CRawServer server(Sliced(c.csAnswer));
        CHttpRetriever http;
        const char* sz = http.Retrieve(Url(server).c_str(), "a=b", -1);
        ASSERT_NE(sz, nullptr);
        EXPECT_EQ(std::string(sz), c.csText);
        EXPECT_EQ(http.LastError(), 0u);
    }
}

TEST(HttpRetriever, RedirectIsNotFollowed)
{
    CRawServer server([](CRawServer&, int fd) {
        CRawServer::Send(fd,
            "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 10\r\n\r\nMoved FAIL");
    });
    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), "a=b", -1);
    ASSERT_NE(sz, nullptr);
    EXPECT_STREQ(sz, "Moved FAIL");
    EXPECT_EQ(server.Connections(), 1);
}

TEST(HttpRetriever, EndlessAnswerStopsAtOneMebibyte)
{
    CRawServer server([](CRawServer& self, int fd) {
        CRawServer::Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        const std::string csChunk = "1000\r\n" + std::string(4096, 'U') + "\r\n";
        // Ends when the client hangs up (or, failing that, after 64 MiB).
        for (int i = 0; i < 16384 && !self.Stopping(); ++i) {
            if (send(fd, csChunk.data(), csChunk.size(), MSG_NOSIGNAL) <= 0)
                break;
        }
    });
    const auto start = std::chrono::steady_clock::now();
    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), "a=b", -1);
    ASSERT_NE(sz, nullptr);
    EXPECT_EQ(std::string(sz), std::string(CHttpRetriever::kMaxAnswer, 'U'));
    EXPECT_LT(SecondsSince(start), 20.0);
}

TEST(HttpRetriever, CutAnswerKeepsWhatWasRead)
{
    const std::string cs = Pattern(10000);
    CRawServer server([&cs](CRawServer&, int fd) {
        CRawServer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + cs);
    });
    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), "a=b", -1);
    ASSERT_NE(sz, nullptr);
    EXPECT_EQ(std::string(sz), cs);
}

TEST(HttpRetriever, ResetMidAnswerEndsTheReading)
{
    const std::string cs = Pattern(10000);
    CRawServer server([&cs](CRawServer& self, int fd) {
        CRawServer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + cs);
        self.Pause(100ms);
        CRawServer::Reset(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    CHttpRetriever http;
    const char* sz = http.Retrieve(Url(server).c_str(), "a=b", -1);
    ASSERT_NE(sz, nullptr);
    // The reset may overtake data still on its way; what came is a prefix.
    EXPECT_EQ(cs.rfind(sz, 0), 0u);
    EXPECT_LT(SecondsSince(start), 10.0);
}

TEST(HttpRetriever, AnswerWithoutAStatusLineIsNoAnswer)
{
    CRawServer server([](CRawServer&, int fd) { CRawServer::Send(fd, "GARBAGE\r\n\r\nPASS"); });
    CHttpRetriever http;
    EXPECT_EQ(http.Retrieve(Url(server).c_str(), "a=b", -1), nullptr);
    EXPECT_NE(http.LastError(), 0u);
}

TEST(HttpRetriever, SilentServerIsGivenUpAtTheTimeLimit)
{
    CRawServer server([](CRawServer& self, int fd) { self.WaitForClientClose(fd); });
    const auto start = std::chrono::steady_clock::now();
    CHttpRetriever http({ 500, 1500 });
    EXPECT_EQ(http.Retrieve(Url(server).c_str(), "a=b", -1), nullptr);
    const double dSeconds = SecondsSince(start);
    EXPECT_EQ(http.LastError(), uint32_t(CURLE_OPERATION_TIMEDOUT));
    EXPECT_GE(dSeconds, 1.4);
    EXPECT_LT(dSeconds, 5.0);
}

TEST(HttpRetriever, ServerHangingUpOnABodyDoesNotRaiseSigpipe)
{
    // Other servers in this process ignore SIGPIPE; this test needs it deadly.
    const auto oldHandler = std::signal(SIGPIPE, SIG_DFL);
    CRawServer server(
        [](CRawServer& self, int fd) {
            // Half-close at once, then drop the connection while the body is
            // still coming: the client's next write meets EPIPE.
            shutdown(fd, SHUT_WR);
            self.Pause(50ms);
            CRawServer::Reset(fd);
        },
        false);
    const std::string csBody = Pattern(8 << 20);
    for (int i = 0; i < 3; ++i) {
        CHttpRetriever http;
        EXPECT_EQ(http.Retrieve(Url(server).c_str(), csBody.c_str(), -1), nullptr);
        EXPECT_NE(http.LastError(), 0u);
    }
    std::signal(SIGPIPE, oldHandler);
}
