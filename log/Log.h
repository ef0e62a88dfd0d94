#pragma once

#include <string>
#include <string_view>

namespace velmora {

#define VELMORA_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// Gates Debuglog.txt. On at start; the main window sets it from the settings.
extern bool g_bDebug;

// Both files live in the folder SetLogFolder names (the session's install
// folder); until it is called, in the folder current when they are first used.
void SetLogFolder(const std::string& csDir);
void ResetLogFile();
void ResetDebugLogFile();

void LogMessage(const char* szFormat, ...) VELMORA_PRINTF(1, 2);
void DebugLog(const char* szFormat, ...) VELMORA_PRINTF(1, 2);
// A debug record whose text is made already.
void DebugLogPlain(std::string_view text);

// Shows a modal box through GetMessageBox() and writes the text and the answer
// to both logs. Text longer than 4,095 characters is cut.
int MessageAndLog(int iType, const char* szFormat, ...) VELMORA_PRINTF(2, 3);
int MessageAndLogOk(const char* szFormat, ...) VELMORA_PRINTF(1, 2);
// The two records of MessageAndLog for a message the caller showed in a way
// of its own (a line on a terminal) and that got iResult as its answer.
void LogShownMessage(int iType, const std::string& csText, int iResult);

// The composed paths ("" until first use).
std::string MessageLogPath();

// While one of these lives, debug records go through one descriptor kept open
// in append mode (one write per record) instead of an open and close each.
// Every record still reaches the file before DebugLog returns.
class CDebugLogHold {
public:
    CDebugLogHold();
    ~CDebugLogHold();
    CDebugLogHold(const CDebugLogHold&) = delete;
    CDebugLogHold& operator=(const CDebugLogHold&) = delete;
};

// Debug records given to Add collect in memory, in order, and reach the file
// in one write at each Flush and at the end. Only those: a record written
// through DebugLog meanwhile goes to the file at once, so a crash loses no more
// than the records still held here.
class CDebugLogBatch {
public:
    CDebugLogBatch();
    ~CDebugLogBatch();
    CDebugLogBatch(const CDebugLogBatch&) = delete;
    CDebugLogBatch& operator=(const CDebugLogBatch&) = delete;
    // Nothing when the debug flag is off.
    void Add(std::string_view text);
    void Flush();

private:
    std::string m_csBatch;
};

} // namespace velmora
