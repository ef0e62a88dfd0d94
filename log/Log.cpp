#include "log/Log.h"

#include "log/MessageBox.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace velmora {

bool g_bDebug = true;

namespace {

    constexpr size_t kBoxTextSize = 4096; // 4,095 characters and the terminator

    std::string s_csLogPath;
    std::string s_csDebugLogPath;

    int s_iHoldCount = 0;
    int s_iHeldFd = -1;

    const std::string& ComposePath(std::string& csPath, const char* szName)
    {
        if (csPath.empty()) {
            char szDir[1024];
            if (getcwd(szDir, sizeof szDir)) {
                csPath = szDir;
                csPath += '/';
            }
            csPath += szName;
        }
        return csPath;
    }

    const std::string& LogPath()
    {
        return ComposePath(s_csLogPath, "log.txt");
    }
    const std::string& DebugPath()
    {
        return ComposePath(s_csDebugLogPath, "Debuglog.txt");
    }

    std::string FormatV(const char* szFormat, va_list args)
    {
        va_list copy;
        va_copy(copy, args);
        char szSmall[512];
        const int n = std::vsnprintf(szSmall, sizeof szSmall, szFormat, copy);
        va_end(copy);
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < sizeof szSmall)
            return std::string(szSmall, static_cast<size_t>(n));
        std::string cs(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(cs.data(), cs.size(), szFormat, args);
        cs.resize(static_cast<size_t>(n));
        return cs;
    }

    // What a fixed 4,096-byte buffer would keep.
    std::string Cut(std::string cs)
    {
        if (cs.size() > kBoxTextSize - 1)
            cs.resize(kBoxTextSize - 1);
        return cs;
    }

    // The stamp changes once a second; a replay writes many records in that time.
    const std::string& Stamp()
    {
        static std::time_t s_last = -1;
        static std::string s_csStamp;
        const std::time_t now = std::time(nullptr);
        if (now != s_last) {
            std::tm tmNow {};
            localtime_r(&now, &tmNow);
            char szStamp[64];
            std::snprintf(szStamp, sizeof szStamp, "\n[%02d-%02d-%02d %02d:%02d:%02d] ",
                tmNow.tm_mday, tmNow.tm_mon + 1, tmNow.tm_year + 1900, tmNow.tm_hour, tmNow.tm_min,
                tmNow.tm_sec);
            s_csStamp = szStamp;
            s_last = now;
        }
        return s_csStamp;
    }

    std::string Record(const std::string& csText)
    {
        std::string cs(Stamp());
        cs += csText;
        return cs;
    }

    // O_NONBLOCK so that a FIFO of that name cannot hold the program.
    int OpenLog(const std::string& csPath, int iExtraFlags)
    {
        return ::open(
            csPath.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | iExtraFlags, 0666);
    }

    bool WriteAll(int fd, const char* p, size_t left)
    {
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }

    bool AppendRecord(const std::string& csPath, const std::string& csText)
    {
        const int fd = OpenLog(csPath, O_APPEND);
        if (fd < 0)
            return false;
        const std::string cs = Record(csText);
        WriteAll(fd, cs.data(), cs.size());
        ::close(fd);
        return true;
    }

    void Truncate(const std::string& csPath)
    {
        const int fd = OpenLog(csPath, O_TRUNC);
        if (fd >= 0)
            ::close(fd);
    }

    // One debug record. While a hold lives it goes through the kept descriptor,
    // made on the stack when it is short (the replay's per-packet records).
    void DebugLogText(std::string_view text)
    {
        if (!g_bDebug)
            return;
        const std::string& csPath = DebugPath();
        if (s_iHoldCount > 0) {
            if (s_iHeldFd < 0)
                s_iHeldFd = OpenLog(csPath, O_APPEND);
            if (s_iHeldFd >= 0) {
                const std::string& csStamp = Stamp();
                char sz[512];
                if (csStamp.size() + text.size() <= sizeof sz) {
                    std::memcpy(sz, csStamp.data(), csStamp.size());
                    std::memcpy(sz + csStamp.size(), text.data(), text.size());
                    WriteAll(s_iHeldFd, sz, csStamp.size() + text.size());
                } else {
                    const std::string cs = Record(std::string(text));
                    WriteAll(s_iHeldFd, cs.data(), cs.size());
                }
                return;
            }
        }
        AppendRecord(csPath, std::string(text));
    }

