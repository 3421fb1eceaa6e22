#include "helpers/TreeSnapshot.h"

#include "helpers/Sandbox.h"

namespace fs = std::filesystem;

namespace testing_support {

TreeSnapshot snapshotTree(const fs::path& root, const std::vector<std::string>& skip) {
    TreeSnapshot tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string relative = path.lexically_relative(root).string();
        bool skipped = false;
        for (const std::string& folder : skip) skipped = skipped || relative == folder;
        if (skipped) {
            it.disable_recursion_pending();
            continue;
        }
        const auto status = it->symlink_status();
        std::string entry = std::to_string(static_cast<int>(status.permissions())) + " ";
        if (fs::is_symlink(status))
            entry += "link " + fs::read_symlink(path).string();
        else if (fs::is_regular_file(status))
            entry += "file " + readFile(path);
        else if (fs::is_directory(status))
            entry += "folder";
        else
            entry += "other";
        tree[relative] = entry;
    }
    return tree;
}

std::string treeDifference(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::string difference;
    for (const auto& [path, entry] : before) {
        auto found = after.find(path);
        if (found == after.end())
            difference += "- " + path + "\n";
        else if (found->second != entry)
            difference += "~ " + path + "\n";
    }
    for (const auto& [path, entry] : after)
        if (!before.count(path)) difference += "+ " + path + "\n";
    return difference;
}

}  // namespace testing_support
