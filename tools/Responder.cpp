// velmora-test-responder: a small scripted BACnet device for the tests, run
// inside a test's network namespace on one end of a veth pair. It answers
// BACnet/Ethernet and BACnet/IP requests as whatever device they were sent
// to (it hears every frame on its interface), back to their source, with
// frames it writes itself: no IP stack, so no ARP is needed. Yet it hears
// BACnet/IP as a device's kernel would: an IPv4 frame whose version, header
// length, header checksum or total length is wrong, whose UDP length does not
// fit, or whose UDP checksum (0: none) does not add up is dropped and counted,
// and Ethernet padding past the total length is never payload. Its own
// answers carry both checksums.
//
//   velmora-test-responder IFACE [RULE...]
//     default=ACTION     what every confirmed request gets (ack)
//     invoke=N=ACTION    what a confirmed request with invoke ID N gets
//     whois=N            I-Am answers to each Who-Is (1)
//     device=D           the I-Am's device instance (1234)
//     strict             a device of its own on the local network, not a router:
//                        frames carrying a DNET are ignored, so are requests whose
//                        object (context tag 0) is a device other than D, and a
//                        Who-Is whose limits leave D out gets no I-Am
//     queue=K,MS         one request at a time, MS milliseconds each; at most K
//                        held (the one in service included), the rest dropped
//     silent-after=N     answers N confirmed requests, then none
//     segments=N,W       a readProperty-ACK cut into N segments, proposed window
//                        W; sent as a server does: the first segment, then a
//                        window per Segment-ACK, the window again when no
//                        Segment-ACK comes within segtimeout=MS (2000), three
//                        times, then an Abort
//     lose=S             segment S is not sent the first time
//   ACTION: ack | error=CLASS,CODE | reject=REASON | abort=REASON | silent
//           | late=MS (an ack MS milliseconds after the request arrived)
//           | routed=NET,ADDR (an ack through a router: SNET/SADR NET/ADDR,
//             one byte of address; "routed" alone mirrors the request's DNET/DADR)
// A readProperty is acknowledged by a ComplexACK holding REAL 21.5, any other
// service by a SimpleACK. It prints "ready" once it listens, and ends at
// SIGTERM or SIGINT with "answered N" (frames it sent) and "dropped N (bad
// checksum or length)" (frames a kernel would have dropped). For the tests
// only: it never runs outside a namespace.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

volatile std::sig_atomic_t s_bStop = 0;

void OnSignal(int)
{
    s_bStop = 1;
}

enum class EAction { Ack, Error, Reject, Abort, Silent, Late, Routed };

struct SAction {
    EAction e = EAction::Ack;
    uint32_t u1 = 0; // error class, reason, delay in ms, network
    uint32_t u2 = 0; // error code, router address
    bool bMirror = true; // routed: take the request's DNET/DADR
};

bool ParseAction(const std::string& cs, SAction& a)
{
    const size_t nEq = cs.find('=');
    const std::string csName = cs.substr(0, nEq);
    const std::string csArgs = nEq == std::string::npos ? "" : cs.substr(nEq + 1);
    unsigned u1 = 0;
    unsigned u2 = 0;
    const int n = std::sscanf(csArgs.c_str(), "%u,%u", &u1, &u2);
    a.u1 = u1;
    a.u2 = u2;
    if (csName == "ack")
        a.e = EAction::Ack;
    else if (csName == "error" && n == 2)
        a.e = EAction::Error;
    else if (csName == "reject" && n == 1)
        a.e = EAction::Reject;
    else if (csName == "abort" && n == 1)
        a.e = EAction::Abort;
    else if (csName == "silent")
        a.e = EAction::Silent;
    else if (csName == "late" && n == 1)
        a.e = EAction::Late;
    else if (csName == "routed") {
        a.e = EAction::Routed;
        a.bMirror = n != 2;
    } else
        return false;
    return true;
}

void Put16(Bytes& v, unsigned u)
{
    v.push_back(uint8_t(u >> 8));
    v.push_back(uint8_t(u));
}

