#pragma once

#include "replay/Aim.h"
#include "replay/Pace.h"
#include "replay/Replay.h"

#include <chrono>
#include <optional>
#include <string>

namespace velmora {

// What the command line asks of velmora-replay.
struct SCliOptions {
    enum class EAction { Send, ListAdapters, Decode, Discover, Help, Version };
    EAction eAction = EAction::Send;
    std::string csCapture;
    std::optional<std::string> adapter; // -i; otherwise settings.ini's NicDevice
    // The records: all (the default), the one at an offset, or a list.
    int iMode = 1; // 1 all, 0 the one at iOffset
    int iOffset = 0;
    std::optional<CRecordSelection> records;
    std::optional<bool> debug; // otherwise settings.ini's Debug
    bool bQuiet = false;
    // --dst-mac, --src-mac, --dst-ip, --src-ip, --aim-broadcasts; default:
    // every frame as captured.
    SAimOptions aim;
    bool bAimed = false; // --aimed: --decode shows the frames as aimed
    // Listening (--listen[=SECONDS], --answers, --expect captured, --junit, --report).
    SListenOptions listen;
    std::string csAnswers; // pcap of the frames heard
    std::string csJUnit;
    std::string csReport; // the HTML report
    std::string csRig; // --rig: the rig's name in the report, JUnit and TSV
    // --discover[=SECONDS]: one Who-Is on the adapter, and who answered.
    std::chrono::milliseconds discoverWait { 3000 };
    // --multiplier, --pps, --mbps, --loop, --loop-pause, --duration
    SPaceOptions pace;
    bool bKeepChecksums = false; // --keep-checksums
};

// The most record numbers --records may name, so that a range cannot take
// all the memory.
constexpr size_t kMaxChosenRecords = 10'000'000;

// "0,3,10-20": numbers and inclusive ranges, comma-separated, no blanks.
// Gives them sorted without repeats; false with a reason for anything else.
bool ParseRecordList(const std::string& csList, CRecordSelection& selection, std::string& csError);

// The timing options. IsPaceOption: the name is one of them (each takes a
// value). ParsePaceOption: false with a reason when the value is no number in
// the option's limits, or a second pace is given.
bool IsPaceOption(const std::string& csName);
bool ParsePaceOption(const std::string& csName, const std::string& csValue, SPaceOptions& pace,
    std::string& csError);

// False with one line saying what is wrong: the usage error.
bool ParseCommandLine(
    int argc, const char* const* argv, SCliOptions& options, std::string& csError);

// The --help text.
const char* UsageText();

} // namespace velmora
