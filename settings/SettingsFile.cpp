#include "settings/SettingsFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

    constexpr int kMaxLinkDepth = 40;

    bool IsPrintable(unsigned char c)
    {
        return c >= 0x20 && c <= 0x7E;
    }

    // Follows a chain of symbolic links to the file it finally names, which may
    // not exist yet. Saving writes there, so that the link itself stays a link.
    bool ResolveTarget(std::string csPath, std::string& csTarget, bool& bExists, struct stat& st)
    {
        for (int i = 0; i < kMaxLinkDepth; ++i) {
            if (lstat(csPath.c_str(), &st) != 0) {
                if (errno != ENOENT)
                    return false;
                bExists = false;
                csTarget = csPath;
                return true;
            }
            if (!S_ISLNK(st.st_mode)) {
                bExists = true;
                csTarget = csPath;
                return true;
            }
            std::string csLink(256, '\0');
            ssize_t n;
            while ((n = readlink(csPath.c_str(), csLink.data(), csLink.size())) >= 0
                && static_cast<size_t>(n) == csLink.size())
                csLink.resize(csLink.size() * 2);
            if (n < 0)
                return false;
            csLink.resize(static_cast<size_t>(n));
            const std::filesystem::path link(csLink);
            csPath = link.is_absolute()
                ? csLink
                : (std::filesystem::path(csPath).parent_path() / link).string();
        }
        return false;
    }

    bool WriteAll(int fd, const std::string& csBytes)
    {
        size_t uDone = 0;
        while (uDone < csBytes.size()) {
            const ssize_t n = write(fd, csBytes.data() + uDone, csBytes.size() - uDone);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            uDone += static_cast<size_t>(n);
        }
        return true;
    }

    // A name beside the target that nobody else uses; O_EXCL makes sure of it.
    int CreateTemp(const std::string& csTarget, mode_t mode, std::string& csTemp)
    {
        static unsigned s_uCounter = 0;
        static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int iTry = 0; iTry < 100; ++iTry) {
            uint64_t u
                = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
                ^ (static_cast<uint64_t>(getpid()) << 32) ^ (++s_uCounter * 0x9E3779B97F4A7C15ull);
            csTemp = csTarget + ".";
            for (int i = 0; i < 6; ++i) {
                csTemp += kChars[u % 36];
                u /= 36;
            }
            const int fd = open(csTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0 || errno != EEXIST)
                return fd;
        }
        return -1;
    }

    // Replaces the file at csPath by csBytes through a temporary file and a
    // rename, so that a failure at any step leaves the old file as it was.
    bool WriteReplacing(const std::string& csPath, const std::string& csBytes)
    {
        if (csPath.empty())
            return false;
        std::string csTarget;
        bool bExists = false;
        struct stat st { };
        if (!ResolveTarget(csPath, csTarget, bExists, st))
            return false;

        if (bExists) {
            if (!S_ISREG(st.st_mode))
                return false;
            // A file without any write permission is read-only on purpose; root
            // would be allowed to replace it, but the user's choice wins.
            if ((st.st_mode & 0222) == 0)
                return false;
            // Proves that we may write the file itself (permissions, read-only
            // mounts, immutable files) without cutting it.
            const int fdCheck
                = open(csTarget.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (fdCheck < 0)
                return false;
            close(fdCheck);
        }

        std::string csTemp;
        const int fd = CreateTemp(csTarget, 0666, csTemp);
        if (fd < 0)
            return false;

        bool bOk = true;
        if (bExists) {
            // Keep the old file's permissions and, where we may, its owner.
            bOk = fchmod(fd, st.st_mode & 07777) == 0;
            if (bOk && geteuid() == 0 && fchown(fd, st.st_uid, st.st_gid) != 0) {
                // Not fatal: the content is what matters.
            }
        }
        bOk = bOk && WriteAll(fd, csBytes);
        bOk = bOk && (fsync(fd) == 0 || errno == EINVAL);
        if (close(fd) != 0)
            bOk = false;
        bOk = bOk && rename(csTemp.c_str(), csTarget.c_str()) == 0;
        if (!bOk)
            unlink(csTemp.c_str());
        return bOk;
    }

    // Writes a text that ends a line. Reading drops one CR before the line end,
    // so a text that ends in CR gets one more to keep it.
    void AppendLineEndText(std::string& csOut, const std::string& csText)
    {
        csOut += csText;
        if (!csText.empty() && csText.back() == '\r')
            csOut += '\r';
        csOut += "\r\n";
    }

    bool HasLineFeed(const std::string& cs)
    {
        return cs.find('\n') != std::string::npos;
    }

    bool AnyLineFeed(const std::vector<std::string>& v)
    {
        for (const std::string& cs : v) {
            if (HasLineFeed(cs))
                return true;
        }
        return false;
    }

} // namespace

