#pragma once

// The two trees a kill campaign works on (a temporary home and a drive folder), the states it
// compares and the checks made after each kill.

#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>

#include <QHashFunctions>
#include <QStringList>
#include <QVariant>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "FakeMountTable.h"
#include "InMemoryTemporaryFolder.h"
#include "KillRunner.h"
#include "PropertyList.h"
#include "SampleTree.h"
#include "TempDir.h"
#include "TreeSnapshot.h"

namespace kill_campaign {

const std::string kDriveId = "CRASHTEST0000000001-0";

inline int64_t nowNs() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

inline bool startsWithAny(const std::string& path, const std::vector<std::string>& prefixes) {
    for (const std::string& p : prefixes)
        if (path == p || path.rfind(p + "/", 0) == 0) return true;
    return false;
}

inline bool hasTemporaryComponent(const std::string& path) {
    return path.rfind(".pellora-tmp-", 0) == 0 || path.find("/.pellora-tmp-") != std::string::npos;
}

// A side's tree without what the comparison leaves out, file contents reduced to a digest so
// that a few snapshots fit in memory. Folder times are left out: made anew by every run.
inline TreeSnapshot digestOf(const std::string& root, const std::vector<std::string>& leaveOut) {
    TreeSnapshot out;
    for (auto& [path, item] : snapshotTree(root, false)) {
        if (startsWithAny(path, leaveOut)) continue;
        // A fast hash is enough: the states compared are the test's own, not chosen to collide.
        if (S_ISREG(item.type)) item.contents = QByteArray::number(qHash(item.contents, 1), 16);
        out.emplace(path, std::move(item));
    }
    return out;
}

struct State {
    TreeSnapshot mac, drive;
    // The drive's sync list as its configuration file holds it; "<unreadable>" when it can't be
    // read.
    QStringList list;
};

class Scenario {
  public:
    // A kill takes the process, not the page cache, so the trees may live in memory: there the
    // flushes cost nothing and restoring the start state for every round stays cheap.
    InMemoryTemporaryFolder inMemory;
    TempDir root;
    TestHome home;  // HOME and the XDG folders, which the runner inherits
    FakeMountTable mounts{root / "mountinfo"};
    std::string drive;
    std::mt19937 rng{20240611};
    // Changed files get dates an hour ahead, well clear of every run's own time.
    int64_t later = (nowNs() / 1000000000 + 3600) * 1000000000 + 123456789;

    Scenario() {
        drive = makeFolder(root / "drive");
        mounts.add(drive, "/dev/sdz1");
    }

    std::string mac(const std::string& rel) const { return home.path() + "/" + rel; }
    std::string onDrive(const std::string& rel) const { return drive + "/Tolvex/~/" + rel; }
    std::string driveStaging() const { return drive + "/Tolvex/TL_VS_W/" + kDriveId; }
    std::string macStaging() const { return home.path() + "/.TL_VS_W/" + kDriveId; }
    std::string configPath() const { return drive + "/.TolvexConfig"; }
    int64_t next() { return later += 1000000007; }

    QByteArray randomBytes(int size) {
        QByteArray data(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) data[i] = char(rng());
        return data;
    }
    int smallSize() { return 256 + int(rng() % (6 * 1024)); }
    void put(const std::string& path, const QByteArray& data, int64_t mtimeNs = 0) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        ASSERT_TRUE(writeFile(path, data)) << path;
        if (mtimeNs) {
            ASSERT_TRUE(setModificationTime(path, mtimeNs)) << path;
        }
    }

    void writeConfig(const QStringList& items) {
        std::string list;
        for (const QString& item : items) list += "<string>" + item.toStdString() + "</string>";
        const std::string text =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<plist version=\"1.0\"><dict>"
            "<key>tapline-items-to-sync</key><array>" +
            list + "</array><key>tapline-uuid</key><string>" + kDriveId +
            "</string></dict></plist>\n";
        ASSERT_TRUE(writeFile(configPath(), QByteArray::fromStdString(text)));
    }

    QStringList storedList() const {
        bool ok = false;
        const QByteArray bytes = readFile(configPath(), &ok);
        std::optional<QVariant> value = ok ? readPropertyList(bytes) : std::nullopt;
        if (!value || value->toMap().value(QStringLiteral("tapline-uuid")).toString() !=
                          QString::fromStdString(kDriveId))
            return {QStringLiteral("<unreadable>")};
        return value->toMap().value(QStringLiteral("tapline-items-to-sync")).toStringList();
    }

