#include "cli/Options.h"
#include "session/SendWords.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

using EAction = SCliOptions::EAction;

TEST(OptionsTest, RecordLists)
{
    struct Row {
        const char* szList;
        CRecordSelection expected; // empty: refused
        const char* szError = "";
    };
    const Row rows[] = {
        { "0,3,10-12", { 0, 3, 10, 11, 12 } },
        { "7,1,7,2-3", { 1, 2, 3, 7 } }, // file order, each once
        { "5-5", { 5 } },
        { "9999999999", { 9999999999ULL } },
        { "", {}, "needs a list" },
        { "1,", {}, "'' is no record number" },
        { ",1", {}, "'' is no record number" },
        { "3-1", {}, "runs backwards" },
        { "a", {}, "'a'" },
        { "-1", {}, "'-1'" },
        { "+1", {}, "'+1'" },
        { "1-", {}, "'1-'" },
        { "1--2", {}, "'1--2'" },
        { " 1", {}, "' 1'" },
        { "0x10", {}, "'0x10'" },
        { "18446744073709551616", {}, "no record number" },
        { "0-10000000", {}, "more than 10000000" },
        { "0-5000000,6000000-11000000", {}, "more than 10000000" },
        { "0-18446744073709551615", {}, "more than 10000000" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szList);
        CRecordSelection selection;
        std::string csError;
        const bool bOk = ParseRecordList(row.szList, selection, csError);
        EXPECT_EQ(bOk, !row.expected.empty());
        if (bOk)
            EXPECT_EQ(selection, row.expected);
        else
            EXPECT_NE(csError.find(row.szError), std::string::npos) << csError;
    }
}

TEST(OptionsTest, CommandLines)
{
    struct Row {
        std::vector<const char*> args;
        const char* szError; // nullptr: accepted
        EAction eAction = EAction::Send;
        int iMode = 1;
        int iOffset = 0;
        std::optional<CRecordSelection> records = std::nullopt;
        std::optional<std::string> adapter = std::nullopt;
        std::optional<bool> debug = std::nullopt;
        bool bQuiet = false;
        const char* szCapture = "c.pcap";
    };
    const Row rows[] = {
        { { "c.pcap" }, nullptr },
        { { "--all", "c.pcap" }, nullptr },
        { { "c.pcap", "--offset", "7" }, nullptr, EAction::Send, 0, 7 },
        { { "--offset=0", "c.pcap" }, nullptr, EAction::Send, 0, 0 },
        { { "--records", "3,1", "c.pcap" }, nullptr, EAction::Send, 1, 0,
            CRecordSelection { 1, 3 } },
        { { "--records=2-3", "c.pcap" }, nullptr, EAction::Send, 1, 0, CRecordSelection { 2, 3 } },
        { { "-i", "vm0", "c.pcap" }, nullptr, EAction::Send, 1, 0, std::nullopt, "vm0" },
        { { "-ivm0", "c.pcap" }, nullptr, EAction::Send, 1, 0, std::nullopt, "vm0" },
        { { "--adapter=eth 1", "c.pcap" }, nullptr, EAction::Send, 1, 0, std::nullopt, "eth 1" },
        { { "--debug", "--no-debug", "c.pcap" }, nullptr, EAction::Send, 1, 0, std::nullopt,
            std::nullopt, false },
        { { "--no-debug", "--debug", "-q", "c.pcap" }, nullptr, EAction::Send, 1, 0, std::nullopt,
            std::nullopt, true, true },
        // After "--" a name that starts with a dash is the capture.
        { { "--", "-c.pcap" }, nullptr, EAction::Send, 1, 0, std::nullopt, std::nullopt,
            std::nullopt, false, "-c.pcap" },
        { { "--decode", "--records", "4", "c.pcap" }, nullptr, EAction::Decode, 1, 0,
            CRecordSelection { 4 } },
        { { "--list-adapters" }, nullptr, EAction::ListAdapters, 1, 0, std::nullopt, std::nullopt,
            std::nullopt, false, "" },
        { { "--help", "--bogus-later-is-still-help" }, "unknown option" },
        { { "--version" }, nullptr, EAction::Version, 1, 0, std::nullopt, std::nullopt,
            std::nullopt, false, "" },
        { {}, "no capture file given" },
        { { "a.pcap", "b.pcap" }, "one capture file only" },
        { { "--bogus", "c.pcap" }, "unknown option --bogus" },
        { { "-x", "c.pcap" }, "unknown option -x" },
        { { "c.pcap", "-i" }, "-i needs a value" },
        { { "-i", "", "c.pcap" }, "needs an adapter name" },
        { { "--offset", "-1", "c.pcap" }, "'-1' is no record number" },
        { { "--offset", "2147483647", "c.pcap" }, "is no record number" },
        { { "--offset", "1x", "c.pcap" }, "'1x'" },
        { { "--offset", "1", "--records", "2", "c.pcap" }, "--offset and --records" },
        { { "--all", "--offset", "1", "c.pcap" }, "--all and --offset" },
        { { "--records", "2,", "c.pcap" }, "--records" },
        { { "--all=1", "c.pcap" }, "--all takes no value" },
        { { "--list-adapters", "c.pcap" }, "takes no capture" },
        { { "--list-adapters", "--decode", "c.pcap" }, "cannot go together" },
    };
    for (const Row& row : rows) {
        std::vector<const char*> argv { "velmora-replay" };
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        std::string csTrace;
        for (const char* sz : row.args)
            csTrace += std::string(sz) + " ";
        SCOPED_TRACE(csTrace);
        SCliOptions options;
        std::string csError;
        const bool bOk
            = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, csError);
        if (row.szError) {
            EXPECT_FALSE(bOk);
            EXPECT_NE(csError.find(row.szError), std::string::npos) << csError;
            continue;
        }
        ASSERT_TRUE(bOk) << csError;
        EXPECT_EQ(options.eAction, row.eAction);
        EXPECT_EQ(options.iMode, row.iMode);
        EXPECT_EQ(options.iOffset, row.iOffset);
        EXPECT_EQ(options.records, row.records);
        EXPECT_EQ(options.adapter, row.adapter);
        EXPECT_EQ(options.debug, row.debug);
        EXPECT_EQ(options.bQuiet, row.bQuiet);
        EXPECT_EQ(options.csCapture, row.szCapture);
        // Without the aim's options nothing is aimed.
        EXPECT_TRUE(options.aim.IsDefault());
        EXPECT_FALSE(options.bAimed);
    }
}

