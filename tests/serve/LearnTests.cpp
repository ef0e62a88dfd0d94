// Learning the captured devices: every answer kind, pairing errors with their
// requests, reassembled segments, and captures that cannot be served.

#include "FrameBuilder.h"
#include "SiteCapture.h"
#include "TestSupport.h"
#include "serve/Learn.h"
#include "tools/CaptureWriter.h"

#include <gtest/gtest.h>

using namespace velmora::serve;

namespace {

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

CBytes Real(float f)
{
    CBytes v;
    AppReal(v, f);
    return v;
}

CBytes Text(const std::string& cs)
{
    CBytes v;
    AppCharacterString(v, cs);
    return v;
}

// The values learned for a property, oldest first, with where each came from.
std::vector<std::pair<CBytes, EFrom>> Values(
    uint32_t uDevice, uint32_t uObject, uint32_t uProperty, uint32_t uIndex = kNoIndex)
{
    std::vector<std::pair<CBytes, EFrom>> v;
    const auto itDevice = Site().devices.find(uDevice);
    if (itDevice == Site().devices.end())
        return v;
    const auto itObject = itDevice->second.objects.find(uObject);
    if (itObject == itDevice->second.objects.end())
        return v;
    const auto it = itObject->second.values.find({ uProperty, uIndex });
    if (it != itObject->second.values.end())
        for (const SLearnedValue& value : it->second)
            v.emplace_back(value.bytes, value.eFrom);
    return v;
}

} // namespace

TEST(ServeLearn, EveryAnswerKindIsLearned)
{
    using V = std::vector<std::pair<CBytes, EFrom>>;
    const uint32_t uAi1 = ObjectId(0, 1);
    const uint32_t uDevice = ObjectId(kObjectDevice, 1234);
    CBytes active;
    AppEnumerated(active, 1);
    CBytes units;
    AppEnumerated(units, 62);
    struct SRow {
        const char* szName;
        uint32_t uDevice;
        uint32_t uObject;
        uint32_t uProperty;
        V expected;
    } rows[] = {
        { "RP-ACK, COV, RP-ACK in order; the RPM repeat of 21.5 not kept again", 1234, uAi1,
            kPropPresentValue,
            { { Real(21.5f), EFrom::ReadProperty }, { Real(22.0f), EFrom::Cov },
                { Real(22.5f), EFrom::ReadProperty } } },
        { "a property shown once", 1234, uAi1, kPropObjectName,
            { { Text("Zone Temp"), EFrom::ReadPropertyMultiple } } },
        { "a property shown only in an RPM answer", 1234, uAi1, 28,
            { { Text("Learned from RPM"), EFrom::ReadPropertyMultiple } } },
        { "an enumerated RPM result", 1234, uAi1, 117, { { units, EFrom::ReadPropertyMultiple } } },
        { "a segmented RPM answer, reassembled", 1234, uDevice, kPropObjectList,
            { { vtest::SiteObjectList(), EFrom::ReadPropertyMultiple } } },
        { "the last result of the segmented answer", 1234, uDevice, 121,
            { { Text("Velmora Test"), EFrom::ReadPropertyMultiple } } },
        { "I-Have gives an object's name", 1234, ObjectId(2, 7), kPropObjectName,
            { { Text("Setpoint"), EFrom::IHave } } },
        { "the second device's own answer", 5678, ObjectId(3, 3), kPropPresentValue,
            { { active, EFrom::ReadProperty } } },
        { "not the other device's", 5678, uAi1, kPropPresentValue, {} },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        EXPECT_EQ(Values(row.uDevice, row.uObject, row.uProperty), row.expected);
    }
}

TEST(ServeLearn, IAmErrorsAndOrderAreKept)
{
    const SLearned& l = Site();
    ASSERT_EQ(l.devices.size(), 2u);
    const SLearnedDevice& d = l.devices.at(1234);
    EXPECT_TRUE(d.bIAm);
    EXPECT_EQ(d.uMaxApdu, 1476u);
    EXPECT_EQ(d.uSegmentation, 0u);
    EXPECT_EQ(d.uVendor, 999u);
    EXPECT_EQ(d.csAddress, "10.9.0.50:47808");
    EXPECT_EQ(d.uIp, vtest::kDeviceIp);
    const SLearnedDevice& d2 = l.devices.at(5678);
    EXPECT_EQ(d2.uMaxApdu, 480u);
    EXPECT_EQ(d2.uSegmentation, 3u);
    // Errors paired with their requests by addresses and invoke ID.
    EXPECT_EQ(d.unknownObjects, std::set<uint32_t> { ObjectId(0, 99) });
    EXPECT_EQ(d.objects.at(ObjectId(0, 1)).unknownProperties, std::set<uint32_t> { 9999 });
    // ALL gives back the RPM answer's order.
    EXPECT_EQ(d.objects.at(ObjectId(0, 1)).order,
        (std::vector<uint32_t> { kPropObjectName, kPropPresentValue, 28, 117, 111 }));
    EXPECT_EQ(l.counts.uIAm, 2u);
    EXPECT_EQ(l.counts.uIHave, 1u);
    EXPECT_EQ(l.counts.uReadAcks, 4u);
    EXPECT_EQ(l.counts.uRpmAcks, 2u);
    EXPECT_EQ(l.counts.uRpmResults, 8u);
    EXPECT_EQ(l.counts.uCov, 1u);
    EXPECT_EQ(l.counts.uErrors, 2u);
    EXPECT_EQ(l.counts.uSegmented, 1u);
    EXPECT_EQ(l.counts.uBroken, 0u);
    // What the I-Am said is the device object's, where no answer showed it.
    EXPECT_EQ(Values(5678, ObjectId(8, 5678), kPropMaxApdu).size(), 1u);
    // The address that never names its device is noted, not served.
    ASSERT_EQ(l.notes.size(), 1u);
    EXPECT_NE(l.notes[0].find("10.9.0.60:47808"), std::string::npos) << l.notes[0];
}

