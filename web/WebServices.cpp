#include "web/WebServices.h"

#include "log/Log.h"
#include "log/MessageBox.h"
#include "web/MakerSite.h"
#include "web/Product.h"
#include "web/RequestSequence.h"
#include "web/UrlOpener.h"
#include "web/WebTexts.h"

#include <cstdio>

namespace velmora {

bool g_bUpdatePromptShowing = false;

namespace {

    // Values go into the form as they are, like "%s" would put them: no encoding.
    std::string Field(const std::string& cs)
    {
        return std::string(cs.c_str());
    }

    bool Holds(const std::string& csText, const char* szKeyword)
    {
        return csText.find(szKeyword) != std::string::npos;
    }

    std::string CompileNotes()
    {
        char sz[64];
        std::snprintf(sz, sizeof sz, "Last Compile date: %s %s", kBuildDate, kBuildTime);
        return sz;
    }

} // namespace

int CWebServices::CheckVersion(std::string csAppName, std::string csAppVersion, std::string csNotes)
{
    const std::string csBody = "app_name=" + Field(csAppName) + "&app_ver=" + Field(csAppVersion)
        + "&Notes=" + Field(csNotes);
    const char* szBody = csBody.c_str();
    std::string csAnswer;
    if (!RunWebRequest(
            CheckVersionUrl(), csBody, [&] { DebugLog("FYI. CheckVersion %s", szBody); }, csAnswer,
            m_options))
        return -1;

    // The first keyword found decides, in this order, case and all.
    if (Holds(csAnswer, "PASS") || Holds(csAnswer, "Pass")) {
        DebugLog("FYI. CheckVersion [%s] PASS", szBody);
        return 0;
    }
    if (Holds(csAnswer, "UPDATE") || Holds(csAnswer, "Update")) {
        DebugLog("FYI. CheckVersion [%s] UPDATE", szBody);
        return 1;
    }
    if (Holds(csAnswer, "FAIL") || Holds(csAnswer, "Fail")) {
        DebugLog("FYI. CheckVersion [%s] FAIL", szBody);
        return -1;
    }
    DebugLog("Err. CheckVersion [%s] Unknown error", szBody);
    return -1;
}

int CWebServices::SendFeedback(
    std::string csProduct, std::string csProductVersion, std::string csMessage, std::string csNotes)
{
    const std::string csBody = "Product=" + Field(csProduct) + "&ProductV="
        + Field(csProductVersion) + "&Msg=" + Field(csMessage) + "&Notes=" + Field(csNotes);
    std::string csAnswer;
    if (!RunWebRequest(SendFeedbackUrl(), csBody, nullptr, csAnswer, m_options))
        return -1;
    if (Holds(csAnswer, "PASS") || Holds(csAnswer, "Pass")) {
        DebugLog("FYI. SendFeedback [%s] Feedback Sent", csBody.c_str());
        return 1;
    }
    DebugLog("Err. SendFeedback [%s] unknow error", csBody.c_str());
    return -1;
}

int CWebServices::Referral(std::string csName, std::string csVersion)
{
    DebugLog("FYI. Referral csName=[%s] csVersion=[%s]", csName.c_str(), csVersion.c_str());
    OpenUrl(SiteRootUrl() + "?ref=" + Field(csName) + "(" + Field(csVersion) + ")");
    return 1;
}

void RunManualVersionCheck(const WebRequestOptions& options)
{
    CWebServices ws(options);
    const int iResult = ws.CheckVersion(kProductName, VersionText(), "");
    if (iResult == 0) {
        MessageAndLogOk("%s", kNoUpdatesText);
    } else if (iResult >= 1) {
        if (MessageAndLog(MB_YESNO, "%s", kNewVersionQuestion) == IDYES)
            OpenUrl(InstallerUrl());
    } else {
        MessageAndLogOk("%s", kCouldNotConnectText);
    }
}

void RunAutomaticVersionCheck()
{
    CWebServices ws;
    const int iResult = ws.CheckVersion(kProductName, VersionText(), "");
    // A check that runs while the question is still open asks nothing.
    if (iResult < 1 || g_bUpdatePromptShowing)
        return;
    g_bUpdatePromptShowing = true;
    if (ShowMessageBox(kNewVersionQuestion, MB_YESNO) == IDYES)
        OpenUrl(InstallerUrl());
    g_bUpdatePromptShowing = false;
}

void SendFeedbackFromForm(const std::string& csComments)
{
    if (csComments.empty()) {
        MessageAndLogOk("%s", kNoMessageText);
        return;
    }
    if (csComments.size() > kMaxFeedbackMessage) {
        MessageAndLogOk("%s", kMessageTooLongText);
        return;
    }
    CWebServices ws;
    if (ws.SendFeedback(kProductName, VersionText(), csComments, CompileNotes()) < 0)
        MessageAndLogOk("%s", MessageNotSentText().c_str());
    else
        MessageAndLogOk("%s", kMessageSentText);
}

void OpenReferralFromBanner()
{
    CWebServices ws;
    ws.Referral(kProductName, VersionText());
}

} // namespace velmora