TEST(OptionsTest, AimOptions)
{
    struct Row {
        std::vector<const char*> args;
        const char* szError; // nullptr: accepted
        const char* szSummary = ""; // AimSummary of what was parsed
        bool bAimed = false;
    };
    const Row rows[] = {
        { { "--dst-mac", "02:00:00:00:00:2a", "c.pcap" }, nullptr, "Aimed at 02:00:00:00:00:2a" },
        { { "--dst-mac=02-00-00-00-00-2A", "--aim-broadcasts", "c.pcap" }, nullptr,
            "Aimed at 02:00:00:00:00:2a, broadcasts too" },
        { { "--dst-ip", "192.168.1.20:47809", "--src-mac", "adapter", "c.pcap" }, nullptr,
            "Aimed at 192.168.1.20:47809, from the adapter's MAC" },
        { { "--src-ip", "adapter:47810", "c.pcap" }, nullptr,
            "Aimed from the adapter's IPv4 address:47810" },
        { { "--src-ip=192.168.1.5", "--src-mac=02:aa:bb:cc:dd:ee", "c.pcap" }, nullptr,
            "Aimed from 02:aa:bb:cc:dd:ee and 192.168.1.5" },
        { { "--decode", "--aimed", "--dst-ip", "10.0.0.9", "c.pcap" }, nullptr, "Aimed at 10.0.0.9",
            true },
        { { "--decode", "--aimed", "c.pcap" }, nullptr, "", true },
        { { "--dst-mac", "02:00:00:00:00", "c.pcap" },
            "--dst-mac: '02:00:00:00:00' is no MAC address such as 02:00:00:00:00:2a" },
        { { "--src-mac", "ff:ff:ff:ff:ff:ff", "c.pcap" },
            "--src-mac: 'ff:ff:ff:ff:ff:ff' is neither 'adapter' nor a unicast MAC address" },
        { { "--dst-ip", "10.0.0.256", "c.pcap" }, "--dst-ip: '10.0.0.256' is no IPv4 address" },
        { { "--dst-ip", "10.0.0.9:70000", "c.pcap" }, "--dst-ip: '10.0.0.9:70000'" },
        { { "--src-ip", "eth0", "c.pcap" }, "--src-ip: 'eth0' is neither 'adapter[:PORT]'" },
        { { "c.pcap", "--dst-mac" }, "--dst-mac needs a value" },
        { { "--aim-broadcasts", "c.pcap" }, "--aim-broadcasts needs --dst-mac or --dst-ip" },
        { { "--aimed", "c.pcap" }, "--aimed goes with --decode" },
    };
    for (const Row& row : rows) {
        std::vector<const char*> argv { "velmora-replay" };
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        std::string csTrace;
        for (const char* sz : row.args)
            csTrace += std::string(sz) + " ";
        SCOPED_TRACE(csTrace);
        SCliOptions options;
        std::string csError;
        const bool bOk
            = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, csError);
        if (row.szError) {
            EXPECT_FALSE(bOk);
            EXPECT_NE(csError.find(row.szError), std::string::npos) << csError;
            continue;
        }
        ASSERT_TRUE(bOk) << csError;
        EXPECT_EQ(AimSummary(options.aim), row.szSummary);
        EXPECT_EQ(options.bAimed, row.bAimed);
    }
}

