#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// The ear: a second packet socket, opened at start next to the send socket
// while the process still holds CAP_NET_RAW, that can only ever hear BACnet.
//
// Its classic BPF filter is attached and locked before the capabilities go, so
// no code in the process (a theme plugin, say) can lift or replace it. It takes
// incoming frames only, and of those only the BACnet frames of the one rule
// (decode/Frame.h): its tags, whether the kernel left the outer one in the
// frame or moved it aside, its LLC, its ports and its BVLC type. The program
// is compiled from an expression written out of that rule's constants.
// The socket is created with protocol 0 and so hears nothing until a listening
// Send binds it to its adapter; binding needs no capability.

// The clock of the ear's stamps (and of the send stamps): the kernel's real
// time, in nanoseconds since the epoch.
int64_t EarClockNs();

// One frame the ear heard.
struct SHeardFrame {
    int64_t llNs = 0; // the kernel's receive time, nanoseconds since the epoch
    uint32_t uWireLength = 0; // the frame's length on the wire
    std::vector<uint8_t> bytes; // as received (padding included), an 802.1Q tag put back
    // Not heard but made: a conversation's reassembled answer of that many
    // segments (never saved with the answers).
    int iSegments = 0;
};

// The filter program, as the kernel runs it, for tests and the benchmark.
struct SFilterInstruction {
    uint16_t uCode;
    uint8_t uJt;
    uint8_t uJf;
    uint32_t uK;
};
// Empty when libpcap cannot compile it (then no ear opens).
const std::vector<SFilterInstruction>& BacnetFilterProgram();
// The rule as a libpcap expression, for a frame that still holds up to
// uTagsInFrame tags: what the program runs after the kernel took none
// (kMaxVlanTags) or one (kMaxVlanTags - 1).
std::string BacnetFilterExpression(uint32_t uTagsInFrame);

// An AF_PACKET raw socket of protocol 0, close-on-exec, with the BACnet filter
// attached and locked and VLAN data on. -1 with
// errno when the socket cannot be opened (no CAP_NET_RAW) or the kernel
// refuses the filter or its lock.
int OpenEarSocket();

// Opens the process's ear (SetUpSendSocket calls it before dropping the
// capabilities); -1 when it could not be opened, with errno.
int SetUpEarSocket();
// The socket SetUpEarSocket opened; -1 when it was not called or failed.
int ProcessEarSocket();

// Listening on one adapter, through the process's ear or, when the program did
// not start with one (tests, the benchmark as root), an ear of its own.
class CEar {
public:
    CEar() = default;
    // Listens through a given ear (one of OpenEarSocket's), which stays open.
    explicit CEar(int iEarSocket)
        : m_iGivenSocket(iEarSocket)
    {
    }
    ~CEar();
    CEar(const CEar&) = delete;
    CEar& operator=(const CEar&) = delete;

    // Binds the ear to the adapter and puts the adapter in promiscuous mode,
    // so that answers to a capture's original client are heard too. Fails, with
    // a line saying why, when there is no ear (no capability and none opened at
    // start), the adapter does not exist, or the bind or membership fails.
    bool Start(const std::string& csAdapter, std::string& csError);
    bool Listening() const { return m_iFd >= 0; }
    // Before Start: hand each frame over as it lands rather than in blocks a
    // few milliseconds apart, for a conversation that waits on every answer.
    // The ring then holds 4,096 frames (not some 60,000 short ones).
    void SetPrompt(bool bPrompt) { m_bPrompt = bPrompt; }
    // Waits up to iWaitMs for a frame, then takes every frame waiting and
    // appends them to heard, in arrival order. The number taken; 0 when the
    // time ran out or the ear is not listening.
    size_t Read(std::vector<SHeardFrame>& heard, int iWaitMs);
    // Frames come over in blocks: waits until the last frames heard can be
    // read, a few milliseconds.
    void Settle() const;
    // Ends promiscuous mode and the listening; frames still queued are
    // dropped. Safe to call twice.
    void Stop();

private:
    size_t ReadFrames(std::vector<SHeardFrame>& heard, int iWaitMs); // a prompt ear's

    int m_iGivenSocket = -1;
    int m_iFd = -1;
    int m_iIfIndex = 0;
    bool m_bOwnSocket = false;
    bool m_bPromiscuous = false;
    bool m_bRing = false; // the socket has a receive ring
    bool m_bPrompt = false; // a ring of frames (TPACKET_V2), not of blocks
    uint8_t* m_pRing = nullptr; // mapped while listening
    uint32_t m_uNext = 0; // the ring's next block to read
};

// Round trips start at the kernel's send time of the request: software
// transmit stamps on the send socket, taken as the frame is handed to the
// adapter's driver, come back on the socket's error queue with a running
// number per frame sent since they were turned on.
struct SSendStamp {
    uint32_t uId = 0; // 0 for the first frame sent after SetSendStamps(true)
    int64_t llNs = 0;
};
// Turns the stamps on (counting from 0 again) or off: for every frame, or
// (bEveryFrame false) only for frames sent with an SO_TIMESTAMPING control
// message asking for SOF_TIMESTAMPING_TX_SOFTWARE, which are then the ones
// numbered. False with errno.
bool SetSendStamps(int iSocket, bool bOn, bool bEveryFrame = true);
// Appends the stamps waiting on the socket's error queue; how many.
size_t ReadSendStamps(int iSocket, std::vector<SSendStamp>& stamps);

} // namespace velmora
