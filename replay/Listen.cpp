#include "replay/Listen.h"

#include "capture/CaptureWriter.h"
#include "capture/OutputFile.h"

#include <pcap/pcap.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace velmora {

struct CListener::SShared {
    std::mutex mutex;
    std::vector<SHeardFrame> heard;
    std::vector<SHeardFrame> tapped; // under the mutex
    std::condition_variable tappedCame;
    std::atomic<bool> bStop { false };
    std::atomic<int> iHeard { 0 };
    int iTaken = 0; // under the mutex
    std::thread thread;
};

CListener::CListener() = default;

CListener::~CListener()
{
    Stop();
}

bool CListener::Start(const std::string& csAdapter, std::string& csError)
{
    Stop();
    m_ear.SetPrompt(m_bTap);
    if (!m_ear.Start(csAdapter, csError))
        return false;
    m_pShared = std::make_unique<SShared>();
    try {
        m_pShared->thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        m_ear.Stop();
        m_pShared.reset();
        csError = csAdapter + ": cannot listen (" + e.what() + ")";
        return false;
    }
    return true;
}

void CListener::Run()
{
    std::vector<SHeardFrame> batch;
    while (!m_pShared->bStop.load(std::memory_order_relaxed)) {
        // Short waits, so that Stop is never kept waiting long.
        if (m_ear.Read(batch, 20) == 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(m_pShared->mutex);
            for (SHeardFrame& f : batch) {
                if (m_bTap)
                    m_pShared->tapped.push_back(f);
                m_pShared->heard.push_back(std::move(f));
            }
            m_pShared->iHeard.store(m_pShared->iTaken + static_cast<int>(m_pShared->heard.size()));
        }
        if (m_bTap)
            m_pShared->tappedCame.notify_one();
        batch.clear();
    }
    // What came before the stop is still taken.
    m_ear.Settle();
    m_ear.Read(batch, 0);
    std::lock_guard<std::mutex> lock(m_pShared->mutex);
    for (SHeardFrame& f : batch)
        m_pShared->heard.push_back(std::move(f));
}

void CListener::SetTap(bool bTap)
{
    m_bTap = bTap;
}

bool CListener::TakeTapped(std::vector<SHeardFrame>& heard, int64_t llWaitNs)
{
    if (!m_pShared)
        return false;
    std::unique_lock<std::mutex> lock(m_pShared->mutex);
    if (m_pShared->tapped.empty() && llWaitNs > 0)
        m_pShared->tappedCame.wait_for(lock, std::chrono::nanoseconds(llWaitNs),
            [this] { return !m_pShared->tapped.empty(); });
    if (m_pShared->tapped.empty())
        return false;
    for (SHeardFrame& f : m_pShared->tapped)
        heard.push_back(std::move(f));
    m_pShared->tapped.clear();
    return true;
}

int CListener::Heard() const
{
    return m_pShared ? m_pShared->iHeard.load() : 0;
}

std::vector<SHeardFrame> CListener::Take()
{
    if (!m_pShared)
        return {};
    std::lock_guard<std::mutex> lock(m_pShared->mutex);
    std::vector<SHeardFrame> heard = std::move(m_pShared->heard);
    m_pShared->heard.clear();
    m_pShared->iTaken += static_cast<int>(heard.size());
    return heard;
}

std::vector<SHeardFrame> CListener::Stop()
{
    if (!m_pShared)
        return {};
    m_pShared->bStop = true;
    if (m_pShared->thread.joinable())
        m_pShared->thread.join();
    m_ear.Stop();
    std::vector<SHeardFrame> heard = std::move(m_pShared->heard);
    m_pShared.reset();
    return heard;
}

bool SaveHeardFrames(
    const std::string& csPath, const std::vector<SHeardFrame>& heard, std::string& csError)
{
    CHeardFileWriter writer;
    if (!writer.Open(csPath, csError))
        return false;
    for (const SHeardFrame& f : heard)
        writer.Write(f);
    return writer.Close(csError);
}

bool CHeardFileWriter::Open(const std::string& csPath, std::string& csError)
{
    m_csPath = csPath;
    if (m_writer.Open(csPath, kMaxPcapSnapLen, true))
        return true;
    csError = OutputErrorText(csPath, errno);
    return false;
}

void CHeardFileWriter::Write(const SHeardFrame& frame)
{
    if (frame.iSegments > 0)
        return;
    m_writer.Write(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()), frame.uWireLength,
        static_cast<uint32_t>(frame.llNs / 1000000000),
        static_cast<uint32_t>(frame.llNs % 1000000000));
}

bool CHeardFileWriter::Close(std::string& csError)
{
    if (!m_writer.IsOpen())
        return true;
    if (m_writer.Close())
        return true;
    csError = m_csPath + ": " + m_writer.Error();
    return false;
}

} // namespace velmora
