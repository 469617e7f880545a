// A drive prepared by someone else, run through the headless runner: broken or hostile
// configuration files and links planted where the run's folders should be (hostile sync-list
// entries are the engine's tests' to check). Each run ends on its own, refuses what is
// unsound, never follows a link, and never touches the sentinel trees around everything it may
// use: beside the listed item, elsewhere in the home, beside the drive and on the drive outside
// its sync folder.

#include <filesystem>

#include "Reliability.h"

namespace {

enum class Expect { Refused, RefusedOrUsed, FailsAtItsFolders, FailsForTheItem, Completes };

class HostileDrive : public testing::Test {
  protected:
    Scene s{"HOSTILE000000000001-0"};
    const std::string roots[4] = {s.mac("docs-sibling"), s.mac("elsewhere/deep"),
                                  s.top + "/beside-drive", s.drive + "/not-synced"};
    std::vector<TreeSnapshot> sentinelsBefore;

    void SetUp() override {
        for (const std::string& root : roots)
            ASSERT_TRUE(putFile(root + "/secret.txt", "sentinel", nowNs() - 3600 * kSecondNs) &&
                        putFile(root + "/nested/deep.txt", "sentinel, nested"));
        sentinelsBefore = sentinels();
        reset();
    }
    std::vector<TreeSnapshot> sentinels() const {
        return {snapshotTree(roots[0]), snapshotTree(roots[1]), snapshotTree(roots[2]),
                snapshotTree(roots[3])};
    }
    // Both sides as a fresh drive finds them; the sentinels are left alone.
    void reset() {
        std::error_code ignored;
        for (const std::string& p :
             {s.target(), s.home + "/.TL_VS_W", s.mac("docs"), s.home + "/~", s.configPath()})
            std::filesystem::remove_all(p, ignored);
        const int64_t t0 = nowNs() - 3600 * kSecondNs;
        ASSERT_TRUE(putFile(s.mac("docs/a.txt"), "listed item", t0) &&
                    putFile(s.mac("docs/inner/b.txt"), "listed item, inner", t0) &&
                    s.configure({"~/docs"}));
    }

