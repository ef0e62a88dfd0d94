// Loads arbitrary bytes as "settings.ini", then checks that what was loaded
// survives a save and a load into a fresh document unchanged, and that the
// indexed lookups agree with a plain first-match scan.

#include "settings/SettingsFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace velmora;

namespace {

std::string s_csDir;
std::string s_csFile;

void RemoveWorkDir()
{
    unlink(s_csFile.c_str());
    rmdir(s_csDir.c_str());
}

void Check(bool b)
{
    if (!b)
        __builtin_trap();
}

void WriteInput(const uint8_t* pData, size_t uSize)
{
    const int fd = open(s_csFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0);
    size_t uDone = 0;
    while (uDone < uSize) {
        const ssize_t n = write(fd, pData + uDone, uSize - uDone);
        Check(n > 0);
        uDone += static_cast<size_t>(n);
    }
    Check(close(fd) == 0);
}

int32_t FirstSection(const CSettingsFile& doc, const std::string& csName)
{
    const auto& names = doc.SectionNames();
    for (size_t i = 0; i < names.size(); ++i) {
        if (doc.FoldCase(names[i]) == doc.FoldCase(csName))
            return static_cast<int32_t>(i);
    }
    return -1;
}

void CheckLookups(const CSettingsFile& doc)
{
    const auto& names = doc.SectionNames();
    for (size_t i = 0; i < names.size(); ++i) {
        Check(doc.SectionIndex(names[i]) == FirstSection(doc, names[i]));
        const auto& keys = doc.Sections()[i].KeyNames;
        for (size_t k = 0; k < keys.size(); ++k)
            Check(doc.KeyIndex(static_cast<int32_t>(i), keys[k]) == static_cast<int32_t>(k));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A memory-backed folder where there is one: Save syncs every file it writes.
    char szShm[] = "/dev/shm/settings_fuzz-XXXXXX";
    char szTmp[] = "/tmp/settings_fuzz-XXXXXX";
    const char* szDir = mkdtemp(szShm);
    if (!szDir)
        szDir = mkdtemp(szTmp);
    Check(szDir != nullptr);
    s_csDir = szDir;
    s_csFile = s_csDir + "/settings.ini";
    std::atexit(RemoveWorkDir);
    // Load reports non-text files on standard output; keep the fuzzer's log readable.
    const int fdNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fdNull >= 0) {
        dup2(fdNull, STDOUT_FILENO);
        close(fdNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    WriteInput(pData, uSize);
    CSettingsFile doc(s_csFile);
    const bool bLoaded = doc.Load();
    Check(!bLoaded || !doc.SectionNames().empty());
    CheckLookups(doc);

    // Nothing that Load can produce may be refused or changed by Save.
    Check(doc.Save());
    CSettingsFile back(s_csFile);
    Check(back.Load() == !doc.SectionNames().empty());
    Check(back.FileComments() == doc.FileComments());
    Check(back.SectionNames() == doc.SectionNames());
    const auto& a = doc.Sections();
    const auto& b = back.Sections();
    Check(a.size() == b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        Check(a[i].KeyNames == b[i].KeyNames);
        Check(a[i].Values == b[i].Values);
        Check(a[i].Comments == b[i].Comments);
    }
    return 0;
}