TEST(ServeLearn, ErrorsPairOnlyWithTheirOwnRequest)
{
    using vtest::SiteFrame;
    const uint32_t uAi = ObjectId(0, 2);
    CBytes req { 0x01, 0x04, 0x00, 0x05, 9, 12 };
    CtxObjectId(req, 0, uAi);
    CtxUnsigned(req, 1, 85);
    CBytes iAm { 0x01, 0x00, 0x10, 0x00 };
    AppObjectId(iAm, 8, 42);
    AppUnsigned(iAm, 1476);
    AppEnumerated(iAm, 0);
    AppUnsigned(iAm, 1);
    const auto error = [](uint8_t uInvoke, uint8_t uService) {
        CBytes v { 0x01, 0x00, 0x50, uInvoke, uService };
        AppEnumerated(v, 1);
        AppEnumerated(v, 31);
        return v;
    };
    struct SRow {
        const char* szName;
        uint32_t uAnswerFrom;
        CBytes answer;
        bool bLearned;
    } rows[] = {
        { "same invoke ID and peers", vtest::kDeviceIp, error(9, 12), true },
        { "another invoke ID", vtest::kDeviceIp, error(10, 12), false },
        { "another service", vtest::kDeviceIp, error(9, 14), false },
        { "from another station", vtest::kDevice2Ip, error(9, 12), false },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CLearner learner;
        const auto add
            = [&learner](const std::vector<uint8_t>& f) { learner.Add(f.data(), f.size(), 0); };
        add(SiteFrame(vtest::kDeviceIp, 0, iAm, true));
        add(SiteFrame(vtest::kDevice2Ip, 0, iAm, true));
        add(SiteFrame(vtest::kClientIp, vtest::kDeviceIp, req));
        add(SiteFrame(row.uAnswerFrom, vtest::kClientIp, row.answer));
        const SLearned l = learner.Finish();
        ASSERT_EQ(l.devices.count(42), 1u);
        EXPECT_EQ(l.devices.at(42).unknownObjects.count(uAi), row.bLearned ? 1u : 0u);
    }
}

TEST(ServeLearn, BrokenAnswersAndUnservableCapturesSaySo)
{
    vtest::CTempDir dir;
    struct SRow {
        const char* szName;
        std::vector<std::vector<uint8_t>> frames;
        const char* szError;
    } rows[] = {
        { "no BACnet at all", { velmora::MakeTestFrame(60, 1) }, "no device that can be served" },
        { "answers that never name a device", { vtest::SiteFrames()[3], vtest::SiteFrames()[4] },
            "no device that can be served" },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        const std::string csPath = dir.File("c.pcap");
        velmora::CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(csPath));
        for (const auto& f : row.frames)
            writer.Write(f);
        ASSERT_TRUE(writer.Close());
        SLearned l;
        std::string csError;
        EXPECT_FALSE(LearnCapture(csPath, l, csError));
        EXPECT_NE(csError.find(row.szError), std::string::npos) << csError;
    }
    SLearned l;
    std::string csError;
    EXPECT_FALSE(LearnCapture(dir.File("missing.pcap"), l, csError));
    EXPECT_FALSE(csError.empty());

    // An RP-ACK cut inside its value is counted broken and learns nothing.
    CLearner learner;
    std::vector<uint8_t> cut = vtest::SiteFrames()[4];
    CBytes ack { 0x01, 0x00, 0x30, 0x01, 0x0c };
    CtxObjectId(ack, 0, ObjectId(8, 77));
    CtxUnsigned(ack, 1, 77);
    PutOpening(ack, 3);
    ack.push_back(0x75);
    ack.push_back(0x09); // a string of 9 bytes, none present
    const std::vector<uint8_t> f = vtest::SiteFrame(vtest::kDeviceIp, vtest::kClientIp, ack);
    learner.Add(f.data(), f.size(), 0);
    const SLearned broken = learner.Finish();
    EXPECT_EQ(broken.counts.uBroken, 1u);
    EXPECT_TRUE(broken.devices.empty());
}

