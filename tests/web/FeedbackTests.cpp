#include "FormServer.h"
#include "RawServer.h"
#include "WebFixture.h"
#include "web/WebTexts.h"

#include <gtest/gtest.h>

using namespace velmora;

using vtest::CFormServer;
using vtest::kCompileNotes;
using vtest::kFeedbackPath;

namespace {

class Feedback : public vtest::WebTest {
protected:
    Feedback() { SetMakerHostForTesting(m_server.Host()); }
    std::string BodyFor(const std::string& csMessage) const
    {
        return "Product=Velmora&ProductV=1.00aB&Msg=" + csMessage + "&Notes=" + kCompileNotes;
    }
    CFormServer m_server;
};

} // namespace

TEST_F(Feedback, LengthRulesDecideWhatIsSent)
{
    m_server.Answer(kFeedbackPath, "PASS");
    const std::string cs1024(1024, 'm');
    for (const std::string& csMessage :
        { std::string(), std::string(1025, 'm'), cs1024, std::string(" "), std::string("\r\n") })
        SendFeedbackFromForm(csMessage);

    ASSERT_EQ(m_box.shown.size(), 5u);
    EXPECT_EQ(m_box.shown[0].csText, kNoMessageText);
    EXPECT_EQ(m_box.shown[1].csText, kMessageTooLongText);
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(m_box.shown[i].csText, kMessageSentText);
    const auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].csBody, BodyFor(cs1024));
    EXPECT_EQ(seen[1].csBody, BodyFor(" "));
    EXPECT_EQ(seen[2].csBody, BodyFor("\r\n"));
    EXPECT_EQ(seen[0].csPath, kFeedbackPath);
    EXPECT_EQ(LogTexts()[0], std::string("MessageAndLog iType=[0] msg=[") + kNoMessageText + "]");
}

TEST_F(Feedback, MessageGoesIntoTheBodyUnchanged)
{
    m_server.Answer(kFeedbackPath, "PASS");
    const std::string csMessage = "a&b=c%d 100%s\r\nline two+";
    SendFeedbackFromForm(csMessage);
    ASSERT_EQ(m_server.Seen().size(), 1u);
    EXPECT_EQ(m_server.Seen()[0].csBody,
        "Product=Velmora&ProductV=1.00aB&Msg=a&b=c%d 100%s\r\nline two+"
        "&Notes=Last Compile date: Aug  4 2006 10:32:33");
    const auto debug = DebugTexts();
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(debug[0], "FYI. SendFeedback [" + BodyFor(csMessage) + "] Feedback Sent");
}

TEST_F(Feedback, OnlyPassCountsAsSent)
{
    const std::string csNotSent = MessageNotSentText();
    EXPECT_EQ(csNotSent,
        "We were unable to send your message\nYou might not have a connection to the internet at "
        "this moment, \nPlease check your connection and try again.\nIf you are still unable to "
        "send "
        "your message please manually contact technical support (support@tarnsoftware.example)");
    m_server.Script(kFeedbackPath,
        { { "Pass" }, { "FAIL" }, { "UPDATE" }, { "<html>PASS</html>", 500 }, { "Error" } });
    for (int i = 0; i < 5; ++i)
        SendFeedbackFromForm("hello");

    ASSERT_EQ(m_box.shown.size(), 5u);
    EXPECT_EQ(m_box.shown[0].csText, kMessageSentText);
    EXPECT_EQ(m_box.shown[1].csText, csNotSent);
    EXPECT_EQ(m_box.shown[2].csText, csNotSent);
    EXPECT_EQ(m_box.shown[3].csText, kMessageSentText);
    EXPECT_EQ(m_box.shown[4].csText, csNotSent);

    // Each outcome leaves one record before its box; none is written before the request.
    const std::string csBody = BodyFor("hello");
    std::vector<std::string> outcomes;
    for (const std::string& cs : DebugTexts())
        if (cs.find("SendFeedback") != std::string::npos)
            outcomes.push_back(cs);
    const std::string csSent = "FYI. SendFeedback [" + csBody + "] Feedback Sent";
    const std::string csErr = "Err. SendFeedback [" + csBody + "] unknow error";
    EXPECT_EQ(outcomes, (std::vector<std::string> { csSent, csErr, csErr, csSent, csErr }));
    EXPECT_EQ(DebugTexts().front(), csSent);
}

TEST_F(Feedback, UnreachableServerShowsTheNotSentText)
{
    SetMakerHostForTesting("127.0.0.1:" + std::to_string(vtest::UnusedPort()));
    SendFeedbackFromForm("hello");
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, MessageNotSentText());
    EXPECT_FALSE(IsWebRequestBusy());
}

TEST_F(Feedback, OverLongBodyIsRefusedWithoutARecord)
{
    CWebServices ws;
    const std::string csMessage(2048, 'x');
    EXPECT_EQ(ws.SendFeedback("Velmora", "1.00aB", csMessage, kCompileNotes), -1);
    EXPECT_FALSE(IsWebRequestBusy());
    EXPECT_TRUE(m_server.Seen().empty());
    EXPECT_TRUE(DebugTexts().empty());
}

TEST_F(Feedback, ReferralOpensTheSiteRootWithTheReference)
{
    m_opener.bResult = false; // a browser that fails changes nothing
    OpenReferralFromBanner();
    CWebServices ws;
    EXPECT_EQ(ws.Referral("a b&c", "2%s"), 1);

    EXPECT_EQ(m_opener.opened,
        (std::vector<std::string> { "http://" + m_server.Host() + "/?ref=Velmora(1.00aB)",
            "http://" + m_server.Host() + "/?ref=a b&c(2%s)" }));
    EXPECT_EQ(DebugTexts(),
        (std::vector<std::string> { "FYI. Referral csName=[Velmora] csVersion=[1.00aB]",
            "FYI. Referral csName=[a b&c] csVersion=[2%s]" }));
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_TRUE(m_server.Seen().empty());
}
