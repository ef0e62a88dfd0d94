#pragma once

#include "replay/Aim.h"
#include "replay/Listen.h"
#include "replay/Pace.h"
#include "replay/Replay.h"

#include <string>
#include <string_view>

namespace velmora {

// What the "Send options" window holds, kept between runs in a file of its
// own beside settings.ini, so that settings.ini stays byte for byte as it is.
// Each option's group has its own section ([Aim], [Listen], [Timing]).
struct SSendOptions {
    SAimOptions aim;
    SListenOptions listen;
    SPaceOptions pace; // [Timing]
    // Wrong checksums sent as captured by a listening or aimed Send ([Aim]
    // KeepChecksums, written only once on).
    bool bKeepChecksums = false;
    bool IsDefault() const
    {
        return aim.IsDefault() && !aim.bAlsoBroadcasts && listen == SListenOptions()
            && pace == SPaceOptions() && !bKeepChecksums;
    }
    bool operator==(const SSendOptions&) const = default;
};

// A Send as both shells make it: the capture, the records (with pSelection
// the chosen ones; else the settings' mode, 1 for all and anything else one
// record at iOffset, as the window's radio buttons have it), the adapter and
// the options.
SReplayRequest MakeReplayRequest(const std::string& csPath, int iMode, int iOffset,
    const CRecordSelection* pSelection, const std::string& csAdapter, const SSendOptions& options);

// The longest wait after the last frame the window offers (the command's limit).
constexpr int kMaxListenWaitSeconds = 86400;

// What the status line says before a Send while listening (or sending
// requests only) is on: "Listening for answers until 3 s after the last
// frame, expecting the captured answers". "" when both are off.
std::string ListenNotice(const SListenOptions& listen);

// "3", "2.5", "0.25": the wait in seconds as the file keeps it.
std::string FormatWaitSeconds(std::chrono::milliseconds wait);
// Seconds with up to three decimals, 0 to kMaxListenWaitSeconds: the one
// reading of --listen=SECONDS and of the file's Wait (leading zeros taken).
bool ParseWaitSeconds(std::string_view sv, std::chrono::milliseconds& wait);

// "<install dir>/send-options.ini".
std::string SendOptionsPath(const std::string& csInstallDir);

// Reads the file into options; a missing file, section or key, or a value
// that does not parse, leaves that option at its default. False when the
// file could not be read (options are then all default).
bool LoadSendOptions(const std::string& csPath, SSendOptions& options);

// Writes the options, keeping the file's other sections and keys. Nothing is
// written (and true is given) when every option is at its default and there
// is no file yet: a user who never opened the window gets no new file.
// False when the file could not be written.
bool SaveSendOptions(const std::string& csPath, const SSendOptions& options);

} // namespace velmora
