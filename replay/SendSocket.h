#pragma once

#include "replay/Replay.h"

#include <string>
#include <sys/uio.h>
#include <vector>

namespace velmora {

// The packet socket frames leave on, and the privileges around it.
//
// The program needs one privilege, CAP_NET_RAW, for one thing: opening a
// packet socket. So that no toolkit, plugin or theme code ever runs with it,
// main opens that socket first and then drops every capability it got from
// the file; later Sends bind the socket to their adapter, which needs none.

// What SetUpSendSocket did.
struct SSendSocketSetup {
    int iSocket = -1; // the process's send socket, -1 when it could not be opened
    int iErrno = 0; // why not
    int iEarSocket = -1; // the BACnet-only ear (replay/Ear.h), -1 when it could not be opened
    int iEarErrno = 0;
    bool bDroppedCapabilities = false;
    bool bFailed = false; // capabilities could not be dropped: the program must not go on
};

// Call first thing in main, before any library sees argv or the environment:
// opens the send socket (ProcessSendSocket) and the ear (ProcessEarSocket) and, when the process
// runs in secure-execution mode for a user other than root (capabilities from the file), drops all
// of them: permitted, effective, inheritable and ambient.
SSendSocketSetup SetUpSendSocket();

// The socket SetUpSendSocket opened; -1 when it was not called or failed.
int ProcessSendSocket();

// An AF_PACKET raw socket of protocol 0 (so it receives nothing), close-on-exec,
// with a locked filter that drops every frame. -1 with errno on failure.
int OpenSendSocket();

// Drops permitted, effective, inheritable and ambient capabilities. False
// with errno when the kernel refused.
bool DropAllCapabilities();

// How a sink puts frames on the wire.
enum class ESendPath {
    Batch, // many frames per system call (sendmmsg)
    Plain, // one system call per frame
};

// Sends on a packet socket bound to the adapter: the process's socket when
// main set one up, else a socket of its own for the length of the Send (tests
// and the benchmark run as root without the start-up step).
class CSocketSink final : public IPacketSink {
public:
    static constexpr unsigned kBatchFrames = 256;

    explicit CSocketSink(ESendPath ePath = ESendPath::Batch)
        : m_ePath(ePath)
    {
    }
    ~CSocketSink() override;
    CSocketSink(const CSocketSink&) = delete;
    CSocketSink& operator=(const CSocketSink&) = delete;

    // Fails, with libpcap's words for the case, when the socket could not be
    // opened, the adapter does not exist, is down or does not carry Ethernet
    // frames (the loopback device does), or the bind fails.
    bool Open(const std::string& csDeviceName, std::string& csError) override;
    ESendOpenError OpenError() const override { return m_eOpenError; }
    bool IsOpen() const override { return m_iFd >= 0; }
    // The socket frames leave on while open (for its send time stamps), else -1.
    int Fd() const { return m_iFd; }
    bool Transmit(const unsigned char* pData, uint32_t uLength) override;
    std::string ErrorText() override { return m_csSendError; }
    void Close() override;
    // Up to kBatchFrames frames, or a megabyte, per batch.
    bool Stage(const unsigned char* pData, uint32_t uLength) override;
    bool StageInPlace(const unsigned char* pData, uint32_t uLength) override;
    // Each frame is judged as a plain send judges it, with the same error.
    void Flush(std::vector<SRefused>& refused) override;
    // Software transmit stamps, read off the error queue after every send so
    // that its small room never overflows. Of the frames marked by StampNext,
    // a batch stamps every one when it holds at most kStampAll of them, else
    // every kStampEvery-th and the last.
    static constexpr unsigned kStampAll = 16;
    static constexpr unsigned kStampEvery = 64;
    static constexpr unsigned kStampsPerRead = 64;
    bool StampFrames(bool bOn) override;
    void StampNext() override;
    void TakeSendTimes(std::vector<int64_t>& times, std::vector<int64_t>& earliest) override;

    // A frame marked by StampNext, as it went: the system call that took it
    // (counting every call), its place in that call's batch, whether a stamp
    // was asked for it and its running number among the stamps (-1 for none).
    struct SWanted {
        uint32_t uCall = 0;
        uint32_t uPos = 0;
        bool bAsked = false;
        bool bSent = false;
        int64_t llKey = -1;
    };

private:
    void TakeStampsNowAndThen();
    bool Fail(ESendOpenError eError, const std::string& csText, std::string& csError);

    ESendPath m_ePath;
    int m_iFd = -1;
    bool m_bOwnSocket = false;
    std::vector<unsigned char> m_batch; // the staged copies, back to back
    std::vector<iovec> m_frames; // every staged frame: a copy in m_batch, or in place
    ESendOpenError m_eOpenError = ESendOpenError::None;
    std::string m_csSendError;
    bool m_bStamps = false;
    bool m_bStampNext = false;
    std::vector<bool> m_stampFlags; // of the staged frames
    std::vector<unsigned char> m_stampControl; // the control message that asks for a stamp
    std::vector<SSendStamp> m_stamps;
    std::vector<SWanted> m_wanted;
    uint64_t m_uKeys = 0; // stamps asked of the kernel since StampFrames
    uint64_t m_uKeysRead = 0; // m_uKeys when the error queue was last read
    uint32_t m_uCalls = 0;
};

// The send time of each wanted frame: its own stamp, or, between two stamped
// frames of the same call, a time placed by its position; 0 when neither (not
// sent, or a stamp that never came). With pEarliest, the earliest each can
// have left: a placed frame's stamped neighbour before it (the kernel sends a
// call's frames in order), so that no answer is taken for one sent too early.
std::vector<int64_t> PlaceSendTimes(const std::vector<CSocketSink::SWanted>& wanted, uint64_t uKeys,
    const std::vector<SSendStamp>& stamps, std::vector<int64_t>* pEarliest = nullptr);

} // namespace velmora
