// The installed program's privilege as a group member meets it: a copy of
// the real executable with the package's file capability, run by a throwaway
// user, with a theme plugin of the user's own that Qt loads into the window.
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace velmora;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtest::Frames;
using vtest::Shell;
using vtest::ShellOutput;

namespace {

std::string PackageCapabilities()
{
    return vtest::PackageCapabilities(VELMORA_POSTINST);
}

class PrivilegeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VTEST_REQUIRE_NETNS(m_ns);
        ASSERT_TRUE(m_user.Ok()) << "could not make a throwaway user";
        ASSERT_NE(PackageCapabilities(), "");
        const fs::path root = m_dir.Path();
        // The kernel ignores file capabilities on a nosuid mount.
        struct statvfs fsInfo { };
        ASSERT_EQ(statvfs(root.c_str(), &fsInfo), 0);
        ASSERT_FALSE(fsInfo.f_flag & ST_NOSUID)
            << root << " is on a nosuid mount: point TMPDIR elsewhere";
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec,
            fs::perm_options::replace);
        fs::create_directories(root / "bin");
        fs::create_directories(root / "plugins/platformthemes");
        fs::copy_file(VELMORA_EXE, Exe());
        fs::copy_file(VELMORA_PROBE_PLUGIN, root / "plugins/platformthemes/libvelmoraprobe.so");
        ASSERT_EQ(Shell("chmod -R a+rX " + (root / "plugins").string()), 0);
        ASSERT_EQ(Shell("chmod a+rx " + (root / "bin").string()), 0);
        ASSERT_EQ(Shell("chown root:" + m_user.Name() + " " + Exe()), 0);
        ASSERT_EQ(Shell("chmod 0750 " + Exe()), 0);
        ASSERT_EQ(Shell("setcap " + PackageCapabilities() + " " + Exe()), 0);
        m_frames = vtest::ReadCaptureFrames(VELMORA_SAMPLES_DIR "/bacnet-sample.pcap");
        ASSERT_FALSE(m_frames.empty());
    }

    std::string Exe() const { return (m_dir.Path() / "bin/velmora").string(); }

    // One run of the program as the user, in its own working folder; what the
    // plugin reported.
    std::vector<std::string> Run(const std::string& csTag, bool bThemeFromArgs)
    {
        const fs::path cwd = m_dir.Path() / ("cwd-" + csTag);
        const fs::path run = m_dir.Path() / ("run-" + csTag);
        const std::string csOut = (cwd / "probe.txt").string();
        fs::create_directories(cwd);
        fs::create_directories(run);
        fs::copy_file(VELMORA_SAMPLES_DIR "/bacnet-sample.pcap", cwd / "sample.pcap");
        vtest::WriteFile((cwd / "settings.ini").string(),
            "[Velmora]\r\nDebug=1\r\nAutoUpdate=0\r\nMode=1\r\nOffset=0\r\nOldPath="
                + (cwd / "sample.pcap").string() + "\r\nNicDevice=vm0\r\n");
        for (const fs::path& p : { cwd, run, cwd / "sample.pcap", cwd / "settings.ini" })
            EXPECT_EQ(chown(p.c_str(), m_user.Uid(), m_user.Gid()), 0);
        fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);

        const std::string csUid = "--reuid=" + std::to_string(m_user.Uid());
        const std::string csGid = "--regid=" + std::to_string(m_user.Gid());
        const std::string csPlugins = (m_dir.Path() / "plugins").string();
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(cwd.c_str()) != 0)
                _exit(120);
            setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
            setenv("HOME", run.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("QT_PLUGIN_PATH", csPlugins.c_str(), 1);
            setenv("VELMORA_PROBE_OUT", csOut.c_str(), 1);
            // The process is not dumpable: leak checking could not stop it.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            const std::string csExe = Exe();
            if (bThemeFromArgs) {
                unsetenv("QT_QPA_PLATFORMTHEME");
                execlp("ip", "ip", "netns", "exec", m_ns.Name().c_str(), "setpriv", csUid.c_str(),
                    csGid.c_str(), "--clear-groups", csExe.c_str(), "-platformtheme",
                    "velmoraprobe", static_cast<char*>(nullptr));
            } else {
                setenv("QT_QPA_PLATFORMTHEME", "velmoraprobe", 1);
                execlp("ip", "ip", "netns", "exec", m_ns.Name().c_str(), "setpriv", csUid.c_str(),
                    csGid.c_str(), "--clear-groups", csExe.c_str(), static_cast<char*>(nullptr));
            }
            _exit(121);
        }
        EXPECT_GT(pid, 0);
        // The plugin closes the window once the box is answered.
        int st = 0;
        bool bEnded = false;
        for (int i = 0; i < 100 && !bEnded; ++i) {
            bEnded = waitpid(pid, &st, WNOHANG) == pid;
            if (!bEnded)
                std::this_thread::sleep_for(50ms);
        }
        if (!bEnded) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
        }
        EXPECT_TRUE(bEnded) << csTag << ": the window did not end";
        std::vector<std::string> lines;
        std::ifstream in(csOut);
        for (std::string cs; std::getline(in, cs);)
            lines.push_back(cs);
        return lines;
    }

    vtest::CNetns m_ns { "priv" };
    vtest::CThrowawayUser m_user;
    vtest::CTempDir m_dir;
    Frames m_frames;
};

TEST_F(PrivilegeTest, PluginGetsNoCapabilityWhileTheUsersSendDeliversEveryFrame)
{
    struct Case {
        const char* szTag;
        bool bThemeFromArgs;
    };
    for (const Case& c : { Case { "env", false }, Case { "args", true } }) {
        std::unique_ptr<vtest::CPeerCapture> pPeer;
        {
            vtest::CEnterNetns enter(m_ns);
            ASSERT_TRUE(enter.Ok());
            pPeer = std::make_unique<vtest::CPeerCapture>(vtest::CNetns::PeerIf(), 2048);
        }
        ASSERT_TRUE(pPeer->Ok());
        const std::vector<std::string> report = Run(c.szTag, c.bThemeFromArgs);
        const std::string csBox = std::to_string(m_frames.size()) + " Packets have been sent";
        EXPECT_EQ(report,
            std::vector<std::string>({ "CapEff:\t0000000000000000", "CapPrm:\t0000000000000000",
                "packet socket errno 1", "detach errno 1", "box " + csBox }))
            << c.szTag;
        EXPECT_EQ(pPeer->Collect(m_frames.size() + 1, 2000), m_frames) << c.szTag;
    }
}

} // namespace
