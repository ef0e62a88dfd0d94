#include "SendSocket.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifndef SO_LOCK_FILTER
#define SO_LOCK_FILTER 44
#endif

namespace {

int s_iProcessSocket = -1;
// The process's socket keeps its ring from one Send to the next, and to the
// end: taking it down would only make the exit wait for a grace period.
CTxRing& s_processRing = *new CTxRing;

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

constexpr unsigned kBlockSize = 64 * 1024;
constexpr uint32_t kVlanTagLength = 4;
// Where a TPACKET_V2 frame's bytes begin in its slot.
constexpr unsigned kSlotDataOffset = TPACKET_ALIGN(sizeof(tpacket2_hdr));

tpacket2_hdr* Header(void* pSlot)
{
    return static_cast<tpacket2_hdr*>(pSlot);
}
unsigned char* SlotData(void* pSlot)
{
    return static_cast<unsigned char*>(pSlot) + kSlotDataOffset;
}

uint32_t Status(void* pSlot)
{
    return __atomic_load_n(&Header(pSlot)->tp_status, __ATOMIC_ACQUIRE);
}

void SetStatus(void* pSlot, uint32_t uStatus)
{
    __atomic_store_n(&Header(pSlot)->tp_status, uStatus, __ATOMIC_RELEASE);
}

long PlainSend(int fd, const void* pData, size_t nLength)
{
    // The plain system call spares glibc's cancellation wrapper, a few percent
    // of a small frame.
    return ::syscall(SYS_sendto, fd, pData, nLength, 0, nullptr, 0);
}

} // namespace

bool CTxRing::SetUp(int fd)
{
    Release();
    const int iVersion = TPACKET_V2;
    tpacket_req req {};
    req.tp_block_size = kBlockSize;
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = kFrames;
    req.tp_block_nr = kFrames * kFrameSize / kBlockSize;
    if (::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &iVersion, sizeof iVersion) != 0
        || ::setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &req, sizeof req) != 0)
        return false;
    void* p = ::mmap(
        nullptr, size_t { kFrames } * kFrameSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        tpacket_req none {};
        ::setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &none, sizeof none);
        return false;
    }
    m_iFd = fd;
    m_pMap = static_cast<unsigned char*>(p);
    m_uHead = 0;
    return true;
}

void CTxRing::Release()
{
    if (!m_pMap)
        return;
    ::munmap(m_pMap, size_t { kFrames } * kFrameSize);
    tpacket_req none {};
    ::setsockopt(m_iFd, SOL_PACKET, PACKET_TX_RING, &none, sizeof none);
    m_pMap = nullptr;
    m_iFd = -1;
}

void* CTxRing::Slot(unsigned i) const
{
    return m_pMap + size_t { (m_uHead + i) % kFrames } * kFrameSize;
}

unsigned CTxRing::Capacity()
{
    return kFrameSize - kSlotDataOffset;
}

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
    // Setting a ring up waits for the kernel's grace period (about 10 ms):
    // now rather than in the first Send.
    if (s_iProcessSocket >= 0 && !s_processRing.Ready())
        s_processRing.SetUp(s_iProcessSocket);
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
    // Without the MTU nothing is batched: every frame goes alone and the
    // kernel judges it.
    m_uMtu = ::ioctl(m_iFd, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0
        ? static_cast<unsigned>(ifr.ifr_mtu)
        : 0;
    // A ring stays on the socket from one Send to the next: setting it up or
    // taking it down waits for the kernel's grace period. Its slots must hold
    // every frame the adapter takes, for once it is there the socket sends
    // through nothing else; adapters with a larger MTU get the plain path.
    CTxRing& ring = m_bOwnSocket ? m_ownRing : s_processRing;
    const bool bFits = m_uMtu > 0 && m_uMtu + ETH_HLEN + kVlanTagLength <= CTxRing::Capacity();
    if (m_ePath == ESendPath::Ring && bFits) {
        if (ring.Ready() || ring.SetUp(m_iFd))
            m_pRing = &ring;
    } else if (ring.Ready()) {
        ring.Release();
    }
    return true;
}

