#include "TestSupport.h"
#include "log/Log.h"
#include "log/MessageBox.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sys/stat.h>

using namespace velmora;

namespace fs = std::filesystem;
using vtest::LogRecords;
using vtest::ReadFile;
using vtest::RecordText;

namespace {

// Each test gets its own folder, fresh paths and the debug flag on.
class LogTest : public ::testing::Test, protected vtest::CSandbox {
protected:
    LogTest()
    {
        ResetLogFile();
        ResetDebugLogFile();
    }
    std::string Log() const { return m_dir.File("log.txt"); }
    std::string Debug() const { return m_dir.File("Debuglog.txt"); }
};

std::string Today()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    char sz[32];
    std::strftime(sz, sizeof sz, "%d-%m-%Y", &tm);
    return sz;
}

TEST_F(LogTest, OkBoxLeavesTwoRecordsInTheExactFormat)
{
    const std::string csDay = Today();
    EXPECT_EQ(MessageAndLogOk("No updates available "), IDOK);

    const std::string cs = ReadFile(Log());
    const std::regex re("\n\\[(\\d\\d-\\d\\d-\\d{4}) \\d\\d:\\d\\d:\\d\\d\\] "
                        "MessageAndLog iType=\\[0\\] msg=\\[No updates available \\]"
                        "\n\\[\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d\\] "
                        "MessageAndLog return = \\[ 1\\]");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(cs, m, re)) << cs;
    // Day before month, four-digit year (the run might just cross midnight).
    EXPECT_TRUE(m[1] == csDay || m[1] == Today()) << m[1];

    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, "No updates available ");
    EXPECT_EQ(m_box.shown[0].iType, MB_OK);
}

TEST_F(LogTest, DebugLogMirrorsMessageRecordsInOrder)
{
    DebugLog("before");
    m_box.answers.push_back(IDNO);
    EXPECT_EQ(MessageAndLog(MB_YESNO, "Question %d?", 4), IDNO);
    DebugLog("after");

    std::vector<std::string> texts;
    for (const auto& r : LogRecords(Debug()))
        texts.push_back(RecordText(r));
    const std::vector<std::string> expected = { "before",
        "MessageAndLog iType=[4] msg=[Question 4?]", "MessageAndLog return = [ 7]", "after" };
    EXPECT_EQ(texts, expected);

    const auto msg = LogRecords(Log());
    ASSERT_EQ(msg.size(), 2u);
    EXPECT_EQ(RecordText(msg[1]), "MessageAndLog return = [ 7]");
    // The file never ends with a line break.
    EXPECT_NE(ReadFile(Log()).back(), '\n');
}

TEST_F(LogTest, DebugFlagOffLeavesDebugLogExistingAndEmpty)
{
    g_bDebug = false;
    DebugLog("Program starting up");
    MessageAndLogOk("hello");
    ASSERT_TRUE(fs::exists(Debug()));
    EXPECT_EQ(fs::file_size(Debug()), 0u);
    EXPECT_EQ(LogRecords(Log()).size(), 2u);
}

TEST_F(LogTest, ResetEmptiesBothFilesWhateverTheFlag)
{
    DebugLog("old");
    MessageAndLogOk("old");
    g_bDebug = false;
    ResetLogFile();
    ResetDebugLogFile();
    EXPECT_EQ(fs::file_size(Log()), 0u);
    EXPECT_EQ(fs::file_size(Debug()), 0u);
}

TEST_F(LogTest, PercentSignsAreWrittenLiterally)
{
    const char* szPath = "/data/100%s done%d.pcap";
    MessageAndLogOk("File %s", szPath);
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, std::string("File ") + szPath);
    const std::string csExpected = std::string("MessageAndLog iType=[0] msg=[File ") + szPath + "]";
    EXPECT_EQ(RecordText(LogRecords(Log()).at(0)), csExpected);
    EXPECT_EQ(RecordText(LogRecords(Debug()).at(0)), csExpected);
}

