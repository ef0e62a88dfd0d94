// velmora-replay as a member of the group meets it: a copy of the real
// executable with the package's file capability, run by a throwaway user.
#include "Child.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestSupport.h"
#include "ThrowawayUser.h"
#include "tools/CaptureWriter.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

using namespace velmora;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtest::Shell;

namespace {

// The capability lines of a process's status.
std::string Capabilities(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string csCaps;
    for (std::string cs; std::getline(in, cs);) {
        if (cs.rfind("CapEff:", 0) == 0 || cs.rfind("CapPrm:", 0) == 0)
            csCaps += cs + "\n";
    }
    return csCaps;
}

TEST(CommandPrivilegeTest, TheFileCapabilityOpensTheSocketAndIsDroppedAtOnce)
{
    vtest::CNetns ns("clipriv");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CThrowawayUser user;
    ASSERT_TRUE(user.Ok()) << "could not make a throwaway user";
    const std::string csCaps = vtest::PackageCapabilities(VELMORA_POSTINST);
    ASSERT_EQ(csCaps, "cap_net_raw=eip");
    vtest::CTempDir dir;
    const fs::path root = dir.Path();
    // The kernel ignores file capabilities on a nosuid mount.
    struct statvfs fsInfo { };
    ASSERT_EQ(statvfs(root.c_str(), &fsInfo), 0);
    ASSERT_FALSE(fsInfo.f_flag & ST_NOSUID) << root << " is on a nosuid mount";
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec,
        fs::perm_options::replace);
    const std::string csExe = (root / "velmora-replay").string();
    fs::copy_file(VELMORA_REPLAY_EXE, csExe);
    ASSERT_EQ(Shell("chown root:" + user.Name() + " " + csExe), 0);
    ASSERT_EQ(Shell("chmod 0750 " + csExe), 0);
    const fs::path cwd = root / "cwd";
    fs::create_directories(cwd);
    ASSERT_TRUE(WriteTestCapture((cwd / "long.pcap").string(), 3000000, 60));
    ASSERT_TRUE(WriteBacnetSample((cwd / "sample.pcap").string()));
    for (const fs::path& p : { cwd, cwd / "long.pcap", cwd / "sample.pcap" })
        ASSERT_EQ(chown(p.c_str(), user.Uid(), user.Gid()), 0);
    auto run = [&](const std::string& csCapture) {
        return std::make_unique<vtest::CChild>(
            std::vector<std::string> { "setpriv", "--reuid=" + std::to_string(user.Uid()),
                "--regid=" + std::to_string(user.Gid()), "--clear-groups", csExe, "-i", "vm0",
                csCapture },
            cwd.string(), ns.Name());
    };

    // Without the capability: nothing goes out, and the user is told why.
    {
        auto pChild = run("sample.pcap");
        EXPECT_EQ(pChild->Wait(), 3);
        EXPECT_EQ(pChild->Err(),
            "velmora-replay: Not sent: no permission to send on vm0 (see Install in the README)\n");
    }

    // With it, as the package installs it: the send goes out, and while it
    // runs the process holds no capability at all.
    ASSERT_EQ(Shell("setcap " + csCaps + " " + csExe), 0);
    vtest::CRxWatch watch(ns, vtest::CNetns::PeerIf());
    const long long llBefore = watch.Now();
    auto pChild = run("long.pcap");
    ASSERT_TRUE(vtest::WaitUntil([&] { return watch.Now() > llBefore; }, 5s)) << pChild->Err();
    EXPECT_EQ(
        Capabilities(pChild->Pid()), "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n");
    pChild->Signal(SIGTERM);
    EXPECT_EQ(pChild->Wait(10s), 143);
    std::this_thread::sleep_for(100ms);
    watch.Stop();
    const long long llPeer = watch.Samples().back().llRx - llBefore;
    EXPECT_GT(llPeer, 0);
    EXPECT_EQ(pChild->Err(),
        "velmora-replay: stopped by SIGTERM: " + std::to_string(llPeer)
            + " Packets have been sent\n");
}

} // namespace

namespace {

// A group member listens: after the capabilities are gone, binding the ear to
// the adapter, promiscuous mode and the send stamps need none.
TEST(CommandPrivilegeTest, AGroupMemberHearsTheDevicesAnswers)
{
    vtest::CNetns ns("clilistenpriv");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CThrowawayUser user;
    ASSERT_TRUE(user.Ok()) << "could not make a throwaway user";
    vtest::CTempDir dir;
    const fs::path root = dir.Path();
    struct statvfs fsInfo { };
    ASSERT_EQ(statvfs(root.c_str(), &fsInfo), 0);
    ASSERT_FALSE(fsInfo.f_flag & ST_NOSUID) << root << " is on a nosuid mount";
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec,
        fs::perm_options::replace);
    const std::string csExe = (root / "velmora-replay").string();
    fs::copy_file(VELMORA_REPLAY_EXE, csExe);
    ASSERT_EQ(Shell("chown root:" + user.Name() + " " + csExe), 0);
    ASSERT_EQ(Shell("chmod 0750 " + csExe), 0);
    ASSERT_EQ(Shell("setcap " + vtest::PackageCapabilities(VELMORA_POSTINST) + " " + csExe), 0);
    const fs::path cwd = root / "cwd";
    fs::create_directories(cwd);
    ASSERT_TRUE(WriteBacnetIpSample((cwd / "ip.pcap").string()));
    for (const fs::path& p : { cwd, cwd / "ip.pcap" })
        ASSERT_EQ(chown(p.c_str(), user.Uid(), user.Gid()), 0);

    vtest::CChild responder(
        { VELMORA_RESPONDER, vtest::CNetns::PeerIf() }, cwd.string(), ns.Name());
    for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
    vtest::CChild command({ "setpriv", "--reuid=" + std::to_string(user.Uid()),
                              "--regid=" + std::to_string(user.Gid()), "--clear-groups", csExe,
                              "-i", "vm0", "--listen=0.5", "--requests-only", "ip.pcap" },
        cwd.string(), ns.Name());
    EXPECT_EQ(command.Wait(), 0) << command.Err();
    // Who-Is, two readProperty and a writeProperty, each answered, each timed.
    std::istringstream out(command.Out());
    int iLines = 0;
    for (std::string cs; std::getline(out, cs); ++iLines) {
        EXPECT_NE(cs.find("\tanswered\t"), std::string::npos) << cs;
        EXPECT_NE(cs.back(), '-') << cs;
    }
    EXPECT_EQ(iLines, 4) << command.Out();
    responder.Signal(SIGTERM);
    responder.Wait();
}

} // namespace
