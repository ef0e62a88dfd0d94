// The server on a fake clock: who answers, what each request gets, where it
// came from, and segmentation as a server does it.

#include "FrameBuilder.h"
#include "SiteCapture.h"
#include "TestSupport.h"
#include "replay/Aim.h"
#include "replay/Clock.h"
#include "serve/ServeRun.h"
#include "serve/Server.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace velmora::serve;

namespace {

class CFakeClock final : public velmora::IClock {
public:
    int64_t Now() override { return llNow; }
    void SleepUntil(int64_t ll) override { llNow = std::max(llNow, ll); }
    int64_t llNow = 1'000'000'000;
};

const SLearned& Site()
{
    static const SLearned learned = [] {
        vtest::CTempDir dir;
        const std::string csPath = dir.File("site.pcap");
        EXPECT_TRUE(vtest::WriteSiteCapture(csPath));
        SLearned l;
        std::string csError;
        EXPECT_TRUE(LearnCapture(csPath, l, csError)) << csError;
        return l;
    }();
    return learned;
}

const SPeer kClient { 0x0a090001, 47809 };

CBytes Datagram(const CBytes& apdu, uint8_t uFunction = 0x0a)
{
    CBytes v { 0x81, uFunction, 0, 0, 0x01, 0x04 };
    v.insert(v.end(), apdu.begin(), apdu.end());
    v[2] = static_cast<uint8_t>(v.size() >> 8);
    v[3] = static_cast<uint8_t>(v.size());
    return v;
}

// A confirmed request header: segmented answers accepted, up to 64 segments, max APDU code.
CBytes Confirmed(uint8_t uInvoke, uint8_t uService, uint8_t uMaxCode = 5, bool bSegments = true)
{
    return { static_cast<uint8_t>(bSegments ? 0x02 : 0x00), static_cast<uint8_t>(0x60 | uMaxCode),
        uInvoke, uService };
}

CBytes ReadProperty(uint8_t uInvoke, uint32_t uObject, uint32_t uProperty,
    uint32_t uIndex = kNoIndex, uint8_t uMaxCode = 5, bool bSegments = true)
{
    CBytes v = Confirmed(uInvoke, 12, uMaxCode, bSegments);
    CtxObjectId(v, 0, uObject);
    CtxUnsigned(v, 1, uProperty);
    if (uIndex != kNoIndex)
        CtxUnsigned(v, 2, uIndex);
    return v;
}

CBytes ReadMultiple(uint8_t uInvoke, uint32_t uObject, std::vector<uint32_t> properties)
{
    CBytes v = Confirmed(uInvoke, 14);
    CtxObjectId(v, 0, uObject);
    PutOpening(v, 1);
    for (uint32_t u : properties)
        CtxUnsigned(v, 0, u);
    PutClosing(v, 1);
    return v;
}

CBytes Write(uint8_t uInvoke, uint32_t uObject, uint32_t uProperty, const CBytes& value)
{
    CBytes v = Confirmed(uInvoke, 15);
    CtxObjectId(v, 0, uObject);
    CtxUnsigned(v, 1, uProperty);
    PutOpening(v, 3);
    v.insert(v.end(), value.begin(), value.end());
    PutClosing(v, 3);
    CtxUnsigned(v, 4, 8);
    return v;
}

CBytes Real(float f)
{
    CBytes v;
    AppReal(v, f);
    return v;
}

// The APDUs sent (the NPDU of an unrouted answer is two bytes).
std::vector<CBytes> Apdus(CServer& server, SPeer* pTo = nullptr)
{
    std::vector<CBytes> v;
    for (const SOutgoing& o : server.TakeOut()) {
        if (pTo)
            *pTo = o.to;
        EXPECT_GE(o.bytes.size(), 6u);
        EXPECT_EQ(o.bytes[0], 0x81);
        EXPECT_EQ(o.bytes[1], 0x0a); // answers go unicast
        EXPECT_EQ(size_t { o.bytes[2] } << 8 | o.bytes[3], o.bytes.size());
        v.emplace_back(o.bytes.begin() + 6, o.bytes.end());
    }
    return v;
}

// The value of a readProperty-ACK: the bytes between [3] opening and closing.
CBytes AckValue(const CBytes& apdu)
{
    const auto it = std::find(apdu.begin(), apdu.end(), 0x3e);
    if (apdu.size() < 4 || apdu[0] != 0x30 || it == apdu.end())
        return {};
    return CBytes(it + 1, apdu.end() - 1);
}

struct SExchange {
    std::vector<CBytes> apdus;
    SServed served;
};

SExchange Ask(CServer& server, const CBytes& apdu, SPeer from = kClient)
{
    server.Receive(from, Datagram(apdu).data(), Datagram(apdu).size());
    SExchange e;
    e.apdus = Apdus(server);
    const std::vector<SServed> served = server.TakeServed();
    if (!served.empty())
        e.served = served.back();
    return e;
}

} // namespace