TEST(OptionsTest, TimingOptions)
{
    struct Row {
        std::vector<const char*> args;
        const char* szError; // nullptr: accepted
        EPace ePace = EPace::BackToBack;
        double dValue = 0; // the multiplier or the rate
        int64_t llLoops = 1;
        int64_t llPauseMs = 0;
        double dDuration = 0;
    };
    const Row rows[] = {
        { {}, nullptr },
        { { "--multiplier", "2.5" }, nullptr, EPace::Captured, 2.5 },
        { { "--multiplier=0.001" }, nullptr, EPace::Captured, 0.001 },
        { { "--multiplier", "1000" }, nullptr, EPace::Captured, 1000 },
        { { "--pps", "100000" }, nullptr, EPace::PacketsPerSecond, 100000 },
        { { "--mbps=.5" }, nullptr, EPace::MegabitsPerSecond, 0.5 },
        { { "--loop", "3", "--loop-pause", "250" }, nullptr, EPace::BackToBack, 0, 3, 250 },
        // The documented maximum, a day.
        { { "--loop", "2", "--loop-pause", "86400000" }, nullptr, EPace::BackToBack, 0, 2,
            86400000 },
        { { "--loop=0", "--duration", "1.5" }, nullptr, EPace::BackToBack, 0, 0, 0, 1.5 },
        { { "--multiplier", "0.0009" }, "--multiplier: the multiplier must be from 0.001" },
        { { "--multiplier", "1001" }, "from 0.001 to 1000" },
        { { "--multiplier", "-1" }, "'-1' is no number" },
        { { "--multiplier", "1e3" }, "'1e3' is no number" },
        { { "--multiplier", "inf" }, "'inf' is no number" },
        { { "--multiplier", "." }, "'.' is no number" },
        { { "--multiplier", "1.2.3" }, "'1.2.3' is no number" },
        { { "--multiplier", "" }, "'' is no number" },
        { { "--multiplier" }, "--multiplier: 'c.pcap' is no number" }, // takes the next word
        { { "--pps", "0" }, "--pps: the rate must be" },
        { { "--mbps", "2000000" }, "--mbps: the rate must be" },
        { { "--pps", "10", "--mbps", "1" }, "one of --multiplier, --pps and --mbps only" },
        { { "--multiplier", "2", "--pps", "1" }, "one of --multiplier" },
        { { "--loop", "-1" }, "--loop: '-1' is no count" },
        { { "--loop", "2147483648" }, "--loop: '2147483648'" },
        { { "--loop", "1.5" }, "--loop: '1.5'" },
        { { "--loop-pause", "86400001" }, "--loop-pause: '86400001'" },
        { { "--loop-pause", "x" }, "--loop-pause: 'x'" },
        { { "--duration", "0" }, "--duration: the duration must be above 0 s" },
        { { "--duration", "31536001" }, "--duration: the duration must be from 0 to 31536000" },
        { { "--duration", "-2" }, "--duration: '-2' is no number" },
    };
    for (const Row& row : rows) {
        std::vector<const char*> argv { "velmora-replay" };
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        argv.push_back("c.pcap");
        std::string csTrace;
        for (const char* sz : row.args)
            csTrace += std::string(sz) + " ";
        SCOPED_TRACE(csTrace);
        SCliOptions options;
        std::string csError;
        const bool bOk
            = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, csError);
        if (row.szError) {
            EXPECT_FALSE(bOk);
            EXPECT_NE(csError.find(row.szError), std::string::npos) << csError;
            continue;
        }
        ASSERT_TRUE(bOk) << csError;
        EXPECT_EQ(options.pace.ePace, row.ePace);
        if (row.ePace == EPace::Captured) {
            EXPECT_EQ(options.pace.dMultiplier, row.dValue);
        } else if (row.ePace != EPace::BackToBack) {
            EXPECT_EQ(options.pace.dRate, row.dValue);
        }
        EXPECT_EQ(options.pace.llLoops, row.llLoops);
        EXPECT_EQ(options.pace.llLoopPauseMs, row.llPauseMs);
        EXPECT_EQ(options.pace.dDurationSeconds, row.dDuration);
        EXPECT_EQ(options.csCapture, "c.pcap");
    }
}

} // namespace

