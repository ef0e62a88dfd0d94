#pragma once

// Where a Send starts and what it needs: a request (what to send, where, how),
// a sink (the adapter), an observer (progress and stop), and the result. The
// shells (the window, velmora-replay) fill the request and turn the counts and
// the result into words (session/ReplayWords.h); nothing here shows a box or
// makes a sentence.

#include "capture/LocalCapture.h"
#include "replay/Aim.h"
#include "replay/Listen.h"
#include "replay/Pace.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct pcap_pkthdr;

namespace velmora {

class IPacketSink;

// Records chosen by number (0 is the file's first record, as for the offset).
using CRecordSelection = std::vector<uint64_t>;

enum class EReplayMode {
    Single, // the one record at iOffset
    All, // every record, in file order
    Selection, // the chosen records, in file order
};

// One Send. The defaults send every record back to back, as the window's
// "All packets" does.
struct SReplayRequest {
    std::string csPath; // the capture file, as bytes
    EReplayMode eMode = EReplayMode::All;
    int iOffset = 0; // Single: the record's number; past the end sends nothing
    // Selection: the records; given in any order, with repeats, and sent once
    // each in file order. Reading ends after the last one.
    CRecordSelection selection;
    std::string csAdapter; // the adapter's name, as the adapter list gives it
    // New addresses for BACnet frames as they go out (replay/Aim.h); the
    // default sends every byte as captured.
    SAimOptions aim;
    SListenOptions listen; // hearing the answers (off by default)
    // When the frames go out and how often (All and Selection; Single ignores
    // it). The default sends one round back to back.
    SPaceOptions pace;
    // A listening or aimed Send mends the wrong IPv4 and UDP checksums of
    // BACnet/IP frames (a capture taken on the sending host holds those its
    // NIC was left to fill in); true sends them as captured. A default Send
    // never looks.
    bool bKeepChecksums = false;
};

// Shortest time between two progress reports (and pumps) during a Send: the
// display's pace.
constexpr int kStatusIntervalMs = 16;

// Where a Send stands.
struct SReplayCounts {
    int iHandled = 0; // records handed to sending so far: the final box's count
    // A timed Send (request.pace other than the default):
    int64_t llRound = 0; // the round under way, 1 first; 0 for an untimed Send
    int64_t llWaitLeftMs = -1; // a wait longer than a second: ms left until the next frame
    bool bPause = false; // that wait is the pause between two rounds
    // A conversing Send: which request, and whether it waits for an answer.
    bool bConversing = false;
    SConverseProgress converse;
};

// What a running Send tells its shell, and asks of it. Every call comes from
// the thread that called Replay.
class IReplayObserver {
public:
    virtual ~IReplayObserver() = default;
    // The adapter and the capture are open and the first record is next: the
    // window disables its inputs here. Not called when the Send stops before.
    virtual void OnStart() { }
    // The count at the display's pace (the first record at once), and always
    // the exact count once the loop is done. A window pumps its messages here.
    virtual void OnProgress(const SReplayCounts& /*counts*/) { }
    // Polled right after each progress report in All and Selection mode, so a
    // request made during OnProgress, or by a signal handler setting a flag,
    // ends the loop after the frame in flight. Single mode sends one frame and
    // does not ask.
    virtual bool StopRequested() { return false; }
    // The pace of the progress reports; zero reports every record.
    virtual std::chrono::milliseconds ProgressInterval() const
    {
        return std::chrono::milliseconds(kStatusIntervalMs);
    }
    // A listening Send, after its last frame: at the display's pace while it
    // waits for late answers. StopRequested is polled after each call and ends
    // the wait.
    virtual void OnListening(const SListenCounts& /*counts*/) { }
    // True: a listening Send hands its requests and the frames heard over as
    // it goes, through OnListened: those of each round as the next round
    // begins, the rest after the wait (bLast); its result keeps none of them.
    // False (the default): all of them come in the result.
    virtual bool TakesListening() const { return false; }
    virtual void OnListened(SListenChunk& /*chunk*/) { }
};

// Why a Send stopped before its first record; None when it reached the loop.
enum class ENotSent {
    None,
    NoFile, // the path names nothing (or is empty)
    NoAccess, // the path or the file may not be read by this user
    NoAdapter, // the adapter could not be opened: see eOpenError
    NotCapture, // the file is no capture libpcap can read
    NoAimMac, // the aim asks for the adapter's MAC address and it has none
    NoAimIpv4, // the aim asks for the adapter's IPv4 address and it has none
    NoEar, // listening was asked for and the adapter cannot be listened on: see listen.csError
};

// Why an adapter could not be opened for sending, in words a user can act on.
enum class ESendOpenError { None, NoSuchDevice, NotUp, NoPermission, NotEthernet, Other };

// What a Send did.
struct SReplayResult {
    ENotSent eNotSent = ENotSent::None;
    ESendOpenError eOpenError = ESendOpenError::None;
    int iCount = 0; // records handed to SendPacket: the final box's count
    int iRefused = 0; // of those, not put on the wire (too short or refused)
    int iFailed = 0; // of those, refused by the adapter (each has a debug record)
    bool bStopped = false; // the observer asked for a stop and the loop ended early
    long long llRecordsRead = 0; // records read from the file
    // Of the records handed to sending, those the aim had to send as captured
    // (each has a debug record); 0 without an aim.
    int iNotAimed = 0;
    // A listening or aimed Send: the BACnet/IP frames handed to sending whose
    // IPv4 or UDP checksum was wrong as read (mended unless the request kept
    // them), and how many of them were requests.
    long long llWrongChecksums = 0;
    long long llWrongRequests = 0;
    SListenResult listen; // when listening was asked for
    // A timed Send: the rounds begun (0 for an untimed one), the records the
    // last of them handed over, and whether its duration ended it (bStopped too).
    int64_t llRounds = 0;
    int64_t llRoundFrames = 0;
    bool bTimeUp = false;
    // A timed Send whose round could not open the file again: that round
    // (the Send ended there); 0 when every round could read it.
    int64_t llUnreadRound = 0;
    // Chosen records the file does not hold (Single: the offset past the
    // end), counted once a round has read the whole file; not those a stop or
    // the duration left unread, nor those "requests only" skipped.
    int64_t llMissing = 0;
    // A Send paced in packets or megabits a second: the rate it reached, in
    // the pace's unit (0 when fewer than two frames went).
    double dReachedRate = 0;
    bool NotSent() const { return eNotSent != ENotSent::None; }
};

// The Send: checks that the path names something, opens the adapter through
// the sink, looks up the adapter's own addresses when the aim asks for them,
// opens the capture, calls OnStart, and sends the chosen records (aimed, in a
// copy: libpcap's buffer is never written) with progress at the display's pace. A Send that stops
// before the loop says why in eNotSent and has touched nothing. The sink is closed at the end. The
// debug records of each step are written here; the shell reports the end.
SReplayResult Replay(const SReplayRequest& request, IPacketSink& sink, IReplayObserver& observer);
// The same against a clock of the caller's (tests pass a fake one).
SReplayResult Replay(
    const SReplayRequest& request, IPacketSink& sink, IReplayObserver& observer, IClock& clock);
// The same on the program's packet socket (CSocketSink, SendSocket.h).
SReplayResult Replay(const SReplayRequest& request, IReplayObserver& observer);

// The BACnet/IP frames among the records a Send chooses (one round) whose
// IPv4 or UDP checksum is wrong in the file, read apart from the Send (a
// default Send never looks, to keep its pace): for the shells to say how
// many a device will drop. False when bStop ended the count or the file
// could not be read.
bool CountWrongChecksums(
    const SReplayRequest& request, const std::atomic<bool>& bStop, uint64_t& uWrong);

// ---------------------------------------------------------------------------
// The pieces of a Send, for the benchmark, tests and the fuzz target.

// Bytes of the send buffer: the most a single frame can carry. Longer records
// are cut to this length (libpcap itself cuts records at the file's snapshot
// length the same way).
constexpr uint32_t kSendBufferSize = 65536;

// The adapter frames go out on. The program's is a packet socket (CSocketSink,
// SendSocket.h); tests and the fuzz target put a fake in its place.
class IPacketSink {
public:
    virtual ~IPacketSink() = default;
    // Opens the adapter for sending; on failure fills csError with the reason.
    virtual bool Open(const std::string& csDeviceName, std::string& csError) = 0;
    // The kind of the last Open's failure; None after a successful Open.
    virtual ESendOpenError OpenError() const { return ESendOpenError::Other; }
    virtual bool IsOpen() const = 0;
    // Puts one frame on the wire; true when it went out.
    virtual bool Transmit(const unsigned char* pData, uint32_t uLength) = 0;
    // Why the last Transmit failed.
    virtual std::string ErrorText() = 0;
    virtual void Close() = 0;

