// The folders a page's file methods may use, attacked the way a page would: paths that
// climb out, links into and out of the folders, hidden folders, and links or other names
// of outside files planted where the method writes. Every refusal leaves the tree as it was.
#include "CardComponent/FileAccess.h"
#include "CardComponent/CardErrors.h"
#include "CardComponent/Limits.h"
#include "helpers/Sandbox.h"
#include "helpers/TreeSnapshot.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::Sandbox;
using testing_support::snapshotTree;
using testing_support::treeDifference;
using testing_support::writeFile;

card::HResult resultOf(const std::function<void()>& body) {
    try {
        body();
        return card::kOk;
    } catch (const card::CardError& e) {
        return e.code;
    }
}

class FileAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(home() / ".ssh/id_rsa", "PRIVATE KEY");
        writeFile(home() / ".bashrc", "# shell start-up");
        fs::create_directories(home() / ".config/autostart");
        writeFile(sandbox.root() / "outside/secret.txt", "outside");
        writeFile(downloads() / "ok.txt", "OK");
        writeFile(downloads() / "sub/in.txt", "IN");
        writeFile(downloads() / ".hidden/x.txt", "HIDDEN");
        writeFile(downloads() / ".dotfile", "DOT");
        writeFile(sandbox.dataHome() / "ZEFAGPKI/Files/own.txt", "OWN");
        writeFile(home() / "extra/listed.txt", "LISTED");
        writeFile(home() / "unlisted/no.txt", "NO");
        writeFile(home() / ".config/ZEFAGPKI/allowed-folders",
                  "# folders a page may use\n  ~/extra  \n\nrelative/ignored\n");
        fs::create_symlink(home() / ".ssh/id_rsa", downloads() / "link-out");
        fs::create_symlink(home() / ".ssh", downloads() / "linkdir-out");
        fs::create_symlink(downloads() / "ok.txt", downloads() / "link-in");
        fs::create_symlink(downloads() / ".hidden/x.txt", downloads() / "link-hidden");
        fs::create_symlink(downloads() / "ok.txt", sandbox.root() / "outside/link-into");
        fs::create_symlink(downloads(), sandbox.root() / "outside/linkdir-into");
        fs::create_symlink(downloads() / "ok.txt", sandbox.documentsDir() / "link-across");
        fs::create_hard_link(sandbox.root() / "outside/secret.txt", downloads() / "hard");
        ASSERT_EQ(mkfifo((downloads() / "fifo").c_str(), 0600), 0);
    }

    fs::path home() const { return sandbox.home(); }
    fs::path downloads() const { return sandbox.downloadDir(); }
    std::string in(const fs::path& path) const { return path.string(); }

    Sandbox sandbox;
};

TEST_F(FileAccessTest, ReadsOnlyInsideTheAllowedFolders) {
    const std::string d = downloads().string();
    struct Case {
        std::string path;
        card::HResult result;
        std::string content;
    };
    const Case cases[] = {
        {d + "/ok.txt", card::kOk, "OK"},
        {d + "/sub/in.txt", card::kOk, "IN"},
        {d + "//sub/./in.txt", card::kOk, "IN"},
        {in(sandbox.dataHome() / "ZEFAGPKI/Files/own.txt"), card::kOk, "OWN"},
        {in(home() / "extra/listed.txt"), card::kOk, "LISTED"},
        {d + "/link-in", card::kOk, "OK"},
        {in(sandbox.documentsDir() / "link-across"), card::kOk, "OK"},
        {in(sandbox.root() / "outside/link-into"), card::kOk, "OK"},
        {in(sandbox.root() / "outside/linkdir-into/ok.txt"), card::kOk, "OK"},
        {"", card::kInvalidArgument, ""},
        {"ok.txt", card::kAccessDenied, ""},
        {"home/Downloads/ok.txt", card::kAccessDenied, ""},
        {d + "/../.ssh/id_rsa", card::kAccessDenied, ""},
        {d + "/sub/../ok.txt", card::kAccessDenied, ""},
        {d + "/%2e%2e/.ssh/id_rsa", card::kAccessDenied, ""},
        {d + "/%2e%2e/ok.txt", card::kFileNotFound, ""},
        {d + std::string("/ok.txt\0/../../.ssh/id_rsa", 26), card::kAccessDenied, ""},
        {in(home() / ".ssh/id_rsa"), card::kAccessDenied, ""},
        {in(home() / ".bashrc"), card::kAccessDenied, ""},
        {in(home() / "unlisted/no.txt"), card::kAccessDenied, ""},
        {in(sandbox.root() / "outside/secret.txt"), card::kAccessDenied, ""},
        {in(sandbox.root() / "outside/absent.txt"), card::kAccessDenied, ""},
        {"/etc/passwd", card::kAccessDenied, ""},
        {d + "/link-out", card::kAccessDenied, ""},
        {d + "/linkdir-out/id_rsa", card::kAccessDenied, ""},
        {d + "/link-hidden", card::kAccessDenied, ""},
        {d + "/.hidden/x.txt", card::kAccessDenied, ""},
        {d + "/.dotfile", card::kAccessDenied, ""},
        {d + "/absent.txt", card::kFileNotFound, ""},
        {d + "/no-folder/x.txt", card::kFileNotFound, ""},
        {d + "/sub", card::kFileNotFound, ""},
        {d + "/fifo", card::kFileNotFound, ""},
    };
    const auto before = snapshotTree(sandbox.root());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string content;
        EXPECT_EQ(resultOf([&] { content = card::readAllowedFile(c.path); }), c.result);
        EXPECT_EQ(content, c.content);
    }
    EXPECT_EQ(treeDifference(before, snapshotTree(sandbox.root())), "");
}

