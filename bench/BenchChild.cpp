#include "BenchChild.h"

#include "TestSupport.h"
#include "app/ReplayDlg.h"
#include "log/Log.h"
#include "replay/SendSocket.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

using namespace velmora;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

long PeakRssKb()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// The real window, with a clock on two of the calls the replay makes of it:
// the controls go off right before the first record is read, and the last
// status update follows the last packet. That span is what tcpreplay's own
// rate covers (first packet to last); opening and closing lie outside it.
class CTimedDlg final : public CReplayDlg {
public:
    void EnableReplayControls(bool bEnable) override
    {
        if (!bEnable)
            m_loopStart = m_lastStatus = Clock::now();
        CReplayDlg::EnableReplayControls(bEnable);
    }
    void SetStatusText(const std::string& csText) override
    {
        CReplayDlg::SetStatusText(csText);
        m_lastStatus = Clock::now();
    }
    double LoopSeconds() const { return Seconds(m_lastStatus - m_loopStart); }

private:
    Clock::time_point m_loopStart {};
    Clock::time_point m_lastStatus {};
};

struct SSend {
    double dSeconds = 0; // from the click to the answered box
    double dLoopSeconds = 0;
    std::string csBox;
};

SSend TimedSend(CTimedDlg& dlg, vtest::CRecordingBox& box)
{
    SSend send;
    const size_t nShown = box.shown.size();
    const Clock::time_point start = Clock::now();
    dlg.OnSend();
    send.dSeconds = Seconds(Clock::now() - start);
    send.dLoopSeconds = dlg.LoopSeconds();
    send.csBox = box.shown.size() > nShown ? box.shown.back().csText : "(no box)";
    return send;
}

} // namespace

int RunBenchChild(char* szArgv0, const std::string& csCapture, bool bDebug, int iMode, int iOffset)
{
    // As the program's main does: Sends go out on the process's one socket.
    SetUpSendSocket();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int iArgc = 1;
    char* argv[] = { szArgv0, nullptr };
    QApplication app(iArgc, argv);

    vtest::CTempDir dir;
    vtest::CScopedCwd cwd(dir.Path());
    vtest::WriteFile(dir.File("settings.ini"),
        std::string("[Velmora]\r\nDebug=") + (bDebug ? "1" : "0") + "\r\nAutoUpdate=0\r\nMode="
            + std::to_string(iMode) + "\r\nOffset=" + std::to_string(iOffset)
            + "\r\nOldPath=" + csCapture + "\r\nNicDevice=vm0\r\n");

    vtest::CRecordingBox box;
    CTimedDlg dlg;
    dlg.OnInitDialog();
    // No version check in the middle of a measurement.
    dlg.Timer1().stop();
    dlg.show();
    QCoreApplication::processEvents();
    if (dlg.Settings().NicDevice != "vm0" || dlg.Settings().Mode != iMode) {
        std::fprintf(stderr, "the window did not take the settings (adapter [%s], mode %d)\n",
            dlg.Settings().NicDevice.c_str(), dlg.Settings().Mode);
        return 1;
    }

    const SSend send = TimedSend(dlg, box);
    std::printf("VB seconds %.6f\n", send.dSeconds);
    std::printf("VB loop_seconds %.6f\n", send.dLoopSeconds);
    std::printf("VB box %s\n", send.csBox.c_str());
    std::printf("VB status %s\n", dlg.StatusText().c_str());
    std::printf("VB rss_kb %ld\n", PeakRssKb());
    std::fflush(stdout);
    return 0;
}
