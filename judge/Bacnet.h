#pragma once

// The frame fields the judge pairs by live in decode/ (the conversation reads
// them too); the judge names them as its own.

#include "decode/BacnetFields.h"

namespace velmora::judge {

using frame::AnswersConfirmed;
using frame::BacnetSource;
using frame::EApdu;
using frame::IsAnswer;
using frame::kIAm;
using frame::kIAmRouterToNetwork;
using frame::kIHave;
using frame::kWhoHas;
using frame::kWhoIs;
using frame::kWhoIsRouterToNetwork;
using frame::ParseBacnet;
using frame::SBacnetFrame;
using frame::SStation;

} // namespace velmora::judge
