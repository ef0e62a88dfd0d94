#include "replay/Ear.h"

#include "decode/Frame.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#ifndef SO_LOCK_FILTER
#define SO_LOCK_FILTER 44
#endif

namespace velmora {

namespace {

    int s_iProcessEar = -1;

    constexpr uint32_t kSnap = 0x40000;
    constexpr uint16_t kTpid = 0x8100; // a tag put back without the kernel's TPID

    // The ring frames heard land in: blocks the kernel fills frame after frame,
    // each taking only its own length, so that a burst of many thousand short
    // answers fits while the reader is kept waiting. A block not yet full is
    // handed over after kRingWaitMs, and then its room is gone until read: the
    // blocks are many, so that a reader kept waiting a second loses nothing.
    // A frame longer than a ring frame (longer than any BACnet frame) keeps
    // its first bytes and its length.
    constexpr uint32_t kRingFrame = 2048;
    constexpr uint32_t kRingBlock = 128 * 1024;
    constexpr uint32_t kRingBlocks = 64;
    constexpr uint32_t kRingWaitMs = 20;
    constexpr size_t kRingBytes = size_t(kRingBlock) * kRingBlocks;
    constexpr uint32_t kRingFrames = kRingBlocks * (kRingBlock / kRingFrame);

    // One frame out of the ring, the 802.1Q tag the kernel moved aside put back.
    SHeardFrame TakeFrame(const uint8_t* p, uint32_t uCaptured, uint32_t uWireLength, int64_t llNs,
        bool bVlan, bool bTpid, uint16_t uTpid, uint16_t uTci)
    {
        SHeardFrame frame;
        frame.llNs = llNs;
        frame.uWireLength = uWireLength;
        if (bVlan && uCaptured >= 12) {
            if (!bTpid)
                uTpid = kTpid;
            frame.bytes.reserve(uCaptured + 4);
            frame.bytes.assign(p, p + 12);
            frame.bytes.insert(frame.bytes.end(),
                { uint8_t(uTpid >> 8), uint8_t(uTpid), uint8_t(uTci >> 8), uint8_t(uTci) });
            frame.bytes.insert(frame.bytes.end(), p + 12, p + uCaptured);
            frame.uWireLength += 4;
        } else {
            frame.bytes.assign(p, p + uCaptured);
        }
        return frame;
    }

    // The rule of decode/Frame.h for a frame that still holds up to
    // uMaxTagsLeft tags (the kernel takes out at most one, 802.1Q or 802.1ad).
    std::string Expression(uint32_t uMaxTagsLeft)
    {
        using namespace frame;
        auto At = [](uint32_t u) { return std::to_string(u); };
        std::string csAll;
        for (uint32_t uTags = 0; uTags <= uMaxTagsLeft; ++uTags) {
            const uint32_t uType = 12 + 4 * uTags, uNet = uType + 2;
            std::string cs;
            for (uint32_t i = 0; i < uTags; ++i) {
                std::string csAny;
                for (uint16_t uTpid : kVlanTpids)
                    csAny += (csAny.empty() ? "" : " or ")
                        + ("ether[" + At(12 + 4 * i) + ":2] = " + At(uTpid));
                cs += "(" + csAny + ") and ";
            }
            const std::string csType = "ether[" + At(uType) + ":2]";
            const std::string csIhl = "((ether[" + At(uNet) + "] & 15) * 4)";
            const std::string csUdp = At(uNet) + " + " + csIhl;
            const std::string csUdpLength = "ether[" + csUdp + " + 4:2]";
            auto Port = [&](uint32_t uAt) {
                return "ether[" + csUdp + " + " + At(uAt) + ":2] - " + At(kBacnetPortLow) + " < "
                    + At(kBacnetPortHigh - kBacnetPortLow + 1);
            };
            const std::string csLlc = csType + " <= " + At(kMax8023Length) + " and " + csType
                + " >= 3 and ether[" + At(uNet) + "] = " + At(kBacnetLlc[0]) + " and ether["
                + At(uNet + 1) + "] = " + At(kBacnetLlc[1]) + " and ether[" + At(uNet + 2)
                + "] = " + At(kBacnetLlc[2]);
            const std::string csIp = csType + " = " + At(kEtherTypeIpv4) + " and ether[" + At(uNet)
                + "] & 240 = 64 and ether[" + At(uNet) + "] & 15 >= 5 and ether[" + At(uNet + 9)
                + "] = " + At(kIpProtocolUdp) + " and ether[" + At(uNet + 6)
                + ":2] & 8191 = 0 and ether[" + At(uNet + 2) + ":2] >= " + csIhl + " + 12 and "
                + csUdpLength + " >= 12 and (ether[" + At(uNet + 6) + ":2] & 8192 != 0 or "
                + csUdpLength + " + " + csIhl + " <= ether[" + At(uNet + 2) + ":2]) and (" + Port(0)
                + " or " + Port(2) + ") and ether[" + csUdp + " + 8] = " + At(kBvlcTypeIp);
            cs += "((" + csLlc + ") or (" + csIp + "))";
            csAll += (csAll.empty() ? "(" : " or (") + cs + ")";
        }
        return csAll;
    }