int32_t AtoiWrap(const std::string& cs)
{
    size_t i = 0;
    while (i < cs.size()
        && (cs[i] == ' ' || cs[i] == '\t' || cs[i] == '\n' || cs[i] == '\v' || cs[i] == '\f'
            || cs[i] == '\r'))
        ++i;
    bool bNegative = false;
    if (i < cs.size() && (cs[i] == '+' || cs[i] == '-')) {
        bNegative = cs[i] == '-';
        ++i;
    }
    // Unsigned arithmetic wraps without undefined behaviour.
    uint32_t u = 0;
    for (; i < cs.size() && cs[i] >= '0' && cs[i] <= '9'; ++i)
        u = u * 10u + static_cast<uint32_t>(cs[i] - '0');
    if (bNegative)
        u = 0u - u;
    return static_cast<int32_t>(u);
}

CSettingsFile::CSettingsFile(const std::string& csFilePath)
    : m_csFilePath(csFilePath)
{
}

std::string CSettingsFile::FoldCase(const std::string& cs) const
{
    std::string csFolded(cs);
    for (char& c : csFolded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 0x20);
    }
    return csFolded;
}

int32_t CSettingsFile::SectionIndex(const std::string& csSection) const
{
    const auto it = m_sectionIndex.find(FoldCase(csSection));
    return it == m_sectionIndex.end() ? -1 : it->second;
}

int32_t CSettingsFile::KeyIndex(int32_t iSection, const std::string& csKey) const
{
    if (static_cast<uint32_t>(iSection) >= m_sections.size())
        return -1;
    const auto& index = m_keyIndex[static_cast<size_t>(iSection)];
    const auto it = index.find(FoldCase(csKey));
    return it == index.end() ? -1 : it->second;
}

int32_t CSettingsFile::AddSection(const std::string& csSection)
{
    const auto iPos = static_cast<int32_t>(m_sections.size());
    m_csSectionNames.push_back(csSection);
    m_sections.emplace_back();
    m_keyIndex.emplace_back();
    // emplace keeps an existing entry: lookups still find the first section.
    m_sectionIndex.emplace(FoldCase(csSection), iPos);
    return iPos;
}

bool CSettingsFile::SetString(const std::string& csSection, const std::string& csKey,
    const std::string& csValue, bool bCreate)
{
    int32_t s = SectionIndex(csSection);
    if (s == -1) {
        if (!bCreate)
            return false;
        s = AddSection(csSection);
    }
    CSection& section = m_sections[static_cast<size_t>(s)];
    const int32_t k = KeyIndex(s, csKey);
    if (k == -1) {
        if (!bCreate)
            return false;
        m_keyIndex[static_cast<size_t>(s)].emplace(
            FoldCase(csKey), static_cast<int32_t>(section.KeyNames.size()));
        section.KeyNames.push_back(csKey);
        section.Values.push_back(csValue);
    } else {
        section.Values[static_cast<size_t>(k)] = csValue;
    }
    return true;
}

bool CSettingsFile::SetInt(
    const std::string& csSection, const std::string& csKey, int32_t iValue, bool bCreate)
{
    char sz[16];
    std::snprintf(sz, sizeof sz, "%d", iValue);
    return SetString(csSection, csKey, sz, bCreate);
}

bool CSettingsFile::SetBool(
    const std::string& csSection, const std::string& csKey, bool bValue, bool bCreate)
{
    return SetInt(csSection, csKey, bValue ? 1 : 0, bCreate);
}

std::string CSettingsFile::GetString(
    const std::string& csSection, const std::string& csKey, const std::string& csDefault) const
{
    const int32_t s = SectionIndex(csSection);
    if (s != -1) {
        const int32_t k = KeyIndex(s, csKey);
        if (k != -1)
            return m_sections[static_cast<size_t>(s)].Values[static_cast<size_t>(k)];
    }
    return csDefault;
}

int32_t CSettingsFile::GetInt(
    const std::string& csSection, const std::string& csKey, int32_t iDefault) const
{
    char sz[16];
    std::snprintf(sz, sizeof sz, "%d", iDefault);
    return AtoiWrap(GetString(csSection, csKey, sz));
}

bool CSettingsFile::GetBool(
    const std::string& csSection, const std::string& csKey, bool bDefault) const
{
    return GetInt(csSection, csKey, bDefault ? 1 : 0) != 0;
}

void CSettingsFile::AddFileComment(const std::string& csComment)
{
    m_csFileComments.push_back(csComment);
}

