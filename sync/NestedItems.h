#pragma once

#include <functional>
#include <string>
#include <vector>

// Sync-list entries may lie inside one another ("~/Sites" and "~/Sites/blog", "~" and
// "~/Sites"). Their copies then overlap on the drive: the outer entry's walk already covers
// the inner one, and removing one entry's copy must spare the others'.

// The components of an entry, empty ones dropped: "~//Sites/" and "~/Sites" are one place.
std::vector<std::string> itemComponents(const std::string& item);

// For each entry, whether an earlier equal entry or an enclosing entry covers it. An entry
// is covered only through names the walk takes part in (`walked` judges each name between the
// outer entry and the inner one).
std::vector<bool> coveredItems(const std::vector<std::string>& items,
                               const std::function<bool(const std::string&)>& walked);

// Of the kept entries, those strictly inside `dropped`, as paths relative to it.
std::vector<std::string> keptItemsInside(const std::string& dropped,
                                         const std::vector<std::string>& kept);

// Whether some kept entry is `dropped` itself or encloses it.
bool keptItemEncloses(const std::string& dropped, const std::vector<std::string>& kept);