    // One compiled expression, as the kernel takes it; empty when libpcap cannot.
    std::vector<SFilterInstruction> Compile(const std::string& csExpression)
    {
        std::vector<SFilterInstruction> code;
        pcap_t* p = ::pcap_open_dead(DLT_EN10MB, static_cast<int>(kSnap));
        if (!p)
            return code;
        bpf_program program {};
        if (::pcap_compile(p, &program, csExpression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
            for (u_int i = 0; i < program.bf_len; ++i) {
                const bpf_insn& in = program.bf_insns[i];
                code.push_back({ in.code, in.jt, in.jf, in.k });
            }
            ::pcap_freecode(&program);
        }
        ::pcap_close(p);
        return code;
    }

    // Outgoing frames are dropped first. Then, with the kernel's tag taken out
    // or without one, the rule for what is left in the frame.
    std::vector<SFilterInstruction> BuildProgram()
    {
        const std::vector<SFilterInstruction> untagged = Compile(Expression(frame::kMaxVlanTags));
        const std::vector<SFilterInstruction> stripped
            = Compile(Expression(frame::kMaxVlanTags - 1));
        if (untagged.empty() || stripped.empty())
            return {};
        std::vector<SFilterInstruction> code = {
            { BPF_LD | BPF_W | BPF_ABS, 0, 0, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE) },
            { BPF_JMP | BPF_JEQ | BPF_K, 0, 1, PACKET_OUTGOING },
            { BPF_RET | BPF_K, 0, 0, 0 },
            { BPF_LD | BPF_W | BPF_ABS, 0, 0, uint32_t(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT) },
            { BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 0 },
            { BPF_JMP | BPF_JA, 0, 0, uint32_t(untagged.size()) },
        };
        code.insert(code.end(), untagged.begin(), untagged.end());
        code.insert(code.end(), stripped.begin(), stripped.end());
        return code;
    }

    int Fail(int fd)
    {
        const int iErrno = errno;
        ::close(fd);
        errno = iErrno;
        return -1;
    }

    // Takes every frame waiting without keeping it.
    void Drain(int fd)
    {
        unsigned char buf[64];
        while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC) >= 0) { }
    }

    // A protocol no BACnet frame arrives under; binding to it is the only way
    // back to deafness, since a bind to protocol 0 keeps the current one.
    constexpr uint16_t kDeafProtocol = 0x88b5;

} // namespace

std::string BacnetFilterExpression(uint32_t uTagsInFrame)
{
    return Expression(uTagsInFrame);
}

const std::vector<SFilterInstruction>& BacnetFilterProgram()
{
    static const std::vector<SFilterInstruction> s_program = BuildProgram();
    return s_program;
}

int OpenEarSocket()
{
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const std::vector<SFilterInstruction>& program = BacnetFilterProgram();
    if (program.empty()) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    std::vector<sock_filter> code;
    for (const SFilterInstruction& i : program)
        code.push_back({ i.uCode, i.uJt, i.uJf, i.uK });
    sock_fprog prog { static_cast<unsigned short>(code.size()), code.data() };
    const int iOne = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0
        || ::setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &iOne, sizeof iOne) != 0
        || ::setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &iOne, sizeof iOne) != 0)
        return Fail(fd);
    // Our own frames leaving the adapter are no answers: the kernel need not
    // copy each one to the ear only for the filter to drop it (which it still
    // would, should anyone turn this off).
    ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &iOne, sizeof iOne);
    // Answers come back to back: as much room as the system lets a user have.
    const int iBuffer = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &iBuffer, sizeof iBuffer);
    return fd;
}

int SetUpEarSocket()
{
    if (s_iProcessEar < 0)
        s_iProcessEar = OpenEarSocket();
    return s_iProcessEar;
}

int ProcessEarSocket()
{
    return s_iProcessEar;
}

CEar::~CEar()
{
    Stop();
}

