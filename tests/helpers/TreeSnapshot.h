// Everything below a folder, for asserting that an operation changed nothing: each entry's
// relative path with its kind, mode, and its content or link target.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

using TreeSnapshot = std::map<std::string, std::string>;

// `skip`: folders (relative to root) whose contents are the program's own working files.
TreeSnapshot snapshotTree(const std::filesystem::path& root,
                          const std::vector<std::string>& skip = {});

// The entries that differ, one per line ("+ path", "- path", "~ path"); empty when none.
std::string treeDifference(const TreeSnapshot& before, const TreeSnapshot& after);

}  // namespace testing_support
