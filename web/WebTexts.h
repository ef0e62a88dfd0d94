#pragma once

#include "web/MakerSite.h"

#include <string>

namespace velmora {

// What the web services tell the user, byte for byte (trailing blanks included).
// The windows and the tests share these.

// Manual version check.
inline constexpr const char* kNoUpdatesText = "No updates available ";
inline constexpr const char* kNewVersionQuestion
    = "There is a new version of this application available.\n"
      "Would you like to download the new version?";
inline constexpr const char* kCouldNotConnectText
    = "We could not connect to our servers.\n"
      "Our servers could be down or \n"
      "You might not have a connection to the internet at this moment, \n"
      "Please check your connection and try again.";

// The About window's feedback form.
inline constexpr const char* kNoMessageText
    = "No message to send. \nPlease enter some text in to the message field ";
inline constexpr const char* kMessageTooLongText
    = "This message is too long please shorten it and try again";
inline constexpr const char* kMessageSentText
    = "Your message has been sent successfully\nThank you.";
inline constexpr const char* kMessageNotSentLead
    = "We were unable to send your message\n"
      "You might not have a connection to the internet at this moment, \n"
      "Please check your connection and try again.\n"
      "If you are still unable to send your message please manually contact technical support";

// The lead, one blank and the support address in parentheses.
inline std::string MessageNotSentText()
{
    return std::string(kMessageNotSentLead) + " (" + SupportEmail() + ")";
}

// The feedback form's limit on the message, in bytes of 8-bit text.
inline constexpr size_t kMaxFeedbackMessage = 1024;

} // namespace velmora
