#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "FileManager.h"

// What a run decided on for each item it staged: the state of the item's final place when it
// decided (absent, or type, size, modification time and inode), and the modes of the copied
// folders that forbid their owner something, applied once they are in place. Kept in the
// staging folder, beside the staged copies, so that finishing an interrupted run checks the
// same. Keys are the staged items' paths below the staging folder.
class StagingRecord {
  public:
    struct Item {
        std::optional<FileAttributes> decided;
        std::vector<std::pair<std::string, mode_t>> folderModes;  // path below the item, mode
    };

    // The record's file name in a staging folder; never an item of its own.
    static constexpr const char kFileName[] = ".pellora-staging-record";

    void add(const std::string& key, const std::optional<FileAttributes>& decided);
    void addFolderMode(const std::string& key, const std::string& below, mode_t mode);
    const Item* find(const std::string& key) const;
    // True when `now` is the place as it was decided on: absent stays absent, and an item has
    // kept its type, size, modification time and inode.
    static bool unchanged(const Item& item, const std::optional<FileAttributes>& now);

    // Writes the record into `folder` (atomically, durably) when it changed since last written.
    bool writeInto(const std::string& folder, QString* error);
    // The record in `folder`; none when there is none or it can't be read whole.
    static std::optional<StagingRecord> readFrom(const std::string& folder);

    QByteArray serialized() const;
    static std::optional<StagingRecord> parse(const QByteArray& bytes);

  private:
    std::unordered_map<std::string, Item> _items;
    bool _dirty = false;
};
