// The Packets window on a long capture: how soon the first rows show, what
// scrolling to the end decodes, how long the reading and a filter take, and
// the longest the window's event loop waits meanwhile. Figures, not a test.
//
//   velmora-packets-bench [--records N] [--size BYTES]
// Runs on the platform Qt is given (QT_QPA_PLATFORM=offscreen, or a display).

#include "TestSupport.h"
#include "app/PacketsWnd.h"
#include "tools/CaptureWriter.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

using namespace velmora;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

class CNoOwner final : public IPacketsOwner {
public:
    std::string UseRecordAsOffset(uint64_t) override { return ""; }
    void SendRecordSelection(const std::string&, const CRecordSelection&) override { }
};

// Runs the event loop until bDone says so; the longest single pass is the
// longest the window would have kept a user waiting.
double RunUntil(const std::function<bool()>& bDone, double& dLongestPassMs)
{
    const Clock::time_point start = Clock::now();
    while (!bDone()) {
        const Clock::time_point t = Clock::now();
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        dLongestPassMs = std::max(dLongestPassMs, Ms(Clock::now() - t));
    }
    return Ms(Clock::now() - start);
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t uRecords = 1000000;
    uint32_t uSize = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--records"))
            uRecords = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--size"))
            uSize = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    QApplication app(argc, argv);
    vtest::CTempDir dir;
    const std::string csPath = dir.File("long.pcap");
    std::string csError;
    if (!WriteTestCapture(csPath, uRecords, uSize, 0, &csError)) {
        std::fprintf(stderr, "cannot write the capture: %s\n", csError.c_str());
        return 1;
    }
    std::printf("capture: %llu records of %u bytes (in the page cache: just written)\n",
        static_cast<unsigned long long>(uRecords), uSize);

    CNoOwner owner;
    double dLongestPass = 0;

    // Opening: from the window's construction to its first rows painted.
    const Clock::time_point t0 = Clock::now();
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(csPath);
    wnd.show();
    QTableView* pTable = wnd.Table();
    // Painting rows asks the model for them: the first decode is the first row on screen.
    RunUntil([&] { return wnd.Model().DecodeCount() > 0; }, dLongestPass);
    const double dFirstRows = Ms(Clock::now() - t0);
    const uint64_t uDecodesAtFirst = wnd.Model().DecodeCount();
    std::printf(
        "first rows shown:        %8.1f ms after opening (%d rows listed then, %llu decoded)\n",
        dFirstRows, wnd.Model().rowCount(), static_cast<unsigned long long>(uDecodesAtFirst));

    const double dRead = RunUntil([&] { return wnd.Idle(); }, dLongestPass);
    wnd.Poll();
    std::printf("whole file indexed:      %8.1f ms after the first rows (%d rows)\n", dRead,
        wnd.Model().rowCount());
    std::printf("longest event-loop pass while reading: %.1f ms\n", dLongestPass);

    // Scrolling to the end decodes what the view shows, nothing between.
    const uint64_t uBefore = wnd.Model().DecodeCount();
    pTable->scrollToBottom();
    pTable->viewport()->repaint();
    QApplication::processEvents();
    const uint64_t uDecoded = wnd.Model().DecodeCount() - uBefore;
    const int iRowHeight = pTable->verticalHeader()->defaultSectionSize();
    std::printf("scroll to the end:       %llu rows decoded; the view shows %d rows\n",
        static_cast<unsigned long long>(uDecoded), pTable->viewport()->height() / iRowHeight + 1);

    // Paging through the middle: one repaint per page.
    const Clock::time_point tPages = Clock::now();
    constexpr int kPages = 200;
    QScrollBar* pBar = pTable->verticalScrollBar();
    for (int i = 0; i < kPages; ++i) {
        pBar->setValue(static_cast<int>(static_cast<int64_t>(pBar->maximum()) * i / kPages));
        pTable->viewport()->repaint();
    }
    std::printf("page repaint (%d pages spread over the file): %.2f ms each\n", kPages,
        Ms(Clock::now() - tPages) / kPages);

    // A filter over every record, in the background.
    dLongestPass = 0;
    const Clock::time_point tFilter = Clock::now();
    wnd.FilterField()->setText(QStringLiteral("no such text"));
    wnd.OnApplyFilter();
    // Idle asked before the poll, as Poll does: the last matches are taken too.
    RunUntil(
        [&] {
            const bool bIdle = wnd.Idle();
            wnd.Poll();
            return bIdle;
        },
        dLongestPass);
    std::printf("filter over all records: %8.1f ms (%d matches); longest event-loop pass %.1f ms\n",
        Ms(Clock::now() - tFilter), wnd.Model().rowCount(), dLongestPass);
    return 0;
}
