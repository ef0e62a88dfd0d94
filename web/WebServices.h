#pragma once

#include "web/RequestSequence.h"

#include <string>

namespace velmora {

// Stateless but for how requests are made: callers make one on their stack
// for one call.
class CWebServices {
public:
    explicit CWebServices(WebRequestOptions options = {})
        : m_options(options)
    {
    }

    // 0 PASS, 1 UPDATE, -1 FAIL, no answer, no keyword or body too long.
    int CheckVersion(std::string csAppName, std::string csAppVersion, std::string csNotes);
    // 1 when the answer holds PASS or Pass, else -1.
    int SendFeedback(std::string csProduct, std::string csProductVersion, std::string csMessage,
        std::string csNotes);
    // Opens the site root with "?ref=name(version)"; always 1.
    int Referral(std::string csName, std::string csVersion);

private:
    WebRequestOptions m_options;
};

// The main window's "Check for updates": reports every outcome.
void RunManualVersionCheck(const WebRequestOptions& options = {});

// One automatic check (timer 1 with the check box set): speaks only when an
// update is available and no such question is already showing.
void RunAutomaticVersionCheck();

// Set while the automatic check's question is on screen.
extern bool g_bUpdatePromptShowing;

// The About window's Send: the length rules, the request and the four texts.
void SendFeedbackFromForm(const std::string& csComments);

// The banners of both windows.
void OpenReferralFromBanner();

} // namespace velmora
