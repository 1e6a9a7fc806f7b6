#include "foundation/IniReader.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

class IniTempDir : public quillory_test::TempDir {
public:
    IniTempDir() : TempDir("quillory-ini") {}
};

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(IniReader, LoadAndLookUpTable) {
    struct Lookup {
        const char* section;
        const char* key;
        int result;
        const char* value;
    };
    struct Case {
        const char* name;
        std::string text;
        int load;
        std::vector<Lookup> lookups;
    };
    const Case cases[] = {
        {"last line without line feed", "[UserExperience]\nbRevise=0", 0, {{"UserExperience", "bRevise", 0, "0"}}},
        {"blanks round = are kept",
         "[UserExperience]\nbRevise = 1\n",
         0,
         {{"UserExperience", "bRevise ", 0, " 1"}, {"UserExperience", "bRevise", -1, ""}}},
        {"empty value reads as absent", "[UserExperience]\nbRevise=\n", 0, {{"UserExperience", "bRevise", -1, ""}}},
        {"missing key and section",
         "[UserExperience]\nother=1\n",
         0,
         {{"UserExperience", "bRevise", -1, ""}, {"Other", "other", -1, ""}}},
        {"[ without ] fails the load but keeps what came before",
         "[A]\nk=v\n[Broken\nx=y\n",
         -1,
         {{"A", "k", 0, "v"}, {"Broken", "x", -1, ""}}},
        {"pair before any section fails", "k=v\n[A]\n", -1, {{"A", "k", -1, ""}}},
        {"CR before LF stays in the value; later key wins",
         "[S]\nk=first\r\nk=second\r\n",
         0,
         {{"S", "k", 0, "second\r"}}},
        {"comments and blank lines are ignored; value keeps its =",
         "; note\n\n[S]\nurl=a=b\n",
         0,
         {{"S", "url", 0, "a=b"}}},
        {"section name is the text between the brackets",
         "x[ S ]y\n[S]\nk=1\n",
         0,
         {{" S ", "k", -1, ""}, {"S", "k", 0, "1"}}},
        {"a section line with = is also a pair", "[S]a=b\n", 0, {{"S", "[S]a", 0, "b"}}},
        {"empty file", "", 0, {{"S", "k", -1, ""}}},
    };
    IniTempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("UIConfig.ini");
        WriteText(path, c.text);
        CIniFile ini;
        EXPECT_EQ(ini.Init(path), c.load);
        for (const Lookup& l : c.lookups) {
            SCOPED_TRACE(std::string(l.section) + "/" + l.key);
            std::string value = "untouched";
            EXPECT_EQ(ini.ReadItem(l.section, l.key, value), l.result);
            EXPECT_EQ(value, l.result == 0 ? l.value : "untouched");
        }
    }
    CIniFile missing(dir.File("absent.ini"));
    EXPECT_EQ(missing.Init(), -1);
    CIniFile none;
    EXPECT_EQ(none.Init(), -1);
}

TEST(IniReader, LongLinesArriveInPieces) {
    IniTempDir dir;
    const std::string path = dir.File("long.ini");
    // 1,023 characters fill one read; the rest of the line is a line of its own.
    WriteText(path, "[S]\n" + std::string(1020, 'k') + "=ab" + "tail=1\n");
    CIniFile ini(path);
    ASSERT_EQ(ini.Init(), 0);
    std::string value;
    EXPECT_EQ(ini.ReadItem("S", std::string(1020, 'k'), value), 0);
    EXPECT_EQ(value, "ab");
    EXPECT_EQ(ini.ReadItem("S", "tail", value), 0);
    EXPECT_EQ(value, "1");
}

TEST(IniReader, WriteItemAndWriteFile) {
    IniTempDir dir;
    const std::string path = dir.File("w.ini");
    WriteText(path, "[B]\nz=1\na=2\n[A]\nk=v\n");
    CIniFile ini(path);
    ASSERT_EQ(ini.Init(), 0);
    EXPECT_EQ(ini.WriteItem("New", "k", "v"), -1);  // absent key: fails, section created
    EXPECT_EQ(ini.WriteItem("A", "missing", "v"), -1);
    EXPECT_EQ(ReadText(path), "[B]\nz=1\na=2\n[A]\nk=v\n");  // nothing written yet
    ASSERT_EQ(ini.WriteItem("B", "a", "3"), 0);
    EXPECT_EQ(ReadText(path), "[A]\nk=v\n\n[B]\na=3\nz=1\n\n[New]\n\n");

    CIniFile reread(path);
    ASSERT_EQ(reread.Init(), 0);
    std::string value;
    EXPECT_EQ(reread.ReadItem("B", "a", value), 0);
    EXPECT_EQ(value, "3");

    // A write that cannot complete is a failure.
    const std::string link = dir.File("full.ini");
    WriteText(link, "[S]\nk=v\n");
    CIniFile full(link);
    ASSERT_EQ(full.Init(), 0);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    EXPECT_EQ(full.WriteItem("S", "k", "w"), -1);
    CIniFile nowhere(dir.File("no/such/dir.ini"));
    EXPECT_EQ(nowhere.WriteFile(), -1);
}

TEST(IniReader, TrimString) {
    const struct {
        const char* in;
        int result;
        const char* out;
    } cases[] = {
        {"  a b\t", 0, "a b"}, {"x", 0, "x"}, {" \t ", -1, ""}, {"", -1, ""}, {"\tv=1 ", 0, "v=1"},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        EXPECT_EQ(CIniFile::TrimString(text), c.result) << c.in;
        EXPECT_EQ(text, c.out) << c.in;
    }
}
