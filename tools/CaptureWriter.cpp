#include "tools/CaptureWriter.h"

#include <pcap/pcap.h>

#include <cstring>

namespace velmora {

namespace {

    constexpr size_t kStreamBufferSize = 1 << 20;

    void PutU16Be(std::vector<uint8_t>& v, uint16_t u)
    {
        v.push_back(static_cast<uint8_t>(u >> 8));
        v.push_back(static_cast<uint8_t>(u));
    }

} // namespace

const uint8_t kTestSourceMac[6] = { 0x02, 0x76, 0x6d, 0x00, 0x00, 0x01 };

CRawCaptureWriter::~CRawCaptureWriter()
{
    Close();
}

bool CRawCaptureWriter::Open(const std::string& csPath)
{
    Close();
    m_bFailed = false;
    m_pFile = std::fopen(csPath.c_str(), "wb");
    return m_pFile != nullptr;
}

void CRawCaptureWriter::U32(uint32_t u)
{
    const uint8_t b[4] = { static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
        static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24) };
    Bytes(b, sizeof b);
}

void CRawCaptureWriter::FileHeader(
    uint32_t uSnapLen, uint32_t uMagic, uint16_t uMajor, uint16_t uMinor, uint32_t uLinkType)
{
    U32(uMagic);
    U32(static_cast<uint32_t>(uMajor) | (static_cast<uint32_t>(uMinor) << 16));
    U32(0); // thiszone
    U32(0); // sigfigs
    U32(uSnapLen);
    U32(uLinkType);
}

void CRawCaptureWriter::RecordHeader(
    uint32_t uSec, uint32_t uUsec, uint32_t uCapLen, uint32_t uWireLen)
{
    U32(uSec);
    U32(uUsec);
    U32(uCapLen);
    U32(uWireLen);
}

void CRawCaptureWriter::Bytes(const void* pData, size_t nSize)
{
    if (!m_pFile || nSize == 0)
        return;
    if (std::fwrite(pData, 1, nSize, m_pFile) != nSize)
        m_bFailed = true;
}

void CRawCaptureWriter::Record(
    const std::vector<uint8_t>& bytes, uint32_t uWireLen, uint32_t uSec, uint32_t uUsec)
{
    RecordHeader(uSec, uUsec, static_cast<uint32_t>(bytes.size()), uWireLen);
    Bytes(bytes);
}

bool CRawCaptureWriter::Close()
{
    if (!m_pFile)
        return !m_bFailed;
    if (std::fclose(m_pFile) != 0)
        m_bFailed = true;
    m_pFile = nullptr;
    return !m_bFailed;
}

CPcapngWriter::~CPcapngWriter()
{
    Close();
}

bool CPcapngWriter::Open(const std::string& csPath)
{
    Close();
    m_bFailed = false;
    m_uInterfaces = 0;
    m_pFile = std::fopen(csPath.c_str(), "wb");
    return m_pFile != nullptr;
}

bool CPcapngWriter::Close()
{
    if (!m_pFile)
        return !m_bFailed;
    if (std::fclose(m_pFile) != 0)
        m_bFailed = true;
    m_pFile = nullptr;
    return !m_bFailed;
}

void CPcapngWriter::Put16(std::vector<uint8_t>& v, uint16_t u) const
{
    const uint8_t b[2] = { static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8) };
    v.push_back(m_bBig ? b[1] : b[0]);
    v.push_back(m_bBig ? b[0] : b[1]);
}

void CPcapngWriter::Put32(std::vector<uint8_t>& v, uint32_t u) const
{
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(m_bBig ? u >> (24 - 8 * i) : u >> (8 * i)));
}

void CPcapngWriter::Block(uint32_t uType, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> v;
    const uint32_t uLength = static_cast<uint32_t>(12 + (body.size() + 3) / 4 * 4);
    Put32(v, uType);
    Put32(v, uLength);
    v.insert(v.end(), body.begin(), body.end());
    v.resize(uLength - 4, 0);
    Put32(v, m_uTrailer ? m_uTrailer : uLength);
    m_uTrailer = 0;
    if (m_nCut < v.size())
        v.resize(m_nCut);
    m_nCut = SIZE_MAX;
    if (!m_pFile || std::fwrite(v.data(), 1, v.size(), m_pFile) != v.size())
        m_bFailed = true;
}

