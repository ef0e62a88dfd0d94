#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pcap;

namespace velmora {

// What a running Send has been asked to do besides sending.
enum class EReplayStop {
    None,
    Stop, // end after the frame in flight and report the count as usual
    StopAndClose, // the same, but the shell is going away: the count is logged, not shown
};

// Shortest time between two status updates (and pumps) during a Send: the
// display's pace.
constexpr int kStatusIntervalMs = 16;

// What a Send needs of the main window.
class IReplayWindow {
public:
    virtual ~IReplayWindow() = default;
    // Reads the controls into the window's values (validation may show its
    // message; the result is not looked at) and hands over the three inputs.
    virtual void ReadReplayInputs(std::string& csPath, int& iMode, int& iOffset) = 0;
    // Path field, Browse, Single Packet, All packets, offset, Send, adapter list.
    // A window that can stop a replay may keep Send on as its Stop control.
    virtual void EnableReplayControls(bool bEnable) = 0;
    // Sets the status text and writes the window's values into its controls.
    virtual void SetStatusText(const std::string& csText) = 0;
    // Reads the controls, repaints what is invalid, handles pending messages.
    virtual void PumpMessages() = 0;
    // Polled right after each status update (the display's pace), so a request
    // made while messages are handled, or by a signal handler setting a flag,
    // ends the loop within one status interval. Never resets by itself.
    virtual EReplayStop StopRequest() { return EReplayStop::None; }
    // The pace of the status updates; zero updates at every packet.
    virtual std::chrono::milliseconds StatusInterval() const
    {
        return std::chrono::milliseconds(kStatusIntervalMs);
    }
};

struct SReplayResult;
// The Send command: replays the capture named by the window onto the adapter.
SReplayResult OnSendReplay(IReplayWindow& window, const std::string& csSelectedDeviceName);

// ---------------------------------------------------------------------------
// The pieces of a Send, for the window, the benchmark, tests and the fuzz target.

// Bytes of the send buffer: the most a single frame can carry. Longer records
// are cut to this length (libpcap itself cuts records at the file's snapshot
// length the same way).
constexpr uint32_t kSendBufferSize = 65536;

// Why an adapter could not be opened for sending, in words a user can act on.
enum class ESendOpenError { None, NoSuchDevice, NotUp, NoPermission, NotEthernet, Other };

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
    struct SRefused {
        size_t nIndex; // place in the batch, 0 first
        std::string csError; // the text Transmit's ErrorText would give
    };
    // Puts the staged frames on the wire in their order and returns once the
    // kernel has taken or refused every one; adds the refused ones to refused,
    // in order. The batch is empty afterwards.
    virtual void Flush(std::vector<SRefused>& /*refused*/) { }
};

// An open capture file: libpcap's reader over a stream with a 64 KiB buffer of
// our own. Closing it closes the file.
class CLocalCapture {
public:
    CLocalCapture(pcap* hCapture, std::unique_ptr<char[]> pStreamBuffer);
    ~CLocalCapture();
    CLocalCapture(const CLocalCapture&) = delete;
    CLocalCapture& operator=(const CLocalCapture&) = delete;
    pcap* Handle() const { return m_hCapture; }

private:
    pcap* m_hCapture;
    std::unique_ptr<char[]> m_pStreamBuffer; // must outlive the stream
};

// Sockets of their own are closed in the background; this waits until the
// last close is done.
void WaitForAdapterClose();

// Opens the adapter through the sink; logs the failure.
bool OpenSendDevice(IPacketSink& sink, const std::string& csSelectedDeviceName);

// Opens a capture file for reading (regular files only, never blocks); logs
// the attempt and the failure. Nothing on failure.
std::unique_ptr<CLocalCapture> OpenLocalDevice(const std::string& csPath);

// Writes one frame unless the sink is closed, pData is null or uLength is
// below 6; logs a failed transmission. True if the frame went out.
bool SendPacket(IPacketSink& sink, const unsigned char* pData, uint32_t uLength);

// Why a Send stopped before its first record; None when it reached the loop.
enum class ENotSent {
    None,
    NoFile, // the path names nothing (or is empty)
    NoAccess, // the path or the file may not be read by this user
    NoAdapter, // the adapter could not be opened: see eOpenError
    NotCapture, // the file is no capture libpcap can read
};

// What a Send did.
struct SReplayResult {
    ENotSent eNotSent = ENotSent::None;
    ESendOpenError eOpenError = ESendOpenError::None;
    int iCount = 0; // records handed to SendPacket: the final box's count
    int iRefused = 0; // of those, not put on the wire (too short or refused)
    int iFailed = 0; // of those, refused by the adapter (each has a debug record)
    bool NotSent() const { return eNotSent != ENotSent::None; }
};

// Everything of a Send after reading the window: the existence check, opening
// the adapter (through sink) and the capture, the loop with the controls
// disabled, and enabling them again. A Send that stops before the loop shows
// nothing and says why in eNotSent. The sink is closed at the end.
SReplayResult ReplayCapture(IReplayWindow& window, const std::string& csPath, int iMode,
    int iOffset, const std::string& csSelectedDeviceName, IPacketSink& sink);

// The status line after a Send: one sentence saying why it stopped, or the
// count with the refused frames; empty when the loop's own count stands.
// csPickHint tells where another adapter is chosen.
std::string ReplayStatusText(const SReplayResult& result, const std::string& csPath,
    const std::string& csDevice, const std::string& csPickHint = "pick one under Device");

// OnSendReplay with another sink.
SReplayResult OnSendReplay(
    IReplayWindow& window, const std::string& csSelectedDeviceName, IPacketSink& sink);

// Records chosen by number (0 is the file's first record, as for the offset).
using CRecordSelection = std::vector<uint64_t>;

// ReplayCapture for the chosen records only, sent in file order whatever the
// order given; the others are read and skipped, and reading ends after the
// last chosen one. Numbers past the end of the file send nothing.
SReplayResult ReplayCapture(IReplayWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csSelectedDeviceName, IPacketSink& sink);

// Send for a selection: ReplayCapture of it, then the same closing box as Send.
SReplayResult OnSendSelection(IReplayWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csSelectedDeviceName, IPacketSink& sink);
SReplayResult OnSendSelection(IReplayWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csSelectedDeviceName);

} // namespace velmora
