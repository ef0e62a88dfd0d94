// The one reading of each number a Send takes, whoever gives it: the
// command's options, send-options.ini and the Send options window. Each table
// holds the rows of the copies it replaced, and the cases where they differed.

#include "session/SendOptions.h"
#include "session/SendWords.h"

#include <climits>
#include <gtest/gtest.h>

using namespace velmora;

namespace {

TEST(NumberParserTest, WholeNumbersReadAlikeEverywhere)
{
    struct Row {
        const char* sz;
        uint64_t uMax;
        bool bOk;
        uint64_t u = 0;
    };
    const Row rows[] = {
        { "0", 5, true, 0 },
        { "3", INT_MAX, true, 3 },
        { "2147483647", INT_MAX, true, 2147483647 },
        { "2147483648", INT_MAX, false }, // --loop's and Rounds' limit
        { "86400000", 86'400'000, true, 86400000 },
        { "86400001", 86'400'000, false }, // --loop-pause's and PauseMs' limit
        { "18446744073709551615", UINT64_MAX, true, UINT64_MAX },
        { "18446744073709551616", UINT64_MAX, false }, // past 64 bits
        { "99999999999999999999999", INT_MAX, false },
        // Leading zeros were taken by the command and the window alike.
        { "007", 10, true, 7 },
        { "00000000003", 3, true, 3 },
        // Nothing but digits.
        { "", 10, false },
        { "-1", 10, false },
        { "+1", 10, false },
        { " 1", 10, false },
        { "1 ", 10, false },
        { "1.5", 10, false },
        { "1.", 10, false },
        { "0x10", 100, false },
        { "x", 10, false },
        { "1e3", 10000, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sz);
        uint64_t u = 42;
        EXPECT_EQ(ParseWholeNumber(row.sz, row.uMax, u), row.bOk);
        EXPECT_EQ(u, row.bOk ? row.u : 42u); // a refusal leaves it alone
    }
}

TEST(NumberParserTest, DecimalsReadAlikeEverywhere)
{
    struct Row {
        const char* sz;
        bool bOk;
        double d = 0;
    };
    const std::string csHuge(400, '9');
    const Row rows[] = {
        { "2.5", true, 2.5 },
        { "0.001", true, 0.001 },
        { "1000", true, 1000 },
        { ".5", true, 0.5 },
        { "5.", true, 5 },
        { "0", true, 0 },
        { "007.50", true, 7.5 },
        { "-1", false },
        { "+1", false },
        { "1e3", false },
        { "inf", false },
        { "nan", false },
        { "0x1p3", false },
        { ".", false },
        { "1.2.3", false },
        { "", false },
        { " 1", false },
        { "1,5", false },
        // Too large for a double: no infinity slips through.
        { csHuge.c_str(), false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sz);
        double d = -7;
        EXPECT_EQ(ParsePaceNumber(row.sz, d), row.bOk);
        if (row.bOk)
            EXPECT_EQ(d, row.d);
    }
}

// --listen=SECONDS and [Listen] Wait= are one rule. The copies differed at
// the edges: the command took 86400.5 (past the stated day), the file refused
// six digits before the dot. The stated limit is kept, and leading zeros are
// taken.
TEST(WaitParserTest, TheCommandAndTheFileReadTheWaitAlike)
{
    struct Row {
        const char* sz;
        long long llMs; // -1: refused
    };
    const Row rows[] = {
        { "0", 0 },
        { "0.5", 500 },
        { "2", 2000 },
        { "2.5", 2500 },
        { "0.125", 125 },
        { "1.05", 1050 },
        { "86400", 86'400'000 },
        { "86399.999", 86'399'999 },
        { "003", 3000 },
        { "000003", 3000 },
        { "86400.001", -1 },
        { "86400.5", -1 },
        { "86401", -1 },
        { "99999999999999999999", -1 },
        { "1.2345", -1 },
        { "-1", -1 },
        { "", -1 },
        { "1.", -1 },
        { ".5", -1 },
        { "five", -1 },
        { "1.-5", -1 },
        { "1..5", -1 },
        { " 1", -1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sz);
        std::chrono::milliseconds wait(7);
        EXPECT_EQ(ParseWaitSeconds(row.sz, wait), row.llMs >= 0);
        EXPECT_EQ(wait.count(), row.llMs >= 0 ? row.llMs : 7);
    }
    // What the file writes reads back the same.
    for (long long llMs : { 0LL, 1LL, 10LL, 500LL, 3000LL, 86'400'000LL }) {
        std::chrono::milliseconds wait(0);
        EXPECT_TRUE(ParseWaitSeconds(FormatWaitSeconds(std::chrono::milliseconds(llMs)), wait));
        EXPECT_EQ(wait.count(), llMs);
    }
}

// --window, --apdu-timeout, --retries, --give-up and the file's Window,
// ApduTimeoutMs, Retries, GiveUp: one check. The file refused more than ten
// digits, the command took them; both take them now when the value is in its
// limits.
TEST(ConverseSettingTest, TheCommandTheFileAndTheWindowKeepOneLimit)
{
    using E = EConverseSetting;
    struct Row {
        E eSetting;
        const char* sz;
        bool bOk;
        int64_t llValue = 0;
    };
    const Row rows[] = {
        { E::Window, "1", true, 1 },
        { E::Window, "8", true, 8 },
        { E::Window, "16", true, 16 },
        { E::Window, "0", false },
        { E::Window, "17", false },
        { E::Window, "-1", false },
        { E::Window, "c.pcap", false },
        { E::Window, "00000000016", true, 16 },
        { E::ApduTimeout, "1", true, 1 },
        { E::ApduTimeout, "3600000", true, 3600000 },
        { E::ApduTimeout, "0", false },
        { E::ApduTimeout, "3600001", false },
        { E::ApduTimeout, "99999999999", false },
        { E::ApduTimeout, "1.5", false },
        { E::Retries, "0", true, 0 },
        { E::Retries, "3", true, 3 },
        { E::Retries, "4", false },
        { E::Retries, "two", false },
        { E::GiveUp, "0", true, 0 },
        { E::GiveUp, "1000000", true, 1000000 },
        { E::GiveUp, "1000001", false },
        { E::GiveUp, "-1", false },
        { E::GiveUp, "", false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(row.eSetting)) + " " + row.sz);
        SConverseOptions options;
        const SConverseOptions before = options;
        ASSERT_EQ(ParseConverseSetting(row.eSetting, row.sz, options), row.bOk);
        if (!row.bOk) {
            EXPECT_EQ(options, before);
            continue;
        }
        const int64_t llGot = row.eSetting == E::Window ? options.iWindow
            : row.eSetting == E::ApduTimeout            ? options.llApduTimeoutMs
            : row.eSetting == E::Retries                ? options.iRetries
                                                        : options.iGiveUp;
        EXPECT_EQ(llGot, row.llValue);
        // The window's field takes what the command takes.
        const SConverseLimit limit = ConverseLimit(row.eSetting);
        EXPECT_GE(row.llValue, limit.llMin);
        EXPECT_LE(row.llValue, limit.llMax);
    }
}

} // namespace
