#pragma once

#include <QString>
#include <string>

// Moves the item at `path` into the user's trash, where the desktop's file manager can put it
// back: the home trash for items on the home's file system, else the trash at the top of the
// item's volume. The item is only ever renamed, so when the answer is false it is still where
// it was. A name the trash can't record faithfully (bytes that are not text) is refused.
// `pathInTrash`, if given, receives where the item went.
bool moveItemToTrash(const std::string& path, std::string* pathInTrash = nullptr);