void CPcapngWriter::Section(bool bBigEndian, uint16_t uMinor)
{
    m_bBig = bBigEndian;
    m_uInterfaces = 0;
    std::vector<uint8_t> body;
    Put32(body, 0x1a2b3c4d);
    Put16(body, 1);
    Put16(body, uMinor);
    Put32(body, 0xffffffff); // section length: not given
    Put32(body, 0xffffffff);
    Block(0x0a0d0d0a, body);
}

uint32_t CPcapngWriter::Interface(uint32_t uLinkType, uint32_t uSnapLen, uint8_t uResolution,
    bool bBinary, const std::string& csName)
{
    std::vector<uint8_t> body;
    Put16(body, static_cast<uint16_t>(uLinkType));
    Put16(body, 0);
    Put32(body, uSnapLen);
    auto option = [&](uint16_t uCode, const void* p, size_t n) {
        Put16(body, uCode);
        Put16(body, static_cast<uint16_t>(n));
        body.insert(body.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
        body.resize((body.size() + 3) / 4 * 4, 0);
    };
    if (!csName.empty())
        option(2, csName.data(), csName.size());
    if (uResolution != 6 || bBinary) {
        const uint8_t u = static_cast<uint8_t>(uResolution | (bBinary ? 0x80 : 0));
        option(9, &u, 1);
    }
    if (body.size() > 8)
        option(0, nullptr, 0);
    Block(1, body);
    return m_uInterfaces++;
}

void CPcapngWriter::Enhanced(
    uint32_t uInterface, const std::vector<uint8_t>& bytes, uint64_t uUnits, uint32_t uWireLen)
{
    std::vector<uint8_t> body;
    Put32(body, uInterface);
    Put32(body, static_cast<uint32_t>(uUnits >> 32));
    Put32(body, static_cast<uint32_t>(uUnits));
    Put32(body, static_cast<uint32_t>(bytes.size()));
    Put32(body, uWireLen ? uWireLen : static_cast<uint32_t>(bytes.size()));
    body.insert(body.end(), bytes.begin(), bytes.end());
    Block(6, body);
}

void CPcapngWriter::Simple(const std::vector<uint8_t>& bytes, uint32_t uWireLen)
{
    std::vector<uint8_t> body;
    Put32(body, uWireLen ? uWireLen : static_cast<uint32_t>(bytes.size()));
    body.insert(body.end(), bytes.begin(), bytes.end());
    Block(3, body);
}

void CPcapngWriter::Obsolete(
    uint16_t uInterface, const std::vector<uint8_t>& bytes, uint64_t uUnits)
{
    std::vector<uint8_t> body;
    Put16(body, uInterface);
    Put16(body, 0); // drops
    Put32(body, static_cast<uint32_t>(uUnits >> 32));
    Put32(body, static_cast<uint32_t>(uUnits));
    Put32(body, static_cast<uint32_t>(bytes.size()));
    Put32(body, static_cast<uint32_t>(bytes.size()));
    body.insert(body.end(), bytes.begin(), bytes.end());
    Block(2, body);
}

void CPcapngWriter::Custom(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> body;
    Put32(body, kPen);
    body.insert(body.end(), data.begin(), data.end());
    Block(0x00000bad, body);
}

void CPcapngWriter::Statistics(uint32_t uInterface)
{
    std::vector<uint8_t> body;
    Put32(body, uInterface);
    Put32(body, 0);
    Put32(body, 0);
    Block(5, body);
}

std::vector<SPcapngSample> WritePcapngSamples(const std::string& csFolder)
{
    std::vector<SPcapngSample> samples;
    uint32_t uSeq = 0;
    auto next = [&uSeq] {
        const uint32_t u = uSeq++;
        return MakeTestFrame(60 + 7 * (u % 20), u);
    };
    // Writes one sample; record() adds a frame the file holds whole.
    auto sample = [&](const char* szName, size_t nLibpcap, bool bDamaged, auto&& write) {
        SPcapngSample s;
        s.csName = szName;
        s.csPath = csFolder + "/" + szName + ".pcapng";
        s.nLibpcap = nLibpcap;
        s.bDamaged = bDamaged;
        CPcapngWriter w;
        if (!w.Open(s.csPath))
            return false;
        auto record = [&s, &next] {
            s.frames.push_back(next());
            return s.frames.back();
        };
        write(w, record);
        if (!w.Close())
            return false;
        samples.push_back(std::move(s));
        return true;
    };
    const bool bOk = sample("le-micro", 6, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface(1, 0, 6, false, "eth0");
        w.Enhanced(0, record(), 1700000000000000ULL);
        w.Enhanced(0, record(), 1700000000000250ULL);
        w.Simple(record());
        w.Custom({ 'n', 'o', 't', 'e' });
        w.Obsolete(0, record(), 1700000000001000ULL);
        w.Statistics(0);
        w.Enhanced(0, record(), 1700000000002000ULL);
        w.Block(4, { 0, 0, 0, 0 }); // an empty name resolution block
        w.Enhanced(0, record(), 1700000000003000ULL);
    }) && sample("be-nano", 4, false, [](CPcapngWriter& w, auto&& record) {
        w.Section(true);
        w.Interface(1, 65535, 9);
        w.Enhanced(0, record(), 1700000000000000001ULL);
        w.Enhanced(0, record(), 1700000000000000250ULL);
        w.Simple(record());
        w.Enhanced(0, record(), 1700000001000000000ULL);
    }) && sample("binary-1024", 3, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface(1, 0, 10, true);
        w.Enhanced(0, record(), 1024ULL * 1000);
        w.Enhanced(0, record(), 1024ULL * 1000 + 512);
        w.Enhanced(0, record(), 1024ULL * 1002 + 1);
    }) && sample("two-interfaces", 4, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface(1, 0, 6, false, "eth0");
        w.Interface(1, 0, 9, false, "eth1");
        w.Enhanced(0, record(), 1000000);
        w.Enhanced(1, record(), 1500000000);
        w.Enhanced(1, record(), 2000000000);
        w.Enhanced(0, record(), 2500000);
    }) && sample("two-link-types", 2, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface(1);
        w.Enhanced(0, record());
        w.Enhanced(0, record());
        w.Interface(101); // raw IP: libpcap stops here
        w.Enhanced(1, record());
        w.Enhanced(0, record());
    }) && sample("two-sections", 4, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface();
        w.Enhanced(0, record());
        w.Enhanced(0, record());
        w.Section();
        w.Interface();
        w.Enhanced(0, record());
        w.Simple(record());
    }) && sample("two-byte-orders", 2, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface();
        w.Enhanced(0, record());
        w.Enhanced(0, record());
        w.Section(true); // libpcap stops here
        w.Interface();
        w.Enhanced(0, record());
    }) && sample("custom-blocks", 3, false, [](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Custom({ 1, 2, 3 });
        w.Custom(std::vector<uint8_t>(100000, 0x5a));
        w.Interface();
        w.Enhanced(0, record());
        w.Custom({});
        w.Enhanced(0, record());
        w.Block(0x40000bad, { 0, 0, 0x7e, 0xd9, 'x' }); // custom, not to be copied
        w.Enhanced(0, record());
    }) && sample("truncated", 3, true, [&next](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface();
        w.Enhanced(0, record());
        w.Enhanced(0, record());
        w.Enhanced(0, record());
        w.CutNextBlock(50);
        w.Enhanced(0, next());
    }) && sample("trailer-mismatch", 2, true, [&next](CPcapngWriter& w, auto&& record) {
        w.Section();
        w.Interface();
        w.Enhanced(0, record());
        w.Enhanced(0, record());
        w.NextTrailer(996);
        w.Enhanced(0, next());
        w.Enhanced(0, next());
    });
    if (!bOk)
        samples.clear();
    return samples;
}

