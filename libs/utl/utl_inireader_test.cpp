#include "utl_inireader.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testsupport_logcapture.h"
#include "testsupport_tempdir.h"
#include "utl_iniwriter.h"

namespace utl {
namespace {

std::string value(const IniReader& r, const char* section, const char* key) {
    std::string out = "<missing>";
    r.getString(section, key, &out);
    return out;
}

TEST(IniReader, LenientSyntax) {
    IniReader r;
    EXPECT_TRUE(
        r.load("top = 1\n"
               "[NVR]\r\n"
               "Address = 10.0.0.5\r"
               "Other 10.0.0.6\n"
               "\n\n"
               "Name = \"two words\" ; note\n"
               "Port = 5000 # main\n"
               "Hash = \"a#b\"\n"
               "Apos = it's;cut\n"
               "Quoted = 'x;y'\n"
               "Words = first second\n"
               "Inner = a\"b c\n"
               "Glued=x=y\n"
               "Tabs\t=\t1.2.3.4\n"
               "lonely\n"
               "[]\n"
               "[Second] trailing = ignored\n"
               "k v\n"
               "[NVR]\n"
               "Merged yes\n"));
    EXPECT_TRUE(r.isLoaded());
    EXPECT_EQ(value(r, "root", "top"), "1");
    EXPECT_EQ(value(r, "NVR", "Address"), "10.0.0.5");
    EXPECT_EQ(value(r, "NVR", "Other"), "10.0.0.6");
    EXPECT_EQ(value(r, "NVR", "Name"), "two words");
    EXPECT_EQ(value(r, "NVR", "Port"), "5000");
    EXPECT_EQ(value(r, "NVR", "Hash"), "a#b");
    // An apostrophe opens a quoted stretch for comments only.
    EXPECT_EQ(value(r, "NVR", "Apos"), "it's;cut");
    EXPECT_EQ(value(r, "NVR", "Quoted"), "'x;y'");
    EXPECT_EQ(value(r, "NVR", "Words"), "first");
    EXPECT_EQ(value(r, "NVR", "Inner"), "a\"b");
    EXPECT_EQ(value(r, "NVR", "Glued"), "x");
    EXPECT_EQ(value(r, "NVR", "Tabs\t"), "\t1.2.3.4");
    EXPECT_FALSE(r.hasKey("NVR", "lonely"));
    EXPECT_FALSE(r.hasSection(""));
    EXPECT_FALSE(r.hasKey("NVR", "[]"));
    EXPECT_TRUE(r.hasSection("Second"));
    EXPECT_EQ(value(r, "Second", "k"), "v");
    EXPECT_FALSE(r.hasKey("Second", "trailing"));
    EXPECT_EQ(value(r, "NVR", "Merged"), "yes");
    EXPECT_FALSE(r.hasKey("nvr", "Address"));
    EXPECT_FALSE(r.hasSection("none"));

    std::string untouched = "keep";
    EXPECT_FALSE(r.getString("NVR", "none", &untouched));
    EXPECT_EQ(untouched, "keep");
}

TEST(IniReader, IntegerValues) {
    IniReader r;
    r.load("[s]\na 5000\nb -12\nc 80x\nd x\ne 99999999999\nf \" 7 \"\n");
    int v = -1;
    EXPECT_TRUE(r.getInt("s", "a", &v));
    EXPECT_EQ(v, 5000);
    EXPECT_TRUE(r.getInt("s", "b", &v));
    EXPECT_EQ(v, -12);
    // Not a number: false, but the leading digits are what the service uses.
    EXPECT_FALSE(r.getInt("s", "c", &v));
    EXPECT_EQ(v, 80);
    EXPECT_FALSE(r.getInt("s", "d", &v));
    EXPECT_EQ(v, 0);
    EXPECT_FALSE(r.getInt("s", "e", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(r.getInt("s", "f", &v));
    EXPECT_EQ(v, 7);
    v = 42;
    EXPECT_FALSE(r.getInt("s", "missing", &v));
    EXPECT_EQ(v, 42);
}

// 'text' as the bytes of UTF-16, little- or big-endian.
std::string utf16(std::u16string_view text, bool bigEndian) {
    std::string out;
    for (const char16_t c : text) {
        const char hi = static_cast<char>(c >> 8);
        const char lo = static_cast<char>(c & 0xff);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

// What Notepad and PowerShell write: a byte-order mark, UTF-8 or UTF-16.
TEST(IniReader, ByteOrderMarksOfWindowsEditors) {
    const std::u16string settings =
        u"[NVR]\r\nAddress=192.0.2.10\r\nPort=5040\r\nSite=Z\u00fcrich\r\n";
    const std::string utf8 = "Z\xC3\xBCrich";
    for (const std::string& bytes :
         {"\xEF\xBB\xBF[NVR]\r\nAddress=192.0.2.10\r\nPort=5040\r\nSite=" + utf8,
          "\xFF\xFE" + utf16(settings, false), "\xFE\xFF" + utf16(settings, true)}) {
        IniReader r;
        r.load(bytes);
        EXPECT_EQ(value(r, "NVR", "Address"), "192.0.2.10");
        EXPECT_EQ(value(r, "NVR", "Port"), "5040");
        EXPECT_EQ(value(r, "NVR", "Site"), utf8);
        EXPECT_FALSE(r.hasSection("root"));
    }
    // A surrogate pair is one character.
    IniReader pair;
    pair.load("\xFF\xFE" + utf16(u"[s]\r\nk \U0001F6AA\r\n", false));
    EXPECT_EQ(value(pair, "s", "k"), "\xF0\x9F\x9A\xAA");
    // A lone surrogate and an odd last byte are replaced, the rest is read.
    IniReader broken;
    broken.load("\xFF\xFE" + utf16(u"[s]\nk \xD800\nm v", false) + "x");
    EXPECT_EQ(value(broken, "s", "k"), "\xEF\xBF\xBD");
    EXPECT_EQ(value(broken, "s", "m"), "v\xEF\xBF\xBD");
}

TEST(IniReader, DuplicatesKeepTheFirstValueAndNameTheFile) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    testutil::TempDir dir;
    const std::string path = dir / "Settings";
    std::ofstream(path) << "[NVR]\nPort 1\nPort 2\n";
    IniReader r;
    ASSERT_TRUE(r.loadFromFile(path));
    EXPECT_EQ(value(r, "NVR", "Port"), "1");
    EXPECT_EQ(log.count("utl::IniReader::load(" + path +
                            ") - duplicate property 'Port' in "
                            "section 'NVR'",
                        core::LOG_WARN),
              1);

    // Missing, empty or unreadable files leave the reader empty.
    EXPECT_FALSE(r.loadFromFile(dir / "absent"));
    EXPECT_FALSE(r.isLoaded());
    EXPECT_FALSE(r.hasSection("NVR"));
    std::ofstream(dir / "empty");
    EXPECT_FALSE(r.loadFromFile(dir / "empty"));
    EXPECT_FALSE(r.loadFromFile(dir.path()));
}

TEST(IniWriter, WritesThePlainestReadableForm) {
    IniWriter w;
    w.addSection("NVR");
    w.addEntry("Address", "10.0.0.5");
    w.addEntry("Port", "5000");
    EXPECT_EQ(w.toText(), "[NVR]\nAddress 10.0.0.5\nPort 5000\n");

    IniWriter many;
    many.addEntry("first", "0");
    many.addSection("A");
    many.addSection("B");
    many.addEntry("spaced", "a b");
    many.addEntry("empty", "");
    many.addEntry("marks", "x#y;z=w");
    many.addSection("");
    EXPECT_EQ(many.toText(), "first 0\n\n[A]\n\n[B]\nspaced \"a b\"\nempty \nmarks \"x#y;z=w\"\n");

    IniReader r;
    r.load(many.toText());
    std::string out;
    EXPECT_TRUE(r.getString("root", "first", &out));
    EXPECT_TRUE(r.getString("B", "spaced", &out));
    EXPECT_EQ(out, "a b");
    EXPECT_TRUE(r.getString("B", "marks", &out));
    EXPECT_EQ(out, "x#y;z=w");
    EXPECT_FALSE(r.hasKey("B", "empty"));
    EXPECT_TRUE(r.hasSection("A"));

    // The Windows profile form reads back the same.
    IniWriter profile(IniWriter::e_PROFILE);
    profile.addSection("NVR");
    profile.addEntry("Address", "10.0.0.5");
    profile.addEntry("Name", "a b");
    profile.addSection("Security");
    profile.addEntry("Methods", "none");
    EXPECT_EQ(profile.toText(),
              "[NVR]\r\nAddress=10.0.0.5\r\nName=\"a b\"\r\n\r\n[Security]\r\nMethods=none\r\n");
    r.load(profile.toText());
    EXPECT_TRUE(r.getString("NVR", "Name", &out));
    EXPECT_EQ(out, "a b");
    EXPECT_TRUE(r.getString("Security", "Methods", &out));
    EXPECT_EQ(out, "none");

    EXPECT_EQ(IniWriter().toText(), "");
}

}  // namespace
}  // namespace utl
