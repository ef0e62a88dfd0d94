#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vtest {

// A program run in a folder of the test's choosing (inside a network namespace
// when one is named), standard input empty, its two outputs kept in files.
// Killed at destruction if still running.
class CChild {
public:
    CChild(const std::vector<std::string>& args, const std::string& csCwd,
        const std::string& csNetns = std::string());
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int iSignal);
    // The exit status, or 128 plus the signal that ended it; -1 when it did
    // not end in time (it is left running).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    std::string Out() const;
    std::string Err() const;

private:
    pid_t m_pid = -1;
    std::string m_csOut;
    std::string m_csErr;
};

} // namespace vtest
