#pragma once

#include <string>

// What a Send needs of the main window.
class IReplayWindow {
public:
    virtual ~IReplayWindow() = default;
    // Reads the controls into the window's values (validation may show its
    // message; the result is not looked at) and hands over the three inputs.
    virtual void ReadReplayInputs(std::string& csPath, int& iMode, int& iOffset) = 0;
    // Path field, Browse, Single Packet, All packets, offset, Send, adapter list.
    virtual void EnableReplayControls(bool bEnable) = 0;
    // Sets the status text and writes the window's values into its controls.
    virtual void SetStatusText(const std::string& csText) = 0;
    // Reads the controls, repaints what is invalid, handles pending messages.
    virtual void PumpMessages() = 0;
};

// The Send command: replays the capture named by the window onto the adapter.
void OnSendReplay(IReplayWindow& window, const std::string& csSelectedDeviceName);
