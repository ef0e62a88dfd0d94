#include "web/HttpRetriever.h"

#include <algorithm>
#include <cstring>
#include <curl/curl.h>

namespace velmora {

namespace {

    // Don't change this User-Agent: the maker's server tells our posts by it.
    constexpr const char* kUserAgent = "Tarn Software HTTP Retriever 1.0";

    bool CurlReady()
    {
        // A function-local static starts libcurl once even when two workers race;
        // this libcurl's global start is thread-safe as well.
        static const bool s_bReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        return s_bReady;
    }

} // namespace

CHttpRetriever::CHttpRetriever(HttpTimeouts timeouts)
    : m_timeouts(timeouts)
{
    if (CurlReady())
        m_pCurl = curl_easy_init();
}

CHttpRetriever::~CHttpRetriever()
{
    if (m_pCurl)
        curl_easy_cleanup(static_cast<CURL*>(m_pCurl));
}

size_t CHttpRetriever::OnBodyBytes(char* pData, size_t nSize, size_t nCount, void* pThis)
{
    return static_cast<CHttpRetriever*>(pThis)->TakeBodyBytes(pData, nSize * nCount);
}

size_t CHttpRetriever::TakeBodyBytes(const char* pData, size_t nBytes)
{
    const size_t nTake = std::min(nBytes, kMaxAnswer - m_nReceived);
    for (size_t i = 0; i < nTake;) {
        const size_t n = std::min(nTake - i, kReadPiece - m_csPiece.size());
        m_csPiece.append(pData + i, n);
        i += n;
        if (m_csPiece.size() == kReadPiece)
            AppendPiece();
    }
    m_nReceived += nTake;
    // Once full, the next delivery is taken short, which makes libcurl end the
    // transfer; what came until then is the answer.
    if (m_nReceived == kMaxAnswer)
        m_bCapped = true;
    return nTake;
}

void CHttpRetriever::AppendPiece()
{
    const void* pZero = std::memchr(m_csPiece.data(), 0, m_csPiece.size());
    const size_t n = pZero ? static_cast<const char*>(pZero) - m_csPiece.data() : m_csPiece.size();
    m_csAnswer.append(m_csPiece.data(), n);
    m_csPiece.clear();
}

bool CHttpRetriever::StartPost(const char* szUrl, const char* szBody, int iLength)
{
    if (!szBody)
        szBody = "";
    if (iLength < 0)
        iLength = static_cast<int>(std::strlen(szBody));
    m_csAnswer.clear();
    m_csPiece.clear();
    m_nReceived = 0;
    m_bCapped = false;
    if (!m_pCurl || !szUrl) {
        m_dwLastError = CURLE_FAILED_INIT;
        return false;
    }

    CURL* pCurl = static_cast<CURL*>(m_pCurl);
    curl_easy_reset(pCurl);
    curl_slist* pHeaders = nullptr;
    pHeaders = curl_slist_append(pHeaders, "Content-Type: application/x-www-form-urlencoded");
    pHeaders = curl_slist_append(pHeaders, "Accept: */*");
    // The scripts expect the body at once: no "Expect: 100-continue" round trip.
    pHeaders = curl_slist_append(pHeaders, "Expect:");

    curl_easy_setopt(pCurl, CURLOPT_URL, szUrl);
    curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "http");
    // An empty proxy turns off every proxy, those named by the environment too.
    curl_easy_setopt(pCurl, CURLOPT_PROXY, "");
    // No signals from libcurl on a worker thread; on Linux it writes to sockets
    // with MSG_NOSIGNAL, so a closed connection cannot raise SIGPIPE either.
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(pCurl, CURLOPT_HTTP09_ALLOWED, 0L);
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pHeaders);
    curl_easy_setopt(pCurl, CURLOPT_POST, 1L);
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDS, szBody);
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDSIZE, static_cast<long>(iLength));
    // A redirect's own body is the answer; its target is never asked.
    curl_easy_setopt(pCurl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT_MS, m_timeouts.lConnectMs);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT_MS, m_timeouts.lTotalMs);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, &CHttpRetriever::OnBodyBytes);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, this);

    const CURLcode rc = curl_easy_perform(pCurl);
    curl_slist_free_all(pHeaders);
    if (!m_csPiece.empty())
        AppendPiece();

    long lStatus = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &lStatus);
    // Once a status line came, the request was sent: a later failure (a cut,
    // a reset, the time limit, our own stop at 1 MiB) only ends the reading.
    if (rc == CURLE_OK || m_bCapped || lStatus != 0)
        return true;
    m_dwLastError = static_cast<uint32_t>(rc);
    m_csAnswer.clear();
    return false;
}

const char* CHttpRetriever::Retrieve(const char* szUrl, const char* szBody, int iLength)
{
    if (!szUrl) {
        m_dwLastError = kNoUrl;
        return nullptr;
    }
    if (!StartPost(szUrl, szBody, iLength))
        return nullptr;
    m_csResponse = std::move(m_csAnswer);
    m_csAnswer.clear();
    return m_csResponse.c_str();
}

} // namespace velmora
