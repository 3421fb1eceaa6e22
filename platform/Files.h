// Files as the programs test and read them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The archive-attribute rule: true for a regular file (or a link to one); false for a
// folder, for a path that does not exist, or one in a missing folder. Any other failure
// to look (a folder we may not search) counts as existing.
bool fileExistsOnDisk(std::string_view path);

// The whole content of a file read as text; nothing when it cannot be opened.
std::optional<std::string> readWholeFile(std::string_view path);

// Replaces the file's content with `text`; false when it cannot be written.
bool writeWholeFile(std::string_view path, std::string_view text);

// Creates one folder (mode 0777 before the umask); true when it exists afterwards.
bool makeFolder(std::string_view path);