// The one's complement sum of n bytes, added to uStart, not yet inverted.
uint32_t Sum(const uint8_t* p, size_t n, uint32_t uStart = 0)
{
    uint32_t u = uStart;
    for (size_t i = 0; i + 1 < n; i += 2)
        u += p[i] << 8 | p[i + 1];
    if (n & 1)
        u += p[n - 1] << 8;
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    return u;
}

uint16_t Checksum(const uint8_t* p, size_t n)
{
    return static_cast<uint16_t>(~Sum(p, n));
}

// The pseudo-header's sum: source and destination address, protocol 17, UDP length.
uint32_t PseudoSum(const uint8_t* pSrc, const uint8_t* pDst, size_t nUdp)
{
    uint32_t u = Sum(pSrc, 4, Sum(pDst, 4));
    u += 17 + static_cast<uint32_t>(nUdp);
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    return u;
}

// What the responder reads of a request.
struct SRequest {
    bool bIp = false;
    uint8_t srcMac[6], dstMac[6];
    uint8_t srcIp[4], dstIp[4];
    uint16_t uSrcPort = 0, uDstPort = 0;
    bool bDnet = false;
    uint16_t uDnet = 0;
    Bytes dadr;
    bool bSnet = false;
    uint16_t uSnet = 0;
    Bytes sadr;
    const uint8_t* pApdu = nullptr;
    size_t nApdu = 0;
    bool bDropped = false; // a kernel would have dropped the frame
};

// What a kernel checks of an IPv4 frame carrying UDP before a socket sees it.
// Sets the UDP header and its length (UDP's own, which may be less than the
// IP payload: the rest is trimmed, as the kernel does). False when the frame
// is not whole UDP over IPv4; r.bDropped when a kernel would drop it.
bool KernelAccepts(const uint8_t* p, size_t n, SRequest& r, const uint8_t*& pUdp, size_t& nUdp)
{
    const uint8_t* ip = p + 14;
    const size_t nIp = n - 14; // Ethernet padding included
    r.bDropped = true;
    if (nIp < 20 || (ip[0] >> 4) != 4)
        return false;
    const size_t nIhl = (ip[0] & 0x0f) * 4u;
    const size_t nTotal = static_cast<size_t>(ip[2] << 8 | ip[3]);
    if (nIhl < 20 || nIhl > nIp || Sum(ip, nIhl) != 0xffff || nTotal < nIhl || nTotal > nIp)
        return false;
    r.bDropped = false;
    if (ip[9] != 17 || (ip[6] & 0x3f) != 0 || ip[7] != 0)
        return false; // not UDP, or a fragment: not ours
    r.bDropped = true;
    const uint8_t* u = ip + nIhl;
    const size_t nPayload = nTotal - nIhl;
    if (nPayload < 8)
        return false;
    const size_t nLength = static_cast<size_t>(u[4] << 8 | u[5]);
    if (nLength < 8 || nLength > nPayload)
        return false;
    if ((u[6] | u[7]) != 0 && Sum(u, nLength, PseudoSum(ip + 12, ip + 16, nLength)) != 0xffff)
        return false;
    r.bDropped = false;
    pUdp = u;
    nUdp = nLength;
    return true;
}

