#pragma once

// Answering clients as the learned devices did. Widget-free and socket-free:
// datagrams (BVLC, NPDU, APDU) come in with the requester's address, answers
// go out to it; time comes from an IClock, so segmentation's timers run on a
// fake clock in the tests.
//
// Which device answers: a request naming a device object (ReadProperty of
// device,1234, a ReadPropertyMultiple whose first such object is one) is
// answered by that device, and by no other; a request that names no device
// (ReadProperty of analog-input,1) is answered by the only served device or,
// with several, by the served device with the lowest instance that has the
// object. Who-Is and Who-Has are answered by every served device they reach.
//
// A property with several captured values gives the last one, or with
// bHistory the next one in captured order at each read (the last one stays).
// ALL gives the properties as the fullest captured answer listed them;
// REQUIRED the captured ones among those every object (and a device) must
// have; OPTIONAL the rest.

#include "serve/Learn.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora {
class IClock;
}

namespace velmora::serve {

struct SServeOptions {
    std::vector<uint32_t> devices; // serve only these instances; empty: every learned device
    bool bReadOnly = false; // WriteProperty gets Error write-access-denied
    bool bHistory = false;
    int iWindow = 16; // proposed window of a segmented answer (1-127)
    int64_t llSegmentTimeoutMs = 2000; // no Segment-ACK within: the window again
    int iRetries = 3; // windows sent again before the Abort
    // BACnet/Ethernet: the adapter's MAC, the source of every frame sent (and
    // the destination of the unicast requests taken).
    std::array<uint8_t, 6> ownMac {};
};

// An IPv4 address and UDP port, host order; or for BACnet/Ethernet a MAC.
struct SPeer {
    uint32_t uIp = 0;
    uint16_t uPort = 0;
    bool bEthernet = false;
    std::array<uint8_t, 6> mac {};
    bool operator==(const SPeer&) const = default;
    auto operator<=>(const SPeer&) const = default;
};
// "10.0.0.1:47809"; BACnet/Ethernet: "02:76:6d:0a:00:01"
std::string PeerText(const SPeer& peer);

// Where an answer came from.
enum class EServedFrom : uint8_t {
    Captured, // the captured answer's value, in the kind of answer that carried it
    Learned, // put together from what the capture showed (another answer kind, an I-Am)
    Written, // a value a client wrote
    Unknown, // the capture never showed it: an Error, a Reject, an Abort
};
const char* ServedFromWord(EServedFrom eFrom); // "captured", "learned", "written", "unknown"

// One request served.
struct SServed {
    int64_t llNs = 0; // the clock's time when it came
    SPeer client;
    std::string csRequest; // "readProperty[ 5] analog-input,1 present-value"
    std::string csAnswer; // "readProperty-ACK[ 5] analog-input,1 present-value = 21.5"
    EServedFrom eFrom = EServedFrom::Unknown;
    uint32_t uDevice = UINT32_MAX; // the device that answered; UINT32_MAX: none
};

struct SServeCounts {
    uint64_t uRequests = 0; // served (answered or refused)
    uint64_t uCaptured = 0;
    uint64_t uLearned = 0;
    uint64_t uWritten = 0;
    uint64_t uUnknown = 0;
    uint64_t uIgnored = 0; // not for us, or nothing to say (Who-Is out of range, an I-Am)
    uint64_t uBad = 0; // datagrams that do not parse
    uint64_t uSegmented = 0; // answers sent in segments
    uint64_t uSegments = 0; // segments sent, repeats included
    uint64_t uResent = 0; // windows sent again at the segment time-out
    uint64_t uAborted = 0; // segmented answers given up with an Abort
};

// One datagram to send.
struct SOutgoing {
    SPeer to;
    CBytes bytes; // BVLC, NPDU, APDU; BACnet/Ethernet: the whole frame, padded
};

class CServer {
public:
    // learned must outlive the server.
    CServer(const SLearned& learned, const SServeOptions& options, IClock& clock);
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // The devices served (those of options.devices that were learned), by instance.
    std::vector<uint32_t> Served() const;

    // One datagram from a client, as the UDP socket gave it.
    void Receive(const SPeer& from, const uint8_t* pData, size_t nLength);
    // One BACnet/Ethernet frame heard on the adapter (802.3 and LLC): taken
    // when it is for our MAC or a broadcast; the answers are whole frames.
    void ReceiveFrame(const uint8_t* pFrame, size_t nLength);
    // Runs the segment timers to the clock's time.
    void Tick();
    // The earliest timer; INT64_MAX when no segmented answer is in flight.
    int64_t NextDeadline() const;

    std::vector<SOutgoing> TakeOut();
    std::vector<SServed> TakeServed();
    SServeCounts Counts() const;

private:
    struct SState;
    std::unique_ptr<SState> m_p;
};

// The TSV header and one line: time (seconds, 6 decimals), client, request,
// answer, from. Tabs and line breaks in the texts become blanks.
const char* ServedTsvHeader();
std::string ServedTsvLine(const SServed& served, int64_t llStartNs);
// JUnit XML: one test suite named csSuite, one test case per request served
// (named by its time, client and request), failed when the answer is
// "unknown": the client asked what the capture never showed.
std::string ServedJUnitXml(
    const std::string& csSuite, const std::vector<SServed>& served, int64_t llStartNs);
// The report to hand over, one HTML file: what was served, from where, on
// which address, the summary, and one table row per request served (rows
// whose answer is "unknown" marked).
struct SServeReportFacts {
    std::string csCapture; // its file name
    std::string csAddress; // "10.0.0.2:47808"
    std::vector<uint32_t> devices;
    std::string csLearned; // "2 devices learned from 26 records"
    SServeCounts counts;
};
std::string ServedReportHtml(
    const SServeReportFacts& facts, const std::vector<SServed>& served, int64_t llStartNs);
// "served 12 requests: 5 captured, 4 learned, 1 written, 2 unknown; ..."
std::string ServeSummary(const SServeCounts& counts);

} // namespace velmora::serve
