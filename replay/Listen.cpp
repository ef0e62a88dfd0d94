#include "replay/Listen.h"

#include "capture/CaptureWriter.h"
#include "capture/OutputFile.h"
#include "decode/Frame.h"
#include "log/Log.h"

#include <pcap/pcap.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

CPortHolder::~CPortHolder()
{
    for (const SPair& pair : m_pairs) {
        if (pair.iFd >= 0)
            ::close(pair.iFd);
    }
}

void CPortHolder::Hold(const uint8_t* pFrame, size_t nLength)
{
    const frame::SFrameLayout layout = frame::LocateFrame(pFrame, nLength);
    if (layout.eKind != frame::EFrameKind::BacnetIp)
        return;
    const uint8_t* pIp = pFrame + layout.uIpAt;
    const uint8_t* pUdp = pFrame + layout.uUdpAt;
    Hold(static_cast<uint32_t>(pIp[12]) << 24 | static_cast<uint32_t>(pIp[13]) << 16
            | static_cast<uint32_t>(pIp[14]) << 8 | pIp[15],
        static_cast<uint16_t>(pUdp[0] << 8 | pUdp[1]));
}

void CPortHolder::Hold(uint32_t uAddress, uint16_t uPort)
{
    if (m_nLast < m_pairs.size() && m_pairs[m_nLast].uAddress == uAddress
        && m_pairs[m_nLast].uPort == uPort)
        return;
    for (size_t n = 0; n < m_pairs.size(); ++n) {
        if (m_pairs[n].uAddress == uAddress && m_pairs[n].uPort == uPort) {
            m_nLast = n;
            return;
        }
    }
    if (m_pairs.size() >= kMaxPairs)
        return;
    m_nLast = m_pairs.size();
    m_pairs.push_back({ uAddress, uPort, -1 });
    // No address (0.0.0.0 would hold the port everywhere), a broadcast or a
    // group is no client's own.
    if (uAddress == 0 || uAddress == INADDR_BROADCAST || IN_MULTICAST(uAddress) || uPort == 0)
        return;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    const int iSmallest = 1; // the kernel raises it to its least
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &iSmallest, sizeof iSmallest);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uPort);
    address.sin_addr.s_addr = htonl(uAddress);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        m_pairs.back().iFd = fd;
        return;
    }
    const int iErrno = errno;
    ::close(fd);
    // EADDRNOTAVAIL: the frames come from an address this host does not
    // have, whose answers its kernel never takes for its own.
    if (iErrno == EADDRNOTAVAIL)
        return;
    char szAddress[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin_addr, szAddress, sizeof szAddress);
    if (iErrno == EADDRINUSE) {
        m_taken.push_back("UDP port " + std::to_string(uPort) + " on " + szAddress
            + " is taken by another program on this host: the answers reach it too");
        DebugLog("Listen: UDP port %u on %s is taken by another program",
            static_cast<unsigned>(uPort), szAddress);
        return;
    }
    DebugLog("Listen: UDP port %u on %s not held: %s", static_cast<unsigned>(uPort), szAddress,
        std::strerror(iErrno));
}

size_t CPortHolder::Held() const
{
    size_t n = 0;
    for (const SPair& pair : m_pairs)
        n += pair.iFd >= 0 ? 1 : 0;
    return n;
}

} // namespace velmora