// Serving and aiming read an adapter's addresses by one rule; each says in
// its own words what is missing.
TEST(ServeServer, AdapterAddressesAreTheAimsReading)
{
    struct Row {
        const char* szAdapter;
        const char* szServeError; // nullptr: addresses found
        const char* szAimError;
    };
    const Row rows[] = {
        { "lo", nullptr, nullptr },
        { "no-such-adapter0", "there is no adapter no-such-adapter0",
            "there is no adapter no-such-adapter0" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szAdapter);
        std::vector<SAdapterAddress> served;
        std::string csServeError;
        velmora::SAdapterAddresses aimed;
        std::string csAimError;
        EXPECT_EQ(AdapterAddresses(row.szAdapter, served, csServeError), !row.szServeError);
        EXPECT_EQ(velmora::ReadAdapterAddresses(row.szAdapter, aimed, csAimError), !row.szAimError);
        EXPECT_EQ(csServeError, row.szServeError ? row.szServeError : "");
        EXPECT_EQ(csAimError, row.szAimError ? row.szAimError : "");
        ASSERT_EQ(served.size(), aimed.ipv4.size());
        ASSERT_EQ(aimed.broadcast.size(), aimed.ipv4.size());
        for (size_t i = 0; i < served.size(); ++i) {
            const velmora::CIpv4Address& ip = aimed.ipv4[i];
            EXPECT_EQ(served[i].uIp, uint32_t(ip[0]) << 24 | ip[1] << 16 | ip[2] << 8 | ip[3]);
        }
        if (!row.szServeError) {
            // The loopback adapter: 127.0.0.1, and no broadcast beside it.
            const auto it = std::find_if(served.begin(), served.end(),
                [](const SAdapterAddress& a) { return a.uIp == 0x7f000001; });
            ASSERT_NE(it, served.end());
            EXPECT_EQ(it->uBroadcast, 0u);
        }
    }
}

TEST(ServeServer, ReadPropertyAnswersFromWhatWasLearned)
{
    const uint32_t uAi1 = ObjectId(0, 1);
    CBytes description;
    AppCharacterString(description, "Learned from RPM");
    CBytes first;
    AppObjectId(first, 8, 1234);
    CBytes count;
    AppUnsigned(count, vtest::kObjectListCount);
    struct SRow {
        const char* szName;
        CBytes request;
        CBytes expected; // the APDU, or for an ACK its value
        EServedFrom eFrom;
        bool bValue;
    } rows[] = {
        { "captured by readProperty: the last value", ReadProperty(1, uAi1, 85), Real(22.5f),
            EServedFrom::Captured, true },
        { "shown only inside an RPM answer", ReadProperty(2, uAi1, 28), description,
            EServedFrom::Learned, true },
        { "an element of an array learned whole", ReadProperty(3, ObjectId(8, 1234), 76, 1), first,
            EServedFrom::Learned, true },
        { "array index 0 is the count", ReadProperty(4, ObjectId(8, 1234), 76, 0), count,
            EServedFrom::Learned, true },
        { "the wildcard device instance", ReadProperty(5, ObjectId(8, 4194303), 121),
            [] {
                CBytes v;
                AppCharacterString(v, "Velmora Test");
                return v;
            }(),
            EServedFrom::Learned, true },
        { "an object never shown", ReadProperty(6, ObjectId(0, 42), 85),
            vtest::Hex("50 06 0c 91 01 91 1f"), EServedFrom::Unknown, false },
        { "an object the device said it has not", ReadProperty(7, ObjectId(0, 99), 85),
            vtest::Hex("50 07 0c 91 01 91 1f"), EServedFrom::Unknown, false },
        { "a property never shown", ReadProperty(8, uAi1, 9999), vtest::Hex("50 08 0c 91 02 91 20"),
            EServedFrom::Unknown, false },
        { "an element past the array's end", ReadProperty(9, ObjectId(8, 1234), 76, 301),
            vtest::Hex("50 09 0c 91 02 91 2a"), EServedFrom::Unknown, false },
        { "a device not served answers unknown-object", ReadProperty(10, ObjectId(8, 99), 77),
            vtest::Hex("50 0a 0c 91 01 91 1f"), EServedFrom::Unknown, false },
        { "a service never seen", Confirmed(11, 26), vtest::Hex("60 0b 09"), EServedFrom::Unknown,
            false },
        { "a request cut short", vtest::Hex("02 65 0c 0c 0c 00"), vtest::Hex("60 0c 04"),
            EServedFrom::Unknown, false },
        { "a segmented request", vtest::Hex("0a 65 0d 00 04 0c 0c 00 00 00 01 19 55"),
            vtest::Hex("71 0d 04"), EServedFrom::Unknown, false },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        SServeOptions options;
        options.devices = { 1234 };
        CServer server(Site(), options, clock);
        const SExchange e = Ask(server, row.request);
        ASSERT_EQ(e.apdus.size(), 1u);
        EXPECT_EQ(row.bValue ? AckValue(e.apdus[0]) : e.apdus[0], row.expected);
        if (row.bValue) { // the invoke ID is the client's
            EXPECT_EQ(e.apdus[0][1], row.request[2]);
        }
        EXPECT_EQ(e.served.eFrom, row.eFrom) << e.served.csAnswer;
        EXPECT_EQ(e.served.client, kClient);
    }
}

