#pragma once

#include <QByteArray>
#include <string>

#include "FileManager.h"

// File-manager extensions: create with missing parents, and copy or move onto an existing
// destination, merging folders and replacing files. Each takes the caller's manager (whose
// batch the copies join) and handler.
namespace OrvaneUtilities {

bool createFileAtPath(FileManager& manager, const std::string& path, const QByteArray& contents,
                      const CreationAttributes* attributes, bool createPathElements);
bool createDirectoryAtPath(FileManager& manager, const std::string& path,
                           const CreationAttributes* attributes, bool recurse);
bool copyPathToPath(FileManager& manager, const std::string& source, const std::string& toPath,
                    bool recurse, FileManagerHandler* handler);
bool copyPathOntoPath(FileManager& manager, const std::string& source, const std::string& ontoPath,
                      FileManagerHandler* handler);
bool movePathOntoPath(FileManager& manager, const std::string& source, const std::string& ontoPath,
                      FileManagerHandler* handler);

}  // namespace OrvaneUtilities
