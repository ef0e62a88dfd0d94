#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vtest {

// A one-connection-at-a-time server on 127.0.0.1 that shows the exact bytes of
// each request and answers with a script: whole answers, cuts, resets, silence.
class CRawServer {
public:
    // Runs for each connection after the request has been read (unless the
    // server was told not to read it). The connection is closed afterwards.
    using Script = std::function<void(CRawServer& server, int fd)>;

    explicit CRawServer(Script fnScript, bool bReadRequest = true);
    ~CRawServer();
    CRawServer(const CRawServer&) = delete;
    CRawServer& operator=(const CRawServer&) = delete;

    int Port() const { return m_iPort; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_iPort); }
    std::vector<std::string> Requests() const;
    int Connections() const { return m_iConnections.load(); }

    // Helpers for scripts.
    static void Send(int fd, const std::string& csBytes);
    static void Reset(int fd); // the close sends RST instead of FIN
    // Waits until the client closes, the server stops or the time is over.
    void WaitForClientClose(int fd, std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Sleeps, cut short when the server stops.
    void Pause(std::chrono::milliseconds ms);
    bool Stopping() const { return m_bStop.load(); }

    // An answer with a Content-Length.
    static std::string Answer(const std::string& csBody, const std::string& csStatus = "200 OK");

private:
    void Serve();
    std::string ReadRequest(int fd);

    Script m_fnScript;
    bool m_bReadRequest;
    int m_iPort = 0; // before m_fdListen, whose initialiser sets it
    int m_fdListen = -1;
    std::atomic<bool> m_bStop { false };
    std::atomic<int> m_iConnections { 0 };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// A port on 127.0.0.1 where nothing listens.
int UnusedPort();

} // namespace vtest
