// Symbolic links planted at and below the drive's sync folder and the staging folders, pointing
// out of the drive, at the file system's root, at the home or back into the drive: the run
// never follows one, and a link that is part of the user's data travels as a link.

#include <filesystem>
#include <functional>

#include "HostileDrive.h"

namespace {

enum class Expect { FailsAtItsFolders, FailsForTheItem, Completes };

struct LinkCase {
    const char* name;
    std::function<void()> plant;
    Expect expect;
    std::function<void(const HeadlessRun&)> more = {};
};

class HostileDriveLinks : public HostileDrive {
  protected:
    void link(const std::string& target, const std::string& at) {
        makeFolders(at.substr(0, at.rfind('/')));
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
    }
    // Both sides as a fresh drive finds them; the sentinels are left alone.
    void reset() {
        std::error_code ignored;
        for (const std::string& p : {target(), home + "/.TL_VS_W", mac("docs"), home + "/~"})
            std::filesystem::remove_all(p, ignored);
        const int64_t t0 = nowNs() - 3600 * kSecondNs;
        put(mac("docs/a.txt"), "listed item", t0);
        put(mac("docs/inner/b.txt"), "listed item, inner", t0);
        writeConfig({QStringLiteral("~/docs")});
    }
    std::string linkTarget(const std::string& path) {
        char buf[4096];
        const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        return n < 0 ? std::string() : std::string(buf, size_t(n));
    }
    std::string sentinel() const { return top + "/beside-drive"; }
    std::string homeSentinel() const { return mac("elsewhere/deep"); }
};

TEST_F(HostileDriveLinks, NoLinkIsFollowedOutOfTheDriveOrTheHome) {
    const std::string idText = id.toStdString();
    const std::vector<LinkCase> cases = {
        {"sync folder to a sentinel", [&] { link(sentinel(), target()); },
         Expect::FailsAtItsFolders},
        {"sync folder to /", [&] { link("/", target()); }, Expect::FailsAtItsFolders},
        {"sync folder to the home", [&] { link(home, target()); }, Expect::FailsAtItsFolders},
        {"home folder of the sync folder to a sentinel", [&] { link(sentinel(), target() + "/~"); },
         Expect::FailsAtItsFolders},
        {"home folder of the sync folder to itself", [&] { link(target(), target() + "/~"); },
         Expect::FailsAtItsFolders},
        {"drive staging parent to a sentinel", [&] { link(sentinel(), target() + "/TL_VS_W"); },
         Expect::FailsAtItsFolders},
        {"drive staging parent to the drive's home folder",
         [&] {
             makeFolders(target() + "/~");
             link(target() + "/~", target() + "/TL_VS_W");
         },
         Expect::FailsAtItsFolders},
        {"drive staging folder to the home's sentinel",
         [&] { link(homeSentinel(), target() + "/TL_VS_W/" + idText); }, Expect::FailsAtItsFolders},
        {"home staging parent to a sentinel", [&] { link(sentinel(), home + "/.TL_VS_W"); },
         Expect::FailsAtItsFolders},
        {"home staging folder to the drive's sync folder",
         [&] {
             makeFolders(target() + "/~");
             link(target(), home + "/.TL_VS_W/" + idText);
         },
         Expect::FailsAtItsFolders},
        {"home staging folder to a sentinel",
         [&] { link(homeSentinel(), home + "/.TL_VS_W/" + idText); }, Expect::FailsAtItsFolders},

        // Links inside an item's copy are the item's data, whoever put them there.
        // Where the home holds a folder, a link can't be synced with it: the run says so.
        {"item's copy a link to a sentinel", [&] { link(sentinel(), onDrive("docs")); },
         Expect::FailsForTheItem},
        {"folder in the item's copy a link to a sentinel",
         [&] { link(sentinel() + "/nested", onDrive("docs/inner")); }, Expect::FailsForTheItem},
        // A file and a link are synced by date like two files; the newer link wins here.
        {"file in the item's copy a link to a sentinel file",
         [&] { link(sentinel() + "/secret.txt", onDrive("docs/a.txt")); }, Expect::Completes,
         [&](const HeadlessRun&) {
             EXPECT_EQ(linkTarget(mac("docs/a.txt")), sentinel() + "/secret.txt");
         }},
        {"links only on the drive, to a sentinel, / and a loop",
         [&] {
             link(sentinel(), onDrive("docs/planted"));
             link("/", onDrive("docs/root"));
             link(target(), onDrive("docs/loop"));
         },
         Expect::Completes,
         [&](const HeadlessRun&) {
             // Brought home as links, as they were.
             EXPECT_EQ(linkTarget(mac("docs/planted")), sentinel());
             EXPECT_EQ(linkTarget(mac("docs/root")), "/");
             EXPECT_EQ(linkTarget(mac("docs/loop")), target());
         }},
        {"links in the home's item, to a sentinel, the home and a loop",
         [&] {
             link(homeSentinel(), mac("docs/out"));
             link(home, mac("docs/inner/home"));
             link(mac("docs"), mac("docs/self"));
         },
         Expect::Completes,
         [&](const HeadlessRun&) {
             EXPECT_EQ(linkTarget(onDrive("docs/out")), homeSentinel());
             EXPECT_EQ(linkTarget(onDrive("docs/inner/home")), home);
             EXPECT_EQ(linkTarget(onDrive("docs/self")), mac("docs"));
         }},
    };

    double slowest = 0;
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        ASSERT_NO_FATAL_FAILURE(c.plant());
        const TreeSnapshot docsBefore = snapshotTree(mac("docs"));
        ASSERT_NO_FATAL_FAILURE(watchSentinels());

        const HeadlessRun r = run(30);

        expectCleanEnd(r);
        EXPECT_EQ(sentinelEvents(), "");
        slowest = std::max(slowest, r.seconds);
        if (getenv("PELLORA_HOSTILE_VERBOSE")) printf("%-55s %s\n", c.name, summary(r).c_str());
        // Nothing of the run behind a link at the root or the home.
        EXPECT_FALSE(pathExists("/~") || pathExists("/TL_VS_W") || pathExists(home + "/~") ||
                     pathExists(home + "/TL_VS_W"));
        switch (c.expect) {
            case Expect::FailsAtItsFolders:
                EXPECT_TRUE(r.exitedWith(1) && r.says(failed())) << r.output;
                EXPECT_EQ(differences(docsBefore, snapshotTree(mac("docs"))), "");
                break;
            case Expect::Completes:
                EXPECT_TRUE(r.exitedWith(0)) << r.output;
                EXPECT_EQ(readFile(onDrive("docs/inner/b.txt")), "listed item, inner");
                break;
            case Expect::FailsForTheItem:
                EXPECT_TRUE(r.exitedWith(1) && r.says(failed())) << r.output;
                EXPECT_TRUE(r.says("is a folder on one side and not on the other")) << r.output;
                EXPECT_EQ(differences(docsBefore, snapshotTree(mac("docs"))), "");
                break;
        }
        if (c.more) c.more(r);
    }
    expectSentinelsUntouched();
    printf("%zu planted links, the slowest run %.2f s\n", cases.size(), slowest);
}

}  // namespace