std::vector<uint8_t> MakeTestFrame(uint32_t uSize, uint32_t uSeq)
{
    std::vector<uint8_t> v;
    v.reserve(uSize < 24 ? 24 : uSize);
    const uint8_t dest[6] = { 0x02, 0x76, 0x6d, 0x00, 0x00, 0x02 };
    v.insert(v.end(), dest, dest + 6);
    v.insert(v.end(), kTestSourceMac, kTestSourceMac + 6);
    PutU16Be(v, 0x88b5);
    for (int i = 3; i >= 0; --i)
        v.push_back(static_cast<uint8_t>(uSeq >> (8 * i)));
    uint32_t uState = uSeq * 2654435761u + 1;
    while (v.size() < uSize) {
        uState = uState * 1103515245u + 12345u;
        v.push_back(static_cast<uint8_t>(uState >> 16));
    }
    v.resize(uSize);
    return v;
}

bool WriteTestCapture(const std::string& csPath, uint64_t uCount, uint32_t uSize, uint32_t uWireLen,
    std::string* pError)
{
    CCaptureWriter writer;
    bool bOk = writer.Open(csPath);
    for (uint64_t i = 0; bOk && i < uCount; ++i) {
        const std::vector<uint8_t> frame = MakeTestFrame(uSize, static_cast<uint32_t>(i));
        bOk = writer.Write(frame.data(), uSize, uWireLen ? uWireLen : uSize,
            static_cast<uint32_t>(1154680000 + i / 1000000), static_cast<uint32_t>(i % 1000000));
    }
    bOk = writer.Close() && bOk;
    if (!bOk && pError)
        *pError = writer.Error();
    return bOk;
}