TEST_F(FileAccessTest, RefusedWritesTouchNothing) {
    const std::string d = downloads().string();
    struct Case {
        std::string path;
        card::HResult result;
    };
    const Case cases[] = {
        {"", card::kInvalidArgument},
        {"out.xml", card::kAccessDenied},
        {in(home() / ".bashrc"), card::kAccessDenied},
        {in(home() / ".config/autostart/x.desktop"), card::kAccessDenied},
        {in(home() / ".ssh/authorized_keys"), card::kAccessDenied},
        {in(home() / "unlisted/new.txt"), card::kAccessDenied},
        {d + "/../.bashrc", card::kAccessDenied},
        {d + "/%2e%2e/.bashrc", card::kAccessDenied},
        {d + "/link-out", card::kAccessDenied},
        {d + "/link-in", card::kAccessDenied},
        {d + "/linkdir-out/authorized_keys", card::kAccessDenied},
        {d + "/.hidden/new.txt", card::kAccessDenied},
        {d + "/.bashrc", card::kAccessDenied},
        {d + "/", card::kAccessDenied},
        {d + "/no-folder/new.txt", card::kWriteFault},
        {d + "/sub", card::kWriteFault},
    };
    const auto before = snapshotTree(sandbox.root());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(resultOf([&] { card::AllowedOutput(c.path).write("attack"); }), c.result);
        EXPECT_EQ(treeDifference(before, snapshotTree(sandbox.root())), "");
    }
}

TEST_F(FileAccessTest, WritesReplaceTheFileInItsFolder) {
    const std::string d = downloads().string();
    for (const std::string& path : {d + "/new.xml", d + "/ok.txt", d + "/sub/in.txt",
                                    in(sandbox.root() / "outside/linkdir-into/via-link.xml")}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(resultOf([&] { card::AllowedOutput(path).write("signed"); }), card::kOk);
        EXPECT_EQ(readFile(path), "signed");
    }
    // A second name of an outside file gets a new file; the outside one keeps its content.
    ASSERT_EQ(resultOf([&] { card::AllowedOutput(d + "/hard").write("signed"); }), card::kOk);
    EXPECT_EQ(readFile(downloads() / "hard"), "signed");
    EXPECT_EQ(readFile(sandbox.root() / "outside/secret.txt"), "outside");
    // The target is checked when the output is opened: a link put in its place before the
    // write is replaced, never written through.
    card::AllowedOutput output(d + "/later.txt");
    fs::create_symlink(home() / ".bashrc", downloads() / "later.txt");
    output.write("signed");
    EXPECT_FALSE(fs::is_symlink(downloads() / "later.txt"));
    EXPECT_EQ(readFile(home() / ".bashrc"), "# shell start-up");
    for (const auto& entry : fs::directory_iterator(downloads()))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos)
            << entry.path();
}

TEST_F(FileAccessTest, ReferenceFoldersAreSortedByTheSameRules) {
    using card::FolderUse;
    const std::string d = downloads().string();
    struct Case {
        std::string folder;
        FolderUse use;
    };
    const Case cases[] = {
        {d, FolderUse::Allowed},
        {d + "/sub", FolderUse::Allowed},
        {in(sandbox.root() / "outside/linkdir-into"), FolderUse::Allowed},
        {d + "/no-folder", FolderUse::Missing},
        {d + "/ok.txt", FolderUse::Missing},
        {d + "/linkdir-out", FolderUse::Refused},
        {d + "/.hidden", FolderUse::Refused},
        {d + "/sub/..", FolderUse::Refused},
        {in(home() / ".ssh"), FolderUse::Refused},
        {in(home()), FolderUse::Refused},
        {"/etc", FolderUse::Refused},
        {"/nonexistent", FolderUse::Refused},
        {"Downloads", FolderUse::Refused},
        {"", FolderUse::Refused},
    };
    for (const Case& c : cases) EXPECT_EQ(card::folderUse(c.folder), c.use) << c.folder;
}

