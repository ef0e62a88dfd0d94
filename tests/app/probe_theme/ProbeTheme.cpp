// A theme plugin as a group member could write one: Qt loads it from a folder
// named in the environment or on the command line. It reports what it may do
// from inside the window's process, then presses Send, answers the box and
// closes the window, so that the same process's Send can be checked too.
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QTimer>
#include <QtPlugin>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#ifndef SO_LOCK_FILTER
#define SO_LOCK_FILTER 44
#endif

namespace {

void Report(const std::string& csLine)
{
    if (const char* szOut = std::getenv("VELMORA_PROBE_OUT"))
        std::ofstream(szOut, std::ios::app) << csLine << '\n';
}

std::string StatusLine(const std::string& csKey)
{
    std::ifstream in("/proc/self/status");
    for (std::string cs; std::getline(in, cs);)
        if (cs.rfind(csKey + ":", 0) == 0)
            return cs;
    return csKey + ": ?";
}

// What a plugin could do with the process's own packet sockets (the send
// socket and the ear): lift or replace their filters, read what they hold
// before any Send, and bind them to the adapter itself to hear what comes.
std::vector<int> PacketSockets()
{
    std::vector<int> fds;
    for (int fd = 3; fd < 1024; ++fd) {
        int iDomain = 0;
        socklen_t n = sizeof iDomain;
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &iDomain, &n) == 0 && iDomain == AF_PACKET)
            fds.push_back(fd);
    }
    return fds;
}

std::string Errno(int iResult)
{
    return iResult == 0 ? "ok" : "errno " + std::to_string(errno);
}

std::string Tamper(int fd)
{
    const int iZero = 0;
    sock_filter acceptAll[] = { { BPF_RET | BPF_K, 0, 0, 0x40000 } };
    sock_fprog prog { 1, acceptAll };
    std::string cs
        = "detach " + Errno(setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &iZero, sizeof iZero));
    cs += ", replace " + Errno(setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog));
    cs += ", unlock " + Errno(setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &iZero, sizeof iZero));
    unsigned char buf[2048];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    cs += n < 0 ? ", nothing to read" : ", read " + std::to_string(n) + " bytes";
    return cs;
}

// Binds every packet socket to the adapter, listens a while, and says what
// kinds of frame came: the test sends ARP and BACnet/IP to the adapter.
std::string Eavesdrop(const std::vector<int>& fds)
{
    const char* szIf = std::getenv("VELMORA_PROBE_IF");
    sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = szIf ? static_cast<int>(if_nametoindex(szIf)) : 0;
    for (int fd : fds)
        if (bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0)
            return "bind " + Errno(-1);
    int iArp = 0;
    int iBacnet = 0;
    int iOther = 0;
    for (int i = 0; i < 30; ++i) {
        usleep(10000);
        for (int fd : fds) {
            unsigned char buf[2048];
            for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 14;) {
                const unsigned uType = buf[12] << 8 | buf[13];
                if (uType == ETH_P_ARP)
                    ++iArp;
                else if (uType == ETH_P_IP && n > 42 && buf[42] == 0x81)
                    ++iBacnet;
                else
                    ++iOther;
            }
        }
    }
    // Deaf again (a bind to protocol 0 would keep ETH_P_ALL).
    sll.sll_protocol = htons(0x88b5);
    for (int fd : fds)
        bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll);
    return "own bind hears ARP " + std::to_string(iArp) + ", other " + std::to_string(iOther)
        + ", BACnet " + (iBacnet > 0 ? "some" : "none");
}

void Probe()
{
    Report(StatusLine("CapEff"));
    Report(StatusLine("CapPrm"));
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    Report(fd >= 0 ? "packet socket opened" : "packet socket errno " + std::to_string(errno));
    if (fd >= 0)
        close(fd);
    const std::vector<int> fds = PacketSockets();
    Report("packet sockets " + std::to_string(fds.size()));
    for (int fd : fds)
        Report(Tamper(fd));
    Report(Eavesdrop(fds));
}

// Presses Send once, answers its box, then ends the window.
void Drive()
{
    static bool s_bPressed = false;
    static bool s_bDone = false;
    if (s_bDone)
        return;
    if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Report("box " + pBox->text().toStdString());
        s_bDone = true;
        pBox->done(QMessageBox::Ok);
        QTimer::singleShot(100, [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* pDlg = qobject_cast<QDialog*>(w); pDlg && pDlg->isVisible())
                    pDlg->reject();
        });
        return;
    }
    if (s_bPressed)
        return;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* pSend = qobject_cast<QPushButton*>(w);
        if (pSend && pSend->objectName() == QLatin1String("ctl1") && pSend->isVisible()
            && pSend->isEnabled()) {
            s_bPressed = true;
            // From a timer of its own: Qt does not fire this one again while
            // the Send runs inside it, and the box must be seen.
            QTimer::singleShot(0, pSend, &QPushButton::click);
            return;
        }
    }
}

} // namespace

class CProbeThemePlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(
        IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE "probe.json")
public:
    CProbeThemePlugin()
    {
        Probe();
        // The event loop does not run yet: start the driver from inside it.
        QMetaObject::invokeMethod(
            this,
            [] {
                auto* pTimer = new QTimer(qApp);
                QObject::connect(pTimer, &QTimer::timeout, &Drive);
                pTimer->start(50);
            },
            Qt::QueuedConnection);
    }
};

#include "ProbeTheme.moc"