namespace {

    // 802.3 frame with LLC for BACnet (DSAP 0x82, SSAP 0x82, UI), padded to 60 bytes.
    std::vector<uint8_t> BacnetFrame(const uint8_t* pDest, const uint8_t* pSrc,
        const std::vector<uint8_t>& npdu, const std::vector<uint8_t>& apdu)
    {
        std::vector<uint8_t> v(pDest, pDest + 6);
        v.insert(v.end(), pSrc, pSrc + 6);
        PutU16Be(v, static_cast<uint16_t>(3 + npdu.size() + apdu.size()));
        v.insert(v.end(), { 0x82, 0x82, 0x03 });
        v.insert(v.end(), npdu.begin(), npdu.end());
        v.insert(v.end(), apdu.begin(), apdu.end());
        if (v.size() < 60)
            v.resize(60, 0);
        return v;
    }

} // namespace

std::vector<std::vector<uint8_t>> MakeBacnetSampleFrames()
{
    const uint8_t broadcast[6] = { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff };
    const uint8_t workstation[6] = { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x01 };
    const uint8_t device[6] = { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x02 };
    // Version 1; control 0x20: global broadcast (DNET 0xffff, DLEN 0, hop count 255).
    const std::vector<uint8_t> npduBroadcast = { 0x01, 0x20, 0xff, 0xff, 0x00, 0xff };
    const std::vector<uint8_t> npduExpectReply = { 0x01, 0x04 };
    const std::vector<uint8_t> npduPlain = { 0x01, 0x00 };

    std::vector<std::vector<uint8_t>> frames;
    // Who-Is without a range: unconfirmed request, service 8.
    frames.push_back(BacnetFrame(broadcast, workstation, npduBroadcast, { 0x10, 0x08 }));
    // I-Am: device 1234, max APDU 1476, no segmentation, vendor 0.
    frames.push_back(BacnetFrame(broadcast, device, npduBroadcast,
        { 0x10, 0x00, 0xc4, 0x02, 0x00, 0x04, 0xd2, 0x22, 0x05, 0xc4, 0x91, 0x03, 0x21, 0x00 }));
    // ReadProperty (confirmed, invoke id 1): analog-input 1, Present_Value (85).
    frames.push_back(BacnetFrame(device, workstation, npduExpectReply,
        { 0x00, 0x05, 0x01, 0x0c, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55 }));
    // ReadProperty-ACK (complex ACK, invoke id 1): the same object and property, REAL 21.5.
    frames.push_back(BacnetFrame(workstation, device, npduPlain,
        { 0x30, 0x01, 0x0c, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55, 0x3e, 0x44, 0x41, 0xac, 0x00,
            0x00, 0x3f }));
    return frames;
}