TEST(ServeServer, SeveralDevicesAreToldApartByTheObjectsTheyHave)
{
    CFakeClock clock;
    CServer server(Site(), {}, clock);
    EXPECT_EQ(server.Served(), (std::vector<uint32_t> { 1234, 5678 }));
    struct SRow {
        const char* szName;
        CBytes request;
        uint32_t uDevice;
    } rows[] = {
        { "the device object names it", ReadProperty(1, ObjectId(8, 5678), 62), 5678 },
        { "the device that has the object", ReadProperty(2, ObjectId(3, 3), 85), 5678 },
        { "the other device's object", ReadProperty(3, ObjectId(0, 1), 85), 1234 },
        { "an object neither has: the lowest instance says so",
            ReadProperty(4, ObjectId(0, 42), 85), 1234 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        EXPECT_EQ(Ask(server, row.request).served.uDevice, row.uDevice);
    }
    // --device limits which are served.
    SServeOptions only;
    only.devices = { 5678, 4242 };
    CServer limited(Site(), only, clock);
    EXPECT_EQ(limited.Served(), std::vector<uint32_t> { 5678 });
    EXPECT_EQ(Apdus(limited).size(), 0u);
    const SExchange e = Ask(limited, ReadProperty(5, ObjectId(0, 1), 85));
    ASSERT_EQ(e.apdus.size(), 1u);
    EXPECT_EQ(e.apdus[0][0], 0x50); // 5678 has no analog-input,1
}

TEST(ServeServer, WhoIsAndWhoHasHonourTheirLimits)
{
    const auto whoIs = [](int iLow, int iHigh) {
        CBytes v { 0x10, 0x08 };
        if (iLow >= 0) {
            CtxUnsigned(v, 0, static_cast<uint32_t>(iLow));
            CtxUnsigned(v, 1, static_cast<uint32_t>(iHigh));
        }
        return v;
    };
    CBytes whoHasName { 0x10, 0x07 };
    PutTag(whoHasName, 3, true, 9);
    whoHasName.push_back(0);
    for (char c : std::string("Setpoint"))
        whoHasName.push_back(static_cast<uint8_t>(c));
    CBytes whoHasId { 0x10, 0x07 };
    CtxObjectId(whoHasId, 2, ObjectId(0, 1));
    CBytes whoHasNone { 0x10, 0x07 };
    CtxObjectId(whoHasNone, 2, ObjectId(0, 77));
    struct SRow {
        const char* szName;
        CBytes request;
        std::vector<uint8_t> firstBytes; // the second byte of each answer's APDU... by service
        std::vector<uint32_t> instances;
    } rows[] = {
        { "no limits: every served device", whoIs(-1, 0), { 0, 0 }, { 1234, 5678 } },
        { "limits around one", whoIs(1000, 2000), { 0 }, { 1234 } },
        { "limits on the instance itself", whoIs(5678, 5678), { 0 }, { 5678 } },
        { "limits that reach none", whoIs(1, 10), {}, {} },
        { "Who-Has by name", whoHasName, { 1 }, { 1234 } },
        { "Who-Has by identifier", whoHasId, { 1 }, { 1234 } },
        { "Who-Has of an object nobody has", whoHasNone, {}, {} },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        CServer server(Site(), {}, clock);
        SPeer to;
        server.Receive(kClient, Datagram(row.request, 0x0b).data(), Datagram(row.request).size());
        const std::vector<CBytes> apdus = Apdus(server, &to);
        ASSERT_EQ(apdus.size(), row.instances.size());
        for (size_t i = 0; i < apdus.size(); ++i) {
            EXPECT_EQ(apdus[i][0], 0x10);
            EXPECT_EQ(apdus[i][1], row.firstBytes[i]);
            CBytes id;
            AppObjectId(id, 8, row.instances[i]);
            EXPECT_EQ(CBytes(apdus[i].begin() + 2, apdus[i].begin() + 7), id);
        }
        if (!apdus.empty()) {
            EXPECT_EQ(to, kClient); // to the requester, not broadcast
        }
        EXPECT_EQ(server.TakeServed().size(), apdus.empty() ? 0u : 1u);
    }
    // The I-Am says what the captured one said.
    CFakeClock clock;
    CServer server(Site(), {}, clock);
    const SExchange e = Ask(server, whoIs(5678, 5678));
    ASSERT_EQ(e.apdus.size(), 1u);
    EXPECT_EQ(e.apdus[0], vtest::Hex("10 00 c4 02 00 16 2e 22 01 e0 91 03 21 07"));
    EXPECT_EQ(e.served.eFrom, EServedFrom::Captured);
}

TEST(ServeServer, ReadPropertyMultipleGivesAllInTheCapturedOrder)
{
    CFakeClock clock;
    CServer server(Site(), {}, clock);
    const uint32_t uAi1 = ObjectId(0, 1);
    // ALL: the properties the captured answer held, in its order.
    SExchange e = Ask(server, ReadMultiple(1, uAi1, { kPropAll }));
    ASSERT_EQ(e.apdus.size(), 1u);
    CBytes expected { 0x30, 0x01, 0x0e };
    CtxObjectId(expected, 0, uAi1);
    PutOpening(expected, 1);
    const auto result = [&expected](uint32_t uProperty, const CBytes& v) {
        CtxUnsigned(expected, 2, uProperty);
        PutOpening(expected, 4);
        expected.insert(expected.end(), v.begin(), v.end());
        PutClosing(expected, 4);
    };
    CBytes name, description, units, flags;
    AppCharacterString(name, "Zone Temp");
    AppCharacterString(description, "Learned from RPM");
    AppEnumerated(units, 62);
    AppBitString(flags, { false, false, false, false });
    result(kPropObjectName, name);
    result(kPropPresentValue, Real(22.5f)); // the last value, learned from a readProperty-ACK
    result(28, description);
    result(117, units);
    result(111, flags);
    PutClosing(expected, 1);
    EXPECT_EQ(e.apdus[0], expected);
    EXPECT_EQ(e.served.eFrom, EServedFrom::Learned);

    // REQUIRED and OPTIONAL split ALL; a property never shown is an error result.
    e = Ask(server, ReadMultiple(2, uAi1, { kPropRequired }));
    ASSERT_EQ(e.apdus.size(), 1u);
    EXPECT_NE(std::search(e.apdus[0].begin(), e.apdus[0].end(), name.begin(), name.end()),
        e.apdus[0].end());
    EXPECT_EQ(
        std::search(e.apdus[0].begin(), e.apdus[0].end(), description.begin(), description.end()),
        e.apdus[0].end());
    e = Ask(server, ReadMultiple(3, uAi1, { kPropOptional, 9999 }));
    ASSERT_EQ(e.apdus.size(), 1u);
    EXPECT_NE(
        std::search(e.apdus[0].begin(), e.apdus[0].end(), description.begin(), description.end()),
        e.apdus[0].end());
    const CBytes error
        = vtest::Hex("2a 27 0f 5e 91 02 91 20 5f"); // [2] 9999, [5] property/unknown-property
    EXPECT_NE(std::search(e.apdus[0].begin(), e.apdus[0].end(), error.begin(), error.end()),
        e.apdus[0].end());
    // One object the device does not have: the whole request fails.
    e = Ask(server, ReadMultiple(4, ObjectId(0, 42), { kPropAll }));
    ASSERT_EQ(e.apdus.size(), 1u);
    EXPECT_EQ(e.apdus[0], vtest::Hex("50 04 0e 91 01 91 1f"));
}

TEST(ServeServer, RequiredAndOptionalFollowTheObjectsType)
{
    struct SRow {
        const char* szName;
        uint32_t uObject;
        std::vector<uint32_t> shown; // as the capture listed them
        std::vector<uint32_t> required; // the rest is OPTIONAL
    } rows[] = {
        { "binary-output: polarity and the commanding properties", ObjectId(4, 1),
            { 77, 85, 84, 87, 104, 28, 431, 111, 36, 81, 4 },
            { 77, 85, 84, 87, 104, 431, 111, 36, 81 } },
        { "analog-input: reliability is optional", ObjectId(0, 3), { 77, 85, 117, 103, 111, 28 },
            { 77, 85, 117, 111 } },
        { "schedule: reliability required, weekly-schedule not", ObjectId(17, 1),
            { 77, 85, 32, 123, 174, 54, 88, 111, 103, 81 },
            { 77, 85, 32, 174, 54, 88, 111, 103, 81 } },
        { "trend-log", ObjectId(20, 2), { 77, 133, 126, 131, 141, 145, 28, 197, 111, 36, 134 },
            { 77, 133, 126, 131, 141, 145, 197, 111, 36 } },
        { "notification-class", ObjectId(15, 9), { 77, 17, 86, 1, 102, 28 },
            { 77, 17, 86, 1, 102 } },
        { "multi-state-value: number-of-states, no units", ObjectId(19, 4),
            { 77, 85, 74, 110, 117 }, { 77, 85, 74 } },
        { "file", ObjectId(10, 0), { 77, 43, 42, 71, 13, 99, 41, 28 },
            { 77, 43, 42, 71, 13, 99, 41 } },
        { "accumulator: the common list", ObjectId(23, 1), { 77, 85, 117, 28, 84 },
            { 77, 85, 117 } },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        SLearned learned;
        SLearnedDevice& device = learned.devices[77];
        device.uInstance = 77;
        SLearnedObject& object = device.objects[row.uObject];
        object.order = row.shown;
        for (uint32_t u : row.shown) {
            CBytes v;
            AppUnsigned(v, u);
            object.values[{ u, kNoIndex }].push_back({ v, EFrom::ReadPropertyMultiple, 1 });
        }
        CFakeClock clock;
        CServer server(learned, {}, clock);
        for (const uint32_t uWhich : { kPropRequired, kPropOptional }) {
            std::vector<uint32_t> listed;
            for (uint32_t u : row.shown)
                if ((std::find(row.required.begin(), row.required.end(), u) != row.required.end())
                    == (uWhich == kPropRequired))
                    listed.push_back(u);
            CBytes expected { 0x30, 0x05, 0x0e };
            CtxObjectId(expected, 0, row.uObject);
            PutOpening(expected, 1);
            for (uint32_t u : listed) {
                CtxUnsigned(expected, 2, u);
                PutOpening(expected, 4);
                AppUnsigned(expected, u);
                PutClosing(expected, 4);
            }
            PutClosing(expected, 1);
            const SExchange e = Ask(server, ReadMultiple(5, row.uObject, { uWhich }));
            ASSERT_EQ(e.apdus.size(), 1u);
            EXPECT_EQ(e.apdus[0], expected) << (uWhich == kPropRequired ? "REQUIRED" : "OPTIONAL");
        }
    }
}

TEST(ServeServer, WritesAreReadBackUnlessReadOnly)
{
    const uint32_t uAi1 = ObjectId(0, 1);
    CFakeClock clock;
    CServer server(Site(), {}, clock);
    SExchange e = Ask(server, Write(1, uAi1, 85, Real(30.0f)));
    ASSERT_EQ(e.apdus.size(), 1u);
    EXPECT_EQ(e.apdus[0], vtest::Hex("20 01 0f"));
    EXPECT_EQ(e.served.eFrom, EServedFrom::Written);
    e = Ask(server, ReadProperty(2, uAi1, 85));
    EXPECT_EQ(AckValue(e.apdus.at(0)), Real(30.0f));
    EXPECT_EQ(e.served.eFrom, EServedFrom::Written);
    // A Null relinquishes: the captured value again.
    Ask(server, Write(3, uAi1, 85, CBytes { 0x00 }));
    e = Ask(server, ReadProperty(4, uAi1, 85));
    EXPECT_EQ(AckValue(e.apdus.at(0)), Real(22.5f));
    // Writing what the capture never showed.
    e = Ask(server, Write(5, ObjectId(0, 42), 85, Real(1.0f)));
    EXPECT_EQ(e.apdus.at(0), vtest::Hex("50 05 0f 91 01 91 1f"));

    SServeOptions options;
    options.bReadOnly = true;
    CServer readOnly(Site(), options, clock);
    e = Ask(readOnly, Write(6, uAi1, 85, Real(30.0f)));
    EXPECT_EQ(e.apdus.at(0), vtest::Hex("50 06 0f 91 02 91 28"));
    e = Ask(readOnly, ReadProperty(7, uAi1, 85));
    EXPECT_EQ(AckValue(e.apdus.at(0)), Real(22.5f));
}

TEST(ServeServer, HistoryGivesTheCapturedValuesInOrder)
{
    const uint32_t uAi1 = ObjectId(0, 1);
    CFakeClock clock;
    SServeOptions options;
    options.bHistory = true;
    CServer server(Site(), options, clock);
    const std::vector<CBytes> expected { Real(21.5f), Real(22.0f), Real(22.5f), Real(22.5f) };
    const std::vector<EServedFrom> from { EServedFrom::Captured, EServedFrom::Learned,
        EServedFrom::Captured, EServedFrom::Captured };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const SExchange e = Ask(server, ReadProperty(static_cast<uint8_t>(i), uAi1, 85));
        EXPECT_EQ(AckValue(e.apdus.at(0)), expected[i]);
        EXPECT_EQ(e.served.eFrom, from[i]); // the COV's value is learned
    }
}

