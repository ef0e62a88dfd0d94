#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace vtest {

// An ordinary HTTP server (cpp-httplib) on 127.0.0.1 standing in for the
// maker's two scripts: it answers posts from a script and keeps what it saw.
class CFormServer {
public:
    struct SAnswer {
        std::string csText;
        int iStatus = 200;
        int iDelayMs = 0;
    };
    struct SSeen {
        std::string csPath;
        std::string csBody;
        std::string csUserAgent;
        std::string csContentType;
        bool bExpect = false;
    };

    CFormServer();
    ~CFormServer();
    CFormServer(const CFormServer&) = delete;
    CFormServer& operator=(const CFormServer&) = delete;

    std::string Host() const { return "127.0.0.1:" + std::to_string(m_iPort); }
    // Answers for a path, in order; the last one repeats. Unscripted paths get 404.
    void Script(const std::string& csPath, std::vector<SAnswer> answers);
    void Answer(const std::string& csPath, const std::string& csText)
    {
        Script(csPath, std::vector<SAnswer> { SAnswer { csText } });
    }
    std::vector<SSeen> Seen() const;
    // The most requests that were being answered at the same moment.
    int MostAtOnce() const { return m_iMostAtOnce.load(); }

private:
    std::unique_ptr<httplib::Server> m_pServer;
    int m_iPort = 0;
    mutable std::mutex m_mutex;
    std::map<std::string, std::vector<SAnswer>> m_script;
    std::vector<SSeen> m_seen;
    std::atomic<int> m_iAtOnce { 0 };
    std::atomic<int> m_iMostAtOnce { 0 };
    std::atomic<bool> m_bStop { false };
    std::thread m_thread;
};

inline constexpr const char* kCheckPath = "/script/checkversion.php";
inline constexpr const char* kFeedbackPath = "/script/sendfeedback.php";

} // namespace vtest