TEST(OptionsTest, ListeningOptions)
{
    struct Row {
        std::vector<const char*> args;
        const char* szError; // nullptr: accepted
        bool bListen = false;
        long long llWaitMs = 3000;
        bool bExpect = false;
        bool bRequestsOnly = false;
        bool bConverse = true;
        SConverseOptions converse = {};
        bool bKeepChecksums = false;
        EAnswerCompare eCompare = EAnswerCompare::Values;
        std::string csVolatile = {};
    };
    const SConverseOptions d;
    auto C = [&](int iWindow, int64_t llTimeoutMs, int iRetries, int iGiveUp) {
        return SConverseOptions { iWindow, llTimeoutMs, iRetries, iGiveUp };
    };
    const Row rows[] = {
        { { "--listen", "c.pcap" }, nullptr, true },
        { { "--listen=0.5", "c.pcap" }, nullptr, true, 500 },
        { { "--listen=2", "c.pcap" }, nullptr, true, 2000 },
        { { "--listen=0.125", "c.pcap" }, nullptr, true, 125 },
        { { "--listen=0", "c.pcap" }, nullptr, true, 0 },
        { { "--listen=1.2345", "c.pcap" }, "no number of seconds" },
        { { "--listen=-1", "c.pcap" }, "no number of seconds" },
        { { "--listen=", "c.pcap" }, "no number of seconds" },
        { { "--listen=1.", "c.pcap" }, "no number of seconds" },
        { { "--listen=86401", "c.pcap" }, "no number of seconds" },
        // The window's and the file's limit, a day, holds for the command too.
        { { "--listen=86400.5", "c.pcap" }, "no number of seconds" },
        { { "--listen=86400", "c.pcap" }, nullptr, true, 86'400'000 },
        { { "--listen=007.25", "c.pcap" }, nullptr, true, 7250 },
        // The seconds go with '=': a separate word is the capture.
        { { "--listen", "5", "c.pcap" }, "one capture file only" },
        { { "--listen", "--expect", "captured", "c.pcap" }, nullptr, true, 3000, true },
        { { "--listen", "--expect=captured", "c.pcap" }, nullptr, true, 3000, true },
        { { "--listen", "--expect=", "c.pcap" }, "needs 'captured' or a file name" },
        { { "--expect", "captured", "c.pcap" }, "need --listen" },
        { { "--answers", "a.pcap", "c.pcap" }, "need --listen" },
        { { "--junit", "j.xml", "c.pcap" }, "need --listen" },
        { { "--listen", "--answers", "c.pcap" }, "no capture file given" },
        { { "--listen", "--junit=", "c.pcap" }, "needs a file name" },
        { { "--requests-only", "c.pcap" }, nullptr, false, 3000, false, true },
        { { "--requests-only=1", "c.pcap" }, "takes no value" },
        { { "--decode", "--listen", "c.pcap" }, "sends nothing to listen for" },
        // Conversing: on with listening, its numbers in their limits.
        { { "--listen", "--converse", "c.pcap" }, nullptr, true, 3000, false, false, true, d },
        { { "--listen", "--no-converse", "c.pcap" }, nullptr, true, 3000, false, false, false, d },
        { { "--listen", "--window", "16", "--apdu-timeout=1", "--retries", "3", "--give-up", "0",
              "c.pcap" },
            nullptr, true, 3000, false, false, true, C(16, 1, 3, 0) },
        { { "--listen", "--window=1", "--apdu-timeout", "3600000", "--retries=0",
              "--give-up=1000000", "c.pcap" },
            nullptr, true, 3000, false, false, true, C(1, 3600000, 0, 1000000) },
        { { "--listen", "--converse", "--window", "8", "c.pcap" }, nullptr, true, 3000, false,
            false, true, C(8, 3000, 0, 10) },
        { { "--listen", "--window", "0", "c.pcap" },
            "--window: '0' is no count of requests from 1 to 16" },
        { { "--listen", "--window", "17", "c.pcap" }, "from 1 to 16" },
        { { "--listen", "--window", "-1", "c.pcap" }, "--window: '-1' is no count" },
        { { "--listen", "--window", "c.pcap" }, "--window: 'c.pcap' is no count" },
        { { "--listen", "--apdu-timeout", "0", "c.pcap" },
            "--apdu-timeout: '0' is no number of milliseconds from 1 to 3600000" },
        { { "--listen", "--apdu-timeout", "3600001", "c.pcap" }, "from 1 to 3600000" },
        { { "--listen", "--apdu-timeout", "1.5", "c.pcap" }, "no number of milliseconds" },
        { { "--listen", "--apdu-timeout", "99999999999999999999999", "c.pcap" },
            "--apdu-timeout: '99999999999999999999999' is no number of milliseconds from 1 to "
            "3600000" },
        { { "--listen", "--window", "016", "c.pcap" }, nullptr, true, 3000, false, false, true,
            C(16, 3000, 0, 10) },
        { { "--listen", "--retries", "4", "c.pcap" }, "--retries: '4' is no count from 0 to 3" },
        { { "--listen", "--give-up", "1000001", "c.pcap" },
            "--give-up: '1000001' is no count from 0 (never) to 1000000" },
        { { "--listen", "--give-up=", "c.pcap" }, "--give-up: '' is no count" },
        { { "--listen", "--retries" }, "--retries needs a value" },
        { { "--converse", "c.pcap" }, "--converse needs --listen" },
        { { "--no-converse", "c.pcap" }, "--no-converse needs --listen" },
        { { "--window", "2", "c.pcap" }, "--window needs --listen" },
        { { "--requests-only", "--give-up", "3", "c.pcap" }, "--give-up needs --listen" },
        { { "--listen", "--converse", "--no-converse", "c.pcap" }, "cannot go together" },
        { { "--listen", "--no-converse", "--retries", "1", "c.pcap" },
            "--retries has no use with --no-converse" },
        { { "--listen", "--converse=1", "c.pcap" }, "--converse takes no value" },
        { { "--decode", "--window", "2", "c.pcap" }, "--window needs --listen" },
        // Listening or aimed, or neither (a default Send only counts them).
        { { "--listen", "--keep-checksums", "c.pcap" }, nullptr, true, 3000, false, false, true, d,
            true },
        { { "--keep-checksums", "c.pcap" }, nullptr, false, 3000, false, false, true, d, true },
        { { "--keep-checksums=1", "c.pcap" }, "takes no value" },
        // How answers are compared: with --expect only.
        { { "--listen", "--expect", "captured", "--strict", "c.pcap" }, nullptr, true, 3000, true,
            false, true, d, false, EAnswerCompare::Strict },
        { { "--listen", "--expect", "captured", "--compare", "kind", "c.pcap" }, nullptr, true,
            3000, true, false, true, d, false, EAnswerCompare::Kind },
        { { "--listen", "--expect", "captured", "--compare=values", "--volatile", "v.txt",
              "c.pcap" },
            nullptr, true, 3000, true, false, true, d, false, EAnswerCompare::Values, "v.txt" },
        { { "--listen", "--expect", "captured", "--compare", "exact", "c.pcap" },
            "--compare: 'exact' is not values, strict or kind" },
        { { "--listen", "--expect", "captured", "--compare", "kind", "--volatile", "v.txt",
              "c.pcap" },
            "--volatile has no values to weigh with --compare kind" },
        { { "--listen", "--expect", "captured", "--volatile=", "c.pcap" },
            "--volatile needs a file name" },
        { { "--listen", "--strict", "c.pcap" }, "judge against --expect" },
        { { "--listen", "--volatile", "v.txt", "c.pcap" }, "judge against --expect" },
        { { "--listen", "--expect", "captured", "--strict=1", "c.pcap" }, "takes no value" },
    };
    for (const Row& row : rows) {
        std::vector<const char*> argv = { "velmora-replay" };
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        std::string csTrace;
        for (const char* sz : row.args)
            csTrace += std::string(sz) + " ";
        SCOPED_TRACE(csTrace);
        SCliOptions options;
        std::string csError;
        const bool bOk
            = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, csError);
        EXPECT_EQ(bOk, row.szError == nullptr) << csError;
        if (!bOk) {
            EXPECT_NE(csError.find(row.szError), std::string::npos) << csError;
            continue;
        }
        EXPECT_EQ(options.listen.bListen, row.bListen);
        EXPECT_EQ(options.listen.wait.count(), row.llWaitMs);
        EXPECT_EQ(options.listen.bExpectCaptured, row.bExpect);
        EXPECT_EQ(options.listen.bRequestsOnly, row.bRequestsOnly);
        EXPECT_EQ(options.listen.bConverse, row.bConverse);
        EXPECT_EQ(options.listen.converse, row.converse);
        EXPECT_EQ(options.bKeepChecksums, row.bKeepChecksums);
        EXPECT_EQ(options.listen.eCompare, row.eCompare);
        EXPECT_EQ(options.listen.csVolatileFile, row.csVolatile);
    }
}