namespace {

// Sequence numbers of the segments sent, and the answer's data put together.
std::vector<int> Segments(const std::vector<CBytes>& apdus, CBytes* pData = nullptr)
{
    std::vector<int> v;
    for (const CBytes& a : apdus) {
        EXPECT_EQ(a[0] & 0xf8, 0x38) << "not a segment";
        v.push_back(a[2]);
        if (pData)
            pData->insert(pData->end(), a.begin() + 5, a.end());
    }
    return v;
}

CBytes SegmentAck(uint8_t uInvoke, uint8_t uSeq, uint8_t uWindow)
{
    return { 0x40, uInvoke, uSeq, uWindow };
}

} // namespace

TEST(ServeServer, LongAnswersGoInWindowsAsAServerSendsThem)
{
    const uint32_t uDevice = ObjectId(8, 1234);
    CFakeClock clock;
    SServeOptions options;
    options.iWindow = 2;
    options.llSegmentTimeoutMs = 100;
    options.iRetries = 1;
    CServer server(Site(), options, clock);
    // The object-list (1505 bytes) to a client of max APDU 206: 201 bytes a segment.
    SExchange e = Ask(server, ReadProperty(9, uDevice, 76, kNoIndex, 2));
    EXPECT_NE(e.served.csAnswer.find("(8 segments)"), std::string::npos) << e.served.csAnswer;
    CBytes data;
    EXPECT_EQ(Segments(e.apdus, &data), std::vector<int> { 0 });
    EXPECT_EQ(e.apdus[0][3], 2); // the window proposed
    EXPECT_EQ(e.apdus[0][4], 12);
    for (const CBytes& a : e.apdus)
        EXPECT_LE(a.size(), 206u);
    e = Ask(server, SegmentAck(9, 0, 2));
    EXPECT_EQ(Segments(e.apdus, &data), (std::vector<int> { 1, 2 }));
    // No Segment-ACK within the time-out: the window again, once.
    clock.llNow += 100'000'000;
    server.Tick();
    EXPECT_EQ(Segments(Apdus(server)), (std::vector<int> { 1, 2 }));
    e = Ask(server, SegmentAck(9, 2, 2));
    EXPECT_EQ(Segments(e.apdus, &data), (std::vector<int> { 3, 4 }));
    // A client that takes more at once.
    e = Ask(server, SegmentAck(9, 4, 5));
    EXPECT_EQ(Segments(e.apdus, &data), (std::vector<int> { 5, 6, 7 }));
    EXPECT_EQ(e.apdus.back()[0], 0x38); // the last has no "more follows"
    EXPECT_EQ(e.apdus.front()[0], 0x3c);
    Ask(server, SegmentAck(9, 7, 5));
    EXPECT_EQ(server.NextDeadline(), INT64_MAX);
    // The pieces make the whole answer.
    CBytes expected;
    CtxObjectId(expected, 0, uDevice);
    CtxUnsigned(expected, 1, 76);
    PutOpening(expected, 3);
    const CBytes list = vtest::SiteObjectList();
    expected.insert(expected.end(), list.begin(), list.end());
    PutClosing(expected, 3);
    EXPECT_EQ(data, expected);

    // A client gone silent: the window again, then an Abort.
    const SServeCounts before = server.Counts();
    const SServed asked = Ask(server, ReadProperty(10, uDevice, 76, kNoIndex, 2)).served;
    EXPECT_NE(asked.eFrom, EServedFrom::Unknown);
    clock.llNow += 100'000'000;
    server.Tick();
    EXPECT_EQ(Segments(Apdus(server)), std::vector<int> { 0 });
    EXPECT_TRUE(server.TakeServed().empty()); // a window again is no news
    clock.llNow += 100'000'000;
    server.Tick();
    EXPECT_EQ(Apdus(server), std::vector<CBytes> { vtest::Hex("71 0a 0a") });
    // The request is told again, now unknown: the list, the counts and the
    // JUnit file see the answer was given up.
    const std::vector<SServed> givenUp = server.TakeServed();
    ASSERT_EQ(givenUp.size(), 1u);
    EXPECT_EQ(givenUp[0].csRequest, asked.csRequest);
    EXPECT_EQ(givenUp[0].eFrom, EServedFrom::Unknown);
    EXPECT_EQ(givenUp[0].uDevice, 1234u);
    EXPECT_EQ(givenUp[0].llNs, clock.llNow);
    EXPECT_NE(givenUp[0].csAnswer.find("Abort[10] tsm-timeout"), std::string::npos)
        << givenUp[0].csAnswer;
    EXPECT_NE(ServedJUnitXml("s", { asked, givenUp[0] }, 0).find("tests=\"2\" failures=\"1\""),
        std::string::npos);
    const SServeCounts c = server.Counts();
    EXPECT_EQ(c.uRequests, before.uRequests + 1);
    EXPECT_EQ(c.uUnknown, before.uUnknown + 1);
    EXPECT_EQ(c.uCaptured + c.uLearned, before.uCaptured + before.uLearned);
    EXPECT_EQ(c.uSegmented, 2u);
    EXPECT_EQ(c.uResent, 2u);
    EXPECT_EQ(c.uAborted, 1u);
    EXPECT_EQ(c.uSegments, 8u + 2u + 2u);

    // An answer of errors only, given up too: told again, counted unknown once.
    std::vector<uint32_t> never;
    for (uint32_t u = 5000; u < 5060; ++u)
        never.push_back(u);
    CBytes errors = ReadMultiple(11, uDevice, never);
    errors[1] = 0x62; // max APDU 206
    const SServed asked2 = Ask(server, errors).served;
    EXPECT_EQ(asked2.eFrom, EServedFrom::Unknown);
    EXPECT_NE(asked2.csAnswer.find(" segments)"), std::string::npos) << asked2.csAnswer;
    clock.llNow += 200'000'000;
    server.Tick();
    clock.llNow += 200'000'000;
    server.Tick();
    const std::vector<SServed> givenUp2 = server.TakeServed();
    ASSERT_EQ(givenUp2.size(), 1u);
    EXPECT_NE(givenUp2[0].csAnswer.find("Abort[11] tsm-timeout"), std::string::npos);
    EXPECT_EQ(server.Counts().uUnknown, c.uUnknown + 1);
    EXPECT_EQ(server.Counts().uRequests, c.uRequests + 1);
}

