// Capture > Serve as the captured device, offscreen: start, a request
// answered and shown, stop, the served list saved; and what it refuses.

#include "NetNs.h"
#include "SiteCapture.h"
#include "TestSupport.h"
#include "app/QtPlatform.h"
#include "app/ServeWnd.h"
#include "serve/Codec.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace velmora;

namespace {

class CSaveAs final : public IFileDialog {
public:
    CSaveAs() { SetFileDialog(this); }
    ~CSaveAs() override { SetFileDialog(nullptr); }
    std::string GetOpenFileName(QWidget*) override { return std::string(); }
    std::string GetSaveFileName(QWidget*, const std::string& csSuggested) override
    {
        csOffered = csSuggested;
        return csAnswer;
    }
    std::string csOffered;
    std::string csAnswer;
};

// Sends ReadProperty analog-input,1 present-value from 10.9.0.1:47809 to
// 10.9.0.2:47808; the answer's first APDU byte, or -1 when none came.
int AskOnce()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own {};
    own.sin_family = AF_INET;
    own.sin_port = htons(47809);
    ::inet_pton(AF_INET, "10.9.0.1", &own.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0)
        return -1;
    std::vector<uint8_t> v { 0x81, 0x0a, 0, 0, 0x01, 0x04, 0x02, 0x75, 0x21, 0x0c };
    serve::CtxObjectId(v, 0, serve::ObjectId(0, 1));
    serve::CtxUnsigned(v, 1, 85);
    v[3] = static_cast<uint8_t>(v.size());
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(47808);
    ::inet_pton(AF_INET, "10.9.0.2", &to.sin_addr);
    ::sendto(fd, v.data(), v.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    int iFirst = -1;
    uint8_t buffer[1500];
    for (int i = 0; i < 200 && iFirst < 0; ++i) {
        QCoreApplication::processEvents();
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 10) == 1 && ::recv(fd, buffer, sizeof buffer, 0) > 6)
            iFirst = buffer[6];
    }
    ::close(fd);
    return iFirst;
}

} // namespace

TEST(ServeWindow, ServesShowsStopsAndSaves)
{
    vtest::CNetns ns("servewnd");
    VTEST_REQUIRE_NETNS(ns);
    ASSERT_EQ(vtest::Shell(ns.ExecPrefix() + "ip addr add 10.9.0.1/24 dev vm0"), 0);
    ASSERT_EQ(vtest::Shell(ns.ExecPrefix() + "ip addr add 10.9.0.2/24 dev vm1"), 0);
    vtest::CEnterNetns enter(ns); // the serving thread starts in here too
    ASSERT_TRUE(enter.Ok());
    vtest::CTempDir dir;
    const std::string csCapture = dir.File("site.pcap");
    ASSERT_TRUE(vtest::WriteSiteCapture(csCapture));

    CServeWnd wnd;
    wnd.SetCapture(csCapture, "vm1");
    wnd.show();
    EXPECT_FALSE(wnd.StopButton()->isEnabled());
    EXPECT_FALSE(wnd.SaveButton()->isEnabled());
    wnd.DevicesField()->setText("1234");
    QTest::mouseClick(wnd.StartButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return wnd.StatusLabel()->text().startsWith("Serving device 1234"); }, 5000))
        << wnd.StatusLabel()->text().toStdString();
    EXPECT_EQ(wnd.StatusLabel()->text().toStdString(),
        "Serving device 1234 on 10.9.0.2:47808 (2 devices learned from 26 records).");
    EXPECT_FALSE(wnd.StartButton()->isEnabled());
    EXPECT_FALSE(wnd.DevicesField()->isEnabled());

    EXPECT_EQ(AskOnce(), 0x30);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return wnd.CountsLabel()->text().startsWith("served 1 requests"); }, 3000))
        << wnd.CountsLabel()->text().toStdString();
    EXPECT_TRUE(wnd.CountsLabel()->text().startsWith("served 1 requests: 1 captured"));
    const std::string csLast = wnd.LastRequests()->toPlainText().toStdString();
    EXPECT_NE(csLast.find("10.9.0.1:47809  readProperty[33] analog-input,1 present-value"),
        std::string::npos)
        << csLast;
    EXPECT_NE(csLast.find("= 22.5  captured"), std::string::npos) << csLast;

    // Stop waits for the serving thread, which looks at its stop flag at
    // least every 20 ms: well within 50 ms, with room for a loaded machine.
    const auto stopAt = std::chrono::steady_clock::now();
    QTest::mouseClick(wnd.StopButton(), Qt::LeftButton);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(150));
    EXPECT_EQ(wnd.StatusLabel()->text().toStdString(), "Stopped.");
    EXPECT_TRUE(wnd.StartButton()->isEnabled());
    ASSERT_TRUE(wnd.SaveButton()->isEnabled());
    CSaveAs saveAs;
    saveAs.csAnswer = dir.File("served.tsv");
    QTest::mouseClick(wnd.SaveButton(), Qt::LeftButton);
    EXPECT_EQ(saveAs.csOffered, dir.File("site-served.tsv"));
    const std::string csSaved = vtest::ReadFile(saveAs.csAnswer);
    EXPECT_EQ(csSaved.rfind("time\tclient\trequest\tanswer\tfrom\n", 0), 0u) << csSaved;
    EXPECT_EQ(std::count(csSaved.begin(), csSaved.end(), '\n'), 2);
    EXPECT_NE(csSaved.find("\tcaptured\n"), std::string::npos) << csSaved;
}

