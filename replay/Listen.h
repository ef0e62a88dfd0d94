#pragma once

// Listening for the device's answers during a Send, and what was heard.
//
// With listening on, the ear (replay/Ear.h) is bound to the Send's adapter
// before the first frame and hears every BACnet frame until the wait after the
// last frame sent is over, or the user stops. The send socket stamps each
// frame as the adapter's driver takes it; the frames that ask (requests) are
// kept with their stamps, and the judge (judge/Judge.h) pairs them with what
// was heard, and, when asked, with the answers the capture recorded.

#include "judge/Judge.h"
#include "replay/Converse.h"
#include "replay/Ear.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// The listening member of a Send. The defaults are today's Send: no ear.
struct SListenOptions {
    bool bListen = false;
    // How long to go on hearing after the last frame sent.
    std::chrono::milliseconds wait { 3000 };
    // Send only the records that ask (judge::ClassifyRequest): confirmed
    // requests, unconfirmed ones other than I-Am and I-Have, and
    // Who-Is-Router-To-Network; read and count the rest.
    bool bRequestsOnly = false;
    // Judge each answer against the answer the capture recorded.
    bool bExpectCaptured = false;
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

// What the listening brought.
struct SListenResult {
    bool bListened = false;
    std::string csError; // why the ear could not listen ("" when it did or was not asked)
    long long llSkipped = 0; // requests only: records read and not sent
    std::vector<judge::SJudgedFrame> requests; // the requests sent, in order, with send stamps
    std::vector<SHeardFrame> heard; // every frame heard, in arrival order
    size_t nUnstamped = 0; // requests whose send stamp never came (their round trip is "-")
    judge::SJudgement judgement;
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
    int Heard() const;
    // Stops hearing and hands over every frame heard, in arrival order.
    std::vector<SHeardFrame> Stop();

private:
    void Run();

    CEar m_ear;
    struct SShared;
    std::unique_ptr<SShared> m_pShared;
};

// Reads the capture's records for judging (BACnet frames only, each with its
// record number). False with a reason when the file cannot be read.
bool ReadCaptureForJudging(
    const std::string& csPath, std::vector<judge::SJudgedFrame>& frames, std::string& csError);

// Writes the frames heard as a pcap file with nanosecond time stamps. False
// with a reason when the file cannot be written.
bool SaveHeardFrames(
    const std::string& csPath, const std::vector<SHeardFrame>& heard, std::string& csError);

} // namespace velmora