bool CEar::Start(const std::string& csAdapter, std::string& csError)
{
    Stop();
    int fd = m_iGivenSocket >= 0 ? m_iGivenSocket : ProcessEarSocket();
    m_bOwnSocket = fd < 0;
    if (m_bOwnSocket)
        fd = OpenEarSocket();
    if (fd < 0) {
        csError = csAdapter + ": cannot listen (" + std::strerror(errno) + ")";
        return false;
    }
    m_iFd = fd;
    ifreq ifr {};
    if (csAdapter.empty() || csAdapter.size() >= sizeof ifr.ifr_name) {
        csError = csAdapter + ": No such device exists";
        Stop();
        return false;
    }
    std::memcpy(ifr.ifr_name, csAdapter.c_str(), csAdapter.size());
    if (::ioctl(fd, SIOCGIFINDEX, &ifr) != 0) {
        csError = csAdapter + ": No such device exists";
        Stop();
        return false;
    }
    m_iIfIndex = ifr.ifr_ifindex;
    // Frames heard land in a ring shared with the kernel, which stamps each one
    // as it hands it over. Receive stamps asked of the socket instead would make
    // the kernel stamp every frame the machine handles, sent ones too.
    const int iVersion = m_bPrompt ? TPACKET_V2 : TPACKET_V3;
    tpacket_req3 req {};
    req.tp_block_size = kRingBlock;
    req.tp_block_nr = kRingBlocks;
    req.tp_frame_size = kRingFrame;
    req.tp_frame_nr = kRingFrames;
    req.tp_retire_blk_tov = kRingWaitMs;
    // A V2 ring takes the first four fields only.
    const socklen_t uReqLength = m_bPrompt ? sizeof(tpacket_req) : sizeof req;
    if (::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &iVersion, sizeof iVersion) != 0
        || ::setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, uReqLength) != 0) {
        csError = csAdapter + ": cannot listen (" + std::strerror(errno) + ")";
        Stop();
        return false;
    }
    m_bRing = true;
    void* pRing = ::mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pRing == MAP_FAILED) {
        csError = csAdapter + ": cannot listen (" + std::strerror(errno) + ")";
        Stop();
        return false;
    }
    m_pRing = static_cast<uint8_t*>(pRing);
    m_uNext = 0;
    Drain(fd);
    sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = m_iIfIndex;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        csError = csAdapter + ": cannot listen (bind: " + std::strerror(errno) + ")";
        Stop();
        return false;
    }
    packet_mreq mreq {};
    mreq.mr_ifindex = m_iIfIndex;
    mreq.mr_type = PACKET_MR_PROMISC;
    if (::setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        csError = csAdapter + ": cannot listen (promiscuous mode: " + std::strerror(errno) + ")";
        Stop();
        return false;
    }
    m_bPromiscuous = true;
    return true;
}