bool WriteBacnetSample(const std::string& csPath, std::string* pError)
{
    const auto frames = MakeBacnetSampleFrames();
    CCaptureWriter writer;
    bool bOk = writer.Open(csPath, 65535);
    // 4 August 2006, a few milliseconds apart.
    const uint32_t uSec = 1154683953;
    const uint32_t usecs[] = { 120000, 121250, 500400, 502950 };
    for (size_t i = 0; bOk && i < frames.size(); ++i)
        bOk = writer.Write(frames[i], uSec, usecs[i]);
    bOk = writer.Close() && bOk;
    if (!bOk && pError)
        *pError = writer.Error();
    return bOk;
}

namespace {

    uint16_t InternetChecksum(
        const std::vector<uint8_t>& v, size_t nBegin, size_t nEnd, uint32_t uSum)
    {
        for (size_t i = nBegin; i < nEnd; i += 2)
            uSum += static_cast<uint32_t>(v[i] << 8) + (i + 1 < nEnd ? v[i + 1] : 0u);
        while (uSum >> 16)
            uSum = (uSum & 0xffff) + (uSum >> 16);
        return static_cast<uint16_t>(~uSum);
    }

    struct SBipHost {
        uint8_t mac[6];
        uint8_t ip[4];
    };

    // Ethernet II, IPv4 and UDP from port 47808 to 47808, checksums filled in,
    // padded to 60 bytes.
    std::vector<uint8_t> BacnetIpFrame(const SBipHost& from, const SBipHost& to, uint16_t uIpId,
        uint8_t uFunction, const std::vector<uint8_t>& npdu, const std::vector<uint8_t>& apdu)
    {
        std::vector<uint8_t> v(to.mac, to.mac + 6);
        v.insert(v.end(), from.mac, from.mac + 6);
        PutU16Be(v, 0x0800);
        const size_t nBvlc = 4 + npdu.size() + apdu.size();
        const size_t nIp = v.size();
        v.insert(v.end(), { 0x45, 0x00 });
        PutU16Be(v, static_cast<uint16_t>(20 + 8 + nBvlc));
        PutU16Be(v, uIpId);
        v.insert(v.end(), { 0x00, 0x00, 64, 17, 0x00, 0x00 }); // no flags, TTL 64, UDP
        v.insert(v.end(), from.ip, from.ip + 4);
        v.insert(v.end(), to.ip, to.ip + 4);
        const uint16_t uIpSum = InternetChecksum(v, nIp, nIp + 20, 0);
        v[nIp + 10] = static_cast<uint8_t>(uIpSum >> 8);
        v[nIp + 11] = static_cast<uint8_t>(uIpSum);
        const size_t nUdp = v.size();
        PutU16Be(v, 47808);
        PutU16Be(v, 47808);
        PutU16Be(v, static_cast<uint16_t>(8 + nBvlc));
        PutU16Be(v, 0);
        v.insert(v.end(), { 0x81, uFunction });
        PutU16Be(v, static_cast<uint16_t>(nBvlc));
        v.insert(v.end(), npdu.begin(), npdu.end());
        v.insert(v.end(), apdu.begin(), apdu.end());
        // The pseudo-header: addresses, protocol, UDP length.
        uint32_t uPseudo = 17 + static_cast<uint32_t>(8 + nBvlc);
        for (int i = 0; i < 4; i += 2)
            uPseudo += static_cast<uint32_t>(from.ip[i] << 8 | from.ip[i + 1])
                + static_cast<uint32_t>(to.ip[i] << 8 | to.ip[i + 1]);
        uint16_t uUdpSum = InternetChecksum(v, nUdp, v.size(), uPseudo);
        if (uUdpSum == 0)
            uUdpSum = 0xffff;
        v[nUdp + 6] = static_cast<uint8_t>(uUdpSum >> 8);
        v[nUdp + 7] = static_cast<uint8_t>(uUdpSum);
        if (v.size() < 60)
            v.resize(60, 0);
        return v;
    }

} // namespace

