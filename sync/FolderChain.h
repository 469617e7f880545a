#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// The folders a run writes into, removes or moves from (the drive's sync folder, the staging
// folders) lie some levels below a trusted base (the mount point, the home folder). Every one
// of those levels must be a real folder: a symbolic link anywhere on the way would send the
// copies, moves and removals somewhere else.
enum class FolderChainState {
    Missing,   // some level does not exist; the levels above it are real folders
    Folders,   // every level is a real folder
    InTheWay,  // some level is a link or not a folder
};

// The non-empty components of a relative or absolute path above its last one.
std::vector<std::string> parentPathComponents(const std::string& path);

FolderChainState folderChainState(const std::string& base,
                                  const std::vector<std::string>& components);

// Makes the missing levels one by one, each checked before the next is made; `mode` is given
// to the folders made here (others keep theirs). False when a level is in the way or can't be
// made.
bool makeFolderChain(const std::string& base, const std::vector<std::string>& components,
                     std::optional<mode_t> mode);
