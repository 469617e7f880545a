#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

// A tree of item names: the picture of the synchronized items that continuous sync compares
// against. A name ending in "/" is a folder. Children stay sorted by name (byte order), so
// lookups are binary searches. The root has no name. Names are bytes.
//
// A continuous pass keeps one node per synchronized item alive, a million of them for a large
// home: a node is one allocation holding its name's bytes, and only a node that has children
// has a list of them.
class KTLTreeNode {
  public:
    using Children = std::vector<std::unique_ptr<KTLTreeNode>>;

    static std::unique_ptr<KTLTreeNode> make(std::string_view name);
    static std::unique_ptr<KTLTreeNode> makeRoot();
    KTLTreeNode(const KTLTreeNode&) = delete;
    KTLTreeNode& operator=(const KTLTreeNode&) = delete;
    ~KTLTreeNode() = default;
    // Nodes come from make(), with their name's bytes after them.
    static void operator delete(void* node) { ::operator delete(node); }

    std::optional<std::string_view> name() const {
        if (!_named) return std::nullopt;
        return std::string_view(reinterpret_cast<const char*>(this + 1), _length);
    }
    KTLTreeNode* parent() const { return _parent; }
    const Children& children() const;
    size_t childCount() const { return _children ? _children->size() : 0; }
    KTLTreeNode* childAtIndex(size_t index) const { return (*_children)[index].get(); }

    // Appends at the end; the caller sorts when it is done adding.
    KTLTreeNode* appendChild(std::unique_ptr<KTLTreeNode> child);
    // Puts the child where sorting after appending it would (after any equal names). Children
    // must already be sorted.
    KTLTreeNode* insertChildSorted(std::unique_ptr<KTLTreeNode> child);
    // Adds many children at once: they are sorted among themselves and merged into the sorted
    // children, each after any equal names already there. Same order as inserting one by one.
    void mergeChildren(Children children);
    // Takes the child and its subtree out of this node; none if it is not a child.
    std::unique_ptr<KTLTreeNode> removeChild(const KTLTreeNode* child);
    // Destroys all of the given children with their subtrees in one pass over the children;
    // pointers that are not children are ignored. Returns how many went.
    size_t removeChildren(std::vector<const KTLTreeNode*> children);
    // Stable: siblings with equal names keep their order.
    void sortChildren();

  private:
    KTLTreeNode(uint32_t length, bool named) : _length(length), _named(named) {}
    Children& ownChildren();

    KTLTreeNode* _parent = nullptr;
    std::unique_ptr<Children> _children;
    uint32_t _length;
    bool _named;
};

using KTLItemTree = std::unique_ptr<KTLTreeNode>;

// The order of siblings: the names compared byte by byte (`options` is always 0); a node without
// a name sorts before any named one. Negative, zero or positive.
int KTLTreeSortFunction(const KTLTreeNode& a, const KTLTreeNode& b, const int* options);

// Prints the tree below and including `node`, one node per line, flushed after every line.
void CFTreeShow(const KTLTreeNode* node, FILE* out = stdout);
// Prints `node` at `level` and its subtree. `hasSibling` holds one flag per level above (does
// the ancestor at that level have a following sibling); it starts with room for 16 levels and
// is doubled before a deeper level's flag is written.
void _CFShowTreeNode(const KTLTreeNode* node, int level, std::vector<char>& hasSibling, FILE* out);
