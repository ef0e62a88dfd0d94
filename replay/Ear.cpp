#include "replay/Ear.h"

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
#include <poll.h>
#include <sys/ioctl.h>
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
    constexpr uint16_t kTpid = 0x8100;

    // Instruction 40 drops, 39 keeps; jumps count from the next instruction.
    // X holds where the frame's type field sits past a tag still in the frame.
    const std::vector<SFilterInstruction> s_program = {
        /* 0 */ { BPF_LD | BPF_W | BPF_ABS, 0, 0, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE) },
        /* 1 */ { BPF_JMP | BPF_JEQ | BPF_K, 38, 0, PACKET_OUTGOING },
        /* 2 */ { BPF_LD | BPF_W | BPF_ABS, 0, 0, uint32_t(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT) },
        /* 3 */ { BPF_JMP | BPF_JEQ | BPF_K, 2, 0, 0 },
        // The kernel took one tag out already: a second is one too many.
        /* 4 */ { BPF_LD | BPF_H | BPF_ABS, 0, 0, 12 },
        /* 5 */ { BPF_JMP | BPF_JEQ | BPF_K, 34, 4, kTpid },
        /* 6 */ { BPF_LD | BPF_H | BPF_ABS, 0, 0, 12 },
        /* 7 */ { BPF_JMP | BPF_JEQ | BPF_K, 0, 2, kTpid },
        /* 8 */ { BPF_LDX | BPF_W | BPF_IMM, 0, 0, 4 },
        /* 9 */ { BPF_JMP | BPF_JA, 0, 0, 1 },
        /* 10 */ { BPF_LDX | BPF_W | BPF_IMM, 0, 0, 0 },
        /* 11 */ { BPF_LD | BPF_H | BPF_IND, 0, 0, 12 },
        /* 12 */ { BPF_JMP | BPF_JEQ | BPF_K, 5, 0, ETH_P_IP },
        // Above 1500 it is an EtherType, not an 802.3 length.
        /* 13 */ { BPF_JMP | BPF_JGT | BPF_K, 26, 0, 1500 },
        /* 14 */ { BPF_LD | BPF_H | BPF_IND, 0, 0, 14 },
        /* 15 */ { BPF_JMP | BPF_JEQ | BPF_K, 0, 24, 0x8282 },
        /* 16 */ { BPF_LD | BPF_B | BPF_IND, 0, 0, 16 },
        /* 17 */ { BPF_JMP | BPF_JEQ | BPF_K, 21, 22, 0x03 },
        // IPv4: version 4, UDP, no later fragment, a header of at least 20 bytes.
        /* 18 */ { BPF_LD | BPF_B | BPF_IND, 0, 0, 14 },
        /* 19 */ { BPF_ALU | BPF_AND | BPF_K, 0, 0, 0xf0 },
        /* 20 */ { BPF_JMP | BPF_JEQ | BPF_K, 0, 19, 0x40 },
        /* 21 */ { BPF_LD | BPF_B | BPF_IND, 0, 0, 23 },
        /* 22 */ { BPF_JMP | BPF_JEQ | BPF_K, 0, 17, 17 },
        /* 23 */ { BPF_LD | BPF_H | BPF_IND, 0, 0, 20 },
        /* 24 */ { BPF_JMP | BPF_JSET | BPF_K, 15, 0, 0x1fff },
        /* 25 */ { BPF_LD | BPF_B | BPF_IND, 0, 0, 14 },
        /* 26 */ { BPF_ALU | BPF_AND | BPF_K, 0, 0, 0x0f },
        /* 27 */ { BPF_JMP | BPF_JGE | BPF_K, 0, 12, 5 },
        // X moves past the IP header's real length, options included.
        /* 28 */ { BPF_ALU | BPF_LSH | BPF_K, 0, 0, 2 },
        /* 29 */ { BPF_ALU | BPF_ADD | BPF_X, 0, 0, 0 },
        /* 30 */ { BPF_MISC | BPF_TAX, 0, 0, 0 },
        // Either port in 47808-47823: a device answers from its own port to
        // whatever port the client used. Below 47808 the subtraction wraps high.
        /* 31 */ { BPF_LD | BPF_H | BPF_IND, 0, 0, 14 },
        /* 32 */ { BPF_ALU | BPF_SUB | BPF_K, 0, 0, 47808 },
        /* 33 */ { BPF_JMP | BPF_JGE | BPF_K, 0, 3, 16 },
        /* 34 */ { BPF_LD | BPF_H | BPF_IND, 0, 0, 16 },
        /* 35 */ { BPF_ALU | BPF_SUB | BPF_K, 0, 0, 47808 },
        /* 36 */ { BPF_JMP | BPF_JGE | BPF_K, 3, 0, 16 },
        /* 37 */ { BPF_LD | BPF_B | BPF_IND, 0, 0, 22 },
        /* 38 */ { BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0x81 },
        /* 39 */ { BPF_RET | BPF_K, 0, 0, kSnap },
        /* 40 */ { BPF_RET | BPF_K, 0, 0, 0 },
    };

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

