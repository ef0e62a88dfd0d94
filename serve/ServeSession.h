#pragma once

// One serving run on a thread of its own, for a window: learns the capture,
// serves until stopped, and keeps what a window shows (the counts, the last
// requests) and what it saves (every request served, as TSV lines). Any
// thread may ask for a snapshot; Stop returns within about 20 ms.

#include "serve/ServeRun.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::serve {

struct SServeSnapshot {
    enum class EState { Idle, Learning, Serving, Stopped, Failed };
    EState eState = EState::Idle;
    std::string csAddress; // "10.0.0.2:47808" once serving
    std::vector<uint32_t> devices;
    std::string csLearned; // "2 devices learned from 26 records"
    std::string csError; // Failed: why
    SServeCounts counts;
    std::vector<std::string> last; // the latest requests served, TSV lines, oldest first
};

class CServeSession {
public:
    explicit CServeSession(size_t nLast = 200);
    ~CServeSession();
    CServeSession(const CServeSession&) = delete;
    CServeSession& operator=(const CServeSession&) = delete;

    // Starts learning csCapture and serving; false while a run is going on.
    bool Start(const std::string& csCapture, const SServeRequest& request);
    // Asks the run to end and waits for it.
    void Stop();
    bool Running() const;
    SServeSnapshot Snapshot() const;
    // Every request served so far: the header and one line each.
    std::string ServedTsv() const;

private:
    class CObserver;
    void Run(std::string csCapture, SServeRequest request);

    const size_t m_nLast;
    mutable std::mutex m_mutex; // guards the members below
    SServeSnapshot m_snapshot;
    std::deque<std::string> m_last;
    std::vector<std::string> m_all;
    std::atomic<bool> m_bStop { false };
    std::thread m_thread;
};

} // namespace velmora::serve
