#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

// Time limits of one post: connecting, and the whole request. The program
// keeps these; tests shorten them.
struct HttpTimeouts {
    long lConnectMs = 10000;
    long lTotalMs = 30000;
};

// One HTML-form POST over HTTP/1.1 and the whole answer as one text. An object
// serves one request on a worker thread and is then destroyed.
//
// Reading: the answer body is taken in consecutive pieces of 8,191 bytes (the
// last one shorter), as a reader that fills each 8,191-byte read before the
// next would see them, whatever sizes the network delivers. Each piece is
// appended as text up to its first zero byte, so a zero byte cuts its own piece
// only and the next piece follows directly. Reading stops at 1 MiB: an endless
// or huge answer is judged by what came until then.
class CHttpRetriever {
public:
    static constexpr size_t kReadPiece = 8191;
    static constexpr size_t kMaxAnswer = size_t(1) << 20;
    static constexpr uint32_t kNoUrl = 0xFFFFFFFF;

    explicit CHttpRetriever(HttpTimeouts timeouts = {});
    ~CHttpRetriever();
    CHttpRetriever(const CHttpRetriever&) = delete;
    CHttpRetriever& operator=(const CHttpRetriever&) = delete;

    // Posts iLength bytes of szBody (-1: up to its zero byte) as a form. True
    // once the server began to answer; false with LastError() set otherwise.
    bool StartPost(const char* szUrl, const char* szBody, int iLength);

    // Posts and returns the answer's text, owned by this object and valid
    // until the next Retrieve or destruction. Null when no answer came (the
    // previous text is then kept) or szUrl is null (LastError() kNoUrl).
    const char* Retrieve(const char* szUrl, const char* szBody, int iLength);

    // 0 until a post fails; then libcurl's CURLcode of that failure.
    uint32_t LastError() const { return m_dwLastError; }

private:
    static size_t OnBodyBytes(char* pData, size_t nSize, size_t nCount, void* pThis);
    size_t TakeBodyBytes(const char* pData, size_t nBytes);
    void AppendPiece();

    HttpTimeouts m_timeouts;
    uint32_t m_dwLastError = 0;
    void* m_pCurl = nullptr; // CURL*: the session; options are reset for every post
    std::string m_csAnswer; // text assembled by the current post
    std::string m_csPiece; // bytes of the piece being filled
    size_t m_nReceived = 0; // body bytes taken by the current post
    bool m_bCapped = false; // the current post stopped reading at kMaxAnswer
    std::string m_csResponse; // text returned by Retrieve
};

} // namespace velmora
