#include "SiteCapture.h"

#include "capture/CaptureWriter.h"
#include "serve/Learn.h"

#include <algorithm>

namespace vtest {

using namespace velmora::serve;

std::vector<uint8_t> SiteFrame(
    uint32_t uSrcIp, uint32_t uDstIp, const std::vector<uint8_t>& npduApdu, bool bBroadcast)
{
    std::vector<uint8_t> bvlc { 0x81, static_cast<uint8_t>(bBroadcast ? 0x0b : 0x0a), 0, 0 };
    bvlc.insert(bvlc.end(), npduApdu.begin(), npduApdu.end());
    bvlc[2] = static_cast<uint8_t>(bvlc.size() >> 8);
    bvlc[3] = static_cast<uint8_t>(bvlc.size());
    std::vector<uint8_t> f(42, 0);
    for (int i = 0; i < 6; ++i) {
        f[i] = bBroadcast ? 0xff : static_cast<uint8_t>(i == 0 ? 0x02 : uDstIp >> (8 * (i % 4)));
        f[6 + i] = static_cast<uint8_t>(i == 0 ? 0x02 : uSrcIp >> (8 * (i % 4)));
    }
    f[12] = 0x08;
    const size_t nIp = 28 + bvlc.size();
    f[14] = 0x45;
    f[16] = static_cast<uint8_t>(nIp >> 8);
    f[17] = static_cast<uint8_t>(nIp);
    f[22] = 64;
    f[23] = 17;
    if (bBroadcast)
        uDstIp = 0x0a0900ff;
    for (int i = 0; i < 4; ++i) {
        f[26 + i] = static_cast<uint8_t>(uSrcIp >> (24 - 8 * i));
        f[30 + i] = static_cast<uint8_t>(uDstIp >> (24 - 8 * i));
    }
    // IPv4 header checksum, as a kernel would leave it.
    uint32_t uSum = 0;
    for (int i = 14; i < 34; i += 2)
        uSum += f[i] << 8 | f[i + 1];
    while (uSum >> 16)
        uSum = (uSum & 0xffff) + (uSum >> 16);
    f[24] = static_cast<uint8_t>(~uSum >> 8);
    f[25] = static_cast<uint8_t>(~uSum);
    f[34] = f[36] = 0xba;
    f[35] = f[37] = 0xc0;
    f[38] = static_cast<uint8_t>((8 + bvlc.size()) >> 8);
    f[39] = static_cast<uint8_t>(8 + bvlc.size());
    f.insert(f.end(), bvlc.begin(), bvlc.end());
    return f;
}

namespace {

    CBytes Npdu(bool bReply = false)
    {
        return { 0x01, static_cast<uint8_t>(bReply ? 0x04 : 0x00) };
    }

    CBytes ReadRequest(uint8_t uInvoke, uint32_t uObject, uint32_t uProperty)
    {
        CBytes v = Npdu(true);
        v.insert(v.end(), { 0x00, 0x05, uInvoke, 12 });
        CtxObjectId(v, 0, uObject);
        CtxUnsigned(v, 1, uProperty);
        return v;
    }

    CBytes ReadAck(uint8_t uInvoke, uint32_t uObject, uint32_t uProperty, const CBytes& value)
    {
        CBytes v = Npdu();
        v.insert(v.end(), { 0x30, uInvoke, 12 });
        CtxObjectId(v, 0, uObject);
        CtxUnsigned(v, 1, uProperty);
        PutOpening(v, 3);
        v.insert(v.end(), value.begin(), value.end());
        PutClosing(v, 3);
        return v;
    }

    CBytes Error(uint8_t uInvoke, uint8_t uService, uint32_t uClass, uint32_t uCode)
    {
        CBytes v = Npdu();
        v.insert(v.end(), { 0x50, uInvoke, uService });
        AppEnumerated(v, uClass);
        AppEnumerated(v, uCode);
        return v;
    }

