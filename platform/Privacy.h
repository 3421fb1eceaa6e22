// Files and objects for the user alone: what the programs create is not readable by
// other users of the machine, and a file in a folder that every user may write to is
// only used when it is our own.
#pragma once

#include <string_view>

// Files and folders made from now on are the user's alone (0600, 0700). Called first
// thing in every program.
void keepFilesPrivate();

// True for a folder everybody may write to, with the sticky bit (such as /tmp).
bool isSharedFolder(std::string_view folder);

// Opens a file for writing that only its owner, this user, may use: creates it (0600)
// when it is not there, opens it otherwise, appending or emptying it. Refuses (-1) a
// symbolic link, anything but a regular file, a file of another user and a file with a
// second name (a hard link someone made to another file of ours); never waits on a FIFO.
// Async-signal-safe.
int openOwnFile(const char* path, bool truncate);
