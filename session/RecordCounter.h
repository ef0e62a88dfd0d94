#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

// Counts a capture's records on a thread of its own, beside a Send, so that
// a progress bar learns the total without holding the first frame back.
class CRecordCounter {
public:
    CRecordCounter();
    ~CRecordCounter(); // stops and waits for the thread
    CRecordCounter(const CRecordCounter&) = delete;
    CRecordCounter& operator=(const CRecordCounter&) = delete;

    // Starts counting; nothing happens when the file cannot be indexed.
    void Start(const std::string& csPath);
    // The count once the whole file has been read; 0 until then, and for good
    // when it could not be read to its end.
    uint64_t Records() const;
    // Ends the count where it stands and waits for the thread.
    void Stop();

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_p;
};

struct SReplayRequest;

// Counts, on a thread of its own beside a default Send, the chosen BACnet/IP
// frames whose IPv4 or UDP checksum is wrong (CountWrongChecksums): the Send
// itself never looks, so that its pace stays what it was.
class CWrongChecksumCounter {
public:
    CWrongChecksumCounter();
    ~CWrongChecksumCounter(); // stops and waits for the thread
    CWrongChecksumCounter(const CWrongChecksumCounter&) = delete;
    CWrongChecksumCounter& operator=(const CWrongChecksumCounter&) = delete;

    // Starts counting when the request neither listens nor aims (those Sends
    // check every frame themselves); else does nothing.
    void Start(const SReplayRequest& request);
    // Waits for the count; false when none was started or it could not end
    // (the file could not be read, or Stop came first).
    bool Wait(uint64_t& uWrong);
    // Ends the count where it stands and waits for the thread.
    void Stop();

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_p;
};

} // namespace velmora
