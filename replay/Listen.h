#pragma once

// Listening for the device's answers during a Send, and what was heard.
//
// With listening on, the ear (replay/Ear.h) is bound to the Send's adapter
// before the first frame and hears every BACnet frame until the wait after the
// last frame sent is over, or the user stops. The send socket stamps each
// frame as the adapter's driver takes it; the frames that ask (requests) are
// kept with their stamps and handed back with what was heard; the session
// (session/JudgeSend.h) has them judged.

#include "capture/CaptureWriter.h"
#include "replay/Converse.h"
#include "replay/Ear.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// The listening member of a Send. The defaults are today's Send: no ear.
// How an answer of the recorded kind is compared with the recorded answer.
enum class EAnswerCompare : uint8_t {
    Values, // field by field; volatile properties may change (the default)
    Strict, // every value, without the built-in profile or what the capture teaches
    Kind, // the kind of answer alone (ComplexACK, Error class and code)
};

struct SListenOptions {
    bool bListen = false;
    // How long to go on hearing after the last frame sent.
    std::chrono::milliseconds wait { 3000 };
    // Send only the records that ask (decode's request classifier): confirmed
    // requests, unconfirmed ones other than I-Am and I-Have, and
    // Who-Is-Router-To-Network; read and count the rest.
    bool bRequestsOnly = false;
    // Judge each answer against the answer the capture recorded.
    bool bExpectCaptured = false;
    EAnswerCompare eCompare = EAnswerCompare::Values;
    // A file of volatile properties and tolerances (judge/Volatile.h); "" none.
    std::string csVolatileFile;
    // Or against a baseline: the answers of an earlier run (its saved
    // answers, or a capture taken at the bench), request by request.
    std::string csExpectFile;
    // Converse with the device as a client does (replay/Converse.h): on
    // whenever listening is on, unless turned off; off, listening is open loop.
    bool bConverse = true;
    SConverseOptions converse;
    bool Conversing() const { return bListen && bConverse; }
    bool operator==(const SListenOptions&) const = default;
};

// Where the listening stands, for the shells while the wait runs.
struct SListenCounts {
    int iHeard = 0; // BACnet frames heard so far
    std::chrono::milliseconds left { 0 }; // of the wait after the last frame
};

// A request a listening Send put on the wire.
struct SSentRequest {
    uint64_t uRecord = 0; // its record number in the capture (0 first)
    int64_t llNs = 0; // the kernel's send time, nanoseconds since the epoch; 0 unknown
    std::vector<uint8_t> bytes; // as sent (aimed)
    // The earliest it can have left, when llNs was placed between two stamps
    // rather than stamped (0: llNs).
    int64_t llEarliestNs = 0;
    uint32_t uRound = 1; // the round it went out in (1 first)
    // Conversing: where its fresh invoke ID sits (-1: sent as captured), and
    // the captured one.
    int iInvokeAt = -1;
    uint8_t uCapturedInvokeId = 0;
};

// What a listening Send hands its shell as it goes (IReplayObserver::
// OnListened): the requests of the rounds over, and the frames heard since
// the last hand-over, so that an endless Send keeps no more than a round.
struct SListenChunk {
    std::vector<SSentRequest> requests; // in send order, with send stamps
    std::vector<SHeardFrame> heard; // in arrival order
    bool bLast = false; // the Send's last: the wait after its last frame is over
    // The last, of a Send stopped (by the user or its duration): when, on the
    // wall clock, so that requests without their time for an answer tell.
    bool bStopped = false;
    int64_t llStopNs = 0;
};

