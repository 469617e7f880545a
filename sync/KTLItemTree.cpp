#include "KTLItemTree.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr int kSortOptions = 0;

bool sortsBefore(const std::unique_ptr<KTLTreeNode>& a, const std::unique_ptr<KTLTreeNode>& b) {
    return KTLTreeSortFunction(*a, *b, &kSortOptions) < 0;
}

}  // namespace

std::unique_ptr<KTLTreeNode> KTLTreeNode::make(std::string_view name) {
    if (name.size() > UINT32_MAX) throw std::bad_alloc();
    void* memory = ::operator new(sizeof(KTLTreeNode) + name.size());
    auto* node = new (memory) KTLTreeNode(uint32_t(name.size()), true);
    if (!name.empty())
        memcpy(static_cast<char*>(memory) + sizeof(KTLTreeNode), name.data(), name.size());
    return std::unique_ptr<KTLTreeNode>(node);
}

std::unique_ptr<KTLTreeNode> KTLTreeNode::makeRoot() {
    return std::unique_ptr<KTLTreeNode>(new (::operator new(sizeof(KTLTreeNode)))
                                            KTLTreeNode(0, false));
}

const KTLTreeNode::Children& KTLTreeNode::children() const {
    static const Children none;
    return _children ? *_children : none;
}

KTLTreeNode::Children& KTLTreeNode::ownChildren() {
    if (!_children) _children = std::make_unique<Children>();
    return *_children;
}

KTLTreeNode* KTLTreeNode::appendChild(std::unique_ptr<KTLTreeNode> child) {
    child->_parent = this;
    Children& children = ownChildren();
    children.push_back(std::move(child));
    return children.back().get();
}

KTLTreeNode* KTLTreeNode::insertChildSorted(std::unique_ptr<KTLTreeNode> child) {
    child->_parent = this;
    Children& children = ownChildren();
    auto at = std::upper_bound(children.begin(), children.end(), child, sortsBefore);
    return children.insert(at, std::move(child))->get();
}

void KTLTreeNode::mergeChildren(Children children) {
    if (children.empty()) return;
    std::stable_sort(children.begin(), children.end(), sortsBefore);
    Children& own = ownChildren();
    const size_t middle = own.size();
    own.reserve(middle + children.size());
    for (auto& child : children) {
        child->_parent = this;
        own.push_back(std::move(child));
    }
    std::inplace_merge(own.begin(), own.begin() + ptrdiff_t(middle), own.end(), sortsBefore);
}

std::unique_ptr<KTLTreeNode> KTLTreeNode::removeChild(const KTLTreeNode* child) {
    if (!_children) return nullptr;
    Children& own = *_children;
    auto it =
        std::find_if(own.begin(), own.end(), [child](const auto& c) { return c.get() == child; });
    if (it == own.end()) return nullptr;
    std::unique_ptr<KTLTreeNode> taken = std::move(*it);
    own.erase(it);
    taken->_parent = nullptr;
    return taken;
}

size_t KTLTreeNode::removeChildren(std::vector<const KTLTreeNode*> children) {
    // One sweep with a sorted lookup instead of one erase per child: a folder that lost most of
    // its many entries must not cost the square of their number.
    if (!_children) return 0;
    Children& own = *_children;
    std::sort(children.begin(), children.end());
    auto kept = std::remove_if(own.begin(), own.end(), [&](const auto& c) {
        return std::binary_search(children.begin(), children.end(), c.get());
    });
    const size_t removed = own.end() - kept;
    own.erase(kept, own.end());
    return removed;
}

void KTLTreeNode::sortChildren() {
    // Children made by a walk come sorted; a check is cheaper than sorting them again.
    if (!_children || _children->size() < 2) return;
    Children& children = *_children;
    if (!std::is_sorted(children.begin(), children.end(), sortsBefore))
        std::stable_sort(children.begin(), children.end(), sortsBefore);
}

int KTLTreeSortFunction(const KTLTreeNode& a, const KTLTreeNode& b, const int*) {
    const auto x = a.name();
    const auto y = b.name();
    if (!x || !y) return int(bool(x)) - int(bool(y));
    // Compared as unsigned bytes, like memcmp.
    const int order = x->compare(*y);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

void _CFShowTreeNode(const KTLTreeNode* node, int level, std::vector<char>& hasSibling, FILE* out) {
    for (int i = 0; i < level; ++i) fputs(hasSibling[i] ? "| " : "  ", out);
    fputs("+-o ", out);
    if (const auto name = node->name()) fwrite(name->data(), 1, name->size(), out);
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
