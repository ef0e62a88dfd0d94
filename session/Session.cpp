#include "session/Session.h"

#include "log/Log.h"
#include "settings/SettingsFile.h"

#include <filesystem>
#include <pcap/pcap.h>
#include <unistd.h>

namespace velmora {

void CSession::ReadInstallDir()
{
    char szDir[1024];
    if (getcwd(szDir, sizeof szDir))
        m_csInstallDir = szDir;
}

void CSession::StartUp(std::optional<bool> debug, ELogs eLogs)
{
    ReadInstallDir();
    SetLogFolder(m_csInstallDir);
    if (eLogs == ELogs::Empty) {
        ResetLogFile();
        ResetDebugLogFile();
    }
    m_settings.LoadFrom(SettingsFilePath());
    LoadSendOptions(SendOptionsFilePath(), m_sendOptions);
    g_bDebug = debug.value_or(m_settings.Debug);
    m_csCapturePath = m_settings.OldPath;
    WriteStartUpRecords();
}

void CSession::WriteStartUpRecords()
{
    DebugLog("Program starting up");
    DebugLog("FYI. Install directory=[%s]", m_csInstallDir.c_str());
    DebugLog("FYI. pcap_lib_version = [%s]", pcap_lib_version());
    if (!m_csInstallDir.empty()) {
        std::error_code ec;
        const std::filesystem::space_info si = std::filesystem::space(m_csInstallDir, ec);
        if (!ec)
            DebugLog("FYI. Free space [%llu]k on [%s]",
                static_cast<unsigned long long>(si.free >> 10), m_csInstallDir.c_str());
    }
}

bool CSession::Save()
{
    m_settings.Debug = g_bDebug;
    // The settings file cannot hold a line feed: such a path is still used
    // for Send but not stored, and the last storable one stays saved.
    if (SettingsCanHold(m_csCapturePath)) {
        m_settings.OldPath = m_csCapturePath;
    } else if (m_csCapturePath != m_csUnstoredPath) {
        m_csUnstoredPath = m_csCapturePath;
        DebugLog(
            "Err. The capture file path holds a line feed and could not be stored in settings.ini");
    }
    return m_settings.SaveTo(SettingsFilePath());
}

bool CSession::SaveSendOptions()
{
    if (velmora::SaveSendOptions(SendOptionsFilePath(), m_sendOptions))
        return true;
    DebugLog("Err. Could not write %s", SendOptionsFilePath().c_str());
    return false;
}

void CSession::ShutDown()
{
    DebugLog("Program shutting down");
}

} // namespace velmora
