#include "BareSend.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned kBatch = 64;

int Fail(const char* szWhat)
{
    std::fprintf(stderr, "bare: %s: %s\n", szWhat, std::strerror(errno));
    return 3;
}

int SendMmsg(int fd, const std::vector<unsigned char>& frame, long lCount)
{
    iovec iov { const_cast<unsigned char*>(frame.data()), frame.size() };
    mmsghdr msgs[kBatch] {};
    for (mmsghdr& m : msgs) {
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    long lSent = 0;
    while (lSent < lCount) {
        const unsigned u = static_cast<unsigned>(std::min<long>(kBatch, lCount - lSent));
        const int i = ::sendmmsg(fd, msgs, u, 0);
        if (i < 0 && errno != EINTR && errno != ENOBUFS)
            return Fail("sendmmsg");
        if (i > 0)
            lSent += i;
    }
    return 0;
}

// TPACKET_V2: each slot is written, marked for sending, and read back once
// the kernel is done with it (a wrong format counts as refused).
int SendRing(int fd, const std::vector<unsigned char>& frame, long lCount)
{
    constexpr unsigned kSlots = 256;
    constexpr unsigned kSlotBytes = 2048;
    int iVersion = TPACKET_V2;
    if (::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &iVersion, sizeof iVersion) != 0)
        return Fail("PACKET_VERSION");
    tpacket_req req {};
    req.tp_block_size = 4096;
    req.tp_frame_size = kSlotBytes;
    req.tp_block_nr = kSlots * kSlotBytes / req.tp_block_size;
    req.tp_frame_nr = kSlots;
    if (::setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &req, sizeof req) != 0)
        return Fail("PACKET_TX_RING");
    const size_t nRing = size_t(req.tp_block_size) * req.tp_block_nr;
    void* pRing = ::mmap(nullptr, nRing, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pRing == MAP_FAILED)
        return Fail("mmap");
    auto slot = [&](unsigned u) {
        return reinterpret_cast<tpacket2_hdr*>(static_cast<char*>(pRing) + size_t(u) * kSlotBytes);
    };
    const size_t nData = TPACKET2_HDRLEN - sizeof(sockaddr_ll);
    long lQueued = 0;
    long lRefused = 0;
    unsigned uNext = 0;
    unsigned uMarked = 0;
    while (lQueued < lCount) {
        tpacket2_hdr* p = slot(uNext);
        while (p->tp_status != TP_STATUS_AVAILABLE) {
            if (p->tp_status == TP_STATUS_WRONG_FORMAT) {
                ++lRefused;
                p->tp_status = TP_STATUS_AVAILABLE;
                break;
            }
            // Full: let the kernel send what is marked.
            if (::send(fd, nullptr, 0, 0) < 0 && errno != EINTR && errno != ENOBUFS)
                return Fail("send");
        }
        std::memcpy(reinterpret_cast<char*>(p) + nData, frame.data(), frame.size());
        p->tp_len = static_cast<uint32_t>(frame.size());
        p->tp_status = TP_STATUS_SEND_REQUEST;
        uNext = (uNext + 1) % kSlots;
        ++lQueued;
        if (++uMarked == kBatch) {
            uMarked = 0;
            if (::send(fd, nullptr, 0, MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != ENOBUFS
                && errno != EINTR)
                return Fail("send");
        }
    }
    while (::send(fd, nullptr, 0, 0) < 0 && (errno == EINTR || errno == ENOBUFS)) { }
    for (unsigned u = 0; u < kSlots; ++u) {
        if (slot(u)->tp_status == TP_STATUS_WRONG_FORMAT)
            ++lRefused;
    }
    ::munmap(pRing, nRing);
    if (lRefused > 0)
        std::fprintf(stderr, "bare: %ld frames refused by the ring\n", lRefused);
    return lRefused == 0 ? 0 : 1;
}

} // namespace

int BareSendChild(
    const std::string& csCapture, const std::string& csIf, const std::string& csHow, long lCount)
{
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* hCapture = pcap_open_offline(csCapture.c_str(), szErr);
    if (!hCapture) {
        std::fprintf(stderr, "bare: %s\n", szErr);
        return 3;
    }
    std::vector<unsigned char> frame;
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    if (pcap_next_ex(hCapture, &pHeader, &pData) >= 0)
        frame.assign(pData, pData + pHeader->caplen);
    pcap_close(hCapture);
    if (frame.empty() || frame.size() > 2000) {
        std::fprintf(
            stderr, "bare: no frame of at most 2,000 bytes first in %s\n", csCapture.c_str());
        return 3;
    }
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail("socket");
    if (csHow == "bypass") {
        const int iOne = 1;
        if (::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &iOne, sizeof iOne) != 0)
            return Fail("PACKET_QDISC_BYPASS");
    } else if (csHow == "sndbuf") {
        const int iBytes = 4 << 20;
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &iBytes, sizeof iBytes) != 0)
            return Fail("SO_SNDBUFFORCE");
    } else if (csHow != "mmsg" && csHow != "ring") {
        std::fprintf(stderr, "bare: no such way: %s\n", csHow.c_str());
        return 2;
    }
    sockaddr_ll addr {};
    addr.sll_family = AF_PACKET;
    addr.sll_ifindex = static_cast<int>(if_nametoindex(csIf.c_str()));
    if (addr.sll_ifindex == 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Fail(csIf.c_str());
    const int iResult = csHow == "ring" ? SendRing(fd, frame, lCount) : SendMmsg(fd, frame, lCount);
    ::close(fd);
    return iResult;
}
