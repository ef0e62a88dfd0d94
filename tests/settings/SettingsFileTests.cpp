#include "TestSupport.h"
#include "settings/SettingsFile.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velmora;

namespace fs = std::filesystem;
using vtest::ReadFile;
using vtest::WriteFile;
using Strings = std::vector<std::string>;

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("settings.ini"); }
    // Loads the bytes into a fresh document; the result goes to *pbLoaded.
    CSettingsFile LoadBytes(const std::string& csBytes, bool* pbLoaded = nullptr)
    {
        WriteFile(Path(), csBytes);
        CSettingsFile doc(Path());
        const bool b = doc.Load();
        if (pbLoaded)
            *pbLoaded = b;
        return doc;
    }
    // Whatever is left in the folder besides the named files (stray temp files).
    Strings Others(const fs::path& dir, const Strings& known) const
    {
        Strings others;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string cs = e.path().filename().string();
            if (std::find(known.begin(), known.end(), cs) == known.end())
                others.push_back(cs);
        }
        return others;
    }

    vtest::CTempDir m_dir;
};

TEST_F(SettingsFileTest, LineEndsLoadAlike)
{
    const CSettingsFile lf = LoadBytes("[S]\na=1\nb=2");
    const CSettingsFile crlf = LoadBytes("[S]\r\na=1\r\nb=2\r\n");
    EXPECT_EQ(lf.SectionNames(), crlf.SectionNames());
    EXPECT_EQ(crlf.Sections()[0].KeyNames, (Strings { "a", "b" }));
    EXPECT_EQ(crlf.Sections()[0].Values, lf.Sections()[0].Values);

    // CR CR LF loses both CRs; a third CR survives; a lone CR at the end goes.
    const CSettingsFile doc = LoadBytes("[S]\r\r\na=1\r\r\nb=2\r\r\r\nc=3\r");
    EXPECT_EQ(doc.SectionNames(), (Strings { "S" }));
    EXPECT_EQ(doc.Sections()[0].Values, (Strings { "1", "2\r", "3" }));
}

TEST_F(SettingsFileTest, LinesAreClassifiedByTheirFirstMarker)
{
    bool bLoaded = false;
    const CSettingsFile doc = LoadBytes("; top\n"
                                        "k=v\n"
                                        "a[1]=2\n"
                                        "key=value ; note\n"
                                        "Mode = 1\n"
                                        "  ;note\n"
                                        "x#y\n"
                                        "no markers here\n"
                                        "[Sec\n"
                                        "=x\n"
                                        "][ignored\n"
                                        "junk[T]x]tail\n"
                                        "e=\n",
        &bLoaded);
    EXPECT_TRUE(bLoaded);
    EXPECT_EQ(doc.FileComments(), (Strings { " top" }));
    ASSERT_EQ(doc.SectionNames(), (Strings { "", "1", "T]x" }));
    EXPECT_EQ(doc.Sections()[0].KeyNames, (Strings { "k" }));
    EXPECT_TRUE(doc.Sections()[0].Comments.empty());
    const CSettingsFile::CSection& s1 = doc.Sections()[1];
    EXPECT_EQ(s1.KeyNames, (Strings { "key", "Mode ", "" }));
    EXPECT_EQ(s1.Values, (Strings { "value ; note", " 1", "x" }));
    EXPECT_EQ(s1.Comments, (Strings { "note", "y" }));
    EXPECT_EQ(doc.GetString("1", "Mode", "none"), "none");
    EXPECT_EQ(doc.Sections()[2].KeyNames, (Strings { "e" }));
    EXPECT_EQ(doc.Sections()[2].Values, (Strings { "" }));
}

