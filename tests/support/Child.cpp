#include "Child.h"

#include "TestSupport.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace velmora;

namespace vtest {

namespace {

    int s_iSerial = 0;

} // namespace

CChild::CChild(
    const std::vector<std::string>& args, const std::string& csCwd, const std::string& csNetns)
{
    // Beside the folder, so that a listing of it sees only the program's files.
    const std::string csBase
        = csCwd + ".child" + std::to_string(::getpid()) + "-" + std::to_string(++s_iSerial);
    m_csOut = csBase + ".out";
    m_csErr = csBase + ".err";
    std::vector<std::string> all;
    if (!csNetns.empty())
        all = { "ip", "netns", "exec", csNetns };
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& cs : all)
        argv.push_back(cs.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fdIn = ::open("/dev/null", O_RDONLY);
        const int fdOut = ::open(m_csOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int fdErr = ::open(m_csErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0 || ::dup2(fdIn, 0) < 0 || ::dup2(fdOut, 1) < 0
            || ::dup2(fdErr, 2) < 0 || ::chdir(csCwd.c_str()) != 0)
            ::_exit(120);
        // The test runner may ignore or block these; the program must not inherit that.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(121);
    }
}

CChild::~CChild()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int st = 0;
        ::waitpid(m_pid, &st, 0);
    }
    std::remove(m_csOut.c_str());
    std::remove(m_csErr.c_str());
}

void CChild::Signal(int iSignal)
{
    if (m_pid > 0)
        ::kill(m_pid, iSignal);
}

int CChild::Wait(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (m_pid > 0) {
        int st = 0;
        if (::waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        if (std::chrono::steady_clock::now() > end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

std::string CChild::Out() const
{
    return ReadFile(m_csOut);
}
std::string CChild::Err() const
{
    return ReadFile(m_csErr);
}

} // namespace vtest