    void LogMessageText(const std::string& csText)
    {
        if (!AppendRecord(LogPath(), csText))
            return; // the mirror record is skipped too
        DebugLogText(Cut(csText));
    }

    int MessageAndLogText(int iType, const std::string& csText)
    {
        LogMessage("MessageAndLog iType=[%d] msg=[%s]", iType, csText.c_str());
        const int iResult = GetMessageBox().Show(csText, iType);
        LogMessage("MessageAndLog return = [ %d]", iResult);
        return iResult;
    }

} // namespace

void ResetLogFile()
{
    Truncate(LogPath());
}

void ResetDebugLogFile()
{
    Truncate(DebugPath());
}

void LogMessage(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    const std::string cs = FormatV(szFormat, args);
    va_end(args);
    LogMessageText(cs);
}

void DebugLogPlain(std::string_view text)
{
    DebugLogText(text);
}

void DebugLog(const char* szFormat, ...)
{
    if (!g_bDebug)
        return;
    // Most records fit on the stack; only long ones take the heap.
    char sz[256];
    va_list args;
    va_start(args, szFormat);
    const int n = std::vsnprintf(sz, sizeof sz, szFormat, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < sizeof sz) {
        DebugLogText(std::string_view(sz, static_cast<size_t>(n)));
        return;
    }
    va_start(args, szFormat);
    const std::string cs = FormatV(szFormat, args);
    va_end(args);
    DebugLogText(cs);
}

int MessageAndLog(int iType, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    const std::string cs = Cut(FormatV(szFormat, args));
    va_end(args);
    return MessageAndLogText(iType, cs);
}

int MessageAndLogOk(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    const std::string cs = Cut(FormatV(szFormat, args));
    va_end(args);
    return MessageAndLogText(MB_OK, cs);
}

void LogShownMessage(int iType, const std::string& csText, int iResult)
{
    const std::string cs = Cut(csText);
    LogMessage("MessageAndLog iType=[%d] msg=[%s]", iType, cs.c_str());
    LogMessage("MessageAndLog return = [ %d]", iResult);
}

std::string MessageLogPath()
{
    return s_csLogPath;
}

void SetLogFolder(const std::string& csDir)
{
    // An empty folder (the current one could not be read) leaves the names
    // relative, as the first use would have.
    const std::string csPrefix = csDir.empty() ? std::string() : csDir + "/";
    s_csLogPath = csPrefix + "log.txt";
    s_csDebugLogPath = csPrefix + "Debuglog.txt";
}

CDebugLogHold::CDebugLogHold()
{
    ++s_iHoldCount;
}

CDebugLogHold::~CDebugLogHold()
{
    if (--s_iHoldCount == 0 && s_iHeldFd >= 0) {
        ::close(s_iHeldFd);
        s_iHeldFd = -1;
    }
}

CDebugLogBatch::CDebugLogBatch() = default;

CDebugLogBatch::~CDebugLogBatch()
{
    Flush();
}

void CDebugLogBatch::Add(std::string_view text)
{
    if (!g_bDebug)
        return;
    m_csBatch += Stamp();
    m_csBatch += text;
}

void CDebugLogBatch::Flush()
{
    if (m_csBatch.empty())
        return;
    const std::string& csPath = DebugPath();
    if (s_iHoldCount > 0 && s_iHeldFd < 0)
        s_iHeldFd = OpenLog(csPath, O_APPEND);
    if (s_iHoldCount > 0 && s_iHeldFd >= 0) {
        WriteAll(s_iHeldFd, m_csBatch.data(), m_csBatch.size());
    } else if (const int fd = OpenLog(csPath, O_APPEND); fd >= 0) {
        WriteAll(fd, m_csBatch.data(), m_csBatch.size());
        ::close(fd);
    }
    m_csBatch.clear(); // keeps its capacity for the next batch
}

} // namespace velmora
