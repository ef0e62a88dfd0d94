#pragma once

#include "TestSupport.h"
#include "log/Log.h"
#include "web/HttpRetriever.h"
#include "web/MakerSite.h"
#include "web/RequestSequence.h"
#include "web/WebServices.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vtest {

inline const std::string kCheckBody = "app_name=Velmora&app_ver=1.00aB&Notes=";
inline const std::string kCompileNotes = "Last Compile date: Aug  4 2006 10:32:33";

// Own folder with fresh logs, the debug flag on, recording box and opener, and
// the defaults back afterwards.
class WebTest : public ::testing::Test, protected CSandbox {
protected:
    WebTest()
    {
        ResetLogFile();
        ResetDebugLogFile();
        g_bUpdatePromptShowing = false;
    }
    ~WebTest() override { SetMakerHostForTesting(""); }

    std::vector<std::string> LogTexts() const { return MessageTexts(); }
};

// Sets environment variables for its lifetime.
class CScopedEnv {
public:
    void Set(const char* szName, const std::string& csValue)
    {
        Remember(szName);
        setenv(szName, csValue.c_str(), 1);
    }
    void Unset(const char* szName)
    {
        Remember(szName);
        unsetenv(szName);
    }
    ~CScopedEnv()
    {
        for (auto it = m_old.rbegin(); it != m_old.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

private:
    void Remember(const char* szName)
    {
        const char* sz = getenv(szName);
        m_old.emplace_back(szName, sz ? std::optional<std::string>(sz) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_old;
};

// Every proxy variable that libcurl reads points at csProxy.
inline void PointProxiesAt(CScopedEnv& env, const std::string& csProxy)
{
    for (const char* sz : { "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY" })
        env.Set(sz, csProxy);
    env.Unset("no_proxy");
    env.Unset("NO_PROXY");
}

} // namespace vtest
