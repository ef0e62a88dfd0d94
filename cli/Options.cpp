#include "cli/Options.h"
#include "session/CompareRules.h"
#include "session/SendOptions.h"
#include "session/SendWords.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>

namespace velmora {

namespace {

    bool Fail(std::string& csError, const std::string& cs)
    {
        csError = cs;
        return false;
    }

} // namespace

bool ParseRecordList(const std::string& csList, CRecordSelection& selection, std::string& csError)
{
    selection.clear();
    if (csList.empty())
        return Fail(csError, "--records needs a list such as 0,3,10-20");
    size_t nStart = 0;
    uint64_t uNamed = 0;
    for (;;) {
        const size_t nComma = csList.find(',', nStart);
        const std::string_view item = std::string_view(csList).substr(
            nStart, nComma == std::string::npos ? std::string::npos : nComma - nStart);
        const size_t nDash = item.find('-');
        uint64_t uFirst = 0;
        uint64_t uLast = 0;
        const bool bOk = nDash == std::string_view::npos
            ? ParseWholeNumber(item, UINT64_MAX, uFirst)
                && ParseWholeNumber(item, UINT64_MAX, uLast)
            : ParseWholeNumber(item.substr(0, nDash), UINT64_MAX, uFirst)
                && ParseWholeNumber(item.substr(nDash + 1), UINT64_MAX, uLast);
        if (!bOk)
            return Fail(csError,
                "--records: '" + std::string(item)
                    + "' is no record number or range such as 10-20");
        if (uLast < uFirst)
            return Fail(csError, "--records: the range " + std::string(item) + " runs backwards");
        if (uLast - uFirst >= kMaxChosenRecords
            || (uNamed += uLast - uFirst + 1) > kMaxChosenRecords)
            return Fail(csError,
                "--records names more than " + std::to_string(kMaxChosenRecords) + " records");
        for (uint64_t u = uFirst;; ++u) {
            selection.push_back(u);
            if (u == uLast)
                break;
        }
        if (nComma == std::string::npos)
            break;
        nStart = nComma + 1;
    }
    std::sort(selection.begin(), selection.end());
    selection.erase(std::unique(selection.begin(), selection.end()), selection.end());
    return true;
}

// --- timing options ---------------------------------------------------------

bool IsPaceOption(const std::string& csName)
{
    return csName == "--multiplier" || csName == "--pps" || csName == "--mbps" || csName == "--loop"
        || csName == "--loop-pause" || csName == "--duration";
}

bool ParsePaceOption(
    const std::string& csName, const std::string& csValue, SPaceOptions& pace, std::string& csError)
{
    const bool bRate = csName == "--multiplier" || csName == "--pps" || csName == "--mbps";
    if (bRate || csName == "--duration") {
        double d = 0;
        if (!ParsePaceNumber(csValue, d))
            return Fail(csError, csName + ": '" + csValue + "' is no number");
        if (bRate && pace.Paced())
            return Fail(csError, "one of --multiplier, --pps and --mbps only");
        SPaceOptions probe;
        if (csName == "--multiplier") {
            probe.ePace = EPace::Captured;
            probe.dMultiplier = d;
        } else if (csName == "--duration") {
            probe.dDurationSeconds = d;
        } else {
            probe.ePace = csName == "--pps" ? EPace::PacketsPerSecond : EPace::MegabitsPerSecond;
            probe.dRate = d;
        }
        if (!CheckPaceOptions(probe, csError) || (csName == "--duration" && d == 0))
            return Fail(csError,
                csName + ": " + (csError.empty() ? "the duration must be above 0 s" : csError));
        if (csName == "--duration")
            pace.dDurationSeconds = d;
        else {
            pace.ePace = probe.ePace;
            pace.dMultiplier = probe.dMultiplier;
            pace.dRate = probe.dRate;
        }
        return true;
    }
    uint64_t u = 0;
    if (csName == "--loop") {
        if (!ParseWholeNumber(csValue, INT_MAX, u))
            return Fail(csError, "--loop: '" + csValue + "' is no count (0 repeats until stopped)");
        pace.llLoops = static_cast<int64_t>(u);
        return true;
    }
    if (!ParseWholeNumber(csValue, kMaxLoopPauseMs, u))
        return Fail(csError,
            "--loop-pause: '" + csValue + "' is no number of milliseconds up to "
                + std::to_string(kMaxLoopPauseMs));
    pace.llLoopPauseMs = static_cast<int64_t>(u);
    return true;
}

// --- conversing options ------------------------------------------------------

namespace {