TEST(ServeLearn, ArrayElementsComeOutOfTheWholeArray)
{
    const CBytes list = vtest::SiteObjectList();
    CBytes element;
    ASSERT_TRUE(ArrayElement(list, 0, element));
    CBytes count;
    AppUnsigned(count, vtest::kObjectListCount);
    EXPECT_EQ(element, count);
    ASSERT_TRUE(ArrayElement(list, 1, element));
    CBytes first;
    AppObjectId(first, 8, 1234);
    EXPECT_EQ(element, first);
    ASSERT_TRUE(ArrayElement(list, vtest::kObjectListCount, element));
    EXPECT_FALSE(ArrayElement(list, vtest::kObjectListCount + 1, element));
    EXPECT_FALSE(ArrayElement(CBytes { 0x75, 0x09 }, 1, element)); // cut short
}

TEST(ServeLearn, PcapngCapturesAreLearnedAsPcapOnes)
{
    vtest::CTempDir dir;
    for (const bool bBig : { false, true }) {
        SCOPED_TRACE(bBig ? "big-endian section" : "little-endian section");
        const std::string csPath = dir.File(bBig ? "big.pcapng" : "little.pcapng");
        velmora::CPcapngWriter writer;
        ASSERT_TRUE(writer.Open(csPath));
        writer.Section(bBig);
        const uint32_t uInterface = writer.Interface(1, 0, 9);
        uint64_t uUnits = 1'000'000'000;
        for (const auto& f : vtest::SiteFrames())
            writer.Enhanced(uInterface, f, uUnits += 1000);
        ASSERT_TRUE(writer.Close());
        SLearned l;
        std::string csError;
        ASSERT_TRUE(LearnCapture(csPath, l, csError)) << csError;
        EXPECT_EQ(l.devices.size(), Site().devices.size());
        EXPECT_EQ(l.counts.uValues, Site().counts.uValues);
        EXPECT_EQ(l.counts.uSegmented, 1u);
        EXPECT_EQ(l.devices.at(1234).objects.at(ObjectId(8, 1234)).values,
            Site().devices.at(1234).objects.at(ObjectId(8, 1234)).values);
    }
}

TEST(ServeLearn, LongCapturesKeepWhatTheDevicesHoldNotEveryRecord)
{
    vtest::CTempDir dir;
    const std::string csPath = dir.File("long.pcap");
    velmora::CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(csPath));
    const std::vector<std::vector<uint8_t>> site = vtest::SiteFrames();
    for (const auto& f : site)
        ASSERT_TRUE(writer.Write(f));
    // More records than learning keeps readable behind it, then the site again:
    // the first answer let go, the second (not a repeat of it any more) is put
    // together from its own segments.
    const std::vector<uint8_t> filler(60, 0);
    for (int i = 0; i < 400000; ++i)
        ASSERT_TRUE(writer.Write(filler));
    for (const auto& f : site)
        ASSERT_TRUE(writer.Write(f));
    // A value that keeps changing.
    const uint32_t uAi1 = ObjectId(0, 1);
    for (int i = 0; i < 1100; ++i) {
        CBytes ack { 0x01, 0x00, 0x30, static_cast<uint8_t>(i), 12 };
        CtxObjectId(ack, 0, uAi1);
        CtxUnsigned(ack, 1, kPropPresentValue);
        PutOpening(ack, 3);
        AppReal(ack, static_cast<float>(i));
        PutClosing(ack, 3);
        ASSERT_TRUE(writer.Write(vtest::SiteFrame(vtest::kDeviceIp, vtest::kClientIp, ack)));
    }
    const uint64_t uRecords = writer.RecordCount();
    ASSERT_TRUE(writer.Close());

    SLearned learned;
    std::string csError;
    ASSERT_TRUE(LearnCapture(csPath, learned, csError)) << csError;
    EXPECT_EQ(learned.counts.uSegmented, 2u);
    const SLearnedDevice& device = learned.devices.at(1234);
    EXPECT_EQ(device.objects.at(ObjectId(kObjectDevice, 1234))
                  .values.at({ kPropObjectList, kNoIndex })
                  .back()
                  .bytes,
        vtest::SiteObjectList());
    // The changes only, at most kMaxChanges of them; the last stays the latest.
    const std::vector<SLearnedValue>& pv
        = device.objects.at(uAi1).values.at({ kPropPresentValue, kNoIndex });
    ASSERT_EQ(pv.size(), kMaxChanges);
    EXPECT_EQ(pv[0].bytes, Real(21.5f));
    EXPECT_EQ(pv[3].bytes, Real(21.5f)); // the second round changed it back
    EXPECT_EQ(pv.back().bytes, Real(1099.0f));
    EXPECT_EQ(pv.back().uRecord, uRecords - 1);
    EXPECT_EQ(learned.counts.uChangesDropped, 6 + 1100 - kMaxChanges);
    bool bNoted = false;
    for (const std::string& cs : learned.notes)
        bNoted = bNoted || cs.find("changes of values that changed more than 1024") == 0
            || cs.find(" changes of values that changed more than 1024 times not kept")
                != std::string::npos;
    EXPECT_TRUE(bNoted);
}