bool CSocketSink::Transmit(const unsigned char* pData, uint32_t uLength)
{
    if (m_iFd < 0)
        return false;
    if (!m_pRing) {
        if (PlainSend(m_iFd, pData, uLength) >= 0)
            return true;
        m_csSendError = ErrnoText("send", errno);
        return false;
    }
    // A socket with a ring sends only through it: a batch of one.
    if (Refuse(uLength)) {
        m_csSendError = ErrnoText("send", EMSGSIZE);
        return false;
    }
    // Alone means after the batch: nothing is staged here.
    m_refused.clear();
    StageInRing(pData, uLength);
    Flush(m_refused);
    if (m_refused.empty())
        return true;
    m_csSendError = m_refused.front().csError;
    return false;
}

bool CSocketSink::Refuse(uint32_t uLength) const
{
    // Longer than the adapter takes even with a VLAN tag: the plain path's
    // refusal, without a kernel warning for every such frame.
    return uLength > m_uMtu + ETH_HLEN + kVlanTagLength || uLength > CTxRing::Capacity();
}

void CSocketSink::StageInRing(const unsigned char* pData, uint32_t uLength)
{
    void* pSlot = m_pRing->Slot(m_uStaged);
    std::memcpy(SlotData(pSlot), pData, uLength);
    Header(pSlot)->tp_len = uLength;
    SetStatus(pSlot, TP_STATUS_SEND_REQUEST);
    ++m_uStaged;
}

bool CSocketSink::Stage(const unsigned char* pData, uint32_t uLength)
{
    // Frames of doubtful size go alone, so that each gets its own error.
    if (!m_pRing || m_uStaged >= CTxRing::kFrames || uLength < ETH_HLEN || Refuse(uLength)
        || Status(m_pRing->Slot(m_uStaged)) != TP_STATUS_AVAILABLE)
        return false;
    StageInRing(pData, uLength);
    return true;
}

void CSocketSink::Flush(std::vector<SRefused>& refused)
{
    unsigned n = m_uStaged;
    m_uStaged = 0;
    if (n == 0 || !m_pRing)
        return;
    CTxRing& ring = *m_pRing;
    // Which frame of the batch each slot holds; a refused frame leaves the ring.
    m_slotFrame.resize(n);
    for (unsigned i = 0; i < n; ++i)
        m_slotFrame[i] = i;
    unsigned uDone = 0;
    int iIdle = 0;
    while (uDone < n) {
        // Blocking: returns once every frame it took has left the ring.
        const long r = PlainSend(m_iFd, nullptr, 0);
        const int iErrno = errno;
        const unsigned uBefore = uDone;
        // Taken: sent, or on its way (a queue still holds it).
        for (uint32_t u; uDone < n
             && ((u = Status(ring.Slot(uDone))) == TP_STATUS_AVAILABLE || u == TP_STATUS_SENDING);)
            ++uDone;
        if (uDone == n)
            break;
        if ((r >= 0 || iErrno == EINTR) && (uDone > uBefore || ++iIdle < 3))
            continue;
        iIdle = 0;
        // The kernel stopped at this frame and would try it again, which the
        // plain path never does: it is refused, and the frames after it move
        // up one slot so that the kernel's next slot holds the next frame.
        refused.push_back({ m_slotFrame[uDone], ErrnoText("send", r < 0 ? iErrno : ENOBUFS) });
        for (unsigned i = uDone + 1; i < n; ++i) {
            void* pFrom = ring.Slot(i);
            void* pTo = ring.Slot(i - 1);
            std::memcpy(SlotData(pTo), SlotData(pFrom), Header(pFrom)->tp_len);
            Header(pTo)->tp_len = Header(pFrom)->tp_len;
            SetStatus(pTo, TP_STATUS_SEND_REQUEST);
            m_slotFrame[i - 1] = m_slotFrame[i];
        }
        SetStatus(ring.Slot(n - 1), TP_STATUS_AVAILABLE);
        --n;
    }
    // The count is honest only once every frame has left: with nothing left
    // to take, a blocking send waits for those still on their way.
    auto sending = [&] {
        for (unsigned i = 0; i < n; ++i)
            if (Status(ring.Slot(i)) == TP_STATUS_SENDING)
                return true;
        return false;
    };
    for (int i = 0; i < 100 && sending(); ++i)
        PlainSend(m_iFd, nullptr, 0);
    ring.m_uHead = (ring.m_uHead + n) % CTxRing::kFrames;
}

void CSocketSink::Close()
{
    m_uStaged = 0;
    m_pRing = nullptr;
    // The mapping holds the socket: it goes first.
    m_ownRing.Release();
    if (m_iFd >= 0 && m_bOwnSocket)
        s_socketCloser.Close(m_iFd);
    m_iFd = -1;
    m_bOwnSocket = false;
}
