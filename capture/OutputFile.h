#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora {

// The files a Send writes (the answers, a JUnit file, a report) are opened
// without blocking: a FIFO that nobody reads fails at once (ENXIO) instead of
// holding the process in open(), a folder fails with EISDIR.

// csPath opened as fopen's "wb" would (created or emptied); nullptr with errno.
std::FILE* OpenOutputFile(const std::string& csPath);

// Why csPath cannot be written, from errno: strerror's words, but a FIFO
// without a reader and a folder said plainly.
std::string OutputErrorText(const std::string& csPath, int iErrno);

// Output paths checked before the first frame, by opening each for writing
// as OpenOutputFile will, without emptying it. A file made for the check is
// removed again, so a refused run leaves nothing behind. A FIFO or a device
// stays open until the object goes, so that a FIFO's reader is still there
// when the file is written.
class COutputCheck {
public:
    COutputCheck() = default;
    ~COutputCheck();
    COutputCheck(const COutputCheck&) = delete;
    COutputCheck& operator=(const COutputCheck&) = delete;

    // False with a sentence naming the file when it cannot be written.
    bool Check(const std::string& csPath, std::string& csError);

private:
    std::vector<int> m_kept;
};

} // namespace velmora
