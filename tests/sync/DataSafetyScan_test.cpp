// What a run takes for absent, which entries it walks when they nest, what a continuous pass
// records as synchronized, and what is not data.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>

#include "EngineFixture.h"

namespace {

// A chain of folders whose path is far longer than a path may be; made and removed one level
// at a time through descriptors, as no path reaches its bottom. (Long names keep it short:
// thousands of one-letter levels fail the same way, only slowly. It outgrows a path below the
// depth at which the walk holds folders open.)
const std::string kLevel(100, 'd');
constexpr int kLevels = 60;

// Makes (`make`) or removes the chain below `base`, with `file` at its bottom.
void chain(const std::string& base, const char* file, bool make) {
    std::vector<int> fds{open(base.c_str(), O_DIRECTORY | O_CLOEXEC)};
    for (int i = 0; i < kLevels && fds.back() >= 0; ++i) {
        if (make) mkdirat(fds.back(), kLevel.c_str(), 0755);
        fds.push_back(openat(fds.back(), kLevel.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (fds.back() >= 0 && file && make)
        close(openat(fds.back(), file, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    else if (fds.back() >= 0 && file)
        unlinkat(fds.back(), file, 0);
    for (size_t i = fds.size() - 1; i > 0; --i) {
        close(fds[i]);
        if (!make && fds[i - 1] >= 0) unlinkat(fds[i - 1], kLevel.c_str(), AT_REMOVEDIR);
    }
    close(fds[0]);
}

void bindSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    strcpy(address.sun_path, path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

class DataSafetyScan : public EngineTest {
  protected:
    std::unique_ptr<WithoutPermissionOverride> noOverride;
    std::function<void()> cleanUp;

    void SetUp() override {
        EngineTest::SetUp();
        ui->defaultAnswer = 1;  // go on past errors; OK to the closing alert
    }
    void TearDown() override {
        EngineTest::TearDown();
        noOverride.reset();
        if (cleanUp) cleanUp();
    }
    void synced(const QStringList& list, const QString& result = kCompleted) {
        writeConfig(list);
        ASSERT_TRUE(sync(60));
        EXPECT_EQ(ui->countLines(result), 1) << ui->drawer.toStdString();
    }
    // A full sync, continuous sync switched on and a first pass.
    void passing(const QStringList& list) {
        synced(list);
        controller->setContinuousSyncState(true);
        ASSERT_TRUE(pass());
    }
};

TEST_F(DataSafetyScan, DeepChainIsAnErrorNotAbsence) {
    makeFolders(mac("deep"));
    makeFolders(onDrive("deep"));
    chain(mac("deep"), "bottom.txt", true);
    chain(onDrive("deep"), nullptr, true);
    cleanUp = [this] {
        chain(mac("deep"), "bottom.txt", false);
        chain(onDrive("deep"), nullptr, false);
    };
    synced({"~/deep"}, kFailed);
    EXPECT_EQ(ui->countLines(QStringLiteral("File name too long")), 1);
}

TEST_F(DataSafetyScan, UnreadableFolderIsNotEmpty) {
    put(mac("docs/locked/mine.txt"), "mine", t0);
    put(onDrive("docs/locked/mine.txt"), "mine", t0);
    put(onDrive("docs/locked/theirs.txt"), "theirs", t0);
    ASSERT_EQ(chmod(mac("docs/locked").c_str(), 0), 0);
    noOverride = std::make_unique<WithoutPermissionOverride>();
    ui->defaultAnswer = -1;
    synced({"~/docs"}, kFailed);
    EXPECT_EQ(ui->countSheets(FakeSheet::Missing), 0);
    EXPECT_EQ(ui->countLines(QStringLiteral("Permission denied")), 1);
    EXPECT_EQ(readFile(onDrive("docs/locked/theirs.txt")), "theirs");
}

TEST_F(DataSafetyScan, PassKeepsTheCopyOfAnItemItCannotLookAt) {
    noOverride = std::make_unique<WithoutPermissionOverride>();
    put(mac("locked/docs/a.txt"), "alpha", t0);
    put(mac("listed/b.txt"), "bravo", t0);
    put(mac("unlisted/c.txt"), "charlie", t0);
    passing({"~/locked/docs", "~/listed", "~/unlisted"});
    const QDateTime kept = controller->lastSyncTime();
    ASSERT_EQ(chmod(mac("locked").c_str(), 0), 0);
    // One's names can be listed but not looked at, the other's not listed; both are dated
    // later, so the pass looks for deletions in them.
    const struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
    for (const char* folder : {"listed", "unlisted"})
        ASSERT_EQ(utimensat(AT_FDCWD, mac(folder).c_str(), later, 0), 0);
    ASSERT_EQ(chmod(mac("listed").c_str(), 0444), 0);
    ASSERT_EQ(chmod(mac("unlisted").c_str(), 0111), 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(readFile(onDrive("locked/docs/a.txt")), "alpha");
    EXPECT_EQ(readFile(onDrive("listed/b.txt")), "bravo");
    EXPECT_EQ(readFile(onDrive("unlisted/c.txt")), "charlie");
    EXPECT_EQ(controller->lastSyncTime(), kept);
}

TEST_F(DataSafetyScan, SaveInThePassSecondIsCopiedByTheNextPass) {
    put(mac("docs/a.txt"), "alpha", t0);
    synced({"~/docs"});
    controller->setContinuousSyncState(true);
    const int64_t started = nowNs();
    ASSERT_TRUE(pass());
    put(mac("docs/a.txt"), "saved in the same second", started);
    ASSERT_TRUE(pass());
    EXPECT_EQ(readFile(onDrive("docs/a.txt")), "saved in the same second");
}

TEST_F(DataSafetyScan, PassWithACopyErrorKeepsTheLastSyncTime) {
    put(mac("docs/a.txt"), "alpha", t0);
    passing({"~/docs"});
    const QDateTime kept = controller->lastSyncTime();
    ASSERT_EQ(unlink(onDrive("docs/a.txt").c_str()), 0);
    makeFolders(onDrive("docs/a.txt"));
    put(mac("docs/a.txt"), "alpha 2", nowNs() + 5 * kSecondNs);
    ASSERT_TRUE(pass());
    EXPECT_EQ(controller->lastSyncTime(), kept);
}

// Each entry inside another, in any order and however spelled, goes with the outermost.
TEST_F(DataSafetyScan, NestedEntriesSyncInOneRun) {
    put(mac("Sites/index.html"), "index", t0);
    put(mac("Sites/blog/post.txt"), "post", t0);
    synced({"~/Sites/blog", "~", "~/Sites", "~/Sites/"});
    EXPECT_EQ(readFile(onDrive("Sites/blog/post.txt")), "post");
    EXPECT_EQ(readFile(onDrive("Sites/index.html")), "index");
    EXPECT_EQ(ui->countLines(QStringLiteral("Processing")), 1);
}

TEST_F(DataSafetyScan, SocketIsSkippedWithALine) {
    put(mac("docs/a.txt"), "alpha", t0);
    put(onDrive("docs/a.txt"), "alpha", t0);
    bindSocket(mac("docs/listener"));
    synced({"~/docs"});
    EXPECT_EQ(ui->countLines(QStringLiteral("is a socket")), 1);
    EXPECT_TRUE(pathExists(onDrive("docs/a.txt")));
    EXPECT_FALSE(pathExists(onDrive("docs/listener")));
}

}  // namespace