    // The items every kind starts from, in sync on both sides after a first sync: a few
    // thousand small files in folders, some larger ones, a note and two more folders.
    void buildSynchronized() {
        writeConfig({"~/corpus", "~/notes.txt", "~/archive", "~/photos"});
        for (int i = 0; i < 1600; ++i) {
            const std::string folder =
                "corpus/dir" + std::to_string(i % 16) + (i % 3 == 0 ? "/inner/" : "/");
            put(mac(folder + "file" + std::to_string(i) + ".dat"), randomBytes(smallSize()));
        }
        for (int i = 0; i < 3; ++i)
            put(mac("corpus/big/big" + std::to_string(i) + ".bin"),
                patterned((i + 1) << 19, char('a' + i)));
        for (int i = 0; i < 300; ++i)
            put(mac("archive/y" + std::to_string(i % 6) + "/a" + std::to_string(i)),
                randomBytes(smallSize()));
        for (int i = 0; i < 2; ++i)
            put(mac("photos/p" + std::to_string(i) + ".raw"), patterned(1 << 20, char('p' + i)));
        put(mac("notes.txt"), "first notes\n");
        const RunnerRun first = runRunner(drive, {"--conflict", "1", "--missing", "1"});
        ASSERT_EQ(first.exitStatus, 0) << first.output;
    }

    // Changes on both sides for a two-way sync: new files and folders on each side, files
    // changed on one side or on both, large copies in each direction.
    void changeBothSides() {
        for (int i = 0; i < 60; ++i) {
            const std::string folder = "corpus/dir" + std::to_string(i % 16) + "/";
            put(mac(folder + "mac-only" + std::to_string(i) + ".dat"), randomBytes(smallSize()));
            put(onDrive(folder + "drive-only" + std::to_string(i) + ".dat"),
                randomBytes(smallSize()));
        }
        for (int i = 0; i < 40; ++i) {
            put(mac("corpus/new-on-mac/n" + std::to_string(i)), randomBytes(smallSize()));
            put(onDrive("corpus/new-on-drive/n" + std::to_string(i)), randomBytes(smallSize()));
            put(onDrive("archive/y9/a" + std::to_string(i)), randomBytes(smallSize()));
        }
        put(mac("corpus/new-on-mac/large.bin"), patterned(2 << 20, 'm'));
        put(onDrive("corpus/new-on-drive/large.bin"), patterned(1 << 20, 'd'));
        // Files 0..149 changed on the Mac, 150..299 on the drive, 300..339 on both.
        for (int i = 0; i < 340; ++i) {
            const std::string rel = "corpus/dir" + std::to_string(i % 16) +
                                    (i % 3 == 0 ? "/inner/" : "/") + "file" + std::to_string(i) +
                                    ".dat";
            if (i < 150 || i >= 300) put(mac(rel), randomBytes(smallSize()), next());
            if (i >= 150) put(onDrive(rel), randomBytes(smallSize()), next());
            if (i >= 300 && i % 2) put(mac(rel), randomBytes(smallSize()), next());
        }
        put(mac("corpus/big/big0.bin"), patterned(2 << 20, 'M'), next());
        put(onDrive("corpus/big/big1.bin"), patterned(2 << 20, 'D'), next());
        put(onDrive("photos/p1.raw"), patterned(1 << 20, 'E'), next());
        put(onDrive("notes.txt"), "notes changed on the drive\n", next());
    }

    // Changes on the computer for a continuous-sync pass: changed, added and deleted files, a
    // deleted folder, a new folder, a file turned folder and a changed large file. The same
    // every time it is called. Folders that gained or lost entries are dated later too.
    void changeComputer() {
        std::mt19937 own(77);
        auto bytes = [&own](int size) {
            QByteArray data(size, Qt::Uninitialized);
            for (int i = 0; i < size; ++i) data[i] = char(own());
            return data;
        };
        int64_t t = later + 7 * 1000000000LL;
        auto stamp = [&t] { return t += 1000000007; };
        auto corpusFile = [](int i) {
            return "corpus/dir" + std::to_string(i % 16) + (i % 3 == 0 ? "/inner/" : "/") + "file" +
                   std::to_string(i) + ".dat";
        };
        for (int i = 0; i < 1200; i += 5)
            put(mac(corpusFile(i)), bytes(256 + int(own() % 6000)), stamp());
        for (int i = 0; i < 120; ++i)
            put(mac("corpus/dir" + std::to_string(i % 16) + "/added" + std::to_string(i)),
                bytes(256 + int(own() % 6000)), stamp());
        for (int i = 0; i < 150; ++i)
            put(mac("corpus/fresh/sub" + std::to_string(i % 5) + "/f" + std::to_string(i)),
                bytes(256 + int(own() % 6000)), stamp());
        for (int i = 1; i < 1600; i += 37) ASSERT_EQ(unlink(mac(corpusFile(i)).c_str()), 0) << i;
        ASSERT_TRUE(runCommand({"rm", "-rf", mac("archive/y3")}));
        ASSERT_EQ(unlink(mac("corpus/dir5/file5.dat").c_str()), 0);
        put(mac("corpus/dir5/file5.dat/now-a-folder.txt"), bytes(300), stamp());
        put(mac("corpus/big/big2.bin"), patterned(2 << 20, 'C'), stamp());
        put(mac("notes.txt"), "notes changed on the computer\n", stamp());
        for (const char* folder : {"corpus", "archive", "corpus/fresh"}) {
            ASSERT_TRUE(setModificationTime(mac(folder), stamp()));
        }
        for (int d = 0; d < 16; ++d) {
            const std::string dir = "corpus/dir" + std::to_string(d);
            ASSERT_TRUE(setModificationTime(mac(dir), stamp()));
            ASSERT_TRUE(setModificationTime(mac(dir + "/inner"), stamp()));
        }
    }