    // Batches, for sinks that can hand the kernel many frames at once.
    // Stage copies one frame into the batch; false when the batch is full or
    // the frame has to go alone through Transmit (the default: no batches).
    virtual bool Stage(const unsigned char* /*pData*/, uint32_t /*uLength*/) { return false; }
    // Stage for a frame whose bytes stay where they are until the next Flush:
    // a sink may then take them without a copy.
    virtual bool StageInPlace(const unsigned char* pData, uint32_t uLength)
    {
        return Stage(pData, uLength);
    }
    struct SRefused {
        size_t nIndex; // place in the batch, 0 first
        std::string csError; // the text Transmit's ErrorText would give
    };
    // Puts the staged frames on the wire in their order and returns once the
    // kernel has taken or refused every one; adds the refused ones to refused,
    // in order. The batch is empty afterwards.
    virtual void Flush(std::vector<SRefused>& /*refused*/) { }

    // Kernel send times, for round trips: on before the first frame; false
    // when the sink cannot stamp. StampNext marks the next frame staged or
    // transmitted as one whose send time is wanted; TakeSendTimes hands over
    // one time per marked frame, in the order marked (nanoseconds since the
    // epoch, 0 when the frame did not go out or no time came).
    virtual bool StampFrames(bool /*bOn*/) { return false; }
    virtual void StampNext() { }
    // Beside each time, the earliest the frame can have left (the time itself
    // when it is the kernel's own stamp, earlier when it was placed).
    virtual void TakeSendTimes(std::vector<int64_t>& times, std::vector<int64_t>& earliest)
    {
        times.clear();
        earliest.clear();
    }
};

// Sockets of their own are closed in the background; this waits until the
// last close is done.
void WaitForAdapterClose();

// Opens the adapter through the sink; logs the failure.
bool OpenSendDevice(IPacketSink& sink, const std::string& csSelectedDeviceName);

// Writes one frame unless the sink is closed, pData is null or uLength is
// below 6; logs a failed transmission. True if the frame went out.
bool SendPacket(IPacketSink& sink, const unsigned char* pData, uint32_t uLength);

} // namespace velmora
