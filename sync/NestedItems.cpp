#include "NestedItems.h"

#include <unordered_set>

namespace {

std::string joined(const std::vector<std::string>& components, size_t count) {
    std::string key;
    for (size_t i = 0; i < count; ++i) {
        if (i) key += '/';
        key += components[i];
    }
    return key;
}

// Whether `outer` is a prefix of `inner` (equal counts as a prefix).
bool encloses(const std::vector<std::string>& outer, const std::vector<std::string>& inner) {
    if (outer.size() > inner.size()) return false;
    for (size_t i = 0; i < outer.size(); ++i)
        if (outer[i] != inner[i]) return false;
    return true;
}

}  // namespace

std::vector<std::string> itemComponents(const std::string& item) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= item.size()) {
        size_t end = item.find('/', start);
        if (end == std::string::npos) end = item.size();
        if (end > start) components.push_back(item.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

std::vector<bool> coveredItems(const std::vector<std::string>& items,
                               const std::function<bool(const std::string&)>& walked) {
    std::vector<std::vector<std::string>> components;
    std::unordered_set<std::string> keys;
    for (const std::string& item : items) {
        components.push_back(itemComponents(item));
        keys.insert(joined(components.back(), components.back().size()));
    }
    std::vector<bool> covered(items.size(), false);
    std::unordered_set<std::string> seen;
    for (size_t i = 0; i < items.size(); ++i) {
        const std::vector<std::string>& parts = components[i];
        if (!seen.insert(joined(parts, parts.size())).second) {
            covered[i] = true;
            continue;
        }
        // From the nearest enclosing entry outwards; a name the walk leaves out below it ends
        // the cover of that entry and of every one further out.
        for (size_t count = parts.size(); count-- > 1;) {
            if (!walked(parts[count])) break;
            if (keys.count(joined(parts, count))) {
                covered[i] = true;
                break;
            }
        }
    }
    return covered;
}

std::vector<std::string> keptItemsInside(const std::string& dropped,
                                         const std::vector<std::string>& kept) {
    const std::vector<std::string> outer = itemComponents(dropped);
    std::vector<std::string> inside;
    for (const std::string& item : kept) {
        const std::vector<std::string> inner = itemComponents(item);
        if (inner.size() > outer.size() && encloses(outer, inner))
            inside.push_back(joined({inner.begin() + long(outer.size()), inner.end()},
                                    inner.size() - outer.size()));
    }
    return inside;
}

bool keptItemEncloses(const std::string& dropped, const std::vector<std::string>& kept) {
    const std::vector<std::string> inner = itemComponents(dropped);
    for (const std::string& item : kept)
        if (encloses(itemComponents(item), inner)) return true;
    return false;
}
