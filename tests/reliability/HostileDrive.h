#pragma once

// A drive prepared by someone else, run through the headless runner, with sentinel trees
// around everything the run may use: beside the listed item, elsewhere in the home, beside the
// drive and on the drive outside its sync folder. Whatever the drive holds, the sentinels are
// never opened, read, written or removed.

#include <dirent.h>

#include <set>

#include "EngineFixture.h"
#include "FolderWatch.h"
#include "HeadlessRunner.h"

class HostileDrive : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        const int64_t t0 = nowNs() - 3600 * kSecondNs;
        put(mac("docs/a.txt"), "listed item", t0);
        put(mac("docs/inner/b.txt"), "listed item, inner", t0);
        for (const std::string& root : sentinelRoots()) {
            put(root + "/secret.txt", "sentinel", t0);
            put(root + "/nested/deep.txt", "sentinel, nested", t0);
        }
        sentinelsBefore = sentinels();
        rootEntriesBefore = entriesOf("/");
    }

    std::vector<std::string> sentinelRoots() const {
        return {mac("docs-sibling"), mac("elsewhere/deep"), top + "/beside-drive",
                drive + "/not-synced"};
    }

    std::map<std::string, TreeSnapshot> sentinels() const {
        std::map<std::string, TreeSnapshot> out;
        for (const std::string& root : sentinelRoots()) out[root] = snapshotTree(root);
        return out;
    }

    // Watches start after our own snapshots, and end before the next ones.
    void watchSentinels() {
        watch = std::make_unique<FolderWatch>();
        for (const std::string& root : sentinelRoots()) watch->add(root);
        ASSERT_TRUE(watch->ok()) << watch->failure();
    }

    // What happened to the sentinels during the run; empty when nothing did.
    std::string sentinelEvents() { return watch ? watch->drain() : std::string(); }

    // The sentinels as they were at the start, and nothing new at the file system's root.
    void expectSentinelsUntouched() {
        watch.reset();
        const auto now = sentinels();
        for (const auto& [root, before] : sentinelsBefore)
            EXPECT_EQ(differences(before, now.at(root)), "") << root;
        EXPECT_EQ(entriesOf("/"), rootEntriesBefore);
    }

    // One run of the runner; copies win by date and items missing on one side are copied.
    HeadlessRun run(double timeout = 60) {
        return runHeadless(drive, {"--conflict", "1", "--missing", "1"}, timeout);
    }

    static std::set<std::string> entriesOf(const std::string& folder) {
        std::set<std::string> out;
        if (DIR* dir = opendir(folder.c_str())) {
            while (struct dirent* e = readdir(dir)) out.insert(e->d_name);
            closedir(dir);
        }
        return out;
    }

    // Ended by itself, without a crash, a hang or a sanitizer's report.
    static void expectCleanEnd(const HeadlessRun& r) {
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << r.output;
        EXPECT_EQ(r.signal, 0) << r.output;
        EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == 1) << r.exitStatus << "\n" << r.output;
        EXPECT_FALSE(r.says("ERROR: AddressSanitizer") || r.says("runtime error:") ||
                     r.says("WARNING: ThreadSanitizer"))
            << r.output;
    }

    // The run's end and its last lines but the closing one, for a reader of the test's output.
    static std::string summary(const HeadlessRun& r) {
        std::string lines;
        size_t end = r.output.size();
        for (int n = 0; n < 3 && end > 0; ++n) {
            const size_t start = r.output.rfind('\n', end - 2);
            const std::string line =
                r.output.substr(start == std::string::npos ? 0 : start + 1,
                                end - (start == std::string::npos ? 0 : start + 1));
            lines = line.substr(0, 160) + (line.size() > 160 ? "...\n" : "") + lines;
            if (start == std::string::npos) break;
            end = start + 1;
        }
        std::string text = "exit " + std::to_string(r.exitStatus) + ": ";
        for (char c : lines) text += c == '\n' ? std::string(" | ") : std::string(1, c);
        return text;
    }

    static std::string completed() { return completedLine().toStdString(); }
    static std::string failed() { return failedLine().toStdString(); }

    std::unique_ptr<FolderWatch> watch;
    std::map<std::string, TreeSnapshot> sentinelsBefore;
    std::set<std::string> rootEntriesBefore;
};