TEST(ServeServer, SegmentationIsRefusedWhereEitherSideCannot)
{
    struct SRow {
        const char* szName;
        uint32_t uDevice;
        CBytes request;
        CBytes expected;
    } rows[] = {
        { "the client accepts no segments", 1234,
            ReadProperty(1, ObjectId(8, 1234), 76, kNoIndex, 5, false), vtest::Hex("71 01 04") },
        { "the captured device segments nothing", 5678,
            ReadMultiple(2, ObjectId(8, 5678), { kPropAll }), {} },
        { "more segments than the client takes", 1234,
            [] {
                CBytes v = ReadProperty(3, ObjectId(8, 1234), 76, kNoIndex, 0);
                v[1] = 0x10; // two segments of 50 bytes at most
                return v;
            }(),
            vtest::Hex("71 03 01") },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        CServer server(Site(), {}, clock);
        const SExchange e = Ask(server, row.request);
        ASSERT_EQ(e.apdus.size(), 1u);
        if (!row.expected.empty())
            EXPECT_EQ(e.apdus[0], row.expected);
        else
            EXPECT_EQ(e.apdus[0][0], 0x30); // short enough: nothing to segment
    }
}

TEST(ServeServer, BadDatagramsAreCountedNotAnswered)
{
    CFakeClock clock;
    CServer server(Site(), {}, clock);
    const CBytes rows[] = {
        {},
        vtest::Hex("81"),
        vtest::Hex("82 0a 00 04"),
        vtest::Hex("81 0a 00 09 01 00"), // BVLC longer than the datagram
        vtest::Hex("81 0a 00 06 02 00"), // NPDU version 2
        vtest::Hex("81 0a 00 05 01"),
    };
    for (const CBytes& v : rows)
        server.Receive(kClient, v.data(), v.size());
    EXPECT_TRUE(server.TakeOut().empty());
    EXPECT_EQ(server.Counts().uBad, std::size(rows));
    EXPECT_EQ(server.Counts().uRequests, 0u);
}