bool ParseRequest(const uint8_t* p, size_t n, SRequest& r)
{
    if (n < 14)
        return false;
    std::memcpy(r.dstMac, p, 6);
    std::memcpy(r.srcMac, p + 6, 6);
    const unsigned uType = p[12] << 8 | p[13];
    const uint8_t* q = nullptr;
    size_t m = 0;
    if (uType == ETH_P_IP) {
        const uint8_t* u = nullptr;
        size_t nUdp = 0;
        if (!KernelAccepts(p, n, r, u, nUdp) || nUdp < 8 + 4)
            return false;
        r.bIp = true;
        std::memcpy(r.srcIp, p + 26, 4);
        std::memcpy(r.dstIp, p + 30, 4);
        r.uSrcPort = static_cast<uint16_t>(u[0] << 8 | u[1]);
        r.uDstPort = static_cast<uint16_t>(u[2] << 8 | u[3]);
        const uint8_t* b = u + 8;
        const size_t nB = nUdp - 8;
        if (b[0] != 0x81 || (b[1] != 0x0a && b[1] != 0x0b))
            return false;
        q = b + 4;
        m = nB - 4;
    } else if (uType <= 1500) {
        if (uType + 14u > n || uType < 3 || p[14] != 0x82 || p[15] != 0x82 || p[16] != 0x03)
            return false;
        q = p + 17;
        m = uType - 3u;
    } else {
        return false;
    }
    if (m < 2 || q[0] != 0x01)
        return false;
    const uint8_t uControl = q[1];
    size_t i = 2;
    if (uControl & 0x20) {
        if (m < i + 3)
            return false;
        r.bDnet = true;
        r.uDnet = static_cast<uint16_t>(q[i] << 8 | q[i + 1]);
        const size_t nLen = q[i + 2];
        i += 3;
        if (m < i + nLen)
            return false;
        r.dadr.assign(q + i, q + i + nLen);
        i += nLen;
    }
    if (uControl & 0x08) {
        if (m < i + 3)
            return false;
        r.bSnet = true;
        r.uSnet = static_cast<uint16_t>(q[i] << 8 | q[i + 1]);
        const size_t nLen = q[i + 2];
        i += 3;
        if (m < i + nLen)
            return false;
        r.sadr.assign(q + i, q + i + nLen);
        i += nLen;
    }
    if (uControl & 0x20)
        ++i; // hop count
    if ((uControl & 0x80) || m <= i)
        return false;
    r.pApdu = q + i;
    r.nApdu = m - i;
    return true;
}

// The answer frame: NPDU (with SNET/SADR when routed, DNET/DADR back to a
// routed source) and APDU, in the request's link, from where it went.
Bytes Frame(const SRequest& r, const Bytes& apdu, const SAction& a)
{
    Bytes npdu = { 0x01, 0x00 };
    if (r.bSnet) {
        npdu[1] |= 0x20;
        Put16(npdu, r.uSnet);
        npdu.push_back(static_cast<uint8_t>(r.sadr.size()));
        npdu.insert(npdu.end(), r.sadr.begin(), r.sadr.end());
    }
    if (a.e == EAction::Routed) {
        npdu[1] |= 0x08;
        const uint16_t uNet = a.bMirror ? r.uDnet : static_cast<uint16_t>(a.u1);
        const Bytes addr = a.bMirror ? r.dadr : Bytes { static_cast<uint8_t>(a.u2) };
        Put16(npdu, uNet);
        npdu.push_back(static_cast<uint8_t>(addr.size()));
        npdu.insert(npdu.end(), addr.begin(), addr.end());
    }
    if (r.bSnet)
        npdu.push_back(0xff);
    npdu.insert(npdu.end(), apdu.begin(), apdu.end());

    Bytes f(r.srcMac, r.srcMac + 6);
    f.insert(f.end(), r.dstMac, r.dstMac + 6);
    if (!r.bIp) {
        Put16(f, 3 + npdu.size());
        f.insert(f.end(), { 0x82, 0x82, 0x03 });
        f.insert(f.end(), npdu.begin(), npdu.end());
    } else {
        Put16(f, ETH_P_IP);
        Bytes ip = { 0x45, 0x00 };
        Put16(ip, 20 + 8 + 4 + npdu.size());
        ip.insert(ip.end(), { 0x00, 0x01, 0x00, 0x00, 64, 17, 0, 0 });
        ip.insert(ip.end(), r.dstIp, r.dstIp + 4);
        ip.insert(ip.end(), r.srcIp, r.srcIp + 4);
        const uint16_t uSum = Checksum(ip.data(), ip.size());
        ip[10] = uint8_t(uSum >> 8);
        ip[11] = uint8_t(uSum);
        Put16(ip, r.uDstPort);
        Put16(ip, r.uSrcPort);
        Put16(ip, 8 + 4 + npdu.size());
        Put16(ip, 0);
        ip.insert(ip.end(), { 0x81, 0x0a });
        Put16(ip, 4 + npdu.size());
        ip.insert(ip.end(), npdu.begin(), npdu.end());
        const size_t nUdp = ip.size() - 20;
        uint16_t uUdpSum
            = static_cast<uint16_t>(~Sum(ip.data() + 20, nUdp, PseudoSum(r.dstIp, r.srcIp, nUdp)));
        if (uUdpSum == 0)
            uUdpSum = 0xffff; // 0 would say "none"
        ip[26] = uint8_t(uUdpSum >> 8);
        ip[27] = uint8_t(uUdpSum);
        f.insert(f.end(), ip.begin(), ip.end());
    }
    if (f.size() < 60)
        f.resize(60, 0); // Ethernet padding
    return f;
}

