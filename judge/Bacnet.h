#pragma once

// The frame fields the judge pairs by live in decode/ (the conversation reads
// them too); the judge names them as its own.

#include "decode/BacnetFields.h"

namespace velmora::judge {

using decode::AnswersConfirmed;
using decode::BacnetSource;
using decode::EApdu;
using decode::IsAnswer;
using decode::kIAm;
using decode::kIAmRouterToNetwork;
using decode::kIHave;
using decode::kWhoHas;
using decode::kWhoIs;
using decode::kWhoIsRouterToNetwork;
using decode::ParseBacnet;
using decode::SBacnetFrame;
using decode::SStation;

} // namespace velmora::judge
