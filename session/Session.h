#pragma once

#include "session/SendOptions.h"
#include "settings/AppSettings.h"

#include <optional>
#include <string>

namespace velmora {

// The program's state apart from any window: the install folder, the settings
// and their save, and the start-up records. The window and the command each
// own one.
class CSession {
public:
    // Whether a start empties the logs (the window) or adds to them (the command).
    enum class ELogs { Empty, Append };
    // The install folder is the current folder. Both logs start empty (or are
    // kept, with Append), the settings are read from it and set the debug flag
    // (unless the caller decides it), and the start-up records are written.
    void StartUp(std::optional<bool> debug = std::nullopt, ELogs eLogs = ELogs::Empty);

    const std::string& InstallDir() const { return m_csInstallDir; }
    std::string SettingsFilePath() const { return SettingsPath(m_csInstallDir); }

    AppSettings& Settings() { return m_settings; }
    const AppSettings& Settings() const { return m_settings; }
    // The "Send options" window's choices, read at start-up from their own file.
    SSendOptions& SendOptions() { return m_sendOptions; }
    const SSendOptions& SendOptions() const { return m_sendOptions; }
    std::string SendOptionsFilePath() const { return SendOptionsPath(m_csInstallDir); }
    // Writes them (see SaveSendOptions); logs a failure.
    bool SaveSendOptions();

    // The capture in use. It may hold a line feed, which settings.ini cannot
    // keep; then OldPath keeps the last path it could.
    std::string& CapturePath() { return m_csCapturePath; }

    // Writes settings.ini: the values, the debug flag, the capture path when
    // it can be stored.
    bool Save();
    // The record that ends a run.
    void ShutDown();

private:
    void ReadInstallDir();
    void WriteStartUpRecords();

    std::string m_csInstallDir;
    AppSettings m_settings;
    SSendOptions m_sendOptions;
    std::string m_csCapturePath;
    std::string m_csUnstoredPath; // the last path reported as not storable
};

} // namespace velmora
