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

// Opens for reading a file whose content steers the programs (an ini file): only a regular
// file of this user's or root's that nobody else may write, never through a link and
// never waiting on a FIFO. -1 when it is missing (`refusal` empty) or refused (`refusal`
// says why).
int openTrustedFile(const char* path, std::string& refusal);

// Replaces the file's content with `text`; false when it cannot be written.
bool writeWholeFile(std::string_view path, std::string_view text);

// Creates one folder (mode 0777 before the umask); true when it exists afterwards.
bool makeFolder(std::string_view path);
