#include "TestSupport.h"
#include "settings/AppSettings.h"

#include <gtest/gtest.h>

using namespace velmora;

using vtest::ReadFile;
using vtest::WriteFile;

namespace {

class AppSettingsTest : public ::testing::Test {
protected:
    std::string Path() const { return SettingsPath(m_dir.Path().string()); }
    // Loads the bytes into a record that first holds values unlike the defaults.
    AppSettings LoadBytes(const std::string& csBytes, bool* pbLoaded = nullptr)
    {
        WriteFile(Path(), csBytes);
        AppSettings s { false, false, 7, "old path", "old nic", 99 };
        const bool b = s.LoadFrom(Path());
        if (pbLoaded)
            *pbLoaded = b;
        return s;
    }
    // The file SaveTo writes for the record, with the given values in order.
    static std::string Expected(const std::string& csDebug, const std::string& csAuto,
        const std::string& csMode, const std::string& csOffset, const std::string& csPath,
        const std::string& csNic)
    {
        return "[Velmora]\r\nDebug=" + csDebug + "\r\nAutoUpdate=" + csAuto + "\r\nMode=" + csMode
            + "\r\nOffset=" + csOffset + "\r\nOldPath=" + csPath + "\r\nNicDevice=" + csNic
            + "\r\n\r\n";
    }

    vtest::CTempDir m_dir;
};

TEST_F(AppSettingsTest, FirstStartWritesTheDefaultFile)
{
    AppSettings s;
    s.Mode = 0;
    s.OldPath = "x";
    EXPECT_FALSE(s.LoadFrom(Path()));
    EXPECT_TRUE(s.Debug);
    EXPECT_TRUE(s.AutoUpdate);
    EXPECT_EQ(s.Mode, 1);
    EXPECT_EQ(s.Offset, 0);
    EXPECT_EQ(s.OldPath, "");
    ASSERT_TRUE(s.SaveTo(Path()));
    EXPECT_EQ(ReadFile(Path()),
        "[Velmora]\r\nDebug=1\r\nAutoUpdate=1\r\nMode=1\r\nOffset=0\r\nOldPath=\r\nNicDevice="
        "\r\n\r\n");
}

TEST_F(AppSettingsTest, SaveKeepsOnlyTheSixKeysInTheirOwnSpelling)
{
    AppSettings s = LoadBytes("; mine\n[other]\nx=1\n[velmora]\n;c\nDEBUG=0\nautoupdate=0\n"
                              "MODE=0\nextra=1\noffset=12\noldpath=/a b/c.pcap\nnicdevice=eth1\n");
    EXPECT_FALSE(s.Debug);
    EXPECT_FALSE(s.AutoUpdate);
    EXPECT_EQ(s.Mode, 0);
    EXPECT_EQ(s.Offset, 12);
    ASSERT_TRUE(s.SaveTo(Path()));
    EXPECT_EQ(ReadFile(Path()), Expected("0", "0", "0", "12", "/a b/c.pcap", "eth1"));
}

TEST_F(AppSettingsTest, ValuesReadAsTheDocumentConvertsThem)
{
    AppSettings s
        = LoadBytes("[Velmora]\nOffset=5\nDebug=yes\nAutoUpdate=true\nOffset=-5\nMode=5\n");
    EXPECT_EQ(s.Offset, -5); // the later line wins
    EXPECT_FALSE(s.Debug);
    EXPECT_FALSE(s.AutoUpdate);
    EXPECT_EQ(s.Mode, 5);
    ASSERT_TRUE(s.SaveTo(Path()));
    EXPECT_EQ(ReadFile(Path()), Expected("0", "0", "5", "-5", "", ""));

    s = LoadBytes("[Velmora]\nDebug=2\nOffset=10000000\nMode=\n");
    EXPECT_TRUE(s.Debug);
    EXPECT_EQ(s.Mode, 0); // present but empty
    ASSERT_TRUE(s.SaveTo(Path()));
    EXPECT_EQ(ReadFile(Path()), Expected("1", "1", "0", "10000000", "", ""));

    // Texts come back byte for byte, markers and blanks included.
    s.OldPath = " C:[x]=;#y ";
    ASSERT_TRUE(s.SaveTo(Path()));
    AppSettings back;
    ASSERT_TRUE(back.LoadFrom(Path()));
    EXPECT_EQ(back.OldPath, " C:[x]=;#y ");
}

TEST_F(AppSettingsTest, UnreadableFileGivesDefaultsButKeepsTheAdapter)
{
    bool bLoaded = true;
    AppSettings s = LoadBytes("\xEF\xBB\xBF[Velmora]\nMode=0\nNicDevice=eth9\n", &bLoaded);
    EXPECT_FALSE(bLoaded);
    EXPECT_EQ(s.Mode, 1);
    EXPECT_EQ(s.OldPath, "");
    EXPECT_EQ(s.NicDevice, "old nic");
    ASSERT_TRUE(s.SaveTo(Path()));
    EXPECT_EQ(ReadFile(Path()), Expected("1", "1", "1", "0", "", "old nic"));

    // Another section only: loaded, every key takes its default, the adapter too.
    s = LoadBytes("[Other]\nMode=0\nNicDevice=eth9\n", &bLoaded);
    EXPECT_TRUE(bLoaded);
    EXPECT_EQ(s.Mode, 1);
    EXPECT_EQ(s.NicDevice, "");
}

TEST(SettingsPathTest, JoinsWithSlash)
{
    EXPECT_EQ(SettingsPath("/opt/velmora"), "/opt/velmora/settings.ini");
    EXPECT_EQ(SettingsPath(""), "/settings.ini");
}

} // namespace