Bytes Ack(const SRequest& r, uint8_t uInvoke, uint8_t uService, size_t nService)
{
    if (uService == 12) {
        // readProperty-ACK: the request's object and property, then 21.5.
        Bytes apdu = { 0x30, uInvoke, 12 };
        apdu.insert(apdu.end(), r.pApdu + nService + 1, r.pApdu + r.nApdu);
        apdu.insert(apdu.end(), { 0x3e, 0x44, 0x41, 0xac, 0x00, 0x00, 0x3f });
        return apdu;
    }
    return { 0x20, uInvoke, uService };
}

// Whether a request may be for device D: its object, when it names a device
// in context tag 0, is D; a Who-Is with limits has D within them.
bool ForThisDevice(const uint8_t* a, size_t n, unsigned uDevice)
{
    if ((a[0] >> 4) == 0) {
        const size_t nData = (a[0] & 0x08) ? 6 : 4;
        if (n >= nData + 5 && a[nData] == 0x0c) {
            const uint8_t* p = a + nData + 1;
            const unsigned uId = unsigned(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
            return (uId >> 22) != 8 || (uId & 0x3fffff) == uDevice;
        }
        return true;
    }
    if ((a[0] >> 4) == 1 && n >= 2 && a[1] == 8 && n > 2) {
        // [0] low, [1] high: each a context tag of 1-4 bytes.
        unsigned uLimits[2] = { 0, 0 };
        size_t i = 2;
        for (unsigned t = 0; t < 2; ++t) {
            if (i >= n || (a[i] >> 4) != t || !(a[i] & 0x08))
                return true;
            const size_t nLen = a[i] & 0x07;
            if (nLen < 1 || nLen > 4 || i + 1 + nLen > n)
                return true;
            for (size_t k = 0; k < nLen; ++k)
                uLimits[t] = uLimits[t] << 8 | a[i + 1 + k];
            i += 1 + nLen;
        }
        return uLimits[0] <= uDevice && uDevice <= uLimits[1];
    }
    return true;
}

struct SPending {
    int64_t llAtNs;
    Bytes frame;
    bool bQueued = false; // held by queue=K,MS
};

// A segmented answer on its way (the server's SEGMENTED_RESPONSE state).
struct SSegmented {
    SRequest client; // addressing only
    uint8_t uInvoke = 0;
    std::vector<Bytes> segments; // APDUs
    size_t nFirst = 0; // the window sent last: [nFirst, nEnd)
    size_t nEnd = 0;
    uint8_t uWindow = 1; // the client's actual window
    int iRetries = 0;
    int64_t llDeadlineNs = 0;
};

bool SameClient(const SRequest& a, const SRequest& b)
{
    if (a.bIp != b.bIp)
        return false;
    if (a.bIp)
        return std::memcmp(a.srcIp, b.srcIp, 4) == 0 && a.uSrcPort == b.uSrcPort;
    return std::memcmp(a.srcMac, b.srcMac, 6) == 0;
}

// A readProperty-ACK with a long octet string, cut into n segments.
std::vector<Bytes> Segments(
    const SRequest& r, uint8_t uInvoke, size_t nService, unsigned n, unsigned uWindow)
{
    Bytes data(r.pApdu + nService + 1, r.pApdu + r.nApdu);
    const size_t nString = 40u * n;
    data.insert(data.end(), { 0x3e, 0x65, uint8_t(nString) });
    for (size_t i = 0; i < nString; ++i)
        data.push_back(uint8_t(i));
    data.push_back(0x3f);
    std::vector<Bytes> segments;
    const size_t nEach = (data.size() + n - 1) / n;
    for (unsigned i = 0; i < n; ++i) {
        const bool bMore = i + 1 < n;
        Bytes apdu = { uint8_t(bMore ? 0x3c : 0x38), uInvoke, uint8_t(i), uint8_t(uWindow), 12 };
        const size_t nFrom = std::min(data.size(), i * nEach);
        const size_t nTo = bMore ? std::min(data.size(), nFrom + nEach) : data.size();
        apdu.insert(apdu.end(), data.begin() + long(nFrom), data.begin() + long(nTo));
        segments.push_back(std::move(apdu));
    }
    return segments;
}

// A full transmit queue is waited out: the benchmark's answers all go.
bool SendFrame(int fd, const Bytes& frame)
{
    for (int i = 0; i < 1000; ++i) {
        if (send(fd, frame.data(), frame.size(), 0) > 0)
            return true;
        if (errno != ENOBUFS && errno != EAGAIN)
            return false;
        usleep(50);
    }
    return false;
}

int64_t NowNs()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: velmora-test-responder IFACE [RULE...]\n", stderr);
        return 2;
    }
    SAction defaultAction;
    std::map<unsigned, SAction> byInvoke;
    unsigned uWhoIsAnswers = 1;
    unsigned uDevice = 1234;
    bool bStrict = false;
    unsigned uQueue = 0; // 0: no queue
    unsigned uServiceMs = 0;
    int iSilentAfter = -1;
    unsigned uSegments = 0;
    unsigned uProposedWindow = 1;
    unsigned uSegTimeoutMs = 2000;
    int iLose = -1;
    for (int i = 2; i < argc; ++i) {
        const std::string cs = argv[i];
        unsigned uInvoke = 0;
        int nUsed = 0;
        bool bOk = true;
        if (cs.rfind("default=", 0) == 0)
            bOk = ParseAction(cs.substr(8), defaultAction);
        else if (std::sscanf(cs.c_str(), "invoke=%u=%n", &uInvoke, &nUsed) == 1 && nUsed > 0)
            bOk = ParseAction(cs.substr(static_cast<size_t>(nUsed)), byInvoke[uInvoke]);
        else if (std::sscanf(cs.c_str(), "whois=%u", &uWhoIsAnswers) == 1)
            ;
        else if (std::sscanf(cs.c_str(), "device=%u", &uDevice) == 1)
            ;
        else if (cs == "strict")
            bStrict = true;
        else if (std::sscanf(cs.c_str(), "queue=%u,%u", &uQueue, &uServiceMs) == 2)
            bOk = uQueue > 0;
        else if (std::sscanf(cs.c_str(), "silent-after=%d", &iSilentAfter) == 1)
            bOk = iSilentAfter >= 0;
        else if (std::sscanf(cs.c_str(), "segments=%u,%u", &uSegments, &uProposedWindow) == 2)
            bOk = uSegments >= 1 && uSegments <= 6 && uProposedWindow >= 1
                && uProposedWindow <= 127;
        else if (std::sscanf(cs.c_str(), "segtimeout=%u", &uSegTimeoutMs) == 1)
            ;
        else if (std::sscanf(cs.c_str(), "lose=%d", &iLose) == 1)
            ;
        else
            bOk = false;
        if (!bOk) {
            std::fprintf(stderr, "velmora-test-responder: bad rule %s\n", argv[i]);
            return 2;
        }
    }

    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    const int iOne = 1;
    // Requests come back to back in the benchmark: room for all of them.
    const int iBuffer = 64 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &iBuffer, sizeof iBuffer);
    unsigned long ulAnswered = 0;
    unsigned long ulDropped = 0;
    if (fd < 0 || sll.sll_ifindex == 0
        || bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0
        || setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &iOne, sizeof iOne) != 0) {
        std::fprintf(stderr, "velmora-test-responder: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    struct sigaction action { };
    action.sa_handler = &OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A late answer is due to the microsecond: no timer slack, and (root
    // permitting) a real-time priority, so that a busy machine's other work
    // does not make the device later than its script says. It sleeps
    // otherwise, so it takes nothing from anyone.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param {};
    param.sched_priority = 10;
    sched_setscheduler(0, SCHED_FIFO, &param);
    std::puts("ready");
    std::fflush(stdout);

    std::vector<SPending> pending;
    std::vector<SSegmented> transactions;
    int64_t llQueueFreeNs = 0; // when the queue's service is free again
    int iAnswering = 0; // confirmed requests answered, for silent-after
    // Sends segments [nFrom, nEnd) and waits for their Segment-ACK.
    const auto sendWindow = [&](SSegmented& t, size_t nFrom, size_t nEnd) {
        t.nFirst = nFrom;
        t.nEnd = std::min(t.segments.size(), nEnd);
        for (size_t i = t.nFirst; i < t.nEnd; ++i) {
            if (static_cast<int>(i) == iLose) {
                iLose = -1; // lost once
                continue;
            }
            if (SendFrame(fd, Frame(t.client, t.segments[i], SAction())))
                ++ulAnswered;
        }
        t.llDeadlineNs = NowNs() + int64_t(uSegTimeoutMs) * 1000000;
    };
    while (!s_bStop) {
        // The next late answer or segment time-out decides how long to wait.
        int iWaitMs = 100;
        for (const SPending& p : pending)
            iWaitMs = std::min<int>(iWaitMs, std::max<int64_t>(0, (p.llAtNs - NowNs()) / 1000000));
        for (const SSegmented& t : transactions)
            iWaitMs = std::min<int>(
                iWaitMs, std::max<int64_t>(0, (t.llDeadlineNs - NowNs()) / 1000000 + 1));
        pollfd pfd { fd, POLLIN, 0 };
        poll(&pfd, 1, iWaitMs);
        for (size_t i = 0; i < pending.size();) {
            if (pending[i].llAtNs - NowNs() > 1000000) {
                ++i;
                continue;
            }
            // The last millisecond is waited out exactly.
            const int64_t llAt = pending[i].llAtNs;
            const timespec ts { static_cast<time_t>(llAt / 1000000000),
                static_cast<long>(llAt % 1000000000) };
            while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR
                && !s_bStop) { }
            if (SendFrame(fd, pending[i].frame))
                ++ulAnswered;
            pending.erase(pending.begin() + static_cast<long>(i));
        }
        // No Segment-ACK in time: the window again, three times, then an Abort.
        for (size_t i = 0; i < transactions.size();) {
            SSegmented& t = transactions[i];
            if (t.llDeadlineNs > NowNs()) {
                ++i;
            } else if (t.iRetries < 3) {
                ++t.iRetries;
                sendWindow(t, t.nFirst, t.nEnd);
                ++i;
            } else {
                if (SendFrame(fd, Frame(t.client, { 0x71, t.uInvoke, 10 }, SAction())))
                    ++ulAnswered;
                transactions.erase(transactions.begin() + static_cast<long>(i));
            }
        }
        for (;;) {
            uint8_t buf[2048];
            alignas(cmsghdr) uint8_t control[256];
            iovec iov { buf, sizeof buf };
            msghdr msg {};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            msg.msg_name = &sll;
            sockaddr_ll from {};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
            if (n < 0)
                break;
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;
            int64_t llRxNs = NowNs();
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts {};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    llRxNs = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
                }
            }
            SRequest r;
            if (!ParseRequest(buf, static_cast<size_t>(n), r) || r.nApdu < 2) {
                ulDropped += r.bDropped;
                continue;
            }
            const uint8_t* a = r.pApdu;
            if (bStrict && (r.bDnet || !ForThisDevice(a, r.nApdu, uDevice)))
                continue;
            std::vector<Bytes> answers;
            SAction act;
            int64_t llDelayNs = 0;
            if (((a[0] >> 4) == 4 || (a[0] >> 4) == 7) && r.nApdu >= 3 && !(a[0] & 0x01)) {
                // A client's Segment-ACK (the next window from its sequence + 1) or Abort.
                for (size_t i = 0; i < transactions.size(); ++i) {
                    SSegmented& t = transactions[i];
                    if (t.uInvoke != a[1] || !SameClient(t.client, r))
                        continue;
                    const size_t nAcked = a[2];
                    if ((a[0] >> 4) == 7 || r.nApdu < 4 || nAcked + 1 >= t.segments.size()) {
                        transactions.erase(transactions.begin() + static_cast<long>(i));
                    } else {
                        t.uWindow = std::max<uint8_t>(1, a[3]);
                        t.iRetries = 0;
                        sendWindow(t, nAcked + 1, nAcked + 1 + t.uWindow);
                    }
                    break;
                }
                continue;
            }
            if ((a[0] >> 4) == 0 && r.nApdu >= 4) {
                const size_t nService = (a[0] & 0x08) ? 5 : 3;
                if (r.nApdu <= nService)
                    continue;
                const uint8_t uInvoke = a[2];
                const uint8_t uService = a[nService];
                auto it = byInvoke.find(uInvoke);
                act = it != byInvoke.end() ? it->second : defaultAction;
                if (act.e != EAction::Silent && iSilentAfter >= 0 && iAnswering >= iSilentAfter)
                    act.e = EAction::Silent;
                if (act.e != EAction::Silent && uQueue > 0) {
                    // A busy device: held while the queue has room, else dropped.
                    size_t nHeld = 0;
                    for (const SPending& p : pending)
                        nHeld += p.bQueued;
                    if (nHeld >= uQueue)
                        continue;
                    llQueueFreeNs = std::max(llQueueFreeNs, llRxNs) + int64_t(uServiceMs) * 1000000;
                    ++iAnswering;
                    pending.push_back({ llQueueFreeNs,
                        Frame(r, Ack(r, uInvoke, uService, nService), act), true });
                    continue;
                }
                if (act.e != EAction::Silent)
                    ++iAnswering;
                if (act.e == EAction::Ack && uSegments > 0 && uService == 12) {
                    SSegmented t;
                    t.client = r;
                    t.client.pApdu = nullptr;
                    t.uInvoke = uInvoke;
                    t.segments = Segments(r, uInvoke, nService, uSegments, uProposedWindow);
                    // The first segment alone: the client's Segment-ACK sets the window.
                    t.uWindow = static_cast<uint8_t>(uProposedWindow);
                    sendWindow(t, 0, 1);
                    transactions.push_back(std::move(t));
                    continue;
                }
                switch (act.e) {
                case EAction::Ack:
                case EAction::Routed:
                    answers.push_back(Ack(r, uInvoke, uService, nService));
                    break;
                case EAction::Late:
                    answers.push_back(Ack(r, uInvoke, uService, nService));
                    llDelayNs = int64_t(act.u1) * 1000000;
                    break;
                case EAction::Error:
                    answers.push_back(
                        { 0x50, uInvoke, uService, 0x91, uint8_t(act.u1), 0x91, uint8_t(act.u2) });
                    break;
                case EAction::Reject:
                    answers.push_back({ 0x60, uInvoke, uint8_t(act.u1) });
                    break;
                case EAction::Abort:
                    answers.push_back({ 0x71, uInvoke, uint8_t(act.u1) });
                    break;
                case EAction::Silent:
                    break;
                }
            } else if ((a[0] >> 4) == 1 && a[1] == 8) {
                // I-Am device,D: max APDU 480, no segmentation, vendor 0.
                for (unsigned i = 0; i < uWhoIsAnswers; ++i)
                    answers.push_back({ 0x10, 0x00, 0xc4, 0x02, uint8_t(uDevice >> 16 & 0x3f),
                        uint8_t(uDevice >> 8), uint8_t(uDevice), 0x22, 0x01, 0xe0, 0x91, 0x03, 0x21,
                        0x00 });
            }
            for (const Bytes& apdu : answers) {
                Bytes frame = Frame(r, apdu, act);
                if (llDelayNs > 0)
                    pending.push_back({ llRxNs + llDelayNs, std::move(frame) });
                else if (SendFrame(fd, frame))
                    ++ulAnswered;
            }
        }
    }
    close(fd);
    std::printf("answered %lu\ndropped %lu (bad checksum or length)\n", ulAnswered, ulDropped);
    return 0;
}
