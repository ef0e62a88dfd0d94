#include "FormServer.h"

#include <chrono>
#include <httplib.h>
#include <stdexcept>

namespace vtest {

CFormServer::CFormServer()
    : m_pServer(std::make_unique<httplib::Server>())
{
    auto fnHandle = [this](const httplib::Request& req, httplib::Response& res) {
        const int iNow = ++m_iAtOnce;
        for (int i = m_iMostAtOnce.load();
             iNow > i && !m_iMostAtOnce.compare_exchange_weak(i, iNow);)
            ;
        SAnswer answer { "", 404, 0 };
        {
            std::lock_guard lock(m_mutex);
            m_seen.push_back({ req.path, req.body, req.get_header_value("User-Agent"),
                req.get_header_value("Content-Type"), req.has_header("Expect") });
            auto it = m_script.find(req.path);
            if (it != m_script.end() && !it->second.empty()) {
                answer = it->second.front();
                if (it->second.size() > 1)
                    it->second.erase(it->second.begin());
            }
        }
        const auto end
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.iDelayMs);
        while (!m_bStop && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        res.status = answer.iStatus;
        res.set_content(answer.csText, "text/html");
        --m_iAtOnce;
    };
    m_pServer->Post("/.*", fnHandle);
    m_iPort = m_pServer->bind_to_any_port("127.0.0.1");
    if (m_iPort <= 0)
        throw std::runtime_error("httplib could not bind");
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
    // stop() is ignored until the server runs; don't hand it out before.
    while (!m_pServer->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

CFormServer::~CFormServer()
{
    m_bStop = true;
    m_pServer->stop();
    m_thread.join();
}

void CFormServer::Script(const std::string& csPath, std::vector<SAnswer> answers)
{
    std::lock_guard lock(m_mutex);
    m_script[csPath] = std::move(answers);
}

std::vector<CFormServer::SSeen> CFormServer::Seen() const
{
    std::lock_guard lock(m_mutex);
    return m_seen;
}

} // namespace vtest