TEST_F(SettingsFileTest, HeadersInOtherCaseAddSectionsButKeysGoToTheFirst)
{
    CSettingsFile doc = LoadBytes("[Velmora]\na=1\n[VELMORA]\n;c\nB=2\nA=3\n");
    ASSERT_EQ(doc.SectionNames(), (Strings { "Velmora", "VELMORA" }));
    EXPECT_EQ(doc.SectionIndex("velmora"), 0);
    EXPECT_EQ(doc.Sections()[0].KeyNames, (Strings { "a", "B" }));
    EXPECT_EQ(doc.Sections()[0].Values, (Strings { "3", "2" }));
    EXPECT_EQ(doc.Sections()[0].Comments, (Strings { "c" }));
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(ReadFile(Path()), "[Velmora]\r\n;c\r\na=3\r\nB=2\r\n\r\n[VELMORA]\r\n\r\n");
}

TEST_F(SettingsFileTest, NonPrintableFirstByteStopsTheLoad)
{
    struct Case {
        std::string csBytes;
        std::string csMessage;
    };
    for (const Case& c : { Case { "[S]\na=1\n\tb=2\nc=3\n", "Failing on char 9\n" },
             Case { "\xEF\xBB\xBF[S]\na=1\n", "Failing on char -17\n" },
             Case { "[S]\n\x7F\n", "Failing on char 127\n" } }) {
        testing::internal::CaptureStdout();
        bool bLoaded = true;
        const CSettingsFile doc = LoadBytes(c.csBytes, &bLoaded);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.csMessage);
        EXPECT_FALSE(bLoaded);
        if (c.csBytes[0] == '[') {
            // What came before stays; what comes after is not read.
            EXPECT_EQ(doc.SectionNames(), (Strings { "S" }));
            EXPECT_EQ(doc.GetString("S", "c", "-"), "-");
        }
    }
    EXPECT_EQ(LoadBytes("[S]\na=1\n\tb=2\n").GetString("s", "A", ""), "1");
}

TEST_F(SettingsFileTest, LoadIsFalseWithoutSectionsAndAddsToTheDocument)
{
    bool bLoaded = true;
    LoadBytes("", &bLoaded);
    EXPECT_FALSE(bLoaded);
    const CSettingsFile comments = LoadBytes("; a\n\n#b\r\n", &bLoaded);
    EXPECT_FALSE(bLoaded);
    EXPECT_EQ(comments.FileComments(), (Strings { " a", "b" }));

    CSettingsFile missing(m_dir.File("nothing.ini"));
    EXPECT_FALSE(missing.Load());
    EXPECT_FALSE(CSettingsFile("").Load());

    // Not cleared: a second load adds the same sections again.
    CSettingsFile doc = LoadBytes("[S]\nk=1\n");
    EXPECT_TRUE(doc.Load());
    EXPECT_EQ(doc.SectionNames(), (Strings { "S", "S" }));
}

TEST_F(SettingsFileTest, LoadReadsOnlyRegularFilesAndNeverBlocks)
{
    ASSERT_EQ(mkfifo(Path().c_str(), 0644), 0);
    CSettingsFile fifo(Path());
    auto result = std::async(std::launch::async, [&] { return fifo.Load(); });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Release the blocked reader so that the test can end.
        close(open(Path().c_str(), O_WRONLY | O_NONBLOCK));
        ADD_FAILURE() << "Load blocked on a FIFO";
    }
    EXPECT_FALSE(result.get());
    ASSERT_EQ(unlink(Path().c_str()), 0);

    ASSERT_TRUE(fs::create_directory(Path()));
    EXPECT_FALSE(CSettingsFile(Path()).Load());
    fs::remove(Path());
    fs::create_symlink("/dev/zero", Path());
    EXPECT_FALSE(CSettingsFile(Path()).Load());
}

