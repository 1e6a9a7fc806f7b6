// Recovered files land under the chosen folder or nowhere, and never replace
// what is there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "TestUtil.h"
#include "platform/SafeDestination.h"

using namespace safe_destination;
using platform_test::ScratchDir;
using platform_test::WriteFile;

TEST(SafeDestination, NumberedNamesKeepTheExtension) {
    struct Case {
        const char* name;
        int n;
        const char* want;
    };
    for (const Case& c :
         {Case{"photo.jpg", 1, "photo (1).jpg"}, Case{"a.tar.gz", 2, "a.tar (2).gz"}, Case{"README", 3, "README (3)"},
          Case{".bashrc", 1, ".bashrc (1)"}, Case{"big.bin.partial", 1, "big.bin (1).partial"}})
        EXPECT_EQ(NumberedName(c.name, c.n), c.want) << c.name;
    EXPECT_EQ(SafeComponent(".."), "_..");
    EXPECT_EQ(SafeComponent("a/b"), "a_b");
    EXPECT_EQ(SafeComponent(""), "_");
}

TEST(SafeDestination, TakenNamesAndPlantedLinksAreNeverWritten) {
    ScratchDir dir;
    WriteFile(dir / "out/f.txt", "keep");
    WriteFile(dir / "target", "keep");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "out/f (1).txt").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "out/g.txt").c_str()), 0);  // dangling
    const int root = open((dir / "out").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(root, 0);
    for (auto [name, want] : {std::pair<const char*, const char*>{"f.txt", "f (2).txt"}, {"g.txt", "g (1).txt"}}) {
        std::string chosen;
        const int fd = CreateNewFile(root, name, chosen);
        ASSERT_GE(fd, 0) << name;
        EXPECT_EQ(chosen, want);
        EXPECT_EQ(write(fd, "new", 3), 3);
        close(fd);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
    std::string chosen;
    ASSERT_TRUE(RenameToFreeName(root, "f (2).txt", "f.txt", chosen));
    EXPECT_EQ(chosen, "f (3).txt");

    // A link as a folder component is refused, not followed.
    std::filesystem::create_directories(dir / "elsewhere");
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "out/sub").c_str()), 0);
    EXPECT_LT(OpenFolderBeneath(root, {"sub", "deeper"}, true), 0);
    EXPECT_LT(OpenFolderBeneath(root, {".."}, true), 0);
    const int made = OpenFolderBeneath(root, {"new", "deeper"}, true);
    EXPECT_GE(made, 0);
    close(made);
    close(root);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "out/new/deeper"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "elsewhere"));
    std::ifstream a(dir / "out/f.txt"), b(dir / "target");
    std::string sa, sb;
    a >> sa;
    b >> sb;
    EXPECT_EQ(sa, "keep");
    EXPECT_EQ(sb, "keep");
}
