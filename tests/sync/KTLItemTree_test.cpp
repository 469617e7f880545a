// The item tree on real folders: what a build holds and what a rescan reports.

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "KTLItemTree.h"
#include "KTLSyncController.h"
#include "SampleTree.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

namespace {

using Paths = std::vector<std::string>;

std::string dump(const KTLTreeNode* node) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    CFTreeShow(node, out);
    fclose(out);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

std::unique_ptr<KTLTreeNode> leaf(const std::string& name) {
    return std::make_unique<KTLTreeNode>(name);
}

// Every node below `node` as names joined by "/" ("~/Sites/" + "sub/" + "a"), pre-order.
Paths flatten(const KTLTreeNode* node, const std::string& prefix = "") {
    Paths out;
    for (const auto& child : node->children()) {
        std::string path = prefix + child->name().value_or("?");
        out.push_back(path);
        for (auto& below : flatten(child.get(), path)) out.push_back(below);
    }
    return out;
}

bool everywhereSorted(const KTLTreeNode* node) {
    const auto& c = node->children();
    for (size_t i = 1; i < c.size(); ++i)
        if (KTLTreeSortFunction(*c[i - 1], *c[i], nullptr) >= 0) return false;
    return std::all_of(c.begin(), c.end(), [](const auto& n) { return everywhereSorted(n.get()); });
}

Paths sorted(Paths p) {
    std::sort(p.begin(), p.end());
    return p;
}

void touch(const std::string& path) {
    ASSERT_TRUE(writeFile(path, "x")) << path;
}
void makeDir(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
}
void setTime(const std::string& path, int64_t seconds) {
    ASSERT_TRUE(setModificationTime(path, seconds * 1000000000LL)) << path;
}

constexpr int32_t kThen = 1500000000;
int ageEntry(const char* path, const struct stat*, int, struct FTW*) {
    const struct timespec times[2] = {{kThen, 0}, {kThen, 0}};
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

// Every item below `root`, links included, modified exactly at the reference time.
void ageAll(const std::string& root) {
    ASSERT_EQ(nftw(root.c_str(), ageEntry, 16, FTW_PHYS), 0);
}

// A home folder and a drive with its controller; the sync list is kept in memory.
class ItemTree : public ::testing::Test {
  protected:
    TestHome home;
    TempDir drive;
    std::shared_ptr<KTLSyncController> controller =
        KTLSyncController::controllerForMountPoint(drive.path());
    Paths changed, added, deleted;

    std::string at(const std::string& relative) const { return home.path() + "/" + relative; }

    void useList(const QStringList& list) { controller->setSyncItemList(list); }
    void build() { controller->setItemInventory(controller->buildItemTreeUsingFTS()); }
    KTLTreeNode* tree() const { return controller->itemInventory(); }

    void update(int32_t since) {
        changed.clear();
        added.clear();
        deleted.clear();
        controller->updateItemTreeReturningItemsChanged(changed, since, added, deleted);
        EXPECT_TRUE(everywhereSorted(tree()));
    }
    // Entries of one folder come in directory order: compare as sets.
    void expectReports(const Paths& c, const Paths& a, const Paths& d) {
        EXPECT_EQ(sorted(changed), sorted(c));
        EXPECT_EQ(sorted(added), sorted(a));
        EXPECT_EQ(sorted(deleted), sorted(d));
    }
};

}  // namespace

// --- Order, lookup and paths -------------------------------------------------------------

// --- Debug dump ------------------------------------------------------------------------

TEST(ItemTreeDump, PrintsBarsForAncestorsWithFollowingSiblings) {
    KTLTreeNode root;
    root.appendChild(leaf("a/"))->appendChild(leaf("b"));
    root.appendChild(leaf("c"));
    EXPECT_EQ(dump(&root), "+-o \n  +-o a/\n  | +-o b\n  +-o c\n");
}

// --- Building -----------------------------------------------------------------------------

TEST_F(ItemTree, BuildsNamesWithFolderMarksAndListFormTops) {
    makeDir(at("Sites"));
    touch(at("Sites/index.html"));
    makeDir(at("Sites/sub"));
    touch(at("Sites/sub/b"));
    touch(at("Sites/sub/" + kOddName));
    makeDir(at("Sites/empty"));
    touch(at("notes"));
    makeDir(at("abs"));
    touch(at("abs/f"));
    useList({"~/Sites", "~/notes", QString::fromStdString(at("abs")), "~/Missing"});
    build();

    ASSERT_NE(tree(), nullptr);
    EXPECT_FALSE(tree()->name());
    EXPECT_EQ(sorted(flatten(tree())),
              sorted({at("abs") + "/", at("abs") + "/f", "~/Sites/", "~/Sites/empty/",
                      "~/Sites/index.html", "~/Sites/sub/", "~/Sites/sub/b",
                      "~/Sites/sub/" + kOddName, "~/notes"}));
    EXPECT_TRUE(everywhereSorted(tree()));
    // A file and a folder are told apart by the mark alone.
    EXPECT_EQ(KTLSyncController::findChildNamed("~/Sites", tree()), nullptr);
    EXPECT_NE(KTLSyncController::findChildNamed("~/Sites/", tree()), nullptr);
    EXPECT_EQ(KTLSyncController::findChildNamed("~/notes/", tree()), nullptr);
    EXPECT_NE(KTLSyncController::findChildNamed("~/notes", tree()), nullptr);
}

TEST_F(ItemTree, FilteredAndUnfinishedNamesAreLeftOutWithTheirContents) {
    makeDir(at("Sites"));
    // Enough siblings that some follow each rejected folder in directory order.
    for (int i = 0; i < 6; ++i) {
        const std::string folder = at("Sites/d" + std::to_string(i));
        makeDir(folder);
        touch(folder + "/f");
    }
    for (const char* rejected : {".Trash", "TL_VS_W", ".Spotlight-V100", ".pellora-tmp-dir"}) {
        makeDir(at("Sites/") + rejected);
        touch(at("Sites/") + rejected + "/inside");
    }
    touch(at("Sites/.DS_Store"));
    touch(at("Sites/.pellora-tmp-123"));
    touch(at("Sites/d3/.DS_Store"));
    makeDir(at("Sites/d3/TL_VS_W"));
    touch(at("Sites/d3/after"));
    touch(at("Sites/.ds_store"));  // differs in case: kept
    makeDir(at(".Trash"));
    makeDir(at(".TL_VS_W"));
    makeDir(at(".pellora-tmp-top"));
    useList({"~/Sites", "~/.Trash", "~/.TL_VS_W", "~/.pellora-tmp-top"});
    build();

    Paths expected = {"~/Sites/", "~/Sites/.ds_store", "~/Sites/d3/after"};
    for (int i = 0; i < 6; ++i) {
        expected.push_back("~/Sites/d" + std::to_string(i) + "/");
        expected.push_back("~/Sites/d" + std::to_string(i) + "/f");
    }
    EXPECT_EQ(sorted(flatten(tree())), sorted(expected));

    // Appearing later changes nothing either.
    ageAll(home.path());
    touch(at("Sites/d5/.DS_Store"));
    touch(at("Sites/d5/.pellora-tmp-9"));
    makeDir(at("Sites/d5/.Trashes"));
    setTime(at("Sites/d5"), kThen + 5);
    update(kThen);
    expectReports({}, {}, {});
    EXPECT_EQ(sorted(flatten(tree())), sorted(expected));
}

TEST_F(ItemTree, LinksAreFilesAndNeverFollowed) {
    makeDir(at("Sites"));
    makeDir(at("Sites/real"));
    touch(at("Sites/real/f"));
    makeDir(at("elsewhere"));
    touch(at("elsewhere/secret"));
    ASSERT_EQ(symlink(at("elsewhere").c_str(), at("Sites/out").c_str()), 0);
    ASSERT_EQ(symlink("real", at("Sites/in").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", at("Sites/dangling").c_str()), 0);
    ASSERT_EQ(symlink(at("elsewhere").c_str(), at("top").c_str()), 0);
    useList({"~/Sites", "~/top"});
    build();
    EXPECT_EQ(sorted(flatten(tree())),
              sorted({"~/Sites/", "~/Sites/dangling", "~/Sites/in", "~/Sites/out", "~/Sites/real/",
                      "~/Sites/real/f", "~/top"}));

    // The scan sees the links as the build did: no change, whatever the targets do.
    ageAll(home.path());
    touch(at("elsewhere/more"));
    update(kThen);
    expectReports({}, {}, {});
}

// --- Updating -----------------------------------------------------------------------------

TEST_F(ItemTree, ChangedMeansStrictlyLaterThanTheReferenceTime) {
    makeDir(at("Sites"));
    makeDir(at("Sites/sub"));
    makeDir(at("Sites/sub/deeper"));
    touch(at("Sites/sub/deeper/page"));
    touch(at("Sites/a"));
    touch(at("notes"));
    useList({"~/Sites", "~/notes"});
    build();
    ageAll(home.path());

    update(kThen);
    expectReports({}, {}, {});
    update(kThen - 1);
    expectReports({"~/Sites/a", "~/Sites/sub/deeper/page", "~/notes"}, {}, {});

    // Known folders are walked whatever their own times say.
    setTime(at("Sites/sub/deeper/page"), kThen + 1);
    update(kThen);
    expectReports({"~/Sites/sub/deeper/page"}, {}, {});
}

TEST_F(ItemTree, DeletionsShowOnlyWhereTheFolderTimeIsLater) {
    makeDir(at("Sites"));
    touch(at("Sites/keep"));
    touch(at("Sites/gone"));
    makeDir(at("Sites/folder"));
    touch(at("Sites/folder/inner"));
    useList({"~/Sites"});
    build();

    ASSERT_EQ(unlink(at("Sites/gone").c_str()), 0);
    ASSERT_EQ(unlink(at("Sites/folder/inner").c_str()), 0);
    ASSERT_EQ(rmdir(at("Sites/folder").c_str()), 0);
    setTime(at("Sites/keep"), kThen);
    setTime(at("Sites"), kThen);
    update(kThen);
    expectReports({}, {}, {});
    EXPECT_EQ(flatten(tree()), (Paths{"~/Sites/", "~/Sites/folder/", "~/Sites/folder/inner",
                                      "~/Sites/gone", "~/Sites/keep"}));

    setTime(at("Sites"), kThen + 1);
    update(kThen);
    expectReports({}, {}, {"~/Sites/folder", "~/Sites/gone"});
    EXPECT_EQ(flatten(tree()), (Paths{"~/Sites/", "~/Sites/keep"}));
    update(kThen);
    expectReports({}, {}, {});
}

TEST_F(ItemTree, NewEntriesAreAddedOnceAndNewFoldersAsOnePath) {
    makeDir(at("Sites"));
    makeDir(at("Sites/sub"));
    useList({"~/Sites"});
    build();
    ageAll(home.path());

    makeDir(at("Sites/sub/batch"));
    makeDir(at("Sites/sub/batch/inner"));
    touch(at("Sites/sub/batch/inner/x"));
    for (int i = 0; i < 5; ++i) touch(at("Sites/sub/batch/f" + std::to_string(i)));
    touch(at("Sites/new"));
    // New entries are found even where folder times are old.
    setTime(at("Sites"), kThen);
    setTime(at("Sites/sub"), kThen);
    update(kThen);
    // Nothing inside the new folder is reported on its own.
    expectReports({}, {"~/Sites/new", "~/Sites/sub/batch"}, {});

    const KTLTreeNode* sub = KTLSyncController::findChildNamed(
        "sub/", KTLSyncController::findChildNamed("~/Sites/", tree()));
    ASSERT_NE(sub, nullptr);
    const KTLTreeNode* batch = KTLSyncController::findChildNamed("batch/", sub);
    ASSERT_NE(batch, nullptr);
    EXPECT_EQ(batch->childCount(), 6u);
    EXPECT_NE(
        KTLSyncController::findChildNamed("x", KTLSyncController::findChildNamed("inner/", batch)),
        nullptr);

    ageAll(home.path());
    update(kThen);
    expectReports({}, {}, {});
}

TEST_F(ItemTree, TypeChangesAreDeletedAndAdded) {
    touch(at("thing"));
    makeDir(at("Sites"));
    touch(at("Sites/x"));
    useList({"~/thing", "~/Sites"});
    build();
    ageAll(home.path());

    ASSERT_EQ(unlink(at("thing").c_str()), 0);
    makeDir(at("thing"));
    touch(at("thing/inside"));
    ASSERT_EQ(unlink(at("Sites/x").c_str()), 0);
    makeDir(at("Sites/x"));
    setTime(at("Sites"), kThen + 1);
    update(kThen);
    expectReports({}, {"~/thing", "~/Sites/x"}, {"~/thing", "~/Sites/x"});
    EXPECT_EQ(flatten(tree()), (Paths{"~/Sites/", "~/Sites/x/", "~/thing/", "~/thing/inside"}));

    // Gone: reported once, and no node of either type is left behind.
    ASSERT_EQ(unlink(at("thing/inside").c_str()), 0);
    ASSERT_EQ(rmdir(at("thing").c_str()), 0);
    ageAll(home.path());
    update(kThen);
    expectReports({}, {}, {"~/thing"});
    update(kThen);
    expectReports({}, {}, {});
    EXPECT_EQ(flatten(tree()), (Paths{"~/Sites/", "~/Sites/x/"}));
}

TEST_F(ItemTree, MissingItemsAppearAndDisappear) {
    touch(at("file"));
    makeDir(at("folder"));
    touch(at("folder/f"));
    useList({"~/Later", "~/file", "~/folder"});
    build();
    EXPECT_EQ(flatten(tree()), (Paths{"~/file", "~/folder/", "~/folder/f"}));
    ageAll(home.path());

    makeDir(at("Later"));
    touch(at("Later/page"));
    update(kThen);
    expectReports({}, {"~/Later"}, {});
    EXPECT_EQ(flatten(tree()),
              (Paths{"~/Later/", "~/Later/page", "~/file", "~/folder/", "~/folder/f"}));
}

TEST_F(ItemTree, AnEntryListedTwiceIsReportedOnce) {
    touch(at("file"));
    useList({"~/new", "~/file", "~/new", "~/file"});
    build();
    ageAll(home.path());

    makeDir(at("new"));
    ASSERT_EQ(unlink(at("file").c_str()), 0);
    update(kThen);
    expectReports({}, {"~/new"}, {"~/file"});
    EXPECT_EQ(flatten(tree()), (Paths{"~/new/"}));
}

TEST(ItemTreeOrder, MergingManyChildrenGivesTheOrderOfInsertingThemOneByOne) {
    // Existing children, newcomers in no order, and names on both sides (told apart below by
    // where each node came from).
    const Paths existing = {"b", "d/", "f", "f"};
    const Paths newcomers = {"z", "a", "f", "d/", "c", "a", "0", "f/"};
    KTLTreeNode merged, inserted;
    std::vector<std::unique_ptr<KTLTreeNode>> batch;
    std::vector<const KTLTreeNode*> oldNodes;
    for (const auto& name : existing) {
        oldNodes.push_back(merged.appendChild(leaf(name)));
        inserted.appendChild(leaf(name));
    }
    for (const auto& name : newcomers) {
        batch.push_back(leaf(name));
        inserted.insertChildSorted(leaf(name));
    }
    merged.mergeChildren(std::move(batch));

    EXPECT_EQ(flatten(&merged), flatten(&inserted));
    // Equal names: the ones already there come first, like an insertion after them.
    EXPECT_EQ(merged.childAtIndex(5), oldNodes[1]);
    EXPECT_EQ(merged.childAtIndex(7), oldNodes[2]);
    EXPECT_EQ(merged.childAtIndex(8), oldNodes[3]);
    for (const auto& child : merged.children()) EXPECT_EQ(child->parent(), &merged);
}
