// Folders that are the user's alone, for the objects other users must not reach: the named
// mutexes, named events and message channels of the user's programs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Makes the folder with mode 0700 when it is missing and says whether it can be used: a real
// folder (not a link) owned by the user that nobody else may enter; one of the user's that
// others may enter is closed to them. When another user's folder is there, `refusal` says
// whose it is.
bool ensurePrivateFolder(const std::string& path, std::string* refusal = nullptr);

// Where the user's named objects live: the login's runtime folder ($XDG_RUNTIME_DIR), else
// /dev/shm/tessaroll-u<uid>, else /run/user/<uid>, else ~/.cache/tessaroll-u<uid>; the first
// that is the user's alone. Every program of the user walks the same list, so they all meet
// in the same place. A place passed over because another user holds it adds a line to
// `refused`. Empty when none can be had.
std::string userObjectFolder(std::vector<std::string>* refused = nullptr);
// A private folder of that name inside it, made when missing; empty when none can be had.
std::string userObjectSubfolder(std::string_view name, std::vector<std::string>* refused = nullptr);
