#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "helpers/Sandbox.h"

using testing_support::Sandbox;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

TEST(Files, ExistenceFollowsTheArchiveRule) {
    Sandbox sandbox;
    const fs::path root = sandbox.root();
    writeFile(root / "file.txt", "x");
    writeFile(root / "empty.txt", "");
    fs::create_directories(root / "folder");
    fs::create_symlink(root / "file.txt", root / "link-to-file");
    fs::create_symlink(root / "folder", root / "link-to-folder");
    struct Case {
        fs::path path;
        bool exists;
    } cases[] = {
        {root / "file.txt", true},
        {root / "empty.txt", true},
        {root / "link-to-file", true},
        {root / "folder", false},
        {root / "link-to-folder", false},
        {root / "missing.txt", false},
        {root / "missing/file.txt", false},
        {root / "file.txt/inner", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(fileExistsOnDisk(c.path.string()), c.exists) << c.path;
}

TEST(Files, WholeFileRoundTripKeepsEveryByte) {
    Sandbox sandbox;
    const std::string path = (sandbox.root() / "data.bin").string();
    const std::string content("line\r\nzero\0byte\xff", 16);
    ASSERT_TRUE(writeWholeFile(path, content));
    EXPECT_EQ(readWholeFile(path), content);
    ASSERT_TRUE(writeWholeFile(path, "short"));  // replaces, does not append
    EXPECT_EQ(readWholeFile(path), "short");
    EXPECT_FALSE(readWholeFile((sandbox.root() / "missing").string()));
    EXPECT_FALSE(writeWholeFile((sandbox.root() / "missing/x").string(), "x"));
}

TEST(Files, MakeFolderIsTrueWhenTheFolderIsThere) {
    Sandbox sandbox;
    const fs::path folder = sandbox.root() / "new";
    EXPECT_TRUE(makeFolder(folder.string()));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(makeFolder(folder.string()));
    writeFile(sandbox.root() / "plain", "x");
    EXPECT_FALSE(makeFolder((sandbox.root() / "plain").string()));
    EXPECT_FALSE(makeFolder((sandbox.root() / "a/b").string()));
}

}  // namespace
