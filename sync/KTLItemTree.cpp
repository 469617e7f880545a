#include "KTLItemTree.h"

#include <algorithm>

namespace {

constexpr int kSortOptions = 0;

bool sortsBefore(const std::unique_ptr<KTLTreeNode>& a, const std::unique_ptr<KTLTreeNode>& b) {
    return KTLTreeSortFunction(*a, *b, &kSortOptions) < 0;
}

}  // namespace

KTLTreeNode* KTLTreeNode::appendChild(std::unique_ptr<KTLTreeNode> child) {
    child->_parent = this;
    _children.push_back(std::move(child));
    return _children.back().get();
}

KTLTreeNode* KTLTreeNode::insertChildSorted(std::unique_ptr<KTLTreeNode> child) {
    child->_parent = this;
    auto at = std::upper_bound(_children.begin(), _children.end(), child, sortsBefore);
    return _children.insert(at, std::move(child))->get();
}

void KTLTreeNode::mergeChildren(std::vector<std::unique_ptr<KTLTreeNode>> children) {
    if (children.empty()) return;
    std::stable_sort(children.begin(), children.end(), sortsBefore);
    const size_t middle = _children.size();
    _children.reserve(middle + children.size());
    for (auto& child : children) {
        child->_parent = this;
        _children.push_back(std::move(child));
    }
    std::inplace_merge(_children.begin(), _children.begin() + ptrdiff_t(middle), _children.end(),
                       sortsBefore);
}

std::unique_ptr<KTLTreeNode> KTLTreeNode::removeChild(const KTLTreeNode* child) {
    auto it = std::find_if(_children.begin(), _children.end(),
                           [child](const auto& c) { return c.get() == child; });
    if (it == _children.end()) return nullptr;
    std::unique_ptr<KTLTreeNode> taken = std::move(*it);
    _children.erase(it);
    taken->_parent = nullptr;
    return taken;
}

size_t KTLTreeNode::removeChildren(std::vector<const KTLTreeNode*> children) {
    // One sweep with a sorted lookup instead of one erase per child: a folder that lost most of
    // its many entries must not cost the square of their number.
    std::sort(children.begin(), children.end());
    auto kept = std::remove_if(_children.begin(), _children.end(), [&](const auto& c) {
        return std::binary_search(children.begin(), children.end(), c.get());
    });
    const size_t removed = _children.end() - kept;
    _children.erase(kept, _children.end());
    return removed;
}

void KTLTreeNode::sortChildren() {
    // Children made by a walk come sorted; a check is cheaper than sorting them again.
    if (_children.size() > 1 && !std::is_sorted(_children.begin(), _children.end(), sortsBefore))
        std::stable_sort(_children.begin(), _children.end(), sortsBefore);
}

int KTLTreeSortFunction(const KTLTreeNode& a, const KTLTreeNode& b, const int*) {
    const auto& x = a.name();
    const auto& y = b.name();
    if (!x || !y) return int(bool(x)) - int(bool(y));
    // std::string compares as unsigned bytes, like memcmp.
    const int order = x->compare(*y);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

void _CFShowTreeNode(const KTLTreeNode* node, int level, std::vector<char>& hasSibling, FILE* out) {
    for (int i = 0; i < level; ++i) fputs(hasSibling[i] ? "| " : "  ", out);
    fputs("+-o ", out);
    if (const auto& name = node->name()) fwrite(name->data(), 1, name->size(), out);
    fputc('\n', out);
    fflush(out);

    const size_t count = node->childCount();
    for (size_t i = 0; i < count; ++i) {
        const size_t childLevel = size_t(level) + 1;
        while (childLevel >= hasSibling.size()) hasSibling.resize(hasSibling.size() * 2);
        hasSibling[childLevel] = i + 1 < count;
        _CFShowTreeNode(node->childAtIndex(i), int(childLevel), hasSibling, out);
    }
}

void CFTreeShow(const KTLTreeNode* node, FILE* out) {
    if (!node) return;
    std::vector<char> hasSibling(16, 0);
    // The start's own flag only matters to the lines of its descendants.
    if (const KTLTreeNode* parent = node->parent()) {
        const auto& siblings = parent->children();
        for (size_t i = 0; i < siblings.size(); ++i)
            if (siblings[i].get() == node) hasSibling[0] = i + 1 < siblings.size();
    }
    _CFShowTreeNode(node, 0, hasSibling, out);
}
