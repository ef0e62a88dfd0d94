#include "app/SingleInstance.h"

#include <QSocketNotifier>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace velmora {

namespace {

    int s_iLockFd = -1;

    bool IsPrivateFolder(const std::string& csDir)
    {
        struct stat st { };
        if (lstat(csDir.c_str(), &st) != 0)
            return false;
        return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
    }

    bool MakeAddress(const std::string& csPath, sockaddr_un& addr)
    {
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        if (csPath.empty() || csPath.size() >= sizeof addr.sun_path)
            return false;
        std::memcpy(addr.sun_path, csPath.c_str(), csPath.size());
        return true;
    }

    // Asks the running instance to come forward; true when it answered correctly.
    bool AskFirstInstance()
    {
        sockaddr_un addr;
        if (!MakeAddress(InstanceSocketPath(), addr))
            return false;
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return false;
        bool bAnswered = false;
        const uint32_t uQuery = htonl(InstanceQueryMessage());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
            && send(fd, &uQuery, sizeof uQuery, MSG_NOSIGNAL)
                == static_cast<ssize_t>(sizeof uQuery)) {
            pollfd pfd { fd, POLLIN, 0 };
            uint32_t uAnswer = 0;
            if (poll(&pfd, 1, 500) == 1
                && recv(fd, &uAnswer, sizeof uAnswer, MSG_WAITALL) == sizeof uAnswer)
                bAnswered = uAnswer == uQuery;
        }
        close(fd);
        return bAnswered;
    }

    // One connection to the instance socket, dropped after a second at the latest.
    class CQueryClient : public QObject {
    public:
        CQueryClient(int fd, std::function<void()> onQuery, QObject* pParent)
            : QObject(pParent)
            , m_iFd(fd)
            , m_onQuery(std::move(onQuery))
            , m_notifier(fd, QSocketNotifier::Read)
        {
            connect(&m_notifier, &QSocketNotifier::activated, this, [this] { OnRead(); });
            QTimer::singleShot(1000, this, [this] { Drop(); });
        }
        ~CQueryClient() override
        {
            if (m_iFd >= 0)
                close(m_iFd);
        }

    private:
        void OnRead()
        {
            unsigned char buf[8];
            const ssize_t n = recv(m_iFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (n <= 0 || m_nHave + static_cast<size_t>(n) > sizeof m_query) {
                Drop(); // closed, failed, or more than a query: not one of ours
                return;
            }
            std::memcpy(m_query + m_nHave, buf, static_cast<size_t>(n));
            m_nHave += static_cast<size_t>(n);
            if (m_nHave < sizeof m_query)
                return;
            uint32_t uQuery;
            std::memcpy(&uQuery, m_query, sizeof uQuery);
            if (ntohl(uQuery) == InstanceQueryMessage()) {
                send(m_iFd, &uQuery, sizeof uQuery, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (m_onQuery)
                    m_onQuery();
            }
            Drop();
        }
        void Drop()
        {
            m_notifier.setEnabled(false);
            deleteLater();
        }

        int m_iFd;
        std::function<void()> m_onQuery;
        QSocketNotifier m_notifier;
        unsigned char m_query[4] {};
        size_t m_nHave = 0;
    };

} // namespace

uint32_t InstanceQueryMessage()
{
    // A hash of the name folded into 0xC000..0xFFFF: every process gets the same number.
    static const uint32_t s_uMessage = [] {
        uint32_t h = 2166136261u;
        for (const char* p = "Velmora 097"; *p; ++p)
            h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
        return 0xC000u + (h % 0x4000u);
    }();
    return s_uMessage;
}

std::string InstanceFolder()
{
    const char* szRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (szRuntime && szRuntime[0] == '/' && IsPrivateFolder(szRuntime))
        return szRuntime;
    const std::string csDir = "/tmp/velmora-" + std::to_string(geteuid());
    if (mkdir(csDir.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    // Somebody else's folder, or one others can enter, is not ours to use.
    return IsPrivateFolder(csDir) ? csDir : std::string();
}

std::string InstanceLockPath()
{
    const std::string csDir = InstanceFolder();
    return csDir.empty() ? std::string() : csDir + "/Velmora 098";
}

std::string InstanceSocketPath()
{
    const std::string csDir = InstanceFolder();
    return csDir.empty() ? std::string() : csDir + "/Velmora 097";
}

bool InstanceLockHeld()
{
    return s_iLockFd >= 0;
}

bool ClaimFirstInstance()
{
    if (s_iLockFd >= 0)
        return true;
    const std::string csLock = InstanceLockPath();
    if (csLock.empty())
        return true; // no safe place for a lock: start as the first instance
    const int fd = open(csLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        s_iLockFd = fd; // held until the process ends
        return true;
    }
    const bool bOther = errno == EWOULDBLOCK;
    close(fd);
    if (!bOther)
        return true;
    AskFirstInstance();
    return false;
}

void GuardSingleInstance()
{
    if (!ClaimFirstInstance())
        std::_Exit(0);
}

CInstanceServer::CInstanceServer(std::function<void()> onQuery, QObject* pParent)
    : QObject(pParent)
    , m_onQuery(std::move(onQuery))
{
    sockaddr_un addr;
    if (!MakeAddress(InstanceSocketPath(), addr))
        return;
    // We hold the lock, so a socket file left here belongs to an instance that died.
    unlink(addr.sun_path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    const mode_t old = umask(077);
    const bool bOk
        = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 16) == 0;
    umask(old);
    if (!bOk) {
        close(fd);
        return;
    }
    m_iFd = fd;
    m_pNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, [this] { OnAccept(); });
}

CInstanceServer::~CInstanceServer()
{
    if (m_iFd >= 0) {
        close(m_iFd);
        unlink(InstanceSocketPath().c_str());
    }
}

void CInstanceServer::OnAccept()
{
    for (;;) {
        const int fd = accept4(m_iFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        new CQueryClient(fd, m_onQuery, this);
    }
}

} // namespace velmora