size_t CEar::Read(std::vector<SHeardFrame>& heard, int iWaitMs)
{
    if (m_iFd < 0 || !m_pRing)
        return 0;
    if (m_bPrompt)
        return ReadFrames(heard, iWaitMs);
    auto block = [this](uint32_t u) {
        return reinterpret_cast<tpacket_block_desc*>(m_pRing + size_t(u) * kRingBlock);
    };
    auto ready = [](tpacket_block_desc* b) {
        return (__atomic_load_n(&b->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0;
    };
    if (!ready(block(m_uNext))) {
        pollfd pfd { m_iFd, POLLIN, 0 };
        if (::poll(&pfd, 1, iWaitMs) <= 0 || !ready(block(m_uNext)))
            return 0;
    }
    size_t nTaken = 0;
    for (tpacket_block_desc* b = block(m_uNext); ready(b); b = block(m_uNext)) {
        const uint8_t* pFrame
            = reinterpret_cast<const uint8_t*>(b) + b->hdr.bh1.offset_to_first_pkt;
        for (uint32_t i = 0; i < b->hdr.bh1.num_pkts; ++i) {
            const auto* h = reinterpret_cast<const tpacket3_hdr*>(pFrame);
            heard.push_back(TakeFrame(pFrame + h->tp_mac, h->tp_snaplen, h->tp_len,
                int64_t(h->tp_sec) * 1000000000 + h->tp_nsec,
                (h->tp_status & TP_STATUS_VLAN_VALID) != 0,
                (h->tp_status & TP_STATUS_VLAN_TPID_VALID) != 0, h->hv1.tp_vlan_tpid,
                h->hv1.tp_vlan_tci));
            pFrame += h->tp_next_offset;
        }
        nTaken += b->hdr.bh1.num_pkts;
        __atomic_store_n(&b->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        m_uNext = (m_uNext + 1) % kRingBlocks;
    }
    return nTaken;
}

size_t CEar::ReadFrames(std::vector<SHeardFrame>& heard, int iWaitMs)
{
    auto slot = [this](uint32_t u) {
        return reinterpret_cast<tpacket2_hdr*>(m_pRing + size_t(u) * kRingFrame);
    };
    auto ready = [](tpacket2_hdr* h) {
        return (__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0;
    };
    if (!ready(slot(m_uNext))) {
        pollfd pfd { m_iFd, POLLIN, 0 };
        if (::poll(&pfd, 1, iWaitMs) <= 0 || !ready(slot(m_uNext)))
            return 0;
    }
    size_t nTaken = 0;
    for (tpacket2_hdr* h = slot(m_uNext); ready(h); h = slot(m_uNext)) {
        heard.push_back(TakeFrame(reinterpret_cast<const uint8_t*>(h) + h->tp_mac, h->tp_snaplen,
            h->tp_len, int64_t(h->tp_sec) * 1000000000 + h->tp_nsec,
            (h->tp_status & TP_STATUS_VLAN_VALID) != 0,
            (h->tp_status & TP_STATUS_VLAN_TPID_VALID) != 0, h->tp_vlan_tpid, h->tp_vlan_tci));
        ++nTaken;
        __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        m_uNext = (m_uNext + 1) % kRingFrames;
    }
    return nTaken;
}

void CEar::Settle() const
{
    // The block being filled is handed over once its wait is up.
    if (m_pRing && !m_bPrompt)
        ::usleep((kRingWaitMs + 1) * 1000);
}

void CEar::Stop()
{
    if (m_iFd < 0)
        return;
    if (m_bPromiscuous) {
        packet_mreq mreq {};
        mreq.mr_ifindex = m_iIfIndex;
        mreq.mr_type = PACKET_MR_PROMISC;
        ::setsockopt(m_iFd, SOL_PACKET, PACKET_DROP_MEMBERSHIP, &mreq, sizeof mreq);
        m_bPromiscuous = false;
    }
    if (!m_bOwnSocket) {
        sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(kDeafProtocol);
        sll.sll_ifindex = m_iIfIndex;
        ::bind(m_iFd, reinterpret_cast<sockaddr*>(&sll), sizeof sll);
    }
    if (m_pRing) {
        ::munmap(m_pRing, kRingBytes);
        m_pRing = nullptr;
    }
    if (m_bOwnSocket) {
        ::close(m_iFd);
    } else {
        // The process's ear gives its ring back until the next listening Send.
        if (m_bRing) {
            tpacket_req3 req {};
            ::setsockopt(m_iFd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req);
        }
        Drain(m_iFd);
    }
    m_bRing = false;
    m_iFd = -1;
    m_iIfIndex = 0;
    m_bOwnSocket = false;
}

int64_t EarClockNs()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool SetSendStamps(int iSocket, bool bOn, bool bEveryFrame)
{
    // Turning the option off and on again restarts the running number.
    const int iOff = 0;
    if (::setsockopt(iSocket, SOL_SOCKET, SO_TIMESTAMPING, &iOff, sizeof iOff) != 0)
        return false;
    if (!bOn)
        return true;
    const int iFlags = (bEveryFrame ? SOF_TIMESTAMPING_TX_SOFTWARE : 0) | SOF_TIMESTAMPING_SOFTWARE
        | SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
    return ::setsockopt(iSocket, SOL_SOCKET, SO_TIMESTAMPING, &iFlags, sizeof iFlags) == 0;
}

size_t ReadSendStamps(int iSocket, std::vector<SSendStamp>& stamps)
{
    // Many stamps per system call: a burst of requests brings as many.
    constexpr unsigned kBatch = 64;
    alignas(cmsghdr) static thread_local unsigned char control[kBatch][256];
    unsigned char data[kBatch][16];
    iovec iovs[kBatch];
    mmsghdr msgs[kBatch];
    size_t nTaken = 0;
    for (;;) {
        for (unsigned i = 0; i < kBatch; ++i) {
            iovs[i] = { data[i], sizeof data[i] };
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = control[i];
            msgs[i].msg_hdr.msg_controllen = sizeof control[i];
        }
        const int n = ::recvmmsg(iSocket, msgs, kBatch, MSG_ERRQUEUE | MSG_DONTWAIT, nullptr);
        if (n <= 0)
            break;
        for (int i = 0; i < n; ++i) {
            SSendStamp stamp;
            bool bTime = false;
            bool bId = false;
            msghdr& msg = msgs[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING) {
                    scm_timestamping ts {};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    stamp.llNs = int64_t(ts.ts[0].tv_sec) * 1000000000 + ts.ts[0].tv_nsec;
                    bTime = true;
                } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_TX_TIMESTAMP) {
                    sock_extended_err err {};
                    std::memcpy(&err, CMSG_DATA(c), sizeof err);
                    if (err.ee_errno == ENOMSG && err.ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
                        stamp.uId = err.ee_data;
                        bId = true;
                    }
                }
            }
            if (bTime && bId) {
                stamps.push_back(stamp);
                ++nTaken;
            }
        }
        if (static_cast<unsigned>(n) < kBatch)
            break;
    }
    return nTaken;
}

} // namespace velmora
