// Any bytes as what clients send a served device, and as what a capture's
// answers hold: the input is split at each 0xff 0xfe pair into pieces; each
// piece goes to the server as a datagram (its first byte picks the client's
// port) and to the learner as a captured frame. Every fourth piece lets the
// clock run past the segment time-out. No crash, no read outside a piece (the
// sanitizers watch), every datagram sent holds its own BVLC length and fits a
// BACnet/IP datagram, and nothing is in flight after the last time-out.

#include "replay/Clock.h"
#include "serve/Learn.h"
#include "serve/Server.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace velmora::serve;

namespace {

class CStepClock final : public velmora::IClock {
public:
    int64_t Now() override { return llNow; }
    void SleepUntil(int64_t llDeadlineNs) override
    {
        llNow = llDeadlineNs > llNow ? llDeadlineNs : llNow;
    }
    int64_t llNow = 0;
};

// Device 1234 with an object-list long enough to go in segments.
const SLearned& Learned()
{
    static const SLearned learned = [] {
        SLearned l;
        SLearnedDevice& d = l.devices[1234];
        d.uInstance = 1234;
        d.bIAm = true;
        SLearnedObject& device = d.objects[ObjectId(kObjectDevice, 1234)];
        CBytes list;
        for (uint32_t u = 0; u < 400; ++u)
            AppObjectId(list, 0, u);
        device.values[{ kPropObjectList, kNoIndex }].push_back({ list, EFrom::ReadProperty, 0 });
        CBytes name;
        AppCharacterString(name, "Plant");
        device.values[{ kPropObjectName, kNoIndex }].push_back({ name, EFrom::IHave, 1 });
        device.order = { kPropObjectName, kPropObjectList };
        CBytes value;
        AppReal(value, 21.5f);
        d.objects[ObjectId(0, 1)].values[{ kPropPresentValue, kNoIndex }].push_back(
            { value, EFrom::Cov, 2 });
        return l;
    }();
    return learned;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<std::vector<uint8_t>> pieces(1);
    for (size_t i = 0; i < nSize; ++i) {
        if (i + 1 < nSize && pData[i] == 0xff && pData[i + 1] == 0xfe) {
            pieces.emplace_back();
            ++i;
            continue;
        }
        pieces.back().push_back(pData[i]);
    }
    CStepClock clock;
    SServeOptions options;
    options.bHistory = nSize % 2 == 1;
    options.iWindow = static_cast<int>(nSize % 5) + 1;
    CServer server(Learned(), options, clock);
    CLearner learner;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::vector<uint8_t>& piece = pieces[i];
        const SPeer peer { 0x0a000001,
            static_cast<uint16_t>(47808 + (piece.empty() ? 0 : piece[0] % 4)) };
        // An exact-size copy, so that a read past the end is the sanitizer's to see.
        std::vector<uint8_t> exact(piece.begin() + (piece.empty() ? 0 : 1), piece.end());
        server.Receive(peer, exact.data(), exact.size());
        learner.Add(exact.data(), exact.size(), i, i % 3 == 0 ? &exact : nullptr);
        if (i % 4 == 3) {
            clock.llNow += options.llSegmentTimeoutMs * 1'000'000;
            server.Tick();
        }
        for (const SOutgoing& o : server.TakeOut()) {
            if (o.bytes.size() < 4 || o.bytes.size() > 1476 + 64
                || (size_t { o.bytes[2] } << 8 | o.bytes[3]) != o.bytes.size())
                std::abort();
        }
        server.TakeServed();
    }
    for (int i = 0; i <= options.iRetries; ++i) {
        clock.llNow += options.llSegmentTimeoutMs * 1'000'000;
        server.Tick();
    }
    if (server.NextDeadline() != INT64_MAX)
        std::abort();
    learner.Finish();
    return 0;
}
