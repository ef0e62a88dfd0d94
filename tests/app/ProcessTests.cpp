// The real executable, started the way a user starts it. Every run happens in a
// private network namespace so that the start-up version check cannot leave
// the machine, with its own working and runtime folders.
#include "NetNs.h"
#include "TestSupport.h"
#include "app/SingleInstance.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtest::LogRecords;
using vtest::RecordText;

namespace {

class CProcess {
public:
    CProcess(const std::string& csNetns, const fs::path& cwd, const fs::path& runtime)
    {
        m_pid = fork();
        if (m_pid == 0) {
            if (chdir(cwd.c_str()) != 0)
                _exit(120);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            execlp("ip", "ip", "netns", "exec", csNetns.c_str(), VELMORA_EXE,
                static_cast<char*>(nullptr));
            _exit(121);
        }
    }
    ~CProcess() { Kill(SIGKILL); }
    // Waits up to the limit; true with the exit code when it ended.
    bool WaitExit(std::chrono::milliseconds limit, int& iCode)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (m_pid > 0) {
            int st = 0;
            if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_pid = -1;
                iCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return true;
            }
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    void Kill(int iSignal)
    {
        if (m_pid > 0) {
            kill(m_pid, iSignal);
            int st;
            waitpid(m_pid, &st, 0);
            m_pid = -1;
        }
    }
    bool Running() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

class ProcessTest : public ::testing::Test {
protected:
    ProcessTest()
        : m_ns("proc")
    {
        fs::create_directory(m_work.Path() / "run");
        fs::permissions(m_work.Path() / "run", fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directory(m_work.Path() / "cwd");
    }
    fs::path Cwd() const { return m_work.Path() / "cwd"; }
    fs::path Runtime() const { return m_work.Path() / "run"; }
    std::unique_ptr<CProcess> Launch()
    {
        return std::make_unique<CProcess>(m_ns.Name(), Cwd(), Runtime());
    }
    bool Started() const
    {
        // The start-up save is the last step before the window shows.
        return vtest::WaitUntil([&] { return fs::exists(Cwd() / "settings.ini"); }, 15s);
    }
    // What the instance socket answers to a query, or 0.
    uint32_t Query() const
    {
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const std::string cs = (Runtime() / "Velmora 097").string();
        std::memcpy(addr.sun_path, cs.c_str(), cs.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        uint32_t answer = 0;
        const uint32_t query = htonl(InstanceQueryMessage());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            send(fd, &query, 4, MSG_NOSIGNAL);
            pollfd pfd { fd, POLLIN, 0 };
            if (poll(&pfd, 1, 1000) == 1 && recv(fd, &answer, 4, MSG_WAITALL) == 4)
                answer = ntohl(answer);
        }
        close(fd);
        return answer;
    }

    vtest::CTempDir m_work;
    vtest::CNetns m_ns;
};

TEST_F(ProcessTest, StartWritesSettingsAndStartupRecordsInTheCurrentFolder)
{
    VTEST_REQUIRE_NETNS(m_ns);
    auto p = Launch();
    ASSERT_TRUE(Started());
    EXPECT_TRUE(vtest::WaitUntil(
        [&] { return LogRecords((Cwd() / "Debuglog.txt").string()).size() >= 4; }, 5s));
    p->Kill(SIGKILL);

    EXPECT_EQ(vtest::ReadFile((Cwd() / "settings.ini").string()),
        "[Velmora]\r\nDebug=1\r\nAutoUpdate=1\r\nMode=1\r\nOffset=0\r\nOldPath=\r\nNicDevice="
        "\r\n\r\n");
    std::vector<std::string> texts;
    for (const auto& r : LogRecords((Cwd() / "Debuglog.txt").string()))
        texts.push_back(RecordText(r));
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Program starting up");
    EXPECT_EQ(texts[1], "FYI. Install directory=[" + fs::canonical(Cwd()).string() + "]");
    EXPECT_EQ(texts[2].rfind("FYI. pcap_lib_version = [libpcap version 1.", 0), 0u) << texts[2];
    const std::string csDir = fs::canonical(Cwd()).string();
    const unsigned long long free1 = fs::space(Cwd()).free >> 10;
    unsigned long long logged = 0;
    ASSERT_EQ(std::sscanf(texts[3].c_str(), "FYI. Free space [%llu]k on [", &logged), 1)
        << texts[3];
    EXPECT_NE(texts[3].find("]k on [" + csDir + "]"), std::string::npos);
    // Free space moves a little while we look; kibibytes, rounded down.
    EXPECT_LT(logged > free1 ? logged - free1 : free1 - logged, 1024u * 1024u);
    EXPECT_EQ(vtest::ReadFile((Cwd() / "log.txt").string()), "");
}

TEST_F(ProcessTest, SecondInstanceLeavesQuietlyAndTheFirstAnswers)
{
    VTEST_REQUIRE_NETNS(m_ns);
    auto first = Launch();
    ASSERT_TRUE(Started());
    ASSERT_TRUE(vtest::WaitUntil([&] { return Query() == InstanceQueryMessage(); }, 5s));

    // The second copy runs in another folder: it must not write there at all.
    fs::remove_all(Cwd() / "settings.ini");
    auto second = Launch();
    int iCode = -1;
    ASSERT_TRUE(second->WaitExit(2s, iCode));
    EXPECT_EQ(iCode, 0);
    EXPECT_FALSE(fs::exists(Cwd() / "settings.ini"));
    EXPECT_TRUE(first->Running());
    EXPECT_EQ(Query(), InstanceQueryMessage());
}

TEST_F(ProcessTest, InstanceSocketDropsStrangersAndStaysPrivate)
{
    VTEST_REQUIRE_NETNS(m_ns);
    auto first = Launch();
    ASSERT_TRUE(Started());
    ASSERT_TRUE(vtest::WaitUntil([&] { return Query() == InstanceQueryMessage(); }, 5s));
    struct stat st { };
    ASSERT_EQ(stat(Runtime().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);

    auto connectRaw = [&] {
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const std::string cs = (Runtime() / "Velmora 097").string();
        std::memcpy(addr.sun_path, cs.c_str(), cs.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    };
    auto droppedWithin = [](int fd, int ms) {
        pollfd pfd { fd, POLLIN, 0 };
        char c;
        return poll(&pfd, 1, ms) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
    };
    const int silent = connectRaw();
    const int garbage = connectRaw();
    send(garbage, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
    const int wrong = connectRaw();
    const uint32_t other = htonl(InstanceQueryMessage() + 1);
    send(wrong, &other, 4, MSG_NOSIGNAL);
    const int big = connectRaw();
    std::thread flood([big] {
        std::vector<char> mb(1 << 20, 'x');
        send(big, mb.data(), mb.size(), MSG_NOSIGNAL);
    });
    EXPECT_TRUE(droppedWithin(silent, 1500));
    EXPECT_TRUE(droppedWithin(garbage, 1500));
    EXPECT_TRUE(droppedWithin(wrong, 1500));
    flood.join();
    for (int fd : { silent, garbage, wrong, big })
        close(fd);
    // The window kept answering meanwhile.
    EXPECT_EQ(Query(), InstanceQueryMessage());
}

TEST_F(ProcessTest, KilledInstanceDoesNotBlockTheNextStart)
{
    VTEST_REQUIRE_NETNS(m_ns);
    {
        auto first = Launch();
        ASSERT_TRUE(Started());
        ASSERT_TRUE(vtest::WaitUntil([&] { return Query() == InstanceQueryMessage(); }, 5s));
        first->Kill(SIGKILL);
    }
    ASSERT_TRUE(fs::exists(Runtime() / "Velmora 097")); // left behind
    fs::remove(Cwd() / "settings.ini");
    auto next = Launch();
    ASSERT_TRUE(Started());
    EXPECT_TRUE(vtest::WaitUntil([&] { return Query() == InstanceQueryMessage(); }, 5s));
    int iCode;
    EXPECT_FALSE(next->WaitExit(500ms, iCode));
}

TEST_F(ProcessTest, TenCopiesAtOnceGiveOneWindow)
{
    VTEST_REQUIRE_NETNS(m_ns);
    std::vector<std::unique_ptr<CProcess>> copies;
    for (int i = 0; i < 10; ++i)
        copies.push_back(Launch());
    int iExited = 0;
    const auto end = std::chrono::steady_clock::now() + 2500ms;
    std::vector<bool> done(copies.size(), false);
    while (std::chrono::steady_clock::now() < end && iExited < 9) {
        for (size_t i = 0; i < copies.size(); ++i) {
            int iCode = -1;
            if (!done[i] && copies[i]->WaitExit(0ms, iCode)) {
                done[i] = true;
                ++iExited;
                EXPECT_EQ(iCode, 0);
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(iExited, 9);
    EXPECT_TRUE(Started());
    EXPECT_EQ(Query(), InstanceQueryMessage());
    EXPECT_EQ(std::count(done.begin(), done.end(), false), 1);
}

} // namespace

namespace {

// A user without rights in a read-only folder: nothing can be written there,
// and the program must keep running all the same.
TEST_F(ProcessTest, ReadOnlyFolderKeepsTheProgramRunning)
{
    VTEST_REQUIRE_NETNS(m_ns);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    constexpr uid_t kNobody = 65534;
    const fs::path run = m_work.Path() / "run-nobody";
    fs::create_directory(run);
    ASSERT_EQ(chown(run.c_str(), kNobody, kNobody), 0);
    fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(
        m_work.Path(), fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
    vtest::WriteFile((Cwd() / "settings.ini").string(), "[Velmora]\r\nAutoUpdate=0\r\n");
    fs::permissions(Cwd(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec,
        fs::perm_options::replace);

    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(Cwd().c_str()) != 0)
            _exit(120);
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("HOME", run.c_str(), 1);
        execlp("ip", "ip", "netns", "exec", m_ns.Name().c_str(), "setpriv", "--reuid=65534",
            "--regid=65534", "--clear-groups", VELMORA_EXE, static_cast<char*>(nullptr));
        _exit(121);
    }
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(1500ms);
    int st = 0;
    const bool bEnded = waitpid(pid, &st, WNOHANG) == pid;
    if (!bEnded) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    EXPECT_FALSE(bEnded) << "exit status " << st;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Cwd()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string> { "settings.ini" });
    EXPECT_EQ(vtest::ReadFile((Cwd() / "settings.ini").string()), "[Velmora]\r\nAutoUpdate=0\r\n");
}

} // namespace
