#include "TestSupport.h"

#include "log/Log.h"

#include <thread>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace velmora;

namespace fs = std::filesystem;

namespace vtest {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

CTempDir::CTempDir()
{
    std::string csTemplate = (fs::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (!mkdtemp(csTemplate.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = csTemplate;
}

CTempDir::~CTempDir()
{
    std::error_code ec;
    // Tests may leave read-only folders behind; open them up before removing.
    for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

CScopedCwd::CScopedCwd(const fs::path& dir)
    : m_old(fs::current_path())
{
    fs::current_path(dir);
}

CScopedCwd::~CScopedCwd()
{
    std::error_code ec;
    fs::current_path(m_old, ec);
}

std::string ReadFile(const std::string& csPath)
{
    std::ifstream in(csPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& csPath, const std::string& csBytes)
{
    std::ofstream out(csPath, std::ios::binary | std::ios::trunc);
    out << csBytes;
}

int CRecordingBox::Show(const std::string& csText, int iType)
{
    shown.push_back({ csText, iType });
    if (!answers.empty()) {
        const int i = answers.front();
        answers.pop_front();
        return i;
    }
    return iType == MB_YESNO ? IDNO : IDOK;
}

std::vector<std::string> LogRecords(const std::string& csPath)
{
    const std::string cs = ReadFile(csPath);
    std::vector<std::string> records;
    size_t pos = 0;
    while ((pos = cs.find("\n[", pos)) != std::string::npos) {
        size_t next = cs.find("\n[", pos + 2);
        // A record's own text may hold "\n[" only after its stamp; stamps are 22 bytes.
        while (next != std::string::npos && next + 23 <= cs.size() && cs[next + 4] != '-')
            next = cs.find("\n[", next + 2);
        records.push_back(
            cs.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        pos = next == std::string::npos ? cs.size() : next;
    }
    return records;
}

std::string RecordText(const std::string& csRecord)
{
    const size_t p = csRecord.find("] ");
    return p == std::string::npos ? std::string() : csRecord.substr(p + 2);
}

std::vector<std::string> LogTexts(const std::string& csPath)
{
    std::vector<std::string> texts;
    for (const std::string& cs : LogRecords(csPath))
        texts.push_back(RecordText(cs));
    return texts;
}

CSandbox::CSandbox()
{
    SetLogFolder(m_dir.Path().string());
    g_bDebug = true;
}

CSandbox::~CSandbox()
{
    SetLogFolder(std::string());
    g_bDebug = true;
}

std::vector<std::string> CSandbox::DebugTexts() const
{
    return LogTexts(File("Debuglog.txt"));
}
std::vector<std::string> CSandbox::MessageTexts() const
{
    return LogTexts(File("log.txt"));
}

} // namespace vtest