TEST_F(LogTest, LongTextIsCutForTheBoxAndTheMirrorOnly)
{
    const std::string csLong(5000, 'x');
    LogMessage("%s", csLong.c_str());
    EXPECT_EQ(RecordText(LogRecords(Log()).at(0)), csLong);
    EXPECT_EQ(RecordText(LogRecords(Debug()).at(0)), csLong.substr(0, 4095));

    ResetLogFile();
    MessageAndLogOk("%s", csLong.c_str());
    EXPECT_EQ(m_box.shown.at(0).csText, csLong.substr(0, 4095));
    // The message log keeps the whole record built around the cut text.
    EXPECT_EQ(RecordText(LogRecords(Log()).at(0)),
        "MessageAndLog iType=[0] msg=[" + csLong.substr(0, 4095) + "]");
    // Direct debug records are not cut.
    DebugLog("%s", csLong.c_str());
    EXPECT_EQ(RecordText(LogRecords(Debug()).back()), csLong);
}

TEST_F(LogTest, UnopenableLogsDoNotStopTheBox)
{
    fs::remove(Log());
    fs::remove(Debug());
    fs::create_directory(Log());
    fs::create_directory(Debug());
    m_box.answers.push_back(IDYES);
    EXPECT_EQ(MessageAndLog(MB_YESNO, "Proceed?"), IDYES);
    EXPECT_EQ(m_box.shown.size(), 1u);
    EXPECT_TRUE(fs::is_directory(Log()));
}

TEST_F(LogTest, FifoInPlaceOfALogDoesNotBlock)
{
    fs::remove(Log());
    ASSERT_EQ(mkfifo(Log().c_str(), 0600), 0);
    EXPECT_EQ(MessageAndLogOk("still here"), IDOK);
    ResetLogFile();
    EXPECT_TRUE(fs::is_fifo(Log()));
}

TEST_F(LogTest, PathsStayWhereTheyWereComposed)
{
    vtest::CTempDir other;
    vtest::CScopedCwd cwd(other.Path());
    DebugLog("moved?");
    MessageAndLogOk("moved?");
    EXPECT_FALSE(fs::exists(other.File("log.txt")));
    EXPECT_FALSE(fs::exists(other.File("Debuglog.txt")));
    EXPECT_EQ(LogRecords(Log()).size(), 2u);
    EXPECT_EQ(MessageLogPath(), Log());
}

TEST_F(LogTest, HeldDebugLogWritesEveryRecordAtOnce)
{
    {
        CDebugLogHold hold;
        for (int i = 0; i < 3; ++i) {
            DebugLog("[%03ld]  %ld:%ld (%ld)", long(i), 10L, 20L, 60L);
            // Each record is in the file before the next one is made.
            EXPECT_EQ(LogRecords(Debug()).size(), size_t(i) + 1);
        }
        MessageAndLogOk("done");
    }
    const auto records = LogRecords(Debug());
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(RecordText(records[0]), "[000]  10:20 (60)");
    EXPECT_EQ(RecordText(records[3]), "MessageAndLog iType=[0] msg=[done]");
}

TEST_F(LogTest, BatchedRecordsReachTheFileTogetherInTheirOrder)
{
    struct Row {
        bool bHeld;
        bool bDebug;
    };
    for (const Row& row : { Row { true, true }, Row { false, true }, Row { true, false } }) {
        ResetDebugLogFile();
        g_bDebug = row.bDebug;
        std::optional<CDebugLogHold> hold;
        if (row.bHeld)
            hold.emplace();
        {
            CDebugLogBatch batch;
            batch.Add("one 1");
            batch.Add("two");
            EXPECT_TRUE(LogRecords(Debug()).empty()) << "written before the batch ended";
            // Anybody else's record is not held back by the batch.
            DebugLog("outside %d", 1);
            EXPECT_EQ(LogRecords(Debug()).size(), row.bDebug ? 1u : 0u);
            batch.Flush();
            const size_t nWant = row.bDebug ? 3 : 0;
            EXPECT_EQ(LogRecords(Debug()).size(), nWant);
            batch.Flush(); // nothing new: nothing written twice
            EXPECT_EQ(LogRecords(Debug()).size(), nWant);
            batch.Add("three");
        }
        // The end of the batch writes what is left; later records go straight out.
        DebugLog("four");
        std::vector<std::string> texts;
        for (const auto& record : LogRecords(Debug()))
            texts.push_back(RecordText(record));
        EXPECT_EQ(texts,
            row.bDebug ? std::vector<std::string>({ "outside 1", "one 1", "two", "three", "four" })
                       : std::vector<std::string>())
            << row.bHeld;
    }
    g_bDebug = true;
}

} // namespace
