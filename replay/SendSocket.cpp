#include "replay/SendSocket.h"

#include "replay/Ear.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifndef SO_LOCK_FILTER
#define SO_LOCK_FILTER 44
#endif

namespace velmora {

namespace {

    int s_iProcessSocket = -1;

    // Closing a packet socket waits for the kernel's grace periods (about 25 ms
    // here), which nobody needs to wait for. The close runs on a thread of its own
    // that the next close, or the end of the program, joins.
    class CSocketCloser {
    public:
        ~CSocketCloser() { Join(); }
        void Close(int fd)
        {
            Join();
            try {
                m_thread = std::thread([fd] { ::close(fd); });
            } catch (const std::system_error&) {
                ::close(fd);
            }
        }
        void Join()
        {
            if (m_thread.joinable())
                m_thread.join();
        }

    private:
        std::thread m_thread;
    };

    CSocketCloser s_socketCloser;

    std::string ErrnoText(const char* szWhat, int iErrno)
    {
        return std::string(szWhat) + ": " + std::strerror(iErrno);
    }

    // Devices libpcap lists that are no network interface ("any", netlink, D-Bus,
    // USB and Bluetooth monitors): they exist, but carry no Ethernet frames.
    bool IsCaptureOnlyDevice(const std::string& csName)
    {
        if (csName.empty())
            return false;
        pcap_if_t* pDevs = nullptr;
        char szErr[PCAP_ERRBUF_SIZE] = "";
        if (pcap_findalldevs(&pDevs, szErr) != 0)
            return false;
        bool bFound = false;
        for (pcap_if_t* p = pDevs; p && !bFound; p = p->next)
            bFound = csName == p->name;
        pcap_freealldevs(pDevs);
        return bFound;
    }

} // namespace

namespace {

    constexpr size_t kBatchBytes = 1024 * 1024;

    long PlainSend(int fd, const void* pData, size_t nLength)
    {
        // The plain system call spares glibc's cancellation wrapper, a few percent
        // of a small frame.
        return ::syscall(SYS_sendto, fd, pData, nLength, 0, nullptr, 0);
    }

} // namespace

int OpenSendSocket()
{
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Protocol 0 receives nothing, but a bind may name another protocol:
    // a locked drop-all filter keeps the socket deaf whatever comes later.
    sock_filter dropAll[] = { BPF_STMT(BPF_RET | BPF_K, 0) };
    sock_fprog prog { 1, dropAll };
    const int iOne = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0
        || ::setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &iOne, sizeof iOne) != 0) {
        const int iErrno = errno;
        ::close(fd);
        errno = iErrno;
        return -1;
    }
    return fd;
}

bool DropAllCapabilities()
{
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        return false;
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
    return ::syscall(SYS_capset, &header, data) == 0;
}

SSendSocketSetup SetUpSendSocket()
{
    SSendSocketSetup setup;
    if (s_iProcessSocket < 0)
        s_iProcessSocket = OpenSendSocket();
    setup.iSocket = s_iProcessSocket;
    setup.iErrno = s_iProcessSocket < 0 ? errno : 0;
    setup.iEarSocket = SetUpEarSocket();
    setup.iEarErrno = setup.iEarSocket < 0 ? errno : 0;
    // Root keeps root's rights: it gave them to itself, and nobody else's
    // code runs in its process through them. A user who got them from the
    // file loses them before the toolkit reads a single variable.
    if (::getauxval(AT_SECURE) != 0 && ::getuid() != 0) {
        setup.bDroppedCapabilities = DropAllCapabilities();
        setup.bFailed = !setup.bDroppedCapabilities;
    }
    return setup;
}

int ProcessSendSocket()
{
    return s_iProcessSocket;
}

void WaitForAdapterClose()
{
    s_socketCloser.Join();
}

CSocketSink::~CSocketSink()
{
    Close();
}

bool CSocketSink::Fail(ESendOpenError eError, const std::string& csText, std::string& csError)
{
    Close();
    m_eOpenError = eError;
    csError = csText;
    return false;
}

