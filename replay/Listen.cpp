#include "replay/Listen.h"

#include <pcap/pcap.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace velmora {

struct CListener::SShared {
    std::mutex mutex;
    std::vector<SHeardFrame> heard;
    std::atomic<bool> bStop { false };
    std::atomic<int> iHeard { 0 };
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
        std::lock_guard<std::mutex> lock(m_pShared->mutex);
        for (SHeardFrame& f : batch)
            m_pShared->heard.push_back(std::move(f));
        m_pShared->iHeard.store(static_cast<int>(m_pShared->heard.size()));
        batch.clear();
    }
    // What came before the stop is still taken.
    m_ear.Settle();
    m_ear.Read(batch, 0);
    std::lock_guard<std::mutex> lock(m_pShared->mutex);
    for (SHeardFrame& f : batch)
        m_pShared->heard.push_back(std::move(f));
}

int CListener::Heard() const
{
    return m_pShared ? m_pShared->iHeard.load() : 0;
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

namespace {

    void Put32(std::vector<uint8_t>& v, uint32_t u)
    {
        // Host order, as the magic number says.
        const auto* p = reinterpret_cast<const uint8_t*>(&u);
        v.insert(v.end(), p, p + 4);
    }

} // namespace

bool SaveHeardFrames(
    const std::string& csPath, const std::vector<SHeardFrame>& heard, std::string& csError)
{
    std::vector<uint8_t> v;
    Put32(v, 0xa1b23c4d); // nanosecond time stamps
    v.insert(v.end(), { 0, 0, 0, 0 });
    reinterpret_cast<uint16_t*>(v.data() + 4)[0] = 2;
    reinterpret_cast<uint16_t*>(v.data() + 4)[1] = 4;
    Put32(v, 0); // time zone
    Put32(v, 0); // accuracy
    Put32(v, 262144);
    Put32(v, 1); // Ethernet
    for (const SHeardFrame& f : heard) {
        Put32(v, static_cast<uint32_t>(f.llNs / 1000000000));
        Put32(v, static_cast<uint32_t>(f.llNs % 1000000000));
        Put32(v, static_cast<uint32_t>(f.bytes.size()));
        Put32(v, f.uWireLength);
        v.insert(v.end(), f.bytes.begin(), f.bytes.end());
    }
    std::FILE* p = std::fopen(csPath.c_str(), "wb");
    if (!p) {
        csError = csPath + ": " + std::strerror(errno);
        return false;
    }
    const bool bOk = std::fwrite(v.data(), 1, v.size(), p) == v.size();
    const int iErrno = errno;
    if (std::fclose(p) != 0 || !bOk) {
        csError = csPath + ": " + std::strerror(bOk ? errno : iErrno);
        return false;
    }
    return true;
}

} // namespace velmora
