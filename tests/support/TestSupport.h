#pragma once

#include "log/MessageBox.h"
#include "web/UrlOpener.h"

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vtest {

using namespace velmora;

// A fresh folder under /tmp, removed with everything in it at the end.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& csName) const { return (m_path / csName).string(); }

private:
    std::filesystem::path m_path;
};

// Changes the current folder for the life of the object.
class CScopedCwd {
public:
    explicit CScopedCwd(const std::filesystem::path& dir);
    ~CScopedCwd();

private:
    std::filesystem::path m_old;
};

std::string ReadFile(const std::string& csPath);
void WriteFile(const std::string& csPath, const std::string& csBytes);

// Answers from a script (or OK / No when the script is empty) and records.
class CRecordingBox final : public IMessageBox {
public:
    struct Shown {
        std::string csText;
        int iType;
    };
    CRecordingBox() { SetMessageBox(this); }
    ~CRecordingBox() override { SetMessageBox(nullptr); }
    int Show(const std::string& csText, int iType) override;

    std::deque<int> answers;
    std::vector<Shown> shown;
};

class CRecordingOpener final : public IUrlOpener {
public:
    CRecordingOpener() { SetUrlOpener(this); }
    ~CRecordingOpener() override { SetUrlOpener(nullptr); }
    bool Open(const std::string& csUrl) override
    {
        opened.push_back(csUrl);
        return bResult;
    }

    bool bResult = true;
    std::vector<std::string> opened;
};

// Polls pred every few milliseconds until it holds (true) or the time is up.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);

// A test's own world: a fresh temporary folder as the current folder and as
// the log folder, the debug flag on, a recording box and opener. The log
// folder and the flag go back at the end.
class CSandbox {
public:
    CSandbox();
    ~CSandbox();
    CSandbox(const CSandbox&) = delete;
    CSandbox& operator=(const CSandbox&) = delete;
    std::string File(const std::string& csName) const { return m_dir.File(csName); }
    std::vector<std::string> DebugTexts() const;
    std::vector<std::string> MessageTexts() const;

    CTempDir m_dir;
    CScopedCwd m_cwd { m_dir.Path() };
    CRecordingBox m_box;
    CRecordingOpener m_opener;
};

// The texts of a log file's records, without their time stamps.
std::vector<std::string> LogTexts(const std::string& csPath);

// Splits a log file into its records (each begins with "\n[").
std::vector<std::string> LogRecords(const std::string& csPath);
// The record without its time stamp: what follows "] ".
std::string RecordText(const std::string& csRecord);

} // namespace vtest