    // One run, ended by itself without a crash, a hang or a sanitizer's report, the sentinels
    // and the file system's root as they were, and the outcome expected.
    void check(Expect expect, const QByteArray& config = {}) {
        const TreeSnapshot docsBefore = snapshotTree(s.mac("docs"));
        const HeadlessRun r = runHeadless(s.drive);
        EXPECT_TRUE(r.exitedWith(0) || r.exitedWith(1)) << r.exitStatus << "\n" << r.output;
        EXPECT_FALSE(r.says("ERROR: AddressSanitizer") || r.says("runtime error:") ||
                     r.says("WARNING: ThreadSanitizer"))
            << r.output;
        EXPECT_TRUE(sentinels() == sentinelsBefore);
        for (const std::string& at : {std::string(), s.home})
            EXPECT_FALSE(pathExists(at + "/~") || pathExists(at + "/TL_VS_W")) << at;
        const bool refused = r.exitedWith(1) && r.says("is not a prepared drive");
        if (expect == Expect::Refused || expect == Expect::RefusedOrUsed) {
            EXPECT_TRUE(refused || (expect == Expect::RefusedOrUsed &&
                                    (r.exitedWith(0) || r.says("Skipping"))))
                << r.output;
            // Refused: nothing made on the drive, the file kept as it was.
            EXPECT_TRUE(!refused ||
                        (!pathExists(s.target()) && readFile(s.configPath()) == config));
        } else if (expect == Expect::Completes) {
            EXPECT_TRUE(r.exitedWith(0)) << r.output;
            EXPECT_EQ(readFile(s.onDrive("docs/inner/b.txt")), "listed item, inner");
        } else {
            // Where the home holds a folder, a link can't be synced with it.
            EXPECT_TRUE(expect == Expect::FailsAtItsFolders ||
                        r.says("is a folder on one side and not on the other"))
                << r.output;
            EXPECT_TRUE(r.exitedWith(1) && r.says("did not complete successfully.")) << r.output;
            EXPECT_EQ(describeDifferences(docsBefore, snapshotTree(s.mac("docs"))), "");
        }
    }
    QByteArray xml(const QVariant& items, const QVariant& identifier) const {
        return writePropertyListXML(
            QVariantMap{{"tapline-items-to-sync", items}, {"tapline-uuid", identifier}});
    }
};

// A binary configuration written by hand, for strings that hold NUL: {list: [entry], uuid}.
QByteArray binaryConfig(const std::string& entry, const std::string& identifier) {
    auto string = [](const std::string& text) {
        QByteArray o(1, char(0x50 | std::min<size_t>(text.size(), 15)));
        if (text.size() >= 15) o += QByteArray("\x10") + char(text.size());
        return o + QByteArray::fromStdString(text);
    };
    const QByteArray objects[] = {QByteArray("\xD2\x01\x02\x03\x05", 5),
                                  string("tapline-items-to-sync"),
                                  string("tapline-uuid"),
                                  QByteArray("\xA1\x04", 2),
                                  string(entry),
                                  string(identifier)};
    QByteArray out("bplist00"), offsets;
    for (const QByteArray& o : objects) offsets += char(out.size()), out += o;
    const int table = out.size();
    out += offsets + QByteArray(6, '\0') + "\x01\x01" + QByteArray(7, '\0') + char(6) +
           QByteArray(8, '\0');
    return out + QByteArray(7, '\0') + char(table);
}

TEST_F(HostileDrive, BrokenOrHostileConfigurationsAreRefusedAndTouchNothing) {
    const QVariant list = QVariantList{QStringLiteral("~/docs")};
    std::vector<std::tuple<std::string, QByteArray, Expect>> cases = {
        // The identifier would be read short of its NUL; an entry's NUL could stand for a slash.
        {"identifier with NUL", binaryConfig("~/docs", std::string("ab\0cd", 5)), Expect::Refused},
        {"identifier \"..\" and a NUL", binaryConfig("~/docs", std::string("..\0cd", 5)),
         Expect::Refused},
        {"entry with NUL",
         binaryConfig(std::string("~/docs\0/../../beside-drive", 26), s.id.toStdString()),
         Expect::RefusedOrUsed},
        // The sound file is used, in both forms: the refusals are the files' doing.
        {"sound XML", xml(list, s.id), Expect::Completes},
        {"sound binary", binaryConfig("~/docs", s.id.toStdString()), Expect::Completes},
    };
    // Hostile identifiers name folders that are made and removed.
    for (const char* hostile : {"", "/", ".", "..", "../x", "a/.."})
        cases.push_back({"identifier \"" + std::string(hostile) + "\"",
                         xml(list, QString::fromUtf8(hostile)), Expect::Refused});
    for (const auto& [name, bytes, expect] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(writeFile(s.configPath(), bytes));
        check(expect, bytes);
        reset();
    }
}

// Links at and below the drive's sync folder and the staging folders, pointing out of the
// drive, at the root, at the home or back into the drive: the run never follows one. A link
// that is part of the user's data travels as a link.
TEST_F(HostileDrive, NoLinkIsFollowedOutOfTheDriveOrTheHome) {
    const std::string beside = s.top + "/beside-drive", homeSentinel = s.mac("elsewhere/deep");
    const std::string target = s.target(), id = s.id.toStdString(), home = s.home;
    // Link target, link, and the target a link read back must have, when it is to travel.
    struct Link {
        std::string to, at, travelsTo = {};
    };
    std::vector<std::tuple<std::string, std::vector<Link>, Expect>> cases = {
        {"drive staging folder to the home's sentinel",
         {{homeSentinel, target + "/TL_VS_W/" + id}},
         Expect::FailsAtItsFolders},
        // Links inside an item's copy are the item's data, whoever put them there.
        {"item's copy a link to a sentinel",
         {{beside, s.onDrive("docs")}},
         Expect::FailsForTheItem},
        {"folder in the item's copy a link",
         {{beside + "/nested", s.onDrive("docs/inner")}},
         Expect::FailsForTheItem},
        // A file and a link are synced by date like two files; the newer link wins here.
        {"file in the item's copy a link",
         {{beside + "/secret.txt", s.onDrive("docs/a.txt"), s.mac("docs/a.txt")}},
         Expect::Completes},
        {"links only on the drive, to a sentinel, / and a loop",
         {{beside, s.onDrive("docs/planted"), s.mac("docs/planted")},
          {"/", s.onDrive("docs/root"), s.mac("docs/root")},
          {target, s.onDrive("docs/loop"), s.mac("docs/loop")}},
         Expect::Completes},
        {"links in the home's item, to a sentinel, the home and a loop",
         {{homeSentinel, s.mac("docs/out"), s.onDrive("docs/out")},
          {home, s.mac("docs/inner/home"), s.onDrive("docs/inner/home")},
          {s.mac("docs"), s.mac("docs/self"), s.onDrive("docs/self")}},
         Expect::Completes},
    };
    for (const std::string& to : {beside, std::string("/"), home})
        cases.push_back({"sync folder to " + to, {{to, target}}, Expect::FailsAtItsFolders});
    for (const auto& [name, links, expect] : cases) {
        SCOPED_TRACE(name);
        for (const Link& l : links) {
            makeFolders(l.at.substr(0, l.at.rfind('/')));
            if (l.to.rfind(target, 0) == 0) makeFolders(l.to);
            std::filesystem::remove(l.at);
            ASSERT_EQ(symlink(l.to.c_str(), l.at.c_str()), 0) << l.at;
        }
        check(expect);
        for (const Link& l : links)
            EXPECT_TRUE(l.travelsTo.empty() ||
                        std::filesystem::read_symlink(l.travelsTo).string() == l.to)
                << l.travelsTo;
        reset();
    }
}

}  // namespace
