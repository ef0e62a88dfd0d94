#pragma once

#include "web/HttpRetriever.h"

#include <cstddef>
#include <functional>
#include <string>

namespace velmora {

// The process runs one web request at a time. The caller's thread (the user
// interface) hands the post to a worker thread and waits for it while the Qt
// event loop keeps running, so handlers still run, and may start another
// request of their own, which then waits for this one.

inline constexpr size_t kMaxFormBody = 2048;

// How requests are made. The program keeps the defaults; tests shorten the
// time limits or make the worker start fail as if the system had no thread
// to give.
struct WebRequestOptions {
    HttpTimeouts timeouts;
    bool bWorkerStartFails = false;
};

// Waits until no request is in flight and claims the service. A body longer
// than kMaxFormBody is refused there: false, nothing sent, the service free.
// Otherwise fnBeforeStart runs, the post goes out on a worker and the call
// returns true when it has ended, with csAnswer holding the text that the
// latest request to csUrl got ("" when none): a request to the same address
// started during the wait decides for both. If the worker cannot be started,
// the answer is "".
bool RunWebRequest(const std::string& csUrl, const std::string& csBody,
    const std::function<void()>& fnBeforeStart, std::string& csAnswer,
    const WebRequestOptions& options = {});

// True while a request is claimed or in flight.
bool IsWebRequestBusy();

} // namespace velmora
