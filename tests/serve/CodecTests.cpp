// The encoders a served device answers with, each application datatype read
// back by the decoder (the bytes a client's stack will parse).

#include "FrameBuilder.h"
#include "SiteCapture.h"
#include "decode/Decoder.h"
#include "serve/Codec.h"

#include <functional>
#include <gtest/gtest.h>

using namespace velmora::serve;

namespace {

// The decoder's words for a readProperty-ACK of analog-value,1 present-value holding v.
std::string Decoded(const CBytes& v)
{
    CBytes apdu { 0x01, 0x00, 0x30, 0x01, 0x0c };
    CtxObjectId(apdu, 0, ObjectId(2, 1));
    CtxUnsigned(apdu, 1, 85);
    PutOpening(apdu, 3);
    apdu.insert(apdu.end(), v.begin(), v.end());
    PutClosing(apdu, 3);
    const std::vector<uint8_t> frame = vtest::SiteFrame(vtest::kDeviceIp, vtest::kClientIp, apdu);
    velmora::dissect::SFrame f;
    f.pData = frame.data();
    f.header.uCapLen = f.header.uWireLen = static_cast<uint32_t>(frame.size());
    const velmora::dissect::SRow row = velmora::dissect::DecodeRow(f);
    EXPECT_FALSE(row.bMalformed) << row.csInfo;
    const size_t n = row.csInfo.find(" = ");
    return n == std::string::npos ? row.csInfo : row.csInfo.substr(n + 3);
}

} // namespace

struct SEncodeRow {
    const char* szName;
    std::function<void(CBytes&)> encode;
    const char* szBytes; // as BACnet encodes it
    const char* szDecoded; // what the decoder reads back
};

TEST(ServeCodec, EachApplicationDatatypeEncodesAsTheDecoderReadsIt)
{
    const SEncodeRow rows[] = {
        { "null", [](CBytes& v) { AppNull(v); }, "00", "NULL" },
        { "boolean true", [](CBytes& v) { AppBoolean(v, true); }, "11", "true" },
        { "boolean false", [](CBytes& v) { AppBoolean(v, false); }, "10", "false" },
        { "unsigned 0", [](CBytes& v) { AppUnsigned(v, 0); }, "21 00", "0" },
        { "unsigned 255", [](CBytes& v) { AppUnsigned(v, 255); }, "21 ff", "255" },
        { "unsigned 256", [](CBytes& v) { AppUnsigned(v, 256); }, "22 01 00", "256" },
        { "unsigned 2^32-1", [](CBytes& v) { AppUnsigned(v, 0xffffffff); }, "24 ff ff ff ff",
            "4294967295" },
        { "signed -1", [](CBytes& v) { AppSigned(v, -1); }, "31 ff", "-1" },
        { "signed 127", [](CBytes& v) { AppSigned(v, 127); }, "31 7f", "127" },
        { "signed 128", [](CBytes& v) { AppSigned(v, 128); }, "32 00 80", "128" },
        { "signed -129", [](CBytes& v) { AppSigned(v, -129); }, "32 ff 7f", "-129" },
        { "real", [](CBytes& v) { AppReal(v, 21.5f); }, "44 41 ac 00 00", "21.5" },
        { "double", [](CBytes& v) { AppDouble(v, -2.25); }, "55 08 c0 02 00 00 00 00 00 00",
            "-2.25" },
        { "octet string",
            [](CBytes& v) {
                AppOctetString(v, { 0x01, 0xab });
            },
            "62 01 ab", "01 ab" },
        { "character string", [](CBytes& v) { AppCharacterString(v, "Zone"); },
            "75 05 00 5a 6f 6e 65", "\"Zone\"" },
        { "empty character string", [](CBytes& v) { AppCharacterString(v, ""); }, "71 00", "\"\"" },
        { "bit string",
            [](CBytes& v) {
                AppBitString(v, { true, false, false, true });
            },
            "82 04 90", "{1001}" },
        { "enumerated", [](CBytes& v) { AppEnumerated(v, 62); }, "91 3e", "62" },
        { "date", [](CBytes& v) { AppDate(v, 126, 12, 8, 2); }, "a4 7e 0c 08 02", "2026-12-08" },
        { "time", [](CBytes& v) { AppTime(v, 4, 30, 5, 0); }, "b4 04 1e 05 00", "04:30:05.00" },
        { "object identifier", [](CBytes& v) { AppObjectId(v, 8, 1234); }, "c4 02 00 04 d2",
            "device,1234" },
    };
    for (const SEncodeRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CBytes v;
        row.encode(v);
        EXPECT_EQ(v, vtest::Hex(row.szBytes));
        EXPECT_EQ(Decoded(v), row.szDecoded);
    }
}

TEST(ServeCodec, LongContentAndHighTagNumbersUseExtendedHeaders)
{
    struct SRow {
        const char* szName;
        std::function<void(CBytes&)> encode;
        const char* szStart;
        size_t nSize;
    } rows[] = {
        { "length 4 stays in the tag", [](CBytes& v) { AppOctetString(v, CBytes(4, 0)); }, "64",
            5 },
        { "length 5 takes a byte", [](CBytes& v) { AppOctetString(v, CBytes(5, 0)); }, "65 05", 7 },
        { "length 254 takes three", [](CBytes& v) { AppOctetString(v, CBytes(254, 0)); },
            "65 fe 00 fe", 258 },
        { "length 65536 takes five", [](CBytes& v) { AppOctetString(v, CBytes(65536, 0)); },
            "65 ff 00 01 00 00", 65542 },
        { "context tag 20", [](CBytes& v) { CtxUnsigned(v, 20, 1); }, "f9 14 01", 3 },
        { "opening tag 20", [](CBytes& v) { PutOpening(v, 20); }, "fe 14", 2 },
        { "closing tag 20", [](CBytes& v) { PutClosing(v, 20); }, "ff 14", 2 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szName);
        CBytes v;
        row.encode(v);
        const CBytes start = vtest::Hex(row.szStart);
        ASSERT_GE(v.size(), start.size());
        EXPECT_EQ(CBytes(v.begin(), v.begin() + static_cast<ptrdiff_t>(start.size())), start);
        EXPECT_EQ(v.size(), row.nSize);
    }
}

TEST(ServeCodec, RequestHeaderCodesGiveTheClientsLimits)
{
    EXPECT_EQ(MaxApduOfCode(0), 50u);
    EXPECT_EQ(MaxApduOfCode(2), 206u);
    EXPECT_EQ(MaxApduOfCode(5), 1476u);
    EXPECT_EQ(MaxApduOfCode(9), 1476u); // reserved: the most B/IP carries
    EXPECT_EQ(MaxSegmentsOfCode(0), UINT32_MAX);
    EXPECT_EQ(MaxSegmentsOfCode(1), 2u);
    EXPECT_EQ(MaxSegmentsOfCode(6), 64u);
    EXPECT_EQ(MaxSegmentsOfCode(7), UINT32_MAX);
}
