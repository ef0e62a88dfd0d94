#include "capture/OutputFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

    constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

    // Writes block again once the file is open: a FIFO's reader sets the pace.
    void Blocking(int fd)
    {
        const int iFlags = ::fcntl(fd, F_GETFL);
        if (iFlags != -1)
            ::fcntl(fd, F_SETFL, iFlags & ~O_NONBLOCK);
    }

} // namespace

std::FILE* OpenOutputFile(const std::string& csPath)
{
    const int fd = ::open(csPath.c_str(), kWriteFlags | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return nullptr;
    Blocking(fd);
    std::FILE* p = ::fdopen(fd, "wb");
    if (!p) {
        const int iErrno = errno;
        ::close(fd);
        errno = iErrno;
    }
    return p;
}

std::string OutputErrorText(const std::string& csPath, int iErrno)
{
    if (iErrno == ENXIO)
        return csPath + ": a FIFO that nothing reads";
    if (iErrno == EISDIR)
        return csPath + ": a folder, not a file";
    return csPath + ": " + std::strerror(iErrno);
}

COutputCheck::~COutputCheck()
{
    for (int fd : m_kept)
        ::close(fd);
}

bool COutputCheck::Check(const std::string& csPath, std::string& csError)
{
    bool bMade = true;
    int fd = ::open(csPath.c_str(), kWriteFlags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        bMade = false;
        fd = ::open(csPath.c_str(), kWriteFlags);
    }
    if (fd < 0) {
        csError = OutputErrorText(csPath, errno);
        return false;
    }
    struct stat st { };
    if (bMade) {
        ::unlink(csPath.c_str());
        ::close(fd);
    } else if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        m_kept.push_back(fd);
    } else {
        ::close(fd);
    }
    return true;
}

} // namespace velmora
