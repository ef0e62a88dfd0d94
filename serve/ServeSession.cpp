#include "serve/ServeSession.h"

#include "replay/Clock.h"

namespace velmora::serve {

class CServeSession::CObserver final : public IServeObserver {
public:
    explicit CObserver(CServeSession& session)
        : m_session(session)
    {
    }
    void OnReady(const std::string& csAddress, const std::vector<uint32_t>& devices) override
    {
        const std::lock_guard lock(m_session.m_mutex);
        m_session.m_snapshot.eState = SServeSnapshot::EState::Serving;
        m_session.m_snapshot.csAddress = csAddress;
        m_session.m_snapshot.devices = devices;
    }
    void OnServed(const SServed& served, int64_t llStartNs) override
    {
        std::string csLine = ServedTsvLine(served, llStartNs);
        const std::lock_guard lock(m_session.m_mutex);
        SServeCounts& c = m_session.m_snapshot.counts;
        ++c.uRequests;
        switch (served.eFrom) {
        case EServedFrom::Captured:
            ++c.uCaptured;
            break;
        case EServedFrom::Learned:
            ++c.uLearned;
            break;
        case EServedFrom::Written:
            ++c.uWritten;
            break;
        case EServedFrom::Unknown:
            ++c.uUnknown;
            break;
        }
        m_session.m_last.push_back(csLine);
        if (m_session.m_last.size() > m_session.m_nLast)
            m_session.m_last.pop_front();
        m_session.m_all.push_back(std::move(csLine));
    }
    bool StopRequested() override { return m_session.m_bStop.load(); }

private:
    CServeSession& m_session;
};

CServeSession::CServeSession(size_t nLast)
    : m_nLast(nLast)
{
}

CServeSession::~CServeSession()
{
    Stop();
}

bool CServeSession::Start(const std::string& csCapture, const SServeRequest& request)
{
    if (Running())
        return false;
    if (m_thread.joinable())
        m_thread.join();
    {
        const std::lock_guard lock(m_mutex);
        m_snapshot = SServeSnapshot();
        m_snapshot.eState = SServeSnapshot::EState::Learning;
        m_last.clear();
        m_all.clear();
    }
    m_bStop = false;
    m_thread = std::thread(&CServeSession::Run, this, csCapture, request);
    return true;
}

void CServeSession::Stop()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool CServeSession::Running() const
{
    const std::lock_guard lock(m_mutex);
    return m_snapshot.eState == SServeSnapshot::EState::Learning
        || m_snapshot.eState == SServeSnapshot::EState::Serving;
}

SServeSnapshot CServeSession::Snapshot() const
{
    const std::lock_guard lock(m_mutex);
    SServeSnapshot s = m_snapshot;
    s.last.assign(m_last.begin(), m_last.end());
    return s;
}

std::string CServeSession::ServedTsv() const
{
    const std::lock_guard lock(m_mutex);
    std::string cs = std::string(ServedTsvHeader()) + "\n";
    for (const std::string& csLine : m_all)
        cs += csLine + "\n";
    return cs;
}

void CServeSession::Run(std::string csCapture, SServeRequest request)
{
    SLearned learned;
    std::string csError;
    const auto fail = [this](const std::string& cs) {
        const std::lock_guard lock(m_mutex);
        m_snapshot.eState = SServeSnapshot::EState::Failed;
        m_snapshot.csError = cs;
    };
    if (!LearnCapture(csCapture, learned, csError))
        return fail(csError);
    {
        const std::lock_guard lock(m_mutex);
        m_snapshot.csLearned = std::to_string(learned.devices.size()) + " device"
            + (learned.devices.size() == 1 ? "" : "s") + " learned from "
            + std::to_string(learned.counts.uRecords) + " records";
    }
    CObserver observer(*this);
    CMonotonicClock clock; // on this thread: its timer slack is this thread's
    const SServeOutcome outcome = RunServe(request, learned, observer, clock);
    if (!outcome.bOk)
        return fail(outcome.csError);
    const std::lock_guard lock(m_mutex);
    m_snapshot.counts = outcome.counts; // the server's own, with segments and ignored
    m_snapshot.eState = SServeSnapshot::EState::Stopped;
}

} // namespace velmora::serve
