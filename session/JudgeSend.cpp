#include "session/JudgeSend.h"

#include "log/Log.h"

#include <pcap/pcap.h>

namespace velmora {

bool ReadCaptureForJudging(
    const std::string& csPath, std::vector<judge::SJudgedFrame>& frames, std::string& csError)
{
    frames.clear();
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* h = pcap_open_offline_with_tstamp_precision(
        csPath.c_str(), PCAP_TSTAMP_PRECISION_NANO, szErr);
    if (!h) {
        csError = csPath + ": " + szErr;
        return false;
    }
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    const bool bEthernet = pcap_datalink(h) == DLT_EN10MB;
    for (uint64_t u = 0; bEthernet && pcap_next_ex(h, &pHeader, &pData) == 1; ++u) {
        if (judge::ParseBacnet(pData, pHeader->caplen).eApdu == judge::EApdu::NotBacnet)
            continue;
        judge::SJudgedFrame f;
        f.uRecord = u;
        f.llNs = int64_t(pHeader->ts.tv_sec) * 1000000000 + pHeader->ts.tv_usec;
        f.bytes.assign(pData, pData + pHeader->caplen);
        frames.push_back(std::move(f));
    }
    pcap_close(h);
    return true;
}

std::vector<judge::SJudgedFrame> JudgedRequests(const std::vector<SSentRequest>& requests)
{
    std::vector<judge::SJudgedFrame> frames;
    frames.reserve(requests.size());
    for (const SSentRequest& r : requests) {
        judge::SJudgedFrame f;
        f.uRecord = r.uRecord;
        f.llNs = r.llNs;
        f.bytes = r.bytes;
        f.llEarliestNs = r.llEarliestNs;
        f.uRound = r.uRound;
        frames.push_back(std::move(f));
    }
    return frames;
}

std::vector<judge::SJudgedFrame> JudgedHeard(const std::vector<SHeardFrame>& heard)
{
    std::vector<judge::SJudgedFrame> frames;
    frames.reserve(heard.size());
    for (const SHeardFrame& h : heard)
        frames.push_back({ 0, h.llNs, h.bytes });
    return frames;
}

judge::SJudgement JudgeSend(const SReplayRequest& request, const SReplayResult& result)
{
    if (result.NotSent() || !result.listen.bListened)
        return {};
    std::vector<judge::SJudgedFrame> capture;
    std::string csError;
    const bool bCapture
        = request.listen.bExpectCaptured && ReadCaptureForJudging(request.csPath, capture, csError);
    return judge::Judge(JudgedRequests(result.listen.requests), JudgedHeard(result.listen.heard),
        bCapture ? &capture : nullptr);
}

} // namespace velmora