enum class EStartBy { Click, EnterOnStart, EnterInField };

TEST(ServeWindow, SaysWhatItCannotServe)
{
    vtest::CTempDir dir;
    ASSERT_TRUE(vtest::WriteSiteCapture(dir.File("site.pcap")));
    struct SRow {
        const char* szName;
        std::string csCapture;
        std::string csAdapter;
        const char* szDevices;
        const char* szStatus;
        EStartBy eBy = EStartBy::Click;
    } rows[] = {
        { "a device field that is no number", dir.File("site.pcap"), "lo", "12x, 5",
            "'12x' is no device instance (0 to 4194302)." },
        { "no capture chosen", "", "lo", "",
            "Choose a capture and an adapter in the main window first." },
        { "a capture that is none", dir.File("missing.pcap"), "lo", "", "Could not serve: " },
        { "an adapter that is none", dir.File("site.pcap"), "nosuchif0", "",
            "Could not serve: there is no adapter nosuchif0" },
        { "Enter on the focused Start", "", "lo", "",
            "Choose a capture and an adapter in the main window first.", EStartBy::EnterOnStart },
        { "Enter in the device field", dir.File("site.pcap"), "lo", "12x",
            "'12x' is no device instance (0 to 4194302).", EStartBy::EnterInField },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CServeWnd wnd;
        wnd.SetCapture(row.csCapture, row.csAdapter);
        wnd.DevicesField()->setText(row.szDevices);
        if (row.eBy == EStartBy::Click) {
            QTest::mouseClick(wnd.StartButton(), Qt::LeftButton);
        } else {
            wnd.show();
            QWidget* pFocus = row.eBy == EStartBy::EnterOnStart
                ? static_cast<QWidget*>(wnd.StartButton())
                : wnd.DevicesField();
            pFocus->setFocus(Qt::TabFocusReason);
            QTest::keyClick(pFocus, Qt::Key_Return);
        }
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return wnd.StatusLabel()->text().startsWith(row.szStatus); }, 5000))
            << wnd.StatusLabel()->text().toStdString();
        EXPECT_TRUE(wnd.StartButton()->isEnabled());
    }
}

// Escape closes the window, as the program's other windows do.
TEST(ServeWindow, EscapeCloses)
{
    CServeWnd wnd;
    wnd.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wnd));
    wnd.DevicesField()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(wnd.DevicesField(), Qt::Key_Escape);
    EXPECT_FALSE(wnd.isVisible());
}
