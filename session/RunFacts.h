#pragma once

// How a listening Send ran, in words, for the report's facts and the JUnit
// file's properties: the conversation or open loop and its limits, the pace,
// the aim, the route, the device map, what the answers were judged against
// and the volatile profile.

#include "replay/Replay.h"

#include <string>
#include <utility>
#include <vector>

namespace velmora {

using SRunFact = std::pair<std::string, std::string>; // name, value

// The facts in a fixed order; csRig ("" none) comes first when given.
std::vector<SRunFact> RunFacts(const SReplayRequest& request, const std::string& csRig = {});

// The volatile profile's name for the facts: the built-in one (with what the
// capture teaches), none under --strict or --compare kind, and the file given.
std::string VolatileProfileName(const SReplayRequest& request);

} // namespace velmora
