#include "TestSupport.h"
#include "log/Log.h"
#include "session/Session.h"

#include <gtest/gtest.h>
#include <optional>

using namespace velmora;

namespace {

class SessionTest : public ::testing::Test, protected vtest::CSandbox {
protected:
    std::string DebugText() const { return vtest::ReadFile(m_dir.File("Debuglog.txt")); }
};

TEST_F(SessionTest, StartUpDecidesTheDebugFlag)
{
    struct Row {
        const char* szCase;
        const char* szSettings; // nullptr: no settings.ini
        std::optional<bool> debug;
        bool bDebugAfter;
    };
    const Row rows[] = {
        { "no settings.ini", nullptr, std::nullopt, true },
        { "settings say off", "[Velmora]\r\nDebug=0\r\n", std::nullopt, false },
        { "settings say on", "[Velmora]\r\nDebug=1\r\n", std::nullopt, true },
        { "caller says on over the settings", "[Velmora]\r\nDebug=0\r\n", true, true },
        { "caller says off without settings", nullptr, false, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        std::filesystem::remove(m_dir.File("settings.ini"));
        if (row.szSettings)
            vtest::WriteFile(m_dir.File("settings.ini"), row.szSettings);
        vtest::WriteFile(m_dir.File("Debuglog.txt"), "left over\n");
        g_bDebug = !row.bDebugAfter;
        CSession session;
        session.StartUp(row.debug);
        EXPECT_EQ(g_bDebug, row.bDebugAfter);
        EXPECT_EQ(session.InstallDir(), m_dir.Path().string());
        // The old log is gone; the start-up records are there only with the flag.
        const std::string cs = DebugText();
        EXPECT_EQ(cs.find("left over"), std::string::npos);
        EXPECT_EQ(cs.find("Program starting up") != std::string::npos, row.bDebugAfter);
        EXPECT_EQ(cs.find("Install directory=[" + m_dir.Path().string() + "]") != std::string::npos,
            row.bDebugAfter);
    }
}

TEST_F(SessionTest, SaveKeepsTheLastStorablePath)
{
    vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nOldPath=/a.pcap\r\nMode=0\r\n");
    CSession session;
    session.StartUp();
    EXPECT_EQ(session.CapturePath(), "/a.pcap");
    struct Row {
        const char* szCase;
        std::string csPath;
        const char* szStored;
        int iLineFeedRecords; // so far
    };
    const Row rows[] = {
        { "plain path", "/b.pcap", "OldPath=/b.pcap\r\n", 0 },
        { "line feed: the last one stays", "/c\n.pcap", "OldPath=/b.pcap\r\n", 1 },
        { "the same again is reported once", "/c\n.pcap", "OldPath=/b.pcap\r\n", 1 },
        { "storable again", "/d.pcap", "OldPath=/d.pcap\r\n", 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        session.CapturePath() = row.csPath;
        EXPECT_TRUE(session.Save());
        const std::string csIni = vtest::ReadFile(m_dir.File("settings.ini"));
        EXPECT_NE(csIni.find(row.szStored), std::string::npos) << csIni;
        EXPECT_NE(csIni.find("Mode=0\r\n"), std::string::npos);
        int iRecords = 0;
        for (const std::string& cs : DebugTexts())
            iRecords += cs.find("holds a line feed") != std::string::npos;
        EXPECT_EQ(iRecords, row.iLineFeedRecords);
    }
}

} // namespace
