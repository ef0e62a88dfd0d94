// Answers compared with the recorded ones value by value: one row per
// datatype, shape and ReadPropertyMultiple arrangement; the volatile profile,
// what a capture teaches, the volatile file and its tolerances.
#include "FrameBuilder.h"
#include "judge/Judge.h"

#include <gtest/gtest.h>

using namespace velmora::judge;
using namespace vtest;

namespace {

// A readProperty-ACK's service data for OBJECT (4 bytes hex) PROPERTY (hex)
// with the value's tags.
SAnswerContent Rp(
    const std::string& csObject, const std::string& csProperty, const std::string& csValue)
{
    const Bytes b = Hex("0c " + csObject + " 19 " + csProperty + " 3e " + csValue + " 3f");
    return ReadAnswerContent(kReadProperty, b.data(), b.size());
}

// analog-value,2 present-value: compared exactly by the profile.
SAnswerContent Av2(const std::string& csValue)
{
    return Rp("00800002", "55", csValue);
}

struct SContentRow {
    const char* szName;
    SAnswerContent heard;
    SAnswerContent recorded;
    EContent e;
    std::string csWhat;
};

void Check(const std::vector<SContentRow>& rows, const SCompareRules& rules = {})
{
    for (const SContentRow& row : rows) {
        const SContentVerdict v = CompareContent(row.heard, row.recorded, rules);
        EXPECT_EQ(static_cast<int>(v.e), static_cast<int>(row.e)) << row.szName << ": " << v.csWhat;
        EXPECT_EQ(v.csWhat, row.csWhat) << row.szName;
    }
}

constexpr EContent kSame = EContent::Same;
constexpr EContent kDiffers = EContent::Differs;
constexpr EContent kChanged = EContent::Changed;
constexpr EContent kWithin = EContent::Within;
const std::string kAv2 = "analog-value,2 present-value ";

TEST(ContentTest, EveryApplicationDatatype)
{
    Check({
        { "null", Av2("00"), Av2("00"), kSame, "" },
        { "boolean", Av2("11"), Av2("10"), kDiffers, kAv2 + "true, recorded false" },
        { "unsigned", Av2("21 05"), Av2("21 06"), kDiffers, kAv2 + "5, recorded 6" },
        { "unsigned in more bytes than it needs", Av2("22 0005"), Av2("21 05"), kSame, "" },
        { "signed", Av2("31 ff"), Av2("31 01"), kDiffers, kAv2 + "-1, recorded 1" },
        { "signed in more bytes", Av2("32 ffff"), Av2("31 ff"), kSame, "" },
        { "real", Av2("44 41bd999a"), Av2("44 41ac0000"), kDiffers, kAv2 + "23.7, recorded 21.5" },
        { "real, whole", Av2("44 41b00000"), Av2("44 41ac0000"), kDiffers,
            kAv2 + "22.0, recorded 21.5" },
        { "double", Av2("55 08 4037b33333333333"), Av2("55 08 4035800000000000"), kDiffers,
            kAv2 + "23.7, recorded 21.5" },
        { "octet string", Av2("62 0102"), Av2("62 0103"), kDiffers,
            kAv2 + "X'0102', recorded X'0103'" },
        { "character string", Av2("75 06 00 4f74686572"), Av2("75 06 00 42656e6368"), kDiffers,
            kAv2 + "\"Other\", recorded \"Bench\"" },
        { "another character set", Av2("73 04 0041"), Av2("73 00 4142"), kDiffers,
            kAv2 + "charset 4 X'0041', recorded \"AB\"" },
        { "quotes and control characters shown", Av2("74 00 22 0a 41"), Av2("71 00"), kDiffers,
            kAv2 + "\"\\\"\\x0aA\", recorded \"\"" },
        { "UTF-8 kept, a stray byte escaped", Av2("74 00 c3a9 ff"), Av2("71 00"), kDiffers,
            kAv2 + "\"\xc3\xa9\\xff\", recorded \"\"" },
        { "bit string", Av2("82 04 a0"), Av2("82 04 80"), kDiffers,
            kAv2 + "B'1010', recorded B'1000'" },
        { "enumerated", Av2("91 01"), Av2("91 02"), kDiffers, kAv2 + "1, recorded 2" },
        { "date", Av2("a4 7c050103"), Av2("a4 7c050204"), kDiffers,
            kAv2 + "Wed 2024-05-01, recorded Thu 2024-05-02" },
        { "date, any day", Av2("a4 ffff01ff"), Av2("a4 7c050204"), kDiffers,
            kAv2 + "*-*-01, recorded Thu 2024-05-02" },
        { "time", Av2("b4 0c1e0500"), Av2("b4 0c1e06ff"), kDiffers,
            kAv2 + "12:30:05.00, recorded 12:30:06.*" },
        { "object identifier", Av2("c4 00000001"), Av2("c4 00000002"), kDiffers,
            kAv2 + "analog-input,1, recorded analog-input,2" },
        { "another datatype", Av2("21 17"), Av2("44 41ac0000"), kDiffers,
            kAv2 + "Unsigned 23, recorded REAL 21.5" },
        { "a REAL too short", Av2("43 41ac00"), Av2("44 41ac0000"), kDiffers,
            kAv2 + "?X'41ac00', recorded 21.5" },
        { "an answer that does not read", Av2("45"), Av2("44 41ac0000"), kDiffers,
            "readProperty ?X'0c0080000219553e453f', recorded {[0] X'00800002', [1] X'55', "
            "[3]{21.5}}" },
    });
}

TEST(ContentTest, ConstructedValues)
{
    Check({
        { "the same", Av2("0e 21 01 0f"), Av2("0e 21 01 0f"), kSame, "" },
        { "a value inside", Av2("0e 21 01 0f"), Av2("0e 21 02 0f"), kDiffers,
            kAv2 + "[0]{1}, recorded [0]{2}" },
        { "another context tag", Av2("0e 21 01 0f"), Av2("1e 21 01 1f"), kDiffers,
            kAv2 + "[0]{1}, recorded [1]{1}" },
        { "a list one longer", Av2("21 01 21 02"), Av2("21 01"), kDiffers,
            kAv2 + "{1, 2}, recorded 1" },
        { "a list's element of another datatype", Av2("21 01 44 41ac0000"), Av2("21 01 21 02"),
            kDiffers, kAv2 + "{1, 21.5}, recorded {1, 2}" },
        { "a context-tagged primitive", Av2("09 05"), Av2("09 06"), kDiffers,
            kAv2 + "[0] X'05', recorded [0] X'06'" },
    });
    // A long list says where it first differs.
    std::string csList;
    std::string csOther;
    for (int i = 0; i < 40; ++i) {
        char sz[16];
        std::snprintf(sz, sizeof sz, "c4 000000%02x ", i);
        csList += sz;
        csOther += i == 30 ? "c4 00800001 " : sz;
    }
    Check({ { "the 31st of 40 objects", Rp("020004d2", "4c", csList), Rp("020004d2", "4c", csOther),
        kDiffers,
        "device,1234 object-list element 31: analog-input,30, recorded analog-value,1" } });
}

// analog-input,1 and analog-value,2, each with two properties.
const char* const kRpmRecorded
    = "0c 00000001 1e 29 55 4e 44 41ac0000 4f 29 4d 4e 75 03 00 4149 4f 1f "
      "0c 00800002 1e 29 55 4e 44 00000000 4f 29 75 4e 91 3e 4f 1f";

SAnswerContent Rpm(const std::string& cs)
{
    const Bytes b = Hex(cs);
    return ReadAnswerContent(kReadPropertyMultiple, b.data(), b.size());
}

TEST(ContentTest, ReadPropertyMultiple)
{
    const SAnswerContent recorded = Rpm(kRpmRecorded);
    ASSERT_TRUE(recorded.bProperties);
    ASSERT_EQ(recorded.properties.size(), 4u);
    Check({
        { "the same", Rpm(kRpmRecorded), recorded, kSame, "" },
        { "objects and properties in another order",
            Rpm("0c 00800002 1e 29 75 4e 91 3e 4f 29 55 4e 44 00000000 4f 1f "
                "0c 00000001 1e 29 4d 4e 75 03 00 4149 4f 29 55 4e 44 41ac0000 4f 1f"),
            recorded, kSame, "" },
        { "a property missing",
            Rpm("0c 00000001 1e 29 55 4e 44 41ac0000 4f 29 4d 4e 75 03 00 4149 4f 1f "
                "0c 00800002 1e 29 55 4e 44 00000000 4f 1f"),
            recorded, kDiffers, "analog-value,2 units missing, recorded 62" },
        { "a property extra",
            Rpm(std::string(kRpmRecorded) + " 0c 00800002 1e 29 1c 4e 75 01 00 4f 1f"), recorded,
            kDiffers, "analog-value,2 description \"\", not recorded" },
        { "an access error in place of a value",
            Rpm("0c 00000001 1e 29 55 4e 44 41ac0000 4f 29 4d 4e 75 03 00 4149 4f 1f "
                "0c 00800002 1e 29 55 5e 91 02 91 20 5f 29 75 4e 91 3e 4f 1f"),
            recorded, kDiffers,
            "analog-value,2 present-value error property/unknown-property, recorded 0.0" },
        { "a value in place of an access error", recorded,
            Rpm("0c 00000001 1e 29 55 4e 44 41ac0000 4f 29 4d 4e 75 03 00 4149 4f 1f "
                "0c 00800002 1e 29 55 5e 91 02 91 20 5f 29 75 4e 91 3e 4f 1f"),
            kDiffers,
            "analog-value,2 present-value 0.0, recorded error property/unknown-property" },
        { "an array index apart",
            Rpm("0c 00000001 1e 29 55 39 01 4e 44 41ac0000 4f 29 4d 4e 75 03 00 4149 4f 1f "
                "0c 00800002 1e 29 55 4e 44 00000000 4f 29 75 4e 91 3e 4f 1f"),
            recorded, kDiffers,
            "analog-input,1 present-value missing, recorded 21.5 (and 1 more)" },
        // The input's present-value may change; the name next to it may not.
        { "a volatile value and a name",
            Rpm("0c 00000001 1e 29 55 4e 44 41b00000 4f 29 4d 4e 75 03 00 4142 4f 1f "
                "0c 00800002 1e 29 55 4e 44 00000000 4f 29 75 4e 91 3e 4f 1f"),
            recorded, kDiffers, "analog-input,1 object-name \"AB\", recorded \"AI\"" },
        { "a volatile value alone",
            Rpm("0c 00000001 1e 29 55 4e 44 41b00000 4f 29 4d 4e 75 03 00 4149 4f 1f "
                "0c 00800002 1e 29 55 4e 44 00000000 4f 29 75 4e 91 3e 4f 1f"),
            recorded, kChanged, "analog-input,1 present-value 22.0, recorded 21.5" },
    });
    // Cut short or badly nested: not read, compared as data.
    for (const char* sz :
        { "0c 00000001 1e 29 55 4e 44 41ac0000 4f", "0c 00000001 1e 29 55 4e 44 41ac",
            "0c 00000001 1e 29 55 5e 91 02 5f 1f", "0c 00000001 29 55" }) {
        EXPECT_FALSE(Rpm(sz).bProperties) << sz;
        EXPECT_TRUE(Rpm(sz).properties.empty()) << sz;
    }
}

TEST(ContentTest, TheVolatileProfile)
{
    struct SRow {
        const char* szName;
        SAnswerContent heard;
        SAnswerContent recorded;
        EContent eProfile; // by the profile
        std::string csWhat;
    };
    const std::vector<SRow> rows = {
        { "an input's present-value", Rp("00000001", "55", "44 41bd999a"),
            Rp("00000001", "55", "44 41ac0000"), kChanged,
            "analog-input,1 present-value 23.7, recorded 21.5" },
        { "an input's present-value of another datatype", Rp("00000001", "55", "21 17"),
            Rp("00000001", "55", "44 41ac0000"), kDiffers,
            "analog-input,1 present-value Unsigned 23, recorded REAL 21.5" },
        { "a binary input's status flags", Rp("00c00003", "6f", "82 04 80"),
            Rp("00c00003", "6f", "82 04 00"), kChanged,
            "binary-input,3 status-flags B'1000', recorded B'0000'" },
        { "a value object's present-value", Av2("44 41bd999a"), Av2("44 41ac0000"), kDiffers,
            kAv2 + "23.7, recorded 21.5" },
        { "the device's clock", Rp("020004d2", "39", "b4 0c1e0500"),
            Rp("020004d2", "39", "b4 0b000000"), kChanged,
            "device,1234 local-time 12:30:05.00, recorded 11:00:00.00" },
        { "the device's utc-offset", Rp("020004d2", "77", "31 c4"), Rp("020004d2", "77", "31 00"),
            kDiffers, "device,1234 utc-offset -60, recorded 0" },
        { "a log growing", Rp("05000001", "8d", "21 05"), Rp("05000001", "8d", "21 04"), kChanged,
            "trend-log,1 record-count 5, recorded 4" },
        { "a list of subscriptions that grew", Rp("020004d2", "98", "0e 21 01 0f 0e 21 02 0f"),
            Rp("020004d2", "98", "0e 21 01 0f"), kChanged,
            "device,1234 active-cov-subscriptions {[0]{1}, [0]{2}}, recorded [0]{1}" },
        { "event time stamps of any object", Rp("00800002", "82", "0e b4 0c000000 0f"),
            Rp("00800002", "82", "0e b4 0b000000 0f"), kChanged,
            "analog-value,2 event-time-stamps [0]{12:00:00.00}, recorded [0]{11:00:00.00}" },
        { "the database revision", Rp("020004d2", "9b", "21 08"), Rp("020004d2", "9b", "21 07"),
            kChanged, "device,1234 database-revision 8, recorded 7" },
    };
    SCompareRules strict;
    strict.bProfile = false;
    for (const SRow& row : rows) {
        const SContentVerdict v = CompareContent(row.heard, row.recorded, {});
        EXPECT_EQ(static_cast<int>(v.e), static_cast<int>(row.eProfile))
            << row.szName << ": " << v.csWhat;
        EXPECT_EQ(v.csWhat, row.csWhat) << row.szName;
        // --strict: every change differs, with the same words.
        const SContentVerdict s = CompareContent(row.heard, row.recorded, strict);
        EXPECT_EQ(static_cast<int>(s.e), static_cast<int>(kDiffers)) << row.szName;
        EXPECT_EQ(s.csWhat, row.csWhat) << row.szName;
        // --compare kind: nothing compared.
        SCompareRules kind;
        kind.bValues = false;
        EXPECT_EQ(static_cast<int>(CompareContent(row.heard, row.recorded, kind).e),
            static_cast<int>(kSame))
            << row.szName;
    }
    // Every row names a type and a property the tables know, with its reason.
    for (const SProfileRow& row : ProfileRows()) {
        uint32_t uType = 0;
        uint32_t uProperty = 0;
        const std::string csObject = row.szObject;
        EXPECT_TRUE(csObject == "*" || csObject == "input" || ObjectTypeByName(csObject, uType))
            << row.szObject;
        EXPECT_TRUE(PropertyByName(row.szProperty, uProperty)) << row.szProperty;
        EXPECT_GT(std::string(row.szWhy).size(), 4u) << row.szProperty;
        if (csObject == "input")
            uType = 0;
        std::string csWhy;
        EXPECT_TRUE(InProfile(csObject == "*" ? 17 : uType, uProperty, &csWhy)) << row.szProperty;
        EXPECT_FALSE(csWhy.empty());
    }
    EXPECT_FALSE(InProfile(2, 85)); // analog-value present-value
    EXPECT_FALSE(InProfile(8, 77)); // device object-name
}

SVolatileFile File(const std::string& cs)
{
    SVolatileFile file;
    std::string csError;
    EXPECT_TRUE(ParseVolatileFile(cs, file, csError)) << cs << ": " << csError;
    return file;
}

TEST(ContentTest, TheVolatileFile)
{
    struct SRow {
        const char* szName;
        const char* szFile;
        SAnswerContent heard;
        SAnswerContent recorded;
        EContent e;
        std::string csWhat;
        bool bProfileDecides = false; // no rule fits: --strict differs
    };
    const SAnswerContent ai215 = Rp("00000001", "55", "44 41ac0000");
    const std::vector<SRow> rows = {
        { "a property taken out of the profile", "- analog-input present-value",
            Rp("00000001", "55", "44 41b00000"), ai215, kDiffers,
            "analog-input,1 present-value 22.0, recorded 21.5" },
        { "a property added", "analog-value present-value", Av2("44 41b00000"), Av2("44 41ac0000"),
            kChanged, kAv2 + "22.0, recorded 21.5" },
        { "an instance beats its type", "analog-value present-value\n-analog-value,2 present-value",
            Av2("44 41b00000"), Av2("44 41ac0000"), kDiffers, kAv2 + "22.0, recorded 21.5" },
        { "a type beats any", "-* present-value\nanalog-value present-value", Av2("44 41b00000"),
            Av2("44 41ac0000"), kChanged, kAv2 + "22.0, recorded 21.5" },
        { "the later of equals", "analog-value present-value\n-analog-value present-value",
            Av2("44 41b00000"), Av2("44 41ac0000"), kDiffers, kAv2 + "22.0, recorded 21.5" },
        { "another instance is no match", "-analog-input,2 present-value",
            Rp("00000001", "55", "44 41b00000"), ai215, kChanged,
            "analog-input,1 present-value 22.0, recorded 21.5", true },
        // Tolerances: 21.5 and its neighbours are exact in binary.
        { "exactly at the tolerance", "analog-input present-value 0.5",
            Rp("00000001", "55", "44 41b00000"), ai215, kWithin, "" },
        { "just beyond it", "analog-input present-value 0.5", Rp("00000001", "55", "44 41b20000"),
            ai215, kDiffers, "analog-input,1 present-value 22.25, recorded 21.5 (beyond 0.5)" },
        { "below, within", "analog-input present-value 0.5", Rp("00000001", "55", "44 41a80000"),
            ai215, kWithin, "" },
        { "a percent, at it", "analog-value present-value 10%", Av2("44 41b00000"),
            Av2("44 41a00000"), kWithin, "" },
        { "a percent, beyond", "analog-value present-value 10%", Av2("44 41b40000"),
            Av2("44 41a00000"), kDiffers, kAv2 + "22.5, recorded 20.0 (beyond 10%)" },
        { "a percent of a negative value", "analog-value present-value 10%", Av2("44 c1b00000"),
            Av2("44 c1a00000"), kWithin, "" },
        { "a percent of a negative value, beyond", "analog-value present-value 10%",
            Av2("44 c1b40000"), Av2("44 c1a00000"), kDiffers,
            kAv2 + "-22.5, recorded -20.0 (beyond 10%)" },
        { "a percent of zero", "analog-value present-value 10%", Av2("44 3f800000"),
            Av2("44 00000000"), kDiffers, kAv2 + "1.0, recorded 0.0 (beyond 10%)" },
        { "NaN heard", "analog-value present-value 1000", Av2("44 7fc00000"), Av2("44 41a00000"),
            kDiffers, kAv2 + "NaN, recorded 20.0 (beyond 1000)" },
        { "NaN recorded", "analog-value present-value 1000", Av2("44 41a00000"), Av2("44 7fc00000"),
            kDiffers, kAv2 + "20.0, recorded NaN (beyond 1000)" },
        { "NaN both", "analog-value present-value 1000", Av2("44 7fc00000"), Av2("44 7fc00000"),
            kSame, "" },
        { "infinity against a number", "analog-value present-value 1000", Av2("44 7f800000"),
            Av2("44 41a00000"), kDiffers, kAv2 + "inf, recorded 20.0 (beyond 1000)" },
        { "unsigned within", "analog-value present-value 2", Av2("21 0c"), Av2("21 0a"), kWithin,
            "" },
        { "unsigned beyond", "analog-value present-value 2", Av2("21 0d"), Av2("21 0a"), kDiffers,
            kAv2 + "13, recorded 10 (beyond 2)" },
        { "signed across zero", "analog-value present-value 2", Av2("31 ff"), Av2("31 01"), kWithin,
            "" },
        { "double within", "analog-value present-value 0.5", Av2("55 08 4037b33333333333"),
            Av2("55 08 4037800000000000"), kWithin, "" },
        { "a name has no tolerance", "* object-name 100", Rp("00800002", "4d", "75 02 00 41"),
            Rp("00800002", "4d", "75 02 00 42"), kDiffers,
            "analog-value,2 object-name \"A\", recorded \"B\" (beyond 100)" },
        { "another datatype is beyond any tolerance", "analog-value present-value 1000",
            Av2("21 17"), Av2("44 41ac0000"), kDiffers, kAv2 + "Unsigned 23, recorded REAL 21.5" },
    };
    for (const SRow& row : rows) {
        SCompareRules rules;
        rules.pFile = std::make_shared<SVolatileFile>(File(row.szFile));
        const SContentVerdict v = CompareContent(row.heard, row.recorded, rules);
        EXPECT_EQ(static_cast<int>(v.e), static_cast<int>(row.e)) << row.szName << ": " << v.csWhat;
        EXPECT_EQ(v.csWhat, row.csWhat) << row.szName;
        // --strict keeps the file: it is the user's own word.
        rules.bProfile = false;
        EXPECT_EQ(static_cast<int>(CompareContent(row.heard, row.recorded, rules).e),
            static_cast<int>(row.bProfileDecides ? kDiffers : row.e))
            << row.szName;
    }
}

TEST(ContentTest, VolatileFileLines)
{
    struct SRow {
        const char* szText;
        size_t nRules; // when it parses
        std::string csError; // "" when it parses
    };
    const std::vector<SRow> rows = {
        { "", 0, "" },
        { "# a comment\n\n   \t\n", 0, "" },
        { "analog-input present-value # on the same line\r\n", 1, "" },
        { "0 85 0.5\n8 57\n-* 77\n- analog-input,4194303 present-value", 4, "" },
        { "analog-input present-value 2%\nanalog-input present-value +1e-3", 2, "" },
        { "analog-inptu present-value", 0, "line 1: unknown object type 'analog-inptu'" },
        { "\nanalog-input presnt-value", 0, "line 2: unknown property 'presnt-value'" },
        { "analog-input", 0,
            "line 1: an object and a property are wanted: OBJECT PROPERTY [TOLERANCE]" },
        { "-", 0, "line 1: an object and a property are wanted: OBJECT PROPERTY [TOLERANCE]" },
        { "a b c d", 0, "line 1: 'd' is one word too many: OBJECT PROPERTY [TOLERANCE]" },
        { "analog-input present-value -1", 0,
            "line 1: bad tolerance '-1' (a number such as 0.5, or 2%)" },
        { "analog-input present-value abc", 0,
            "line 1: bad tolerance 'abc' (a number such as 0.5, or 2%)" },
        { "analog-input present-value 5%%", 0,
            "line 1: bad tolerance '5%%' (a number such as 0.5, or 2%)" },
        { "analog-input present-value %", 0,
            "line 1: bad tolerance '%' (a number such as 0.5, or 2%)" },
        { "analog-input present-value nan", 0,
            "line 1: bad tolerance 'nan' (a number such as 0.5, or 2%)" },
        { "analog-input present-value 1e999", 0,
            "line 1: bad tolerance '1e999' (a number such as 0.5, or 2%)" },
        { "analog-input present-value 0x10", 0,
            "line 1: bad tolerance '0x10' (a number such as 0.5, or 2%)" },
        { "- analog-input present-value 0.5", 0,
            "line 1: a property compared exactly ('-') takes no tolerance" },
        { "analog-input,4194304 present-value", 0,
            "line 1: bad instance in 'analog-input,4194304' (0 to 4194303)" },
        { "analog-input, present-value", 0,
            "line 1: bad instance in 'analog-input,' (0 to 4194303)" },
        { "*,3 present-value", 0, "line 1: '*,3': an instance needs an object type" },
        { "1024 present-value", 0, "line 1: unknown object type '1024'" },
    };
    for (const SRow& row : rows) {
        SVolatileFile file;
        std::string csError;
        const bool bOk = ParseVolatileFile(row.szText, file, csError);
        EXPECT_EQ(bOk, row.csError.empty()) << row.szText;
        EXPECT_EQ(csError, row.csError) << row.szText;
        if (bOk)
            EXPECT_EQ(file.rules.size(), row.nRules) << row.szText;
    }
    SVolatileFile file;
    std::string csError;
    EXPECT_FALSE(
        ParseVolatileFile(std::string("analog-input present-value\n\0", 28), file, csError));
    EXPECT_EQ(csError, "line 2: not text");
    const SVolatileFile parsed = File("analog-input,7 present-value 2.5%");
    ASSERT_EQ(parsed.rules.size(), 1u);
    EXPECT_TRUE(parsed.rules[0].bHasInstance);
    EXPECT_EQ(parsed.rules[0].uInstance, 7u);
    EXPECT_EQ(parsed.rules[0].uProperty, 85u);
    EXPECT_TRUE(parsed.rules[0].bPercent);
    EXPECT_EQ(parsed.rules[0].dTolerance, 2.5);
}

} // namespace
