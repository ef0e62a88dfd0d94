// The installed program's privilege as a group member meets it: a copy of
// the real executable with the package's file capability, run by a throwaway
// user, with a theme plugin of the user's own that Qt loads into the window.
#include "FrameBuilder.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
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

// Sends an ARP request and a BACnet/IP frame every 5 ms from the peer end of
// the pair, until destroyed. Open it inside the namespace.
class CFeeder {
public:
    explicit CFeeder(const char* szIf)
    {
        m_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = static_cast<int>(if_nametoindex(szIf));
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0)
            return;
        m_thread = std::thread([this] {
            // Not from 02:76:6d, which the peer capture collects.
            vtest::Bytes arp = vtest::EthernetII(0x0806,
                vtest::Hex("0001 0800 06 04 0001 020000000099 0a000001 000000000000 0a000002"));
            vtest::Bytes bacnet = vtest::BacnetIp(0x0a, vtest::Hex("01 00 10 08"));
            arp[1] = bacnet[1] = 0x00;
            arp[7] = bacnet[7] = 0x00;
            while (!m_bStop) {
                send(m_fd, arp.data(), arp.size(), 0);
                send(m_fd, bacnet.data(), bacnet.size(), 0);
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    ~CFeeder()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ok() const { return m_thread.joinable(); }

private:
    int m_fd = -1;
    std::atomic<bool> m_bStop { false };
    std::thread m_thread;
};

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
            // The test's own packet sockets (the peer capture's) are not the
            // program's to find.
            for (int fd = 3; fd < 1024; ++fd)
                close(fd);
            if (chdir(cwd.c_str()) != 0)
                _exit(120);
            setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
            setenv("HOME", run.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("QT_PLUGIN_PATH", csPlugins.c_str(), 1);
            setenv("VELMORA_PROBE_OUT", csOut.c_str(), 1);
            setenv("VELMORA_PROBE_IF", vtest::CNetns::SendIf(), 1);
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
        // ARP and BACnet/IP keep coming to the adapter all the while.
        std::unique_ptr<CFeeder> pFeeder;
        {
            vtest::CEnterNetns enter(m_ns);
            pFeeder = std::make_unique<CFeeder>(vtest::CNetns::PeerIf());
        }
        ASSERT_TRUE(pFeeder->Ok());
        const std::vector<std::string> report = Run(c.szTag, c.bThemeFromArgs);
        pFeeder.reset();
        const std::string csBox = std::to_string(m_frames.size()) + " Packets have been sent";
        // The send socket and the ear: neither filter moves, neither holds
        // anything before a Send. Bound by the plugin itself, the ear hears
        // BACnet (what the group grants) and nothing else.
        const std::string csLocked
            = "detach errno 1, replace errno 1, unlock errno 1, nothing to read";
        EXPECT_EQ(report,
            std::vector<std::string>({ "CapEff:\t0000000000000000", "CapPrm:\t0000000000000000",
                "packet socket errno 1", "packet sockets 2", csLocked, csLocked,
                "own bind hears ARP 0, other 0, BACnet some", "box " + csBox }))
            << c.szTag;
        EXPECT_EQ(pPeer->Collect(m_frames.size() + 1, 2000), m_frames) << c.szTag;
    }
}

} // namespace
