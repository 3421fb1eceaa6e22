#include "platform/FolderEntries.h"

#include <filesystem>
#include <system_error>

std::vector<FolderEntry> listFolderEntries(std::string_view folder) {
    std::vector<FolderEntry> entries;
    std::error_code error;
    std::filesystem::directory_iterator it(std::filesystem::path(folder), error);
    if (error) return entries;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        if (error) break;
        std::error_code typeError;
        bool isFolder = it->is_directory(typeError) && !it->is_symlink(typeError);
        entries.push_back({it->path().filename().string(), isFolder});
    }
    return entries;
}
