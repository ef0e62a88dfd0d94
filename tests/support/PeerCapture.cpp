#include "PeerCapture.h"

#include <pcap/pcap.h>

#include "NetNs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace vtest {

namespace {
    // Our frames' source addresses all begin 02:76:6d.
    constexpr const char* kOurFrames = "(ether[6:4] & 0xffffff00) = 0x02766d00";
} // namespace

CPeerCapture::CPeerCapture(const char* szIf, int iSnapLen)
{
    char szErr[PCAP_ERRBUF_SIZE] = "";
    m_h = pcap_create(szIf, szErr);
    if (!m_h)
        return;
    bpf_program prog {};
    pcap_set_snaplen(m_h, iSnapLen);
    pcap_set_immediate_mode(m_h, 1);
    pcap_set_buffer_size(m_h, 16 << 20);
    pcap_set_timeout(m_h, 10);
    pcap_set_tstamp_precision(m_h, PCAP_TSTAMP_PRECISION_NANO);
    if (pcap_activate(m_h) < 0 || pcap_compile(m_h, &prog, kOurFrames, 1, PCAP_NETMASK_UNKNOWN) != 0
        || pcap_setfilter(m_h, &prog) != 0 || pcap_setnonblock(m_h, 1, szErr) != 0) {
        pcap_freecode(&prog);
        pcap_close(m_h);
        m_h = nullptr;
        return;
    }
    pcap_freecode(&prog);
}

CPeerCapture::~CPeerCapture()
{
    if (m_h)
        pcap_close(m_h);
}

Frames CPeerCapture::Collect(size_t nMax, int iWaitMs)
{
    Frames frames;
    for (SStamped& f : CollectStamped(nMax, iWaitMs))
        frames.push_back(std::move(f.bytes));
    return frames;
}

std::vector<CPeerCapture::SStamped> CPeerCapture::CollectStamped(size_t nMax, int iWaitMs)
{
    std::vector<SStamped> frames;
    const bool bNano = pcap_get_tstamp_precision(m_h) == PCAP_TSTAMP_PRECISION_NANO;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iWaitMs);
    while (frames.size() < nMax && std::chrono::steady_clock::now() < end) {
        pcap_pkthdr* pHeader = nullptr;
        const u_char* pData = nullptr;
        const int rc = pcap_next_ex(m_h, &pHeader, &pData);
        if (rc == 1)
            frames.push_back({ { pData, pData + pHeader->caplen },
                static_cast<int64_t>(pHeader->ts.tv_sec) * 1'000'000'000
                    + static_cast<int64_t>(pHeader->ts.tv_usec) * (bNano ? 1 : 1000) });
        else if (rc == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        else
            break;
    }
    return frames;
}

int64_t WireGapNs(const std::vector<CPeerCapture::SStamped>& frames,
    const std::vector<uint8_t>& first, const std::vector<uint8_t>& second)
{
    auto begins = [](const std::vector<uint8_t>& frame, const std::vector<uint8_t>& with) {
        return frame.size() >= with.size() && std::equal(with.begin(), with.end(), frame.begin());
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!begins(frames[i].bytes, first))
            continue;
        for (size_t j = i + 1; j < frames.size(); ++j)
            if (begins(frames[j].bytes, second))
                return frames[j].llNs - frames[i].llNs;
        return -1;
    }
    return -1;
}

Frames ReadCaptureFrames(const std::string& csPath)
{
    Frames frames;
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* h = pcap_open_offline(csPath.c_str(), szErr);
    if (!h)
        return frames;
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    while (pcap_next_ex(h, &pHeader, &pData) == 1)
        frames.emplace_back(pData, pData + pHeader->caplen);
    pcap_close(h);
    return frames;
}

std::string TsharkFaults(const Frames& frames)
{
    char szPath[] = "/tmp/velmora-wire-XXXXXX";
    const int fd = mkstemp(szPath);
    if (fd < 0)
        return "no temporary file for tshark\n";
    ::close(fd);
    pcap_t* pDead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* pDump = pDead ? pcap_dump_open(pDead, szPath) : nullptr;
    for (const std::vector<uint8_t>& f : frames) {
        pcap_pkthdr header {};
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        if (pDump)
            pcap_dump(reinterpret_cast<u_char*>(pDump), &header, f.data());
    }
    if (pDump)
        pcap_dump_close(pDump);
    if (pDead)
        pcap_close(pDead);
    const std::string csTshark = "tshark -n -r " + std::string(szPath)
        + " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE ";
    const std::string csCount
        = ShellOutput(csTshark + "-T fields -e frame.number 2>/dev/null | wc -l");
    const std::string csBad = ShellOutput(csTshark
        + "-Y 'ip.checksum.status == \"Bad\" || udp.checksum.status == \"Bad\" || _ws.malformed "
          "|| _ws.expert.severity >= \"Error\"' -T fields -e frame.number -e _ws.col.Info "
          "-e _ws.expert.message");
    std::remove(szPath);
    std::string csFaults;
    if (std::atoi(csCount.c_str()) != static_cast<int>(frames.size()))
        csFaults = "tshark read " + std::to_string(std::atoi(csCount.c_str())) + " of "
            + std::to_string(frames.size()) + " frames\n";
    return csFaults + csBad;
}

} // namespace vtest