bool CSettingsFile::AddSectionComment(int32_t iSection, const std::string& csComment)
{
    if (static_cast<uint32_t>(iSection) >= m_sections.size())
        return false;
    m_sections[static_cast<size_t>(iSection)].Comments.push_back(csComment);
    return true;
}

bool CSettingsFile::AddSectionCommentByName(
    const std::string& csSection, const std::string& csComment)
{
    const int32_t p = SectionIndex(csSection);
    if (p == -1)
        return false;
    return AddSectionComment(p, csComment);
}

void CSettingsFile::ParseLine(std::string& csLine, std::string& csCurrentSection)
{
    const size_t p = csLine.find_first_of(";#[=");
    if (p == std::string::npos)
        return;
    switch (csLine[p]) {
    case '[': {
        const size_t q = csLine.rfind(']');
        if (q == std::string::npos || q <= p)
            return;
        csCurrentSection = csLine.substr(p + 1, q - p - 1);
        AddSection(csCurrentSection);
        break;
    }
    case '=':
        SetString(csCurrentSection, csLine.substr(0, p), csLine.substr(p + 1), true);
        break;
    default: // ';' or '#'
        if (m_sections.empty())
            AddFileComment(csLine.substr(p + 1));
        else
            AddSectionCommentByName(csCurrentSection, csLine.substr(p + 1));
        break;
    }
}

bool CSettingsFile::Load()
{
    if (m_csFilePath.empty())
        return false;
    // Only a regular file is settings: a folder, FIFO or device of that name
    // must neither be read nor hold the program. O_NONBLOCK covers a FIFO
    // swapped in between the two looks.
    struct stat st { };
    if (stat(m_csFilePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const int fd = open(m_csFilePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    FILE* fp = fdopen(fd, "rb");
    if (!fp) {
        close(fd);
        return false;
    }

    std::string csCurrentSection;
    std::string csLine;
    char* pBuffer = nullptr;
    size_t uCapacity = 0;
    bool bText = true;
    ssize_t n;
    // getline ends at a read error as at the end of the file.
    while ((n = getline(&pBuffer, &uCapacity, fp)) >= 0) {
        csLine.assign(pBuffer, static_cast<size_t>(n));
        if (!csLine.empty() && csLine.back() == '\n') {
            csLine.pop_back();
            if (!csLine.empty() && csLine.back() == '\r')
                csLine.pop_back(); // CR LF is one line end
        }
        if (!csLine.empty() && csLine.back() == '\r')
            csLine.pop_back();
        if (csLine.empty())
            continue;
        const auto c = static_cast<unsigned char>(csLine[0]);
        if (!IsPrintable(c)) {
            std::printf("Failing on char %d\n", static_cast<int>(static_cast<int8_t>(c)));
            std::fflush(stdout);
            bText = false;
            break;
        }
        ParseLine(csLine, csCurrentSection);
    }
    std::free(pBuffer);
    std::fclose(fp);
    return bText && !m_sections.empty();
}

bool SettingsCanHold(const std::string& csText)
{
    return !HasLineFeed(csText);
}

bool CSettingsFile::Compose(std::string& csOut) const
{
    csOut.clear();
    if (AnyLineFeed(m_csFileComments) || AnyLineFeed(m_csSectionNames))
        return false;
    for (const CSection& section : m_sections) {
        if (AnyLineFeed(section.KeyNames) || AnyLineFeed(section.Values)
            || AnyLineFeed(section.Comments))
            return false;
    }

    for (const std::string& csComment : m_csFileComments) {
        csOut += ';';
        AppendLineEndText(csOut, csComment);
    }
    if (!m_csFileComments.empty())
        csOut += "\r\n";
    for (size_t i = 0; i < m_sections.size(); ++i) {
        const CSection& section = m_sections[i];
        csOut += '[';
        csOut += m_csSectionNames[i];
        csOut += "]\r\n";
        for (const std::string& csComment : section.Comments) {
            csOut += ';';
            AppendLineEndText(csOut, csComment);
        }
        for (size_t k = 0; k < section.KeyNames.size(); ++k) {
            csOut += section.KeyNames[k];
            csOut += '=';
            AppendLineEndText(csOut, section.Values[k]);
        }
        csOut += "\r\n";
    }
    return true;
}

bool CSettingsFile::Save()
{
    std::string csBytes;
    // A line feed inside a text would split it into lines that read back as
    // something else (a file path could even plant other keys): refuse.
    if (!Compose(csBytes))
        return false;
    return WriteReplacing(m_csFilePath, csBytes);
}

} // namespace velmora