std::vector<std::vector<uint8_t>> MakeBacnetIpSampleFrames()
{
    const SBipHost workstation = { { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x01 }, { 192, 168, 10, 1 } };
    const SBipHost device = { { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x02 }, { 192, 168, 10, 2 } };
    const SBipHost broadcast = { { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff }, { 192, 168, 10, 255 } };
    const uint8_t kUnicast = 0x0a, kBroadcast = 0x0b;
    // Global broadcast (DNET 0xffff, DLEN 0, hop count 255); expecting reply; plain.
    const std::vector<uint8_t> npduBroadcast = { 0x01, 0x20, 0xff, 0xff, 0x00, 0xff };
    const std::vector<uint8_t> npduExpectReply = { 0x01, 0x04 };
    const std::vector<uint8_t> npduPlain = { 0x01, 0x00 };

    std::vector<std::vector<uint8_t>> frames;
    // Who-Is without a range.
    frames.push_back(
        BacnetIpFrame(workstation, broadcast, 1, kBroadcast, npduBroadcast, { 0x10, 0x08 }));
    // I-Am: device 1234, max APDU 1476, no segmentation, vendor 0.
    frames.push_back(BacnetIpFrame(device, broadcast, 1, kBroadcast, npduPlain,
        { 0x10, 0x00, 0xc4, 0x02, 0x00, 0x04, 0xd2, 0x22, 0x05, 0xc4, 0x91, 0x03, 0x21, 0x00 }));
    // ReadProperty, invoke ID 5: analog-input 1, Present_Value (85).
    frames.push_back(BacnetIpFrame(workstation, device, 2, kUnicast, npduExpectReply,
        { 0x00, 0x05, 0x05, 0x0c, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55 }));
    // Its ReadProperty-ACK: REAL 21.5.
    frames.push_back(BacnetIpFrame(device, workstation, 2, kUnicast, npduPlain,
        { 0x30, 0x05, 0x0c, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55, 0x3e, 0x44, 0x41, 0xac, 0x00,
            0x00, 0x3f }));
    // WriteProperty, invoke ID 6: analog-value 2, Present_Value = REAL 50.0, priority 8.
    frames.push_back(BacnetIpFrame(workstation, device, 3, kUnicast, npduExpectReply,
        { 0x00, 0x05, 0x06, 0x0f, 0x0c, 0x00, 0x80, 0x00, 0x02, 0x19, 0x55, 0x3e, 0x44, 0x42, 0x48,
            0x00, 0x00, 0x3f, 0x49, 0x08 }));
    // Its SimpleACK.
    frames.push_back(
        BacnetIpFrame(device, workstation, 3, kUnicast, npduPlain, { 0x20, 0x06, 0x0f }));
    // ReadProperty, invoke ID 7, of analog-input 99, which the device does not have.
    frames.push_back(BacnetIpFrame(workstation, device, 4, kUnicast, npduExpectReply,
        { 0x00, 0x05, 0x07, 0x0c, 0x0c, 0x00, 0x00, 0x00, 0x63, 0x19, 0x55 }));
    // Error: class object (1), code unknown-object (31).
    frames.push_back(BacnetIpFrame(
        device, workstation, 4, kUnicast, npduPlain, { 0x50, 0x07, 0x0c, 0x91, 0x01, 0x91, 0x1f }));
    return frames;
}

bool WriteBacnetIpSample(const std::string& csPath, std::string* pError)
{
    const auto frames = MakeBacnetIpSampleFrames();
    CCaptureWriter writer;
    bool bOk = writer.Open(csPath, 65535);
    // 4 August 2006 again, a few milliseconds between question and answer.
    const uint32_t uSec = 1154683960;
    const uint32_t usecs[] = { 10000, 11830, 250000, 252410, 600000, 603170, 900000, 901950 };
    for (size_t i = 0; bOk && i < frames.size(); ++i)
        bOk = writer.Write(frames[i], uSec, usecs[i]);
    bOk = writer.Close() && bOk;
    if (!bOk && pError)
        *pError = writer.Error();
    return bOk;
}

} // namespace velmora
