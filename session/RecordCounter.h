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

} // namespace velmora