const std::vector<SFilterInstruction>& BacnetFilterProgram()
{
    return s_program;
}

int OpenEarSocket()
{
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::vector<sock_filter> code;
    for (const SFilterInstruction& i : s_program)
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
    // Receive stamps only while listening: a socket that asks for them turns on
    // stamping of every frame the machine handles, which costs each Send.
    const int iOne = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &iOne, sizeof iOne) != 0) {
        csError = csAdapter + ": cannot listen (" + std::strerror(errno) + ")";
        Stop();
        return false;
    }
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
    if (m_iFd < 0)
        return 0;
    pollfd pfd { m_iFd, POLLIN, 0 };
    if (::poll(&pfd, 1, iWaitMs) <= 0)
        return 0;
    constexpr unsigned kBatch = 32;
    constexpr size_t kFrameRoom = 9216 + 4;
    std::vector<unsigned char>& buf = m_buffer;
    buf.resize(kBatch * kFrameRoom);
    alignas(cmsghdr) unsigned char
        control[kBatch][CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(tpacket_auxdata))];
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    size_t nTaken = 0;
    for (;;) {
        for (unsigned i = 0; i < kBatch; ++i) {
            // Four bytes of room in front, for a tag the kernel moved aside.
            iovs[i] = { buf.data() + i * kFrameRoom + 4, kFrameRoom - 4 };
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = control[i];
            msgs[i].msg_hdr.msg_controllen = sizeof control[i];
        }
        const int n = ::recvmmsg(m_iFd, msgs, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (n <= 0)
            break;
        for (int i = 0; i < n; ++i) {
            SHeardFrame frame;
            uint32_t uLength = msgs[i].msg_len;
            uint32_t uCaptured = std::min<uint32_t>(uLength, kFrameRoom - 4);
            unsigned char* p = buf.data() + i * kFrameRoom + 4;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c;
                 c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts {};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    frame.llNs = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
                } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                    tpacket_auxdata aux {};
                    std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                    if ((aux.tp_status & TP_STATUS_VLAN_VALID) && uCaptured >= 12) {
                        const uint16_t uTpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID)
                            ? aux.tp_vlan_tpid
                            : kTpid;
                        std::memmove(p - 4, p, 12);
                        p -= 4;
                        p[12] = uint8_t(uTpid >> 8);
                        p[13] = uint8_t(uTpid);
                        p[14] = uint8_t(aux.tp_vlan_tci >> 8);
                        p[15] = uint8_t(aux.tp_vlan_tci);
                        uCaptured += 4;
                        uLength += 4;
                    }
                }
            }
            frame.uWireLength = uLength;
            frame.bytes.assign(p, p + uCaptured);
            heard.push_back(std::move(frame));
        }
        nTaken += static_cast<size_t>(n);
        if (static_cast<unsigned>(n) < kBatch)
            break;
    }
    return nTaken;
}

void CEar::Stop()
{
    if (m_iFd < 0)
        return;
    const int iZero = 0;
    ::setsockopt(m_iFd, SOL_SOCKET, SO_TIMESTAMPNS, &iZero, sizeof iZero);
    if (m_bPromiscuous) {
        packet_mreq mreq {};
        mreq.mr_ifindex = m_iIfIndex;
        mreq.mr_type = PACKET_MR_PROMISC;
        ::setsockopt(m_iFd, SOL_PACKET, PACKET_DROP_MEMBERSHIP, &mreq, sizeof mreq);
        m_bPromiscuous = false;
    }
    if (m_bOwnSocket) {
        ::close(m_iFd);
    } else {
        sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(kDeafProtocol);
        sll.sll_ifindex = m_iIfIndex;
        ::bind(m_iFd, reinterpret_cast<sockaddr*>(&sll), sizeof sll);
        Drain(m_iFd);
    }
    m_iFd = -1;
    m_iIfIndex = 0;
    m_bOwnSocket = false;
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