TEST_F(SettingsFileTest, GettersConvertByAtoiRulesWithWrapAround)
{
    const CSettingsFile doc
        = LoadBytes("[S]\ne=\nabc=abc\nsp= 42\nneg=-7x\nws=\t\v\f\r +8\n"
                    "wrap=4294967297\nmin=2147483648\nnmin=-2147483648\n"
                    "huge=99999999999999999999\ntwo=2\nm1=-1\nzero=0\nyes=yes\n");
    const std::pair<const char*, int32_t> ints[]
        = { { "e", 0 }, { "abc", 0 }, { "sp", 42 }, { "neg", -7 }, { "ws", 8 }, { "wrap", 1 },
              { "min", INT_MIN }, { "nmin", INT_MIN }, { "huge", 1661992959 }, { "missing", 77 } };
    for (const auto& [szKey, iWant] : ints)
        EXPECT_EQ(doc.GetInt("s", szKey, 77), iWant) << szKey;
    EXPECT_EQ(doc.GetInt("nosection", "e", -3), -3);

    EXPECT_TRUE(doc.GetBool("S", "two", false));
    EXPECT_TRUE(doc.GetBool("S", "m1", false));
    EXPECT_FALSE(doc.GetBool("S", "zero", true));
    EXPECT_FALSE(doc.GetBool("S", "yes", true));
    EXPECT_TRUE(doc.GetBool("S", "missing", true));
    EXPECT_FALSE(doc.GetBool("S", "missing", false));
    EXPECT_EQ(doc.GetString("S", "missing", "dflt"), "dflt");
    EXPECT_EQ(doc.SectionNames().size(), 1u); // getters never create
}

TEST_F(SettingsFileTest, SettersAndLookupsFoldOnlyAsciiCapitals)
{
    CSettingsFile doc(Path());
    EXPECT_FALSE(doc.SetString("S", "k", "v", false));
    EXPECT_TRUE(doc.SectionNames().empty());
    ASSERT_TRUE(doc.SetString("S", "Key", "1", true));
    EXPECT_FALSE(doc.SetString("S", "other", "v", false));
    EXPECT_TRUE(doc.SetString("s", "KEY", "2", false));
    EXPECT_EQ(doc.Sections()[0].KeyNames, (Strings { "Key" }));
    EXPECT_EQ(doc.GetString("S", "key", ""), "2");

    EXPECT_TRUE(doc.SetInt("S", "neg", INT_MIN, true));
    EXPECT_TRUE(doc.SetBool("S", "on", true, true));
    EXPECT_TRUE(doc.SetBool("S", "off", false, true));
    EXPECT_EQ(doc.Sections()[0].Values, (Strings { "2", "-2147483648", "1", "0" }));

    // Duplicate names: every lookup finds the first.
    EXPECT_EQ(doc.AddSection("s"), 1);
    EXPECT_EQ(doc.SectionIndex("S"), 0);
    EXPECT_EQ(doc.KeyIndex(1, "key"), -1);
    EXPECT_EQ(doc.KeyIndex(-1, "key"), -1);
    EXPECT_EQ(doc.KeyIndex(2, "key"), -1);
    EXPECT_TRUE(doc.AddSectionCommentByName("S", "c"));
    EXPECT_EQ(doc.Sections()[0].Comments, (Strings { "c" }));
    EXPECT_FALSE(doc.AddSectionComment(2, "c"));
    EXPECT_FALSE(doc.AddSectionComment(-1, "c"));
    EXPECT_FALSE(doc.AddSectionCommentByName("T", "c"));

    EXPECT_EQ(doc.FoldCase("@AZ[`az{\xC4\xE4"), "@az[`az{\xC4\xE4");
    EXPECT_EQ(doc.SectionIndex("\xC4"), -1);
    doc.AddSection("\xC4");
    EXPECT_EQ(doc.SectionIndex("\xE4"), -1);
}

TEST_F(SettingsFileTest, SaveWritesTheFixedLayout)
{
    CSettingsFile doc(Path());
    doc.AddFileComment("by hand");
    doc.AddSection("S");
    doc.AddSectionComment(0, "note");
    doc.SetInt("S", "a", 1, true);
    doc.SetString("S", "b", "", true);
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(ReadFile(Path()), ";by hand\r\n\r\n[S]\r\n;note\r\na=1\r\nb=\r\n\r\n");

    // Whatever order the lines came in, and whichever comment marker.
    const CSettingsFile loaded = LoadBytes("k=v\n#late\n[T]\n;t\nx=1\n");
    CSettingsFile copy = loaded;
    ASSERT_TRUE(copy.Save());
    EXPECT_EQ(ReadFile(Path()), "[]\r\n;late\r\nk=v\r\n\r\n[T]\r\n;t\r\nx=1\r\n\r\n");
    CSettingsFile again(Path());
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(again.SectionNames(), loaded.SectionNames());
    EXPECT_EQ(again.Sections()[0].Comments, (Strings { "late" }));

    ASSERT_TRUE(CSettingsFile(Path()).Save());
    EXPECT_TRUE(fs::exists(Path()));
    EXPECT_EQ(fs::file_size(Path()), 0u);
}

