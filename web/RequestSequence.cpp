#include "web/RequestSequence.h"

#include "web/HttpRetriever.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace velmora {

namespace {

    // Cleared by the worker (release) after it has stored its answer; the waiting
    // thread reads the answers only after it saw the flag clear (acquire).
    std::atomic<bool> s_bBusy { false };
    // The latest answer of each script. A request started inside another one's
    // wait leaves its answer here for an outer request to the same script; kept
    // apart per script so that a version check run inside the feedback's wait
    // cannot decide whether the feedback arrived.
    std::map<std::string, std::string> s_answers;

    // The latest worker. Touched only by the thread that runs the requests, which
    // joins it once the flag is clear: by then the worker has nothing left to do
    // but return, and it never outlives the application object it wakes.
    std::thread s_worker;

    // Without a Qt event loop on the waiting thread, the worker wakes it here.
    std::mutex s_mutex;
    std::condition_variable s_cvDone;

    bool CanWaitOnQt()
    {
        const QCoreApplication* pApp = QCoreApplication::instance();
        return pApp && QThread::currentThread() == pApp->thread();
    }

    void Work(std::string csUrl, std::string csBody, HttpTimeouts timeouts, std::string* pAnswer,
        QObject* pWake) noexcept
    {
        std::string csText;
        try {
            CHttpRetriever http(timeouts);
            if (const char* sz = http.Retrieve(csUrl.c_str(), csBody.c_str(), int(csBody.size())))
                csText = sz;
        } catch (...) {
            csText.clear(); // out of memory: no answer
        }
        *pAnswer = std::move(csText);
        {
            std::lock_guard lock(s_mutex);
            s_bBusy.store(false, std::memory_order_release);
        }
        s_cvDone.notify_all();
        // Posted after the clear, so a waiter that saw the flag set cannot miss it.
        if (pWake)
            QMetaObject::invokeMethod(
                pWake, [] {}, Qt::QueuedConnection);
    }

    void WaitWhileBusy()
    {
        if (CanWaitOnQt()) {
            // Sleeps in the event loop until something happens; the worker's
            // wake-up is one of those things.
            while (s_bBusy.load(std::memory_order_acquire))
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        } else {
            std::unique_lock lock(s_mutex);
            s_cvDone.wait(lock, [] { return !s_bBusy.load(std::memory_order_acquire); });
        }
        if (s_worker.joinable())
            s_worker.join();
    }

} // namespace

bool RunWebRequest(const std::string& csUrl, const std::string& csBody,
    const std::function<void()>& fnBeforeStart, std::string& csAnswer,
    const WebRequestOptions& options)
{
    csAnswer.clear();
    WaitWhileBusy();
    s_bBusy.store(true, std::memory_order_relaxed);
    if (csBody.size() > kMaxFormBody) {
        s_bBusy.store(false, std::memory_order_release);
        return false;
    }
    if (fnBeforeStart)
        fnBeforeStart();

    const bool bQt = CanWaitOnQt();
    std::string* pSlot = nullptr;
    try {
        // The slot is made here so that the worker only assigns to it.
        pSlot = &s_answers[csUrl];
        pSlot->clear();
        if (options.bWorkerStartFails)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        s_worker = std::thread(Work, csUrl, csBody, options.timeouts, pSlot,
            bQt ? QCoreApplication::instance() : nullptr);
    } catch (...) {
        // No worker, no answer; the flag must not stay set.
        s_bBusy.store(false, std::memory_order_release);
        return true;
    }
    if (bQt)
        QCoreApplication::processEvents();
    WaitWhileBusy();
    csAnswer = *pSlot; // by now perhaps a later request's answer to the same script
    return true;
}

bool IsWebRequestBusy()
{
    return s_bBusy.load(std::memory_order_acquire);
}

} // namespace velmora
