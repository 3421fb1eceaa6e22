// Where the component's file methods may read and write: a page names the paths, so only
// folders the user allows are used. They are the user's download and documents folders,
// the system's own "$XDG_DATA_HOME/ZEFAGPKI/Files", and the folders listed in
// "$XDG_CONFIG_HOME/ZEFAGPKI/allowed-folders" (one absolute path or "~/..." per line;
// blank lines and lines starting with "#" ignored). A path must be absolute and without
// "..", it is resolved (links followed) before the check, and below its allowed folder no
// part of it may start with "." (".ssh", ".config"). Everything else fails with
// kAccessDenied and touches nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace card {

// The allowed folders as configured, in the order above; they need not exist.
std::vector<std::string> allowedFolders();
std::string allowedFoldersFile();

// The whole file. kInvalidArgument for an empty path, kFileNotFound when an allowed path
// names no regular file, kAccessDenied for any other path.
std::string readAllowedFile(const std::string& path);

// A folder named by a page, by the same rules: an existing folder inside the allowed ones,
// a path inside them where no folder is, or refused.
enum class FolderUse { Allowed, Missing, Refused };
FolderUse folderUse(const std::string& folder);

// A file to write, checked before any work is done: its folder is held open, so what is
// written lands in that folder whatever is renamed or linked meanwhile.
class AllowedOutput {
public:
    // kInvalidArgument for an empty path; kAccessDenied outside the allowed folders, for a
    // hidden name, or when the file is a symbolic link; kWriteFault when the folder of an
    // allowed path does not exist.
    explicit AllowedOutput(const std::string& path);
    ~AllowedOutput();
    AllowedOutput(const AllowedOutput&) = delete;
    AllowedOutput& operator=(const AllowedOutput&) = delete;

    // Replaces the file as a whole (a new file renamed over it, never written through a
    // link or another name of the same file). kWriteFault when that fails; the old file
    // is then untouched.
    void write(std::string_view bytes);

private:
    int folder_ = -1;
    std::string name_;
};

}  // namespace card