TEST_F(SettingsFileTest, SaveKeepsTrailingCarriageReturnsAndRefusesLineFeeds)
{
    CSettingsFile doc(Path());
    doc.AddFileComment("c\r");
    doc.SetString("S", "k", "v\r", true);
    doc.SetString("S", "cr", "\r", true);
    ASSERT_TRUE(doc.Save());
    CSettingsFile back(Path());
    ASSERT_TRUE(back.Load());
    EXPECT_EQ(back.FileComments(), (Strings { "c\r" }));
    EXPECT_EQ(back.Sections()[0].Values, (Strings { "v\r", "\r" }));

    // A line feed would plant another line: nothing is written at all.
    WriteFile(Path(), "old");
    CSettingsFile injected(Path());
    injected.SetString("Velmora", "OldPath", "/tmp/a\nNicDevice=evil", true);
    EXPECT_FALSE(injected.Save());
    EXPECT_EQ(ReadFile(Path()), "old");
}

TEST_F(SettingsFileTest, SaveReplacesOnlyAWritableRegularFile)
{
    CSettingsFile doc(Path());
    doc.SetString("S", "k", "new", true);

    WriteFile(Path(), "old");
    fs::permissions(Path(), fs::perms(0444));
    EXPECT_FALSE(doc.Save()); // also when root, who may write anything
    EXPECT_EQ(ReadFile(Path()), "old");

    // Permissions of the old file survive the replacement.
    fs::permissions(Path(), fs::perms(0640));
    ASSERT_TRUE(doc.Save());
    EXPECT_EQ(ReadFile(Path()), "[S]\r\nk=new\r\n\r\n");
    EXPECT_EQ(fs::status(Path()).permissions(), fs::perms(0640));
    EXPECT_EQ(Others(m_dir.Path(), { "settings.ini" }), Strings {});

    fs::remove(Path());
    fs::create_directory(Path());
    EXPECT_FALSE(doc.Save());
    EXPECT_TRUE(fs::is_directory(Path()));
    fs::remove(Path());
    ASSERT_EQ(mkfifo(Path().c_str(), 0666), 0);
    EXPECT_FALSE(doc.Save());
    EXPECT_TRUE(fs::is_fifo(Path()));
    // A device of that name (our own node for /dev/null) is never replaced.
    fs::remove(Path());
    if (mknod(Path().c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_FALSE(doc.Save());
        EXPECT_TRUE(fs::is_character_file(Path()));
    }
    EXPECT_EQ(Others(m_dir.Path(), { "settings.ini" }), Strings {});
    EXPECT_FALSE(CSettingsFile(m_dir.File("missing/settings.ini")).Save());
}

TEST_F(SettingsFileTest, SaveWritesThroughSymbolicLinks)
{
    fs::create_directory(m_dir.Path() / "real");
    const std::string csTarget = m_dir.File("real/target.ini");
    WriteFile(csTarget, "old");
    fs::create_symlink("real/target.ini", m_dir.Path() / "hop");
    fs::create_symlink("hop", Path());

    CSettingsFile doc(Path());
    doc.SetString("S", "k", "v", true);
    ASSERT_TRUE(doc.Save());
    EXPECT_TRUE(fs::is_symlink(Path()));
    EXPECT_EQ(ReadFile(csTarget), "[S]\r\nk=v\r\n\r\n");
    EXPECT_EQ(Others(m_dir.Path() / "real", { "target.ini" }), Strings {});

    // A dangling link gets its target created.
    fs::remove(csTarget);
    ASSERT_TRUE(doc.Save());
    EXPECT_TRUE(fs::is_symlink(Path()));
    EXPECT_EQ(ReadFile(csTarget), "[S]\r\nk=v\r\n\r\n");
}

// Runs fn as the user nobody when we are root, so that permission bits count.
// Gives 1 for true, 0 for false and 2 when the user could not be changed.
int AsUnprivileged(const std::function<bool()>& fn)
{
    if (geteuid() != 0)
        return fn() ? 1 : 0;
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(fn() ? 1 : 0);
    }
    int iStatus = 0;
    if (pid < 0 || waitpid(pid, &iStatus, 0) != pid || !WIFEXITED(iStatus))
        return 2;
    return WEXITSTATUS(iStatus);
}

