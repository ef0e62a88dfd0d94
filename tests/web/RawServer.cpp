#include "RawServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vtest {

namespace {

    int ListenOnLoopback(int& iPort)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error("socket failed");
        const int iOn = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof iOn);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0
            || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            close(fd);
            throw std::runtime_error("bind/listen failed");
        }
        iPort = ntohs(addr.sin_port);
        return fd;
    }

    bool Readable(int fd, int iMs)
    {
        pollfd p { fd, POLLIN, 0 };
        return poll(&p, 1, iMs) > 0;
    }

    size_t ContentLength(const std::string& csHead)
    {
        size_t pos = 0;
        while ((pos = csHead.find("\r\n", pos)) != std::string::npos) {
            pos += 2;
            if (strncasecmp(csHead.c_str() + pos, "Content-Length:", 15) == 0)
                return std::stoul(csHead.substr(pos + 15));
        }
        return 0;
    }

} // namespace

CRawServer::CRawServer(Script fnScript, bool bReadRequest)
    : m_fnScript(std::move(fnScript))
    , m_bReadRequest(bReadRequest)
    , m_fdListen(ListenOnLoopback(m_iPort))
{
    m_thread = std::thread([this] { Serve(); });
}

CRawServer::~CRawServer()
{
    m_bStop = true;
    m_thread.join();
    close(m_fdListen);
}

std::vector<std::string> CRawServer::Requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void CRawServer::Serve()
{
    while (!m_bStop) {
        if (!Readable(m_fdListen, 20))
            continue;
        const int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_iConnections;
        if (m_bReadRequest) {
            std::string cs = ReadRequest(fd);
            std::lock_guard lock(m_mutex);
            m_requests.push_back(std::move(cs));
        }
        m_fnScript(*this, fd);
        close(fd);
    }
}

std::string CRawServer::ReadRequest(int fd)
{
    std::string cs;
    size_t nWanted = std::string::npos;
    char buf[4096];
    while (cs.size() < nWanted && Readable(fd, 3000)) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        cs.append(buf, size_t(n));
        const size_t nHead = cs.find("\r\n\r\n");
        if (nHead != std::string::npos)
            nWanted = nHead + 4 + ContentLength(cs.substr(0, nHead + 2));
    }
    return cs;
}

void CRawServer::Send(int fd, const std::string& csBytes)
{
    size_t nDone = 0;
    while (nDone < csBytes.size()) {
        const ssize_t n = send(fd, csBytes.data() + nDone, csBytes.size() - nDone, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        nDone += size_t(n);
    }
}

void CRawServer::Reset(int fd)
{
    const linger l { 1, 0 };
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void CRawServer::WaitForClientClose(int fd, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    char buf[512];
    while (!m_bStop && std::chrono::steady_clock::now() < end) {
        if (Readable(fd, 20) && recv(fd, buf, sizeof buf, 0) <= 0)
            return;
    }
}

void CRawServer::Pause(std::chrono::milliseconds ms)
{
    const auto end = std::chrono::steady_clock::now() + ms;
    while (!m_bStop && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

std::string CRawServer::Answer(const std::string& csBody, const std::string& csStatus)
{
    return "HTTP/1.1 " + csStatus + "\r\nContent-Type: text/html\r\nContent-Length: "
        + std::to_string(csBody.size()) + "\r\nConnection: close\r\n\r\n" + csBody;
}

int UnusedPort()
{
    int iPort = 0;
    close(ListenOnLoopback(iPort));
    return iPort;
}

} // namespace vtest