// What the listening brought.
struct SListenResult {
    bool bListened = false;
    std::string csError; // why the ear could not listen ("" when it did or was not asked)
    long long llSkipped = 0; // requests only: records read and not sent
    // Conversing: the device that stopped answering ("" when none), and the
    // requests that were then never sent.
    std::string csGaveUp;
    long long llNotSent = 0;
    // Conversing: what became of each confirmed request since the last hand
    // over, in the order they ended (the Send hands its reassembled answers
    // over with the frames heard, and then forgets them).
    std::vector<SConverseResult> conversed;
    size_t nWholeHanded = 0; // of those, handed to the judge as heard
    // The requests sent, in order, with send stamps, and every frame heard,
    // in arrival order; empty when the observer took them as they came.
    std::vector<SSentRequest> requests;
    std::vector<SHeardFrame> heard;
    long long llRequests = 0; // requests sent, taken or not
    long long llHeard = 0; // frames heard, taken or not (reassembled answers too)
    size_t nUnstamped = 0; // requests whose send stamp never came (their round trip is "-")
    // The UDP ports of this host's own addresses that another program held,
    // so that answers went to it: one sentence each.
    std::vector<std::string> portsTaken;
};

// Holds, while listening, the UDP ports the BACnet/IP requests come from on
// this host's own addresses. An answer to a port nothing holds draws an ICMP
// port-unreachable from the host's kernel, which a device may take for the
// client gone. The sockets read nothing: their receive buffers are the
// kernel's smallest, and what overflows them is dropped without a word.
// Each (address, port) is tried once, as the first frame from it goes.
class CPortHolder {
public:
    CPortHolder() = default;
    ~CPortHolder(); // lets the ports go
    CPortHolder(const CPortHolder&) = delete;
    CPortHolder& operator=(const CPortHolder&) = delete;

    // The source address and port of a BACnet/IP frame about to go; other
    // frames are left alone.
    void Hold(const uint8_t* pFrame, size_t nLength);
    // uAddress and uPort in host order. An address that is not this host's
    // is nothing to hold; a port another program holds is told (Taken).
    void Hold(uint32_t uAddress, uint16_t uPort);
    size_t Held() const; // sockets bound
    const std::vector<std::string>& Taken() const { return m_taken; }

    // At most this many pairs are tried (a capture of many clients).
    static constexpr size_t kMaxPairs = 256;

private:
    struct SPair {
        uint32_t uAddress;
        uint16_t uPort;
        int iFd; // -1: not held
    };
    std::vector<SPair> m_pairs;
    size_t m_nLast = SIZE_MAX; // the pair the last frame came from
    std::vector<std::string> m_taken;
};

// Collects, on a thread of its own, what the ear hears until Stop.
class CListener {
public:
    CListener();
    ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    // Binds the ear to the adapter and starts hearing. False with a line
    // saying why (see CEar::Start).
    bool Start(const std::string& csAdapter, std::string& csError);
    // Before Start, for a conversing Send: the prompt ear, and a copy of each
    // frame kept for TakeTapped besides the one Take hands over.
    void SetTap(bool bTap);
    // Waits up to llWaitNs for frames not tapped yet, and appends them to
    // heard; false when none came.
    bool TakeTapped(std::vector<SHeardFrame>& heard, int64_t llWaitNs);
    int Heard() const; // every frame heard so far, taken ones too
    // Hands over the frames heard since the last Take, in arrival order.
    std::vector<SHeardFrame> Take();
    // Stops hearing and hands over every frame not taken, in arrival order.
    std::vector<SHeardFrame> Stop();

private:
    void Run();

    CEar m_ear;
    bool m_bTap = false;
    struct SShared;
    std::unique_ptr<SShared> m_pShared;
};

// Writes the frames heard as a pcap file with nanosecond time stamps. False
// with a reason when the file cannot be written.
bool SaveHeardFrames(
    const std::string& csPath, const std::vector<SHeardFrame>& heard, std::string& csError);

// The same a few frames at a time, for a Send that hands its frames over as
// it goes.
class CHeardFileWriter {
public:
    bool Open(const std::string& csPath, std::string& csError);
    void Write(const SHeardFrame& frame);
    // False with a reason when a frame could not be written.
    bool Close(std::string& csError);
    bool IsOpen() const { return m_writer.IsOpen(); }

private:
    CCaptureWriter m_writer;
    std::string m_csPath;
};

} // namespace velmora