TEST_F(SettingsFileTest, SaveIntoReadOnlyFolderLeavesTheOldFile)
{
    const fs::path dir = m_dir.Path() / "ro";
    const std::string csFile = (dir / "settings.ini").string();
    fs::create_directory(dir);
    WriteFile(csFile, "old");
    fs::permissions(m_dir.Path(), fs::perms(0755));
    fs::permissions(csFile, fs::perms(0666));
    const auto save = [&] {
        CSettingsFile doc(csFile);
        doc.SetString("S", "k", "v", true);
        return doc.Save();
    };

    fs::permissions(dir, fs::perms(0555));
    EXPECT_EQ(AsUnprivileged(save), 0);
    EXPECT_EQ(ReadFile(csFile), "old");
    EXPECT_EQ(Others(dir, { "settings.ini" }), Strings {});

    // The same save succeeds once the folder may be written.
    fs::permissions(dir, fs::perms(0777));
    EXPECT_EQ(AsUnprivileged(save), 1);
    EXPECT_EQ(ReadFile(csFile), "[S]\r\nk=v\r\n\r\n");
}

double SecondsToLoad(CSettingsFile& doc)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(doc.Load());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#if defined(__SANITIZE_ADDRESS__)
constexpr double kLoadLimit = 10.0; // instrumented builds are several times slower
#else
constexpr double kLoadLimit = 2.0;
#endif

TEST_F(SettingsFileTest, LargeFilesLoadQuicklyWithFirstMatchLookups)
{
    std::string cs = "[S]\n";
    for (int i = 0; i < 100000; ++i)
        cs += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    cs += "KEY5=again\n[s]\nkey7=second\n";
    WriteFile(Path(), cs);
    CSettingsFile keys(Path());
    EXPECT_LT(SecondsToLoad(keys), kLoadLimit);
    ASSERT_EQ(keys.Sections()[0].KeyNames.size(), 100000u);
    EXPECT_EQ(keys.GetString("s", "key99999", ""), "99999");
    EXPECT_EQ(keys.GetString("S", "key5", ""), "again");
    EXPECT_EQ(keys.GetString("S", "key7", ""), "second");
    EXPECT_EQ(keys.Sections()[0].KeyNames[5], "Key5");
    EXPECT_TRUE(keys.Sections()[1].KeyNames.empty());

    WriteFile(Path(), "[S]\nk=" + std::string(1 << 20, 'x') + "\n");
    CSettingsFile line(Path());
    EXPECT_LT(SecondsToLoad(line), kLoadLimit);
    EXPECT_EQ(line.GetString("S", "k", "").size(), size_t { 1 } << 20);

    cs.clear();
    for (int i = 0; i < 100000; ++i)
        cs += "[Sec" + std::to_string(i % 50000) + "]\n;c\n";
    WriteFile(Path(), cs);
    CSettingsFile sections(Path());
    EXPECT_LT(SecondsToLoad(sections), kLoadLimit);
    EXPECT_EQ(sections.SectionNames().size(), 100000u);
    EXPECT_EQ(sections.SectionIndex("sec49999"), 49999);
    EXPECT_EQ(sections.Sections()[7].Comments.size(), 2u);
}

} // namespace