    bool IsConverseValueOption(const std::string& csName)
    {
        return csName == "--window" || csName == "--apdu-timeout" || csName == "--retries"
            || csName == "--give-up";
    }

    // One of the options above, checked by the rule the window and the file keep too.
    bool ParseConverseOption(const std::string& csName, const std::string& csValue,
        SConverseOptions& converse, std::string& csError)
    {
        const EConverseSetting eSetting = csName == "--window" ? EConverseSetting::Window
            : csName == "--apdu-timeout"                       ? EConverseSetting::ApduTimeout
            : csName == "--retries"                            ? EConverseSetting::Retries
                                                               : EConverseSetting::GiveUp;
        if (ParseConverseSetting(eSetting, csValue, converse))
            return true;
        const SConverseLimit limit = ConverseLimit(eSetting);
        const char* szWhat = eSetting == EConverseSetting::Window ? "count of requests"
            : eSetting == EConverseSetting::ApduTimeout           ? "number of milliseconds"
                                                                  : "count";
        return Fail(csError,
            csName + ": '" + csValue + "' is no " + szWhat + " from " + std::to_string(limit.llMin)
                + (eSetting == EConverseSetting::GiveUp ? " (never)" : "") + " to "
                + std::to_string(limit.llMax));
    }

} // namespace

bool ParseCommandLine(int argc, const char* const* argv, SCliOptions& options, std::string& csError)
{
    options = SCliOptions();
    bool bListAdapters = false;
    bool bDecode = false;
    bool bCompareChosen = false; // --compare, --strict or --volatile
    bool bDiscover = false;
    bool bHelp = false;
    bool bVersion = false;
    std::string csChoice; // the option that chose the records, for the clash message
    std::vector<std::string> operands;
    bool bOptionsEnd = false;
    // Conversing: what was said, checked against --listen at the end.
    std::string csConverseOption; // the first conversing option given
    std::string csConverseValue; // the first of them that takes a value
    bool bConverseOn = false;
    bool bConverseOff = false;
    auto choose = [&](const std::string& csOption) {
        if (!csChoice.empty() && csChoice != csOption)
            return Fail(csError, csChoice + " and " + csOption + " cannot go together");
        csChoice = csOption;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string csArg = argv[i];
        if (bOptionsEnd || csArg.empty() || csArg[0] != '-' || csArg == "-") {
            operands.push_back(csArg);
            continue;
        }
        if (csArg == "--") {
            bOptionsEnd = true;
            continue;
        }
        // The option's name and, for "--name=value", its value.
        std::string csName = csArg;
        std::optional<std::string> value;
        if (csArg.rfind("--", 0) == 0) {
            const size_t nEq = csArg.find('=');
            if (nEq != std::string::npos) {
                csName = csArg.substr(0, nEq);
                value = csArg.substr(nEq + 1);
            }
        } else if (csArg.size() > 2 && csArg.rfind("-i", 0) == 0) {
            csName = "-i";
            value = csArg.substr(2);
        }
        const bool bTakesValue = csName == "-i" || csName == "--adapter" || csName == "--offset"
            || csName == "--records" || csName == "--dst-mac" || csName == "--src-mac"
            || csName == "--dst-ip" || csName == "--src-ip" || csName == "--route"
            || csName == "--map-device" || csName == "--answers" || csName == "--expect"
            || csName == "--compare" || csName == "--volatile" || csName == "--junit"
            || csName == "--report" || csName == "--rig" || IsPaceOption(csName)
            || IsConverseValueOption(csName);
        // --discover, as --listen, takes its seconds only as --discover=SECONDS.
        if (csName == "--discover") {
            bDiscover = true;
            if (value
                && (!ParseWaitSeconds(*value, options.discoverWait)
                    || options.discoverWait.count() == 0))
                return Fail(csError, "--discover: '" + *value + "' is no number of seconds");
            continue;
        }
        // --listen takes its seconds only as --listen=SECONDS.
        if (csName == "--listen") {
            options.listen.bListen = true;
            if (value && !ParseWaitSeconds(*value, options.listen.wait))
                return Fail(csError, "--listen: '" + *value + "' is no number of seconds");
            continue;
        }
        if (bTakesValue && !value) {
            if (i + 1 >= argc)
                return Fail(csError, csName + " needs a value");
            value = argv[++i];
        } else if (!bTakesValue && value) {
            return Fail(csError, csName + " takes no value");
        }
        if (csName == "-i" || csName == "--adapter") {
            if (value->empty())
                return Fail(csError, csName + " needs an adapter name");
            options.adapter = *value;
        } else if (csName == "--all") {
            if (!choose("--all"))
                return false;
            options.iMode = 1;
        } else if (csName == "--offset") {
            uint64_t u = 0;
            if (!ParseWholeNumber(*value, INT_MAX - 1, u))
                return Fail(csError, "--offset: '" + *value + "' is no record number");
            if (!choose("--offset"))
                return false;
            options.iMode = 0;
            options.iOffset = static_cast<int>(u);
        } else if (csName == "--records") {
            CRecordSelection selection;
            if (!ParseRecordList(*value, selection, csError))
                return false;
            if (!choose("--records"))
                return false;
            options.records = std::move(selection);
        } else if (csName == "--dst-mac") {
            if (!ParseMac(*value, options.aim.dstMac))
                return Fail(csError,
                    "--dst-mac: '" + *value + "' is no MAC address such as 02:00:00:00:00:2a");
            options.aim.bDstMac = true;
        } else if (csName == "--src-mac") {
            if (!ParseMacSource(*value, options.aim.eSrcMac, options.aim.srcMac))
                return Fail(csError,
                    "--src-mac: '" + *value
                        + "' is neither 'adapter' nor a unicast MAC address such as "
                          "02:00:00:00:00:2a");
        } else if (csName == "--dst-ip") {
            if (!ParseIpv4Endpoint(*value, options.aim.dstIp, options.aim.uDstPort))
                return Fail(csError,
                    "--dst-ip: '" + *value
                        + "' is no IPv4 address such as 192.168.1.20 or 192.168.1.20:47808");
            options.aim.bDstIp = true;
        } else if (csName == "--src-ip") {
            if (!ParseIpSource(*value, options.aim.eSrcIp, options.aim.srcIp, options.aim.uSrcPort))
                return Fail(csError,
                    "--src-ip: '" + *value
                        + "' is neither 'adapter[:PORT]' nor an IPv4 address such as "
                          "192.168.1.5 or 192.168.1.5:47808");
        } else if (csName == "--route") {
            if (!ParseRoute(*value, options.aim.route))
                return Fail(csError,
                    "--route: '" + *value
                        + "' is neither 'captured', 'direct' nor NET:ADDR such as 5:0x1f or "
                          "5:02:00:00:00:00:2a");
        } else if (csName == "--map-device") {
            SDeviceMap map;
            if (!ParseDeviceMap(*value, map))
                return Fail(csError,
                    "--map-device: '" + *value
                        + "' is not OLD=NEW with two device instances of 0-4194302");
            for (const SDeviceMap& m : options.aim.devices)
                if (m.uOld == map.uOld)
                    return Fail(csError,
                        "--map-device: device " + std::to_string(map.uOld) + " is mapped twice");
            options.aim.devices.push_back(map);
        } else if (csName == "--aim-broadcasts") {
            options.aim.bAlsoBroadcasts = true;
        } else if (csName == "--aimed") {
            options.bAimed = true;
        } else if (csName == "--answers" || csName == "--junit" || csName == "--report") {
            if (value->empty())
                return Fail(csError, csName + " needs a file name");
            (csName == "--answers"        ? options.csAnswers
                    : csName == "--junit" ? options.csJUnit
                                          : options.csReport)
                = *value;
        } else if (csName == "--compare") {
            if (!CompareFromWord(*value, options.listen.eCompare))
                return Fail(csError, "--compare: '" + *value + "' is not values, strict or kind");
            bCompareChosen = true;
        } else if (csName == "--strict") {
            options.listen.eCompare = EAnswerCompare::Strict;
            bCompareChosen = true;
        } else if (csName == "--volatile") {
            if (value->empty())
                return Fail(csError, "--volatile needs a file name");
            options.listen.csVolatileFile = *value;
            bCompareChosen = true;
        } else if (csName == "--expect") {
            // "captured", or a baseline's file ("./captured" names a file so called).
            if (value->empty())
                return Fail(csError, "--expect needs 'captured' or a file name");
            options.listen.bExpectCaptured = *value == "captured";
            options.listen.csExpectFile = *value == "captured" ? std::string() : *value;
        } else if (csName == "--rig") {
            if (value->empty() || value->find_first_of("\t\r\n") != std::string::npos)
                return Fail(csError, "--rig needs a name on one line");
            options.csRig = *value;
        } else if (csName == "--requests-only") {
            options.listen.bRequestsOnly = true;
        } else if (csName == "--keep-checksums") {
            options.bKeepChecksums = true;
        } else if (csName == "--converse" || csName == "--no-converse"
            || IsConverseValueOption(csName)) {
            if (csConverseOption.empty())
                csConverseOption = csName;
            if (csName == "--converse")
                bConverseOn = true;
            else if (csName == "--no-converse")
                bConverseOff = true;
            else if (!ParseConverseOption(csName, *value, options.listen.converse, csError))
                return false;
            else if (csConverseValue.empty())
                csConverseValue = csName;
        } else if (IsPaceOption(csName)) {
            if (!ParsePaceOption(csName, *value, options.pace, csError))
                return false;
        } else if (csName == "--list-adapters") {
            bListAdapters = true;
        } else if (csName == "--decode") {
            bDecode = true;
        } else if (csName == "--debug") {
            options.debug = true;
        } else if (csName == "--no-debug") {
            options.debug = false;
        } else if (csName == "-q" || csName == "--quiet") {
            options.bQuiet = true;
        } else if (csName == "--version") {
            bVersion = true;
        } else if (csName == "-h" || csName == "--help") {
            bHelp = true;
        } else {
            return Fail(csError, "unknown option " + csArg);
        }
    }
    using EAction = SCliOptions::EAction;
    if (bHelp || bVersion) {
        options.eAction = bHelp ? EAction::Help : EAction::Version;
        return true;
    }
    if (options.aim.bAlsoBroadcasts && !options.aim.bDstMac && !options.aim.bDstIp)
        return Fail(csError, "--aim-broadcasts needs --dst-mac or --dst-ip");
    if (options.bAimed && !bDecode)
        return Fail(csError, "--aimed goes with --decode");
    if (bListAdapters && bDecode)
        return Fail(csError, "--list-adapters and --decode cannot go together");
    if (bDiscover) {
        if (bListAdapters || bDecode || options.listen.bListen)
            return Fail(csError, "--discover goes alone with -i");
        if (!operands.empty())
            return Fail(csError, "--discover takes no capture");
        options.eAction = EAction::Discover;
        return true;
    }
    if (bListAdapters) {
        options.eAction = EAction::ListAdapters;
        if (!operands.empty())
            return Fail(csError, "--list-adapters takes no capture");
        return true;
    }
    options.eAction = bDecode ? EAction::Decode : EAction::Send;
    const bool bListenOptions = options.listen.bExpectCaptured
        || !options.listen.csExpectFile.empty() || !options.csAnswers.empty()
        || !options.csJUnit.empty() || !options.csReport.empty() || !options.csRig.empty();
    if (bListenOptions && !options.listen.bListen)
        return Fail(csError, "--answers, --expect, --junit, --report and --rig need --listen");
    if (bCompareChosen && !options.listen.bExpectCaptured && options.listen.csExpectFile.empty())
        return Fail(csError, "--compare, --strict and --volatile judge against --expect");
    if (options.listen.eCompare == EAnswerCompare::Kind && !options.listen.csVolatileFile.empty())
        return Fail(csError, "--volatile has no values to weigh with --compare kind");
    if (bDecode && (options.listen.bListen || options.listen.bRequestsOnly))
        return Fail(csError, "--decode sends nothing to listen for");
    if (!csConverseOption.empty() && !options.listen.bListen)
        return Fail(csError, csConverseOption + " needs --listen");
    if (bConverseOn && bConverseOff)
        return Fail(csError, "--converse and --no-converse cannot go together");
    if (bConverseOff && !csConverseValue.empty())
        return Fail(csError, csConverseValue + " has no use with --no-converse");
    options.listen.bConverse = !bConverseOff;
    if (operands.empty())
        return Fail(csError, "no capture file given");
    if (operands.size() > 1)
        return Fail(csError, "one capture file only (got " + std::to_string(operands.size()) + ")");
    options.csCapture = operands.front();
    return true;
}

const char* UsageText()
{
    return "Usage: velmora-replay [options] CAPTURE\n"
           "Sends the records of a pcap capture onto an Ethernet adapter.\n"
           "\n"
           "  -i, --adapter NAME  adapter to send on (required for sending)\n"
           "      --all           send every record (the default)\n"
           "      --offset N      send the one record N (0 is the first)\n"
           "      --records LIST  send these records, e.g. 0,3,10-20, in file order\n"
           "      --multiplier M  send at the capture's own pace, its gaps divided by M\n"
           "                      (0.001 to 1000; default: back to back)\n"
           "      --pps N         send N packets per second\n"
           "      --mbps N        send N megabits per second\n"
           "      --loop K        send the records K times (default 1; 0: until stopped)\n"
           "      --loop-pause MS wait MS milliseconds between two rounds\n"
           "      --duration S    stop after S seconds (counts as a stop)\n"
           "                      (timing applies to --all and --records, not --offset)\n"
           "      --listen[=SECONDS]  hear the BACnet answers until SECONDS (3) after the\n"
           "                      last frame; one line per request on standard output:\n"
           "                      record, request, answer, verdict, ms, tab-separated\n"
           "      --answers FILE  with --listen: save the frames heard as a pcap file\n"
           "      --expect captured  with --listen: judge each answer against the one the\n"
           "                      capture recorded (ok, differs, unanswered, no-record):\n"
           "                      field by field; a property that changes by itself (an\n"
           "                      input's present-value, a clock, a count) is\n"
           "                      'ok (value changed)'\n"
           "      --expect FILE   with --listen: judge against a baseline, the answers of an\n"
           "                      earlier run (its --answers file) or a capture of the bench\n"
           "      --compare values|strict|kind  how answers are compared (default values):\n"
           "                      strict compares every value, kind the kind of answer alone\n"
           "      --strict        the same as --compare strict\n"
           "      --volatile FILE add or take out volatile properties, or give numbers a\n"
           "                      tolerance (see the man page)\n"
           "      --junit FILE    with --listen: write the verdicts as JUnit XML\n"
           "      --report FILE   with --listen: write a report to hand over, one HTML file\n"
           "                      (verdicts, round-trip plots, the table of requests)\n"
           "      --rig NAME      with --listen: the rig's name in the report, the JUnit\n"
           "                      cases' class name and the lines' header comment\n"
           "      --requests-only send only the records that ask (requests), count the rest\n"
           "      --keep-checksums  listening or aiming: send wrong IPv4 and UDP checksums\n"
           "                      as captured (by default they are mended: a capture\n"
           "                      taken on the sending host holds those left to its NIC)\n"
           "      --converse      with --listen (the default): converse as a client does\n"
           "      --no-converse   with --listen: send open loop, without waiting for answers\n"
           "      --window W      conversing: confirmed requests outstanding per device\n"
           "                      (1 to 16; default 1: one request at a time)\n"
           "      --apdu-timeout MS  conversing: wait MS for an answer or a segment (3000)\n"
           "      --retries N     conversing: send an unanswered request N more times (0-3)\n"
           "      --give-up G     conversing: stop after G requests in a row unanswered by\n"
           "                      one device (default 10; 0: never)\n"
           "      --list-adapters list the adapters: name, a tab, the Device list's entry\n"
           "      --discover[=SECONDS]  with -i: send one Who-Is (global broadcast) on the\n"
           "                      adapter and list each device that answers within SECONDS\n"
           "                      (3): instance, MAC, IP:port, network, max APDU, vendor\n"
           "      --decode        print one line per record instead of sending: No., Time,\n"
           "                      Source, Destination, Protocol, Length, Info, tab-separated\n"
           "      --aimed         with --decode: the records as the aim options send them\n"
           "      --debug         write Debuglog.txt (default: Debug in ./settings.ini, else on)\n"
           "      --no-debug      do not write Debuglog.txt\n"
           "  -q, --quiet         no progress and no closing count\n"
           "      --version       print the version\n"
           "  -h, --help          print this help\n"
           "\n"
           "Aiming at the device under test (BACnet frames only; default: as captured):\n"
           "      --dst-mac MAC   destination MAC of unicast frames\n"
           "      --src-mac adapter|MAC\n"
           "                      source MAC: the adapter's own, or the one given\n"
           "      --dst-ip IP[:PORT]\n"
           "                      destination of unicast BACnet/IP frames\n"
           "      --src-ip adapter|IP[:PORT]\n"
           "                      source of BACnet/IP frames: the adapter's first IPv4\n"
           "                      address, or the one given (adapter:PORT sets the port)\n"
           "      --aim-broadcasts  aim broadcast and multicast destinations too\n"
           "      --route captured|direct|NET:ADDR\n"
           "                      requests' route: as captured, to a device on the adapter's\n"
           "                      network (DNET taken out), or behind the bench's router\n"
           "      --map-device OLD=NEW\n"
           "                      requests name device instance NEW where the capture has\n"
           "                      OLD; the judge maps answers back (may be repeated)\n"
           "\n"
           "log.txt and Debuglog.txt in the current folder get each run's records added.\n"
           "Exit status: 0 every chosen record was sent; 1 some sends failed, or\n"
           "listening judged no request (nothing tested); 2 usage error; 3 the capture,\n"
           "the baseline or the adapter could not be opened, or the adapter has no\n"
           "address of its own where an aim option asks for one; 4 listening: a\n"
           "confirmed request went unanswered or was answered otherwise;\n"
           "130 stopped by SIGINT, 143 stopped by SIGTERM.\n";
}

} // namespace velmora