bool CSocketSink::Open(const std::string& csDeviceName, std::string& csError)
{
    Close();
    m_eOpenError = ESendOpenError::None;
    const std::string& dev = csDeviceName;
    m_iFd = ProcessSendSocket();
    m_bOwnSocket = m_iFd < 0;
    if (m_bOwnSocket) {
        m_iFd = OpenSendSocket();
        if (m_iFd < 0) {
            const int iErrno = errno;
            if (iErrno == EPERM || iErrno == EACCES)
                return Fail(ESendOpenError::NoPermission,
                    dev + ": You don't have permission to perform this capture on that device ("
                        + ErrnoText("socket", iErrno) + ")",
                    csError);
            return Fail(ESendOpenError::Other, dev + ": " + ErrnoText("socket", iErrno), csError);
        }
    }

    // The checks and their words follow libpcap's open: existence, then up,
    // then the link type.
    const std::string csNoDevice = dev + ": No such device exists (No such device exists)";
    ifreq ifr {};
    if (dev.empty() || dev.size() >= sizeof ifr.ifr_name)
        return Fail(ESendOpenError::NoSuchDevice, csNoDevice, csError);
    std::memcpy(ifr.ifr_name, dev.c_str(), dev.size());
    if (::ioctl(m_iFd, SIOCGIFINDEX, &ifr) != 0) {
        const int iErrno = errno;
        if (iErrno == ENODEV && IsCaptureOnlyDevice(dev))
            return Fail(ESendOpenError::NotEthernet,
                dev + ": EN10MB is not one of the DLTs supported by this device", csError);
        if (iErrno == ENODEV)
            return Fail(ESendOpenError::NoSuchDevice, csNoDevice, csError);
        return Fail(ESendOpenError::Other, dev + ": " + ErrnoText("SIOCGIFINDEX", iErrno), csError);
    }
    const int iIndex = ifr.ifr_ifindex;
    if (::ioctl(m_iFd, SIOCGIFFLAGS, &ifr) != 0)
        return Fail(ESendOpenError::Other, dev + ": " + ErrnoText("SIOCGIFFLAGS", errno), csError);
    if (!(ifr.ifr_flags & IFF_UP))
        return Fail(ESendOpenError::NotUp, dev + ": That device is not up", csError);
    if (::ioctl(m_iFd, SIOCGIFHWADDR, &ifr) != 0)
        return Fail(ESendOpenError::Other, dev + ": " + ErrnoText("SIOCGIFHWADDR", errno), csError);
    // libpcap gives the loopback device Ethernet framing too.
    const int iType = ifr.ifr_hwaddr.sa_family;
    if (iType != ARPHRD_ETHER && iType != ARPHRD_LOOPBACK)
        return Fail(ESendOpenError::NotEthernet,
            dev + ": EN10MB is not one of the DLTs supported by this device", csError);

    sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = 0; // still deaf after the bind
    sll.sll_ifindex = iIndex;
    if (::bind(m_iFd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        const int iErrno = errno;
        return Fail(iErrno == ENODEV ? ESendOpenError::NoSuchDevice : ESendOpenError::Other,
            iErrno == ENODEV ? csNoDevice : dev + ": " + ErrnoText("bind", iErrno), csError);
    }
    return true;
}

bool CSocketSink::Transmit(const unsigned char* pData, uint32_t uLength)
{
    if (m_iFd < 0)
        return false;
    if (m_bStampNext) {
        m_bStampNext = false;
        iovec iov { const_cast<unsigned char*>(pData), uLength };
        msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = m_stampControl.data();
        msg.msg_controllen = m_stampControl.size();
        const bool bSent = ::sendmsg(m_iFd, &msg, 0) >= 0;
        const int iErrno = errno;
        m_wanted.push_back(
            { m_uCalls++, 0, true, bSent, bSent ? static_cast<int64_t>(m_uKeys++) : -1 });
        if (bSent) {
            TakeStampsNowAndThen();
            return true;
        }
        errno = iErrno;
    } else if (PlainSend(m_iFd, pData, uLength) >= 0) {
        ++m_uCalls;
        return true;
    }
    ++m_uCalls;
    m_csSendError = ErrnoText("send", errno);
    return false;
}

bool CSocketSink::Stage(const unsigned char* pData, uint32_t uLength)
{
    if (m_ePath != ESendPath::Batch || m_iFd < 0 || m_frames.size() >= kBatchFrames
        || m_batch.size() + uLength > kBatchBytes)
        return false;
    if (m_batch.capacity() < kBatchBytes) {
        m_batch.reserve(kBatchBytes);
        m_frames.reserve(kBatchFrames);
    }
    // The reserve above keeps every staged copy where it is.
    m_frames.push_back({ m_batch.data() + m_batch.size(), uLength });
    m_batch.insert(m_batch.end(), pData, pData + uLength);
    m_stampFlags.push_back(m_bStampNext);
    m_bStampNext = false;
    return true;
}

bool CSocketSink::StageInPlace(const unsigned char* pData, uint32_t uLength)
{
    if (m_ePath != ESendPath::Batch || m_iFd < 0 || m_frames.size() >= kBatchFrames)
        return false;
    m_frames.push_back({ const_cast<unsigned char*>(pData), uLength });
    m_stampFlags.push_back(m_bStampNext);
    m_bStampNext = false;
    return true;
}

void CSocketSink::Flush(std::vector<SRefused>& refused)
{
    const unsigned n = static_cast<unsigned>(m_frames.size());
    mmsghdr msgs[kBatchFrames];
    iovec iovs[kBatchFrames];
    // Where the batch's wanted frames start in m_wanted, and whether any is
    // stamped: a stamp costs the kernel and us about as much as the frame's
    // own send, so a batch of many requests stamps only some of them (see
    // kStampEvery) and the rest are placed between their neighbours.
    const size_t nFirstWanted = m_wanted.size();
    const unsigned uWanted
        = static_cast<unsigned>(std::count(m_stampFlags.begin(), m_stampFlags.end(), true));
    unsigned uWantedSeen = 0;
    for (unsigned i = 0; i < n; ++i) {
        iovs[i] = m_frames[i];
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        if (m_stampFlags[i]) {
            const bool bStamp = uWanted <= kStampAll || uWantedSeen % kStampEvery == 0
                || uWantedSeen + 1 == uWanted;
            if (bStamp) {
                msgs[i].msg_hdr.msg_control = m_stampControl.data();
                msgs[i].msg_hdr.msg_controllen = m_stampControl.size();
            }
            // The call and the key are known once the kernel has taken it.
            m_wanted.push_back({ 0, i, bStamp, false, -1 });
            ++uWantedSeen;
        }
    }
    // The kernel hands frames on in order and stops at the first it refuses
    // (keeping its error only when it is the first of the call); a call that
    // starts with it gives the error, and the rest follow.
    size_t nWanted = nFirstWanted;
    for (unsigned i = 0; i < n;) {
        const int r = ::sendmmsg(m_iFd, msgs + i, n - i, 0);
        if (r < 0 && errno == EINTR)
            continue;
        const uint32_t uCall = m_uCalls++;
        const unsigned uTaken = r > 0 ? static_cast<unsigned>(r) : 0;
        // Frames the kernel took in this call, then the one it refused.
        const unsigned uEnd = i + uTaken + (uTaken == 0 ? 1 : 0);
        for (; nWanted < m_wanted.size() && m_wanted[nWanted].uPos < uEnd; ++nWanted) {
            SWanted& w = m_wanted[nWanted];
            w.uCall = uCall;
            w.bSent = uTaken > 0;
            if (w.bSent && w.bAsked)
                w.llKey = static_cast<int64_t>(m_uKeys++);
        }
        if (uTaken > 0) {
            i += uTaken;
        } else {
            refused.push_back({ i, ErrnoText("send", r < 0 ? errno : ENOBUFS) });
            ++i;
        }
    }
    m_batch.clear();
    m_frames.clear();
    m_stampFlags.clear();
    TakeStampsNowAndThen();
}

bool CSocketSink::StampFrames(bool bOn)
{
    m_stamps.clear();
    m_wanted.clear();
    m_uKeys = 0;
    m_uKeysRead = 0;
    m_bStamps = false;
    m_bStampNext = false;
    if (m_iFd < 0 || !SetSendStamps(m_iFd, bOn, false))
        return false;
    m_bStamps = bOn;
    if (bOn && m_stampControl.empty()) {
        // One control message asks the kernel to stamp a frame; it is the same
        // for every stamped frame.
        m_stampControl.assign(CMSG_SPACE(sizeof(uint32_t)), 0);
        auto* pCmsg = reinterpret_cast<cmsghdr*>(m_stampControl.data());
        pCmsg->cmsg_level = SOL_SOCKET;
        pCmsg->cmsg_type = SO_TIMESTAMPING;
        pCmsg->cmsg_len = CMSG_LEN(sizeof(uint32_t));
        const uint32_t uFlags = SOF_TIMESTAMPING_TX_SOFTWARE;
        std::memcpy(CMSG_DATA(pCmsg), &uFlags, sizeof uFlags);
    }
    return true;
}

void CSocketSink::TakeStampsNowAndThen()
{
    // The error queue has room for a few hundred stamps; reading it costs a
    // system call, so not after every batch.
    if (m_uKeys - m_uKeysRead >= kStampsPerRead) {
        ReadSendStamps(m_iFd, m_stamps);
        m_uKeysRead = m_uKeys;
    }
}

void CSocketSink::StampNext()
{
    m_bStampNext = m_bStamps;
}

void CSocketSink::TakeSendTimes(std::vector<int64_t>& times, std::vector<int64_t>& earliest)
{
    if (m_bStamps && m_iFd >= 0)
        ReadSendStamps(m_iFd, m_stamps);
    times = PlaceSendTimes(m_wanted, m_uKeys, m_stamps, &earliest);
    m_stamps.clear();
    m_wanted.clear();
}

std::vector<int64_t> PlaceSendTimes(const std::vector<CSocketSink::SWanted>& wanted, uint64_t uKeys,
    const std::vector<SSendStamp>& stamps, std::vector<int64_t>* pEarliest)
{
    // Keys count on over a whole Send; a Send handing its times over round by
    // round looks up only the keys of the frames still wanted.
    uint64_t uBase = uKeys;
    for (const CSocketSink::SWanted& w : wanted) {
        if (w.llKey >= 0)
            uBase = std::min(uBase, static_cast<uint64_t>(w.llKey));
    }
    std::vector<int64_t> byKey(uKeys - uBase, 0);
    for (const SSendStamp& s : stamps) {
        if (s.uId >= uBase && s.uId - uBase < byKey.size())
            byKey[s.uId - uBase] = s.llNs;
    }
    std::vector<int64_t> times(wanted.size(), 0);
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (wanted[i].llKey >= 0)
            times[i] = byKey[static_cast<size_t>(wanted[i].llKey) - uBase];
    }
    if (pEarliest)
        *pEarliest = times;
    // A frame without a stamp of its own went out between two stamped ones
    // of the same system call, which the kernel hands on back to back: it
    // takes its place between their times, by its place in the batch.
    const size_t kNone = wanted.size();
    std::vector<size_t> next(wanted.size(), kNone);
    for (size_t i = wanted.size(), nNext = kNone; i-- > 0;) {
        next[i] = nNext;
        if (times[i] != 0)
            nNext = i;
    }
    for (size_t i = 0, nPrev = kNone; i < wanted.size(); ++i) {
        if (times[i] != 0) {
            nPrev = i;
            continue;
        }
        const size_t nNext = next[i];
        if (!wanted[i].bSent || nPrev == kNone || nNext == kNone
            || wanted[nPrev].uCall != wanted[i].uCall || wanted[nNext].uCall != wanted[i].uCall
            || wanted[nNext].uPos <= wanted[nPrev].uPos)
            continue;
        const int64_t llSpan = times[nNext] - times[nPrev];
        const int64_t llSteps = wanted[nNext].uPos - wanted[nPrev].uPos;
        times[i] = times[nPrev] + llSpan * (wanted[i].uPos - wanted[nPrev].uPos) / llSteps;
        if (pEarliest)
            (*pEarliest)[i] = times[nPrev];
    }
    return times;
}

void CSocketSink::Close()
{
    if (m_bStamps && m_iFd >= 0)
        SetSendStamps(m_iFd, false);
    m_bStamps = false;
    m_bStampNext = false;
    m_stamps.clear();
    m_wanted.clear();
    m_stampFlags.clear();
    m_batch.clear();
    m_frames.clear();
    if (m_iFd >= 0 && m_bOwnSocket)
        s_socketCloser.Close(m_iFd);
    m_iFd = -1;
    m_bOwnSocket = false;
}

} // namespace velmora