TEST(ServeServer, RoutedRequestsAreAnsweredBackThroughTheirRouter)
{
    CFakeClock clock;
    CServer server(Site(), {}, clock);
    // From network 5 station 0x21, through a router at the client's address.
    CBytes v { 0x81, 0x0a, 0, 0, 0x01, 0x0c, 0x00, 0x05, 0x01, 0x21 };
    const CBytes rp = ReadProperty(1, ObjectId(0, 1), 85);
    v.insert(v.end(), rp.begin(), rp.end());
    v[3] = static_cast<uint8_t>(v.size());
    server.Receive(kClient, v.data(), v.size());
    const std::vector<SOutgoing> out = server.TakeOut();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(CBytes(out[0].bytes.begin() + 4, out[0].bytes.begin() + 11),
        vtest::Hex("01 20 00 05 01 21 ff")); // DNET 5, DADR 21, hop count
    EXPECT_EQ(out[0].bytes[11], 0x30);
}

TEST(ServeServer, TsvLinesAndSummary)
{
    SServed s;
    s.llNs = 3'250'000'000;
    s.client = kClient;
    s.csRequest = "readProperty[ 1]\tanalog-input,1";
    s.csAnswer = "Error\nx";
    s.eFrom = EServedFrom::Unknown;
    EXPECT_EQ(ServedTsvLine(s, 1'000'000'000),
        "2.250000\t10.9.0.1:47809\treadProperty[ 1] analog-input,1\tError x\tunknown");
    SServed ok = s;
    ok.csRequest = "whoIs <all>";
    ok.eFrom = EServedFrom::Captured;
    EXPECT_EQ(ServedJUnitXml("site & co.pcap", { ok, s }, 1'000'000'000),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
        "<testsuite name=\"site &amp; co.pcap\" tests=\"2\" failures=\"1\">\n"
        "  <testcase classname=\"site &amp; co.pcap\" name=\"2.250000 10.9.0.1:47809 whoIs "
        "&lt;all&gt;\" time=\"0.000\"/>\n"
        "  <testcase classname=\"site &amp; co.pcap\" name=\"2.250000 10.9.0.1:47809 "
        "readProperty[ 1] analog-input,1\" time=\"0.000\">\n"
        "    <failure message=\"not in the capture\">Error x</failure>\n  </testcase>\n"
        "</testsuite>\n</testsuites>\n");
    SServeReportFacts facts;
    facts.csCapture = "a<b>.pcap";
    facts.devices = { 1234 };
    const std::string csHtml = ServedReportHtml(facts, { ok, s }, 1'000'000'000);
    EXPECT_NE(csHtml.find("<title>Served: a&lt;b&gt;.pcap</title>"), std::string::npos);
    EXPECT_NE(csHtml.find("<tr><td>2.250000</td><td>10.9.0.1:47809</td><td>whoIs "
                          "&lt;all&gt;</td><td>Error x</td><td>captured</td></tr>"),
        std::string::npos)
        << csHtml;
    EXPECT_NE(csHtml.find("<tr class=unknown><td>2.250000</td>"), std::string::npos);
    SServeCounts c;
    c.uRequests = 3;
    c.uCaptured = 1;
    c.uLearned = 1;
    c.uUnknown = 1;
    EXPECT_EQ(
        ServeSummary(c).rfind("served 3 requests: 1 captured, 1 learned, 0 written, 1 unknown", 0),
        0u);
}

namespace {

const std::array<uint8_t, 6> kDeviceMac { 0x02, 0, 0, 0, 0, 0x0d };
const std::array<uint8_t, 6> kClientMac { 0x02, 0, 0, 0, 0, 0x0c };
const std::array<uint8_t, 6> kOwnMac { 0x02, 0, 0, 0, 0, 0x0e };
const std::array<uint8_t, 6> kBroadcastMac { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff };

// BACnet/Ethernet: 802.3, LLC 82 82 03, then the NPDU and APDU; padded to 60.
CBytes EthernetFrame(
    const std::array<uint8_t, 6>& to, const std::array<uint8_t, 6>& from, const CBytes& npduApdu)
{
    CBytes v(to.begin(), to.end());
    v.insert(v.end(), from.begin(), from.end());
    const size_t nLength = 3 + npduApdu.size();
    v.insert(v.end(),
        { static_cast<uint8_t>(nLength >> 8), static_cast<uint8_t>(nLength), 0x82, 0x82, 0x03 });
    v.insert(v.end(), npduApdu.begin(), npduApdu.end());
    v.resize(std::max<size_t>(v.size(), 60), 0);
    return v;
}

} // namespace

TEST(ServeServer, BacnetEthernetDevicesAreServedWithFramesFromTheAdaptersMac)
{
    CBytes iAm { 0x01, 0x00, 0x10, 0x00 };
    AppObjectId(iAm, 8, 77);
    AppUnsigned(iAm, 480);
    AppEnumerated(iAm, 3);
    AppUnsigned(iAm, 5);
    CBytes ack { 0x01, 0x00, 0x30, 0x01, 0x0c };
    CtxObjectId(ack, 0, ObjectId(0, 1));
    CtxUnsigned(ack, 1, 85);
    PutOpening(ack, 3);
    AppReal(ack, 21.5f);
    PutClosing(ack, 3);
    CLearner learner;
    for (const CBytes& f : { EthernetFrame(kBroadcastMac, kDeviceMac, iAm),
             EthernetFrame(kClientMac, kDeviceMac, ack) })
        learner.Add(f.data(), f.size(), 0);
    const SLearned learned = learner.Finish();
    ASSERT_EQ(learned.devices.count(77), 1u);
    EXPECT_TRUE(learned.devices.at(77).bEthernet);
    EXPECT_EQ(learned.devices.at(77).csAddress, "02:00:00:00:00:0d");

    CFakeClock clock;
    SServeOptions options;
    options.ownMac = kOwnMac;
    CServer server(learned, options, clock);
    CBytes rp { 0x01, 0x04 };
    const CBytes request = ReadProperty(9, ObjectId(0, 1), 85);
    rp.insert(rp.end(), request.begin(), request.end());
    CBytes whoIs { 0x01, 0x00, 0x10, 0x08 };
    struct SRow {
        const char* szName;
        CBytes frame;
        CBytes apdu; // of the answer; empty: none
    } rows[] = {
        { "a request to our MAC", EthernetFrame(kOwnMac, kClientMac, rp),
            [&] {
                CBytes v = ack;
                v[3] = 9;
                return CBytes(v.begin() + 2, v.end());
            }() },
        { "a broadcast Who-Is", EthernetFrame(kBroadcastMac, kClientMac, whoIs),
            CBytes(iAm.begin() + 2, iAm.end()) },
        { "a request to another station", EthernetFrame(kDeviceMac, kClientMac, rp), {} },
        { "our own frame heard back", EthernetFrame(kBroadcastMac, kOwnMac, whoIs), {} },
        { "not BACnet", vtest::EthernetII(0x88b5, CBytes(46, 1)), {} },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        server.ReceiveFrame(row.frame.data(), row.frame.size());
        const std::vector<SOutgoing> out = server.TakeOut();
        ASSERT_EQ(out.size(), row.apdu.empty() ? 0u : 1u);
        if (out.empty())
            continue;
        const CBytes& f = out[0].bytes;
        EXPECT_TRUE(out[0].to.bEthernet);
        EXPECT_EQ(CBytes(f.begin(), f.begin() + 6), CBytes(kClientMac.begin(), kClientMac.end()));
        EXPECT_EQ(CBytes(f.begin() + 6, f.begin() + 12), CBytes(kOwnMac.begin(), kOwnMac.end()));
        const size_t nLength = size_t { f[12] } << 8 | f[13];
        EXPECT_EQ(nLength, 3 + 2 + row.apdu.size()); // padding is not counted
        EXPECT_GE(f.size(), 60u);
        EXPECT_EQ(CBytes(f.begin() + 14, f.begin() + 19), vtest::Hex("82 82 03 01 00"));
        EXPECT_EQ(CBytes(f.begin() + 19, f.begin() + 19 + static_cast<ptrdiff_t>(row.apdu.size())),
            row.apdu);
    }
    const std::vector<SServed> served = server.TakeServed();
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(PeerText(served[0].client), "02:00:00:00:00:0c");
}
