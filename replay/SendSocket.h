#pragma once

#include "Replay.h"

#include <string>
#include <vector>

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
    bool bDroppedCapabilities = false;
    bool bFailed = false; // capabilities could not be dropped: the program must not go on
};

// Call first thing in main, before any library sees argv or the environment:
// opens the send socket (ProcessSendSocket) and, when the process runs in
// secure-execution mode for a user other than root (capabilities from the
// file), drops all of them: permitted, effective, inheritable and ambient.
SSendSocketSetup SetUpSendSocket();

// The socket SetUpSendSocket opened; -1 when it was not called or failed.
int ProcessSendSocket();

// An AF_PACKET raw socket of protocol 0 (so it receives nothing), close-on-exec,
// with a locked filter that drops every frame. -1 with errno on failure.
int OpenSendSocket();

// Drops permitted, effective, inheritable and ambient capabilities. False
// with errno when the kernel refused.
bool DropAllCapabilities();

// A transmit ring (TPACKET_V2) on a packet socket: frames are copied into
// memory the kernel shares, and one send hands it all of them.
class CTxRing {
public:
    static constexpr unsigned kFrames = 256;
    static constexpr unsigned kFrameSize = 2048;

    CTxRing() = default;
    ~CTxRing() { Release(); }
    CTxRing(const CTxRing&) = delete;
    CTxRing& operator=(const CTxRing&) = delete;

    // Sets the ring up on the socket; false when the kernel refuses.
    bool SetUp(int fd);
    // Unmaps it and hands the kernel's memory back.
    void Release();
    bool Ready() const { return m_pMap != nullptr; }
    int Socket() const { return m_iFd; }
    // The frame slot i places after the kernel's next one.
    void* Slot(unsigned i) const;
    // Bytes of a frame that fit a slot.
    static unsigned Capacity();
    // Where the kernel takes its next frame from.
    unsigned m_uHead = 0;

private:
    int m_iFd = -1;
    unsigned char* m_pMap = nullptr;
};

// How a sink puts frames on the wire.
enum class ESendPath {
    Ring, // batches through a transmit ring, the plain path where none can be set up
    Plain, // one system call per frame
};

// Sends on a packet socket bound to the adapter: the process's socket when
// main set one up, else a socket of its own for the length of the Send (tests
// and the benchmark run as root without the start-up step). In batches, where
// the socket takes a transmit ring.
class CSocketSink final : public IPacketSink {
public:
    explicit CSocketSink(ESendPath ePath = ESendPath::Ring)
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
    bool Transmit(const unsigned char* pData, uint32_t uLength) override;
    std::string ErrorText() override { return m_csSendError; }
    void Close() override;
    // Frames go to the ring while it has room and they are of a size the
    // adapter takes; others go alone, as do all without a ring.
    bool Stage(const unsigned char* pData, uint32_t uLength) override;
    void Flush(std::vector<SRefused>& refused) override;
    // Whether the open adapter gets batches (tests look).
    bool Batches() const { return m_pRing != nullptr; }

private:
    bool Fail(ESendOpenError eError, const std::string& csText, std::string& csError);
    bool Refuse(uint32_t uLength) const;
    void StageInRing(const unsigned char* pData, uint32_t uLength);

    ESendPath m_ePath;
    int m_iFd = -1;
    bool m_bOwnSocket = false;
    unsigned m_uMtu = 0;
    CTxRing m_ownRing;
    CTxRing* m_pRing = nullptr;
    unsigned m_uStaged = 0;
    std::vector<unsigned> m_slotFrame;
    std::vector<SRefused> m_refused;
    ESendOpenError m_eOpenError = ESendOpenError::None;
    std::string m_csSendError;
};