    CBytes IAm(uint32_t uInstance, uint32_t uMax, uint32_t uSegmentation, uint32_t uVendor)
    {
        CBytes v = Npdu();
        v.insert(v.end(), { 0x10, 0x00 });
        AppObjectId(v, kObjectDevice, uInstance);
        AppUnsigned(v, uMax);
        AppEnumerated(v, uSegmentation);
        AppUnsigned(v, uVendor);
        return v;
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

    // One result of an RPM-ACK: [2] property, [4] value.
    void Result(CBytes& v, uint32_t uProperty, const CBytes& value)
    {
        CtxUnsigned(v, 2, uProperty);
        PutOpening(v, 4);
        v.insert(v.end(), value.begin(), value.end());
        PutClosing(v, 4);
    }

} // namespace

CBytes SiteObjectList()
{
    CBytes v;
    AppObjectId(v, kObjectDevice, 1234);
    for (uint32_t u = 1; u < kObjectListCount; ++u)
        AppObjectId(v, u % 2 ? 0 : 2, u); // analog-inputs and analog-values
    return v;
}

std::vector<std::vector<uint8_t>> SiteFrames()
{
    const uint32_t uAi1 = ObjectId(0, 1);
    const uint32_t uDevice = ObjectId(kObjectDevice, 1234);
    std::vector<std::vector<uint8_t>> frames;
    const auto to
        = [&](uint32_t uIp, const CBytes& v) { frames.push_back(SiteFrame(kClientIp, uIp, v)); };
    const auto from
        = [&](uint32_t uIp, const CBytes& v) { frames.push_back(SiteFrame(uIp, kClientIp, v)); };

    CBytes whoIs = Npdu();
    whoIs.insert(whoIs.end(), { 0x10, 0x08 });
    frames.push_back(SiteFrame(kClientIp, 0, whoIs, true));
    frames.push_back(SiteFrame(kDeviceIp, 0, IAm(1234, 1476, 0, 999), true));
    frames.push_back(SiteFrame(kDevice2Ip, 0, IAm(5678, 480, 3, 7), true));

    to(kDeviceIp, ReadRequest(1, uAi1, kPropPresentValue));
    from(kDeviceIp, ReadAck(1, uAi1, kPropPresentValue, Real(21.5f)));

    // RPM analog-input,1 ALL
    CBytes rpm = Npdu(true);
    rpm.insert(rpm.end(), { 0x02, 0x05, 2, 14 });
    CtxObjectId(rpm, 0, uAi1);
    PutOpening(rpm, 1);
    CtxUnsigned(rpm, 0, kPropAll);
    PutClosing(rpm, 1);
    to(kDeviceIp, rpm);
    CBytes ack = Npdu();
    ack.insert(ack.end(), { 0x30, 2, 14 });
    CtxObjectId(ack, 0, uAi1);
    PutOpening(ack, 1);
    Result(ack, kPropObjectName, Text("Zone Temp"));
    Result(ack, kPropPresentValue, Real(21.5f));
    Result(ack, 28, Text("Learned from RPM"));
    CBytes units;
    AppEnumerated(units, 62);
    Result(ack, 117, units);
    CBytes flags;
    AppBitString(flags, { false, false, false, false });
    Result(ack, 111, flags);
    PutClosing(ack, 1);
    from(kDeviceIp, ack);

    to(kDeviceIp, ReadRequest(3, uAi1, 9999));
    from(kDeviceIp, Error(3, 12, 2, 32));
    to(kDeviceIp, ReadRequest(4, ObjectId(0, 99), kPropPresentValue));
    from(kDeviceIp, Error(4, 12, 1, 31));

    // COV notification (unconfirmed) from device 1234: present-value 22.0
    CBytes cov = Npdu();
    cov.insert(cov.end(), { 0x10, 0x02 });
    CtxUnsigned(cov, 0, 1);
    CtxObjectId(cov, 1, uDevice);
    CtxObjectId(cov, 2, uAi1);
    CtxUnsigned(cov, 3, 60);
    PutOpening(cov, 4);
    CtxUnsigned(cov, 0, kPropPresentValue);
    PutOpening(cov, 2);
    AppReal(cov, 22.0f);
    PutClosing(cov, 2);
    PutClosing(cov, 4);
    frames.push_back(SiteFrame(kDeviceIp, kClientIp, cov));

    to(kDeviceIp, ReadRequest(5, uAi1, kPropPresentValue));
    from(kDeviceIp, ReadAck(5, uAi1, kPropPresentValue, Real(22.5f)));

    // RPM of the device object, answered in three segments.
    CBytes rpmDevice = Npdu(true);
    rpmDevice.insert(rpmDevice.end(), { 0x02, 0x75, 6, 14 });
    CtxObjectId(rpmDevice, 0, uDevice);
    PutOpening(rpmDevice, 1);
    CtxUnsigned(rpmDevice, 0, kPropObjectName);
    CtxUnsigned(rpmDevice, 0, kPropObjectList);
    CtxUnsigned(rpmDevice, 0, 121);
    PutClosing(rpmDevice, 1);
    to(kDeviceIp, rpmDevice);
    CBytes data;
    CtxObjectId(data, 0, uDevice);
    PutOpening(data, 1);
    Result(data, kPropObjectName, Text("Plant"));
    Result(data, kPropObjectList, SiteObjectList());
    Result(data, 121, Text("Velmora Test"));
    PutClosing(data, 1);
    const size_t nPart = (data.size() + 2) / 3;
    for (uint8_t u = 0; u < 3; ++u) {
        CBytes seg = Npdu();
        seg.insert(seg.end(), { static_cast<uint8_t>(u < 2 ? 0x3c : 0x38), 6, u, 4, 14 });
        const size_t nFrom = u * nPart;
        const size_t nTo = std::min(data.size(), nFrom + nPart);
        seg.insert(seg.end(), data.begin() + nFrom, data.begin() + nTo);
        from(kDeviceIp, seg);
        CBytes segAck = Npdu();
        segAck.insert(segAck.end(), { 0x40, 6, u, 4 });
        to(kDeviceIp, segAck);
    }

    // I-Have: device 1234 has analog-value,7 "Setpoint".
    CBytes iHave = Npdu();
    iHave.insert(iHave.end(), { 0x10, 0x01 });
    AppObjectId(iHave, kObjectDevice, 1234);
    AppObjectId(iHave, 2, 7);
    AppCharacterString(iHave, "Setpoint");
    frames.push_back(SiteFrame(kDeviceIp, 0, iHave, true));

    // Device 5678: binary-input,3 present-value active.
    CBytes active;
    AppEnumerated(active, 1);
    to(kDevice2Ip, ReadRequest(7, ObjectId(3, 3), kPropPresentValue));
    from(kDevice2Ip, ReadAck(7, ObjectId(3, 3), kPropPresentValue, active));

    // An answer from an address that never says which device it is.
    to(kNamelessIp, ReadRequest(8, ObjectId(0, 5), kPropPresentValue));
    from(kNamelessIp, ReadAck(8, ObjectId(0, 5), kPropPresentValue, Real(1.0f)));
    return frames;
}

bool WriteSiteCapture(const std::string& csPath)
{
    velmora::CCaptureWriter writer;
    if (!writer.Open(csPath))
        return false;
    uint32_t uSec = 1000;
    for (const auto& f : SiteFrames())
        if (!writer.Write(f, uSec++))
            return false;
    return writer.Close();
}

} // namespace vtest