    State state() const {
        return {digestOf(home.path(), {".config", ".local", ".cache", ".TL_VS_W"}),
                digestOf(drive, {".TolvexConfig", "Tolvex/TL_VS_W"}), storedList()};
    }

    // Both trees copied aside, and back.
    void save(const std::string& to) {
        ASSERT_TRUE(runCommand({"rm", "-rf", to}));
        ASSERT_EQ(mkdir(to.c_str(), 0700), 0);
        ASSERT_TRUE(runCommand({"cp", "-a", home.path(), to + "/home"}));
        ASSERT_TRUE(runCommand({"cp", "-a", drive, to + "/drive"}));
    }
    // Only the items on the computer, and back: the preferences stay as a run left them.
    void restoreComputerItems(const std::string& from) {
        for (const char* item : {"corpus", "notes.txt", "archive", "photos"}) {
            ASSERT_TRUE(runCommand({"rm", "-rf", mac(item)}));
            if (pathExists(from + "/home/" + item)) {
                ASSERT_TRUE(runCommand({"cp", "-a", from + "/home/" + item, mac(item)}));
            }
        }
    }
    void restore(const std::string& from) {
        DIR* dir = opendir(home.path().c_str());
        ASSERT_NE(dir, nullptr);
        std::vector<std::string> entries;
        while (struct dirent* e = readdir(dir))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                entries.push_back(home.path() + "/" + e->d_name);
        closedir(dir);
        std::vector<std::string> remove = {"rm", "-rf", drive};
        remove.insert(remove.end(), entries.begin(), entries.end());
        ASSERT_TRUE(runCommand(remove));
        ASSERT_TRUE(runCommand({"cp", "-a", from + "/home/.", home.path()}));
        ASSERT_TRUE(runCommand({"cp", "-a", from + "/drive", drive}));
    }
};

// Every staged file under a real name already holds the contents it will have in place.
inline std::string checkStaged(const std::string& staging, const TreeSnapshot& end,
                               const std::string& finalPrefix, const std::string& side) {
    std::string faults;
    if (!pathExists(staging)) return faults;
    for (const auto& [path, item] : digestOf(staging, {})) {
        // The run's record of its decisions lies beside the staged copies.
        if (!S_ISREG(item.type) || hasTemporaryComponent(path) || path == ".pellora-staging-record")
            continue;
        auto e = end.find(finalPrefix + path.substr(2));  // below "~/"
        if (e == end.end() || e->second.contents != item.contents)
            faults += side + " staged '" + path + "' is not the copy it should be\n";
    }
    return faults;
}

// Every real file of `now` holds either its content of `start` or of `end`, and nothing that
// both of them hold was lost. Gives the faults found.
inline std::string checkWhole(const TreeSnapshot& now, const TreeSnapshot& start,
                              const TreeSnapshot& end, const std::string& side) {
    std::string faults;
    for (const auto& [path, item] : now) {
        if (!S_ISREG(item.type) || hasTemporaryComponent(path)) continue;
        auto s = start.find(path);
        auto e = end.find(path);
        const bool asBefore = s != start.end() && s->second.contents == item.contents;
        const bool asAfter = e != end.end() && e->second.contents == item.contents;
        if (!asBefore && !asAfter)
            faults += side + " '" + path + "' holds neither its old nor its new contents\n";
    }
    for (const auto& [path, item] : start) {
        auto e = end.find(path);
        if (S_ISREG(item.type) && e != end.end() && S_ISREG(e->second.type) && !now.count(path))
            faults += side + " '" + path + "' is gone\n";
    }
    return faults;
}

// The whole-file checks of both sides and the configuration's list (old or new).
inline std::string checkCut(const State& now, const State& start, const State& end) {
    std::string faults = checkWhole(now.mac, start.mac, end.mac, "Mac") +
                         checkWhole(now.drive, start.drive, end.drive, "drive");
    if (now.list != start.list && now.list != end.list)
        faults += "the configuration's list is neither the old nor the new one: " +
                  now.list.join(u',').toStdString() + "\n";
    return faults;
}

// What differs between the state reached and the state expected, empty when nothing does.
inline std::string differencesFrom(const State& expected, const State& actual) {
    std::string out = describeDifferences(expected.mac, actual.mac) +
                      describeDifferences(expected.drive, actual.drive);
    if (expected.list != actual.list) out += "list: " + actual.list.join(u',').toStdString() + "\n";
    return out;
}

// The seed of a campaign's delays: PELLORA_KILL_SEED repeats a run's.
inline unsigned campaignSeed() {
    const char* fixed = getenv("PELLORA_KILL_SEED");
    return fixed ? unsigned(strtoul(fixed, nullptr, 10)) : unsigned(std::random_device{}());
}

}  // namespace kill_campaign
