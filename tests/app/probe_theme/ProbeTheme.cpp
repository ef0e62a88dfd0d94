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
#include <linux/if_ether.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

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

// What a plugin could do with the process's own packet socket: lift its filter.
std::string DetachResult()
{
    for (int fd = 3; fd < 1024; ++fd) {
        int iDomain = 0;
        socklen_t n = sizeof iDomain;
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &iDomain, &n) == 0 && iDomain == AF_PACKET) {
            const int iDummy = 0;
            if (setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &iDummy, sizeof iDummy) == 0)
                return "detach ok";
            return "detach errno " + std::to_string(errno);
        }
    }
    return "detach no packet socket";
}

void Probe()
{
    Report(StatusLine("CapEff"));
    Report(StatusLine("CapPrm"));
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    Report(fd >= 0 ? "packet socket opened" : "packet socket errno " + std::to_string(errno));
    if (fd >= 0)
        close(fd);
    Report(DetachResult());
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
