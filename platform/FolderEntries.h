// Listing a folder's entries, as the monitor walks the installed components' folders.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct FolderEntry {
    std::string name;  // without the folder
    bool isFolder = false;
};

// The entries of the folder ("." and ".." left out), in the order the file system gives
// them; empty when the folder cannot be read. A link to a folder is not a folder, so a
// walk never loops.
std::vector<FolderEntry> listFolderEntries(std::string_view folder);
