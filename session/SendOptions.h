#pragma once

#include "replay/Aim.h"
#include "replay/Pace.h"

#include <string>

namespace velmora {

// What the "Send options" window holds, kept between runs in a file of its
// own beside settings.ini, so that settings.ini stays byte for byte as it is.
// Each option's group has its own section ([Aim], [Timing]).
struct SSendOptions {
    SAimOptions aim;
    SPaceOptions pace; // [Timing]
    bool IsDefault() const
    {
        return aim.IsDefault() && !aim.bAlsoBroadcasts && pace == SPaceOptions();
    }
    bool operator==(const SSendOptions&) const = default;
};

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