// The download and documents folders are the ones user-dirs.dirs names, not fixed names.
TEST_F(FileAccessTest, DefaultFoldersFollowUserDirs) {
    unsetenv("XDG_DOWNLOAD_DIR");
    unsetenv("XDG_DOCUMENTS_DIR");
    writeFile(
        home() / ".config/user-dirs.dirs",
        "XDG_DOWNLOAD_DIR=\"$HOME/Telechargements\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    writeFile(home() / "Telechargements/t.txt", "T");
    EXPECT_EQ(card::allowedFolders(),
              (std::vector<std::string>{in(home() / "Telechargements"), in(home() / "Dokumente"),
                                        in(sandbox.dataHome() / "ZEFAGPKI/Files"),
                                        in(home() / "extra")}));
    EXPECT_EQ(card::readAllowedFile(in(home() / "Telechargements/t.txt")), "T");
    EXPECT_EQ(resultOf([&] { card::readAllowedFile(in(downloads() / "ok.txt")); }),
              card::kAccessDenied);
}

// A folder that holds the home (the home itself, written back as "$HOME/" for a deleted
// download folder, "/", a folder above the home, a link to the home) would open every file of
// the user: it is ignored, and the other allowed folders still work.
TEST_F(FileAccessTest, FolderHoldingTheHomeIsNoAllowedFolder) {
    writeFile(home() / "notes.txt", "NOTES");
    fs::create_symlink(home(), sandbox.root() / "outside/home-link");
    const std::string listed = "~/extra\n";
    struct Case {
        const char* name;
        std::string downloadEnv;  // empty: from user-dirs.dirs
        std::string userDirs;
        std::string documentsEnv;
        std::string moreListed;
    };
    const std::string d = in(downloads()), docs = in(sandbox.documentsDir());
    const Case cases[] = {
        {"download folder is the home", in(home()), "", docs, ""},
        {"user-dirs names $HOME/", "", "XDG_DOWNLOAD_DIR=\"$HOME/\"\n", docs, ""},
        {"documents folder is /", d, "", "/", ""},
        {"listed ~/", d, "", docs, "~/\n"},
        {"listed /", d, "", docs, "/\n"},
        {"listed folder above the home", d, "", docs, in(sandbox.root()) + "\n"},
        {"listed link to the home", d, "", docs, in(sandbox.root() / "outside/home-link") + "\n"},
        {"listed home with a trailing slash", d, "", docs, in(home()) + "/\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.downloadEnv.empty())
            unsetenv("XDG_DOWNLOAD_DIR");
        else
            setenv("XDG_DOWNLOAD_DIR", c.downloadEnv.c_str(), 1);
        setenv("XDG_DOCUMENTS_DIR", c.documentsEnv.c_str(), 1);
        writeFile(home() / ".config/user-dirs.dirs", c.userDirs);
        writeFile(home() / ".config/ZEFAGPKI/allowed-folders", listed + c.moreListed);
        const auto before = snapshotTree(sandbox.root());
        EXPECT_EQ(resultOf([&] { card::readAllowedFile(in(home() / "notes.txt")); }),
                  card::kAccessDenied);
        EXPECT_EQ(resultOf([&] { card::AllowedOutput(in(home() / "notes.txt")).write("x"); }),
                  card::kAccessDenied);
        EXPECT_EQ(card::folderUse(in(home())), card::FolderUse::Refused);
        EXPECT_EQ(treeDifference(before, snapshotTree(sandbox.root())), "");
        EXPECT_EQ(card::readAllowedFile(in(home() / "extra/listed.txt")), "LISTED");
    }
}

// A file read whole is bounded: its size is checked before a byte is read.
TEST_F(FileAccessTest, FileAboveTheSizeLimitIsRefused) {
    for (const auto& [size, result] :
         {std::pair{card::kFileSizeLimit, card::kOk},
          std::pair{card::kFileSizeLimit + 1, card::kInvalidArgument},
          std::pair{4 * card::kFileSizeLimit, card::kInvalidArgument}}) {
        SCOPED_TRACE(size);
        const fs::path file = downloads() / "big.bin";
        fs::remove(file);
        writeFile(file, "");
        fs::resize_file(file, size);  // sparse: no disk taken
        std::string content;
        EXPECT_EQ(resultOf([&] { content = card::readAllowedFile(in(file)); }), result);
        EXPECT_EQ(content.size(), result == card::kOk ? size : 0);
    }
}

}  // namespace
