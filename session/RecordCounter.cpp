#include "session/RecordCounter.h"

#include "capture/IndexRows.h"
#include "replay/Replay.h"

#include <atomic>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace velmora {

namespace {

    // The counts beside a Send yield to it: on a machine whose cores are
    // busy they would otherwise take their share of its time (a few percent
    // of its rate). Nice 10, not idle: the Send's end waits for them.
    void BesideTheSend()
    {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    }

} // namespace

struct CRecordCounter::SImpl {
    dissect::CCaptureIndex index;
    std::atomic<bool> bStop { false };
    std::thread thread;
};

CRecordCounter::CRecordCounter()
    : m_p(std::make_unique<SImpl>())
{
}

CRecordCounter::~CRecordCounter()
{
    Stop();
}

void CRecordCounter::Start(const std::string& csPath)
{
    Stop();
    m_p = std::make_unique<SImpl>();
    if (!m_p->index.Open(csPath))
        return;
    SImpl* p = m_p.get();
    p->thread = std::thread([p] {
        BesideTheSend();
        p->index.Run(p->bStop);
    });
}

uint64_t CRecordCounter::Records() const
{
    return m_p->index.State() == dissect::CCaptureIndex::EState::Done ? m_p->index.Count() : 0;
}

void CRecordCounter::Stop()
{
    m_p->bStop = true;
    if (m_p->thread.joinable())
        m_p->thread.join();
}

struct CWrongChecksumCounter::SImpl {
    std::atomic<bool> bStop { false };
    bool bStarted = false;
    bool bDone = false;
    uint64_t uWrong = 0;
    std::thread thread;
};

CWrongChecksumCounter::CWrongChecksumCounter()
    : m_p(std::make_unique<SImpl>())
{
}

CWrongChecksumCounter::~CWrongChecksumCounter()
{
    Stop();
}

void CWrongChecksumCounter::Start(const SReplayRequest& request)
{
    Stop();
    m_p = std::make_unique<SImpl>();
    if (request.listen.bListen || !request.aim.IsDefault())
        return;
    SImpl* p = m_p.get();
    p->bStarted = true;
    p->thread = std::thread([p, request] {
        BesideTheSend();
        p->bDone = CountWrongChecksums(request, p->bStop, p->uWrong);
    });
}

bool CWrongChecksumCounter::Wait(uint64_t& uWrong)
{
    if (m_p->thread.joinable())
        m_p->thread.join();
    uWrong = m_p->uWrong;
    return m_p->bStarted && m_p->bDone;
}

void CWrongChecksumCounter::Stop()
{
    m_p->bStop = true;
    if (m_p->thread.joinable())
        m_p->thread.join();
}

} // namespace velmora
