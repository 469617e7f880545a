// What a run takes for absent, which entries it walks when they nest, what a continuous pass
// records as synchronized, and what is not data: one row per case, each with its set-up, its
// action, the state of both sides after it and the result the run reports.

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

class DataSafetyScan;
enum class Action { Sync, Pass };

struct Row {
    struct {
        const char* name;
        Action action;
        QString result;  // the line the run ends with; empty for a pass
    } head;
    std::function<void(DataSafetyScan&)> setUp, expect;
};

class DataSafetyScan : public EngineTest, public testing::WithParamInterface<Row> {
  public:
    using EngineTest::controller, EngineTest::mac, EngineTest::onDrive, EngineTest::ui,
        EngineTest::pass, EngineTest::t0, EngineTest::writeConfig;
    QDateTime keptTime;
    std::unique_ptr<WithoutPermissionOverride> noOverride;
    std::function<void()> cleanUp;

    void TearDown() override {
        EngineTest::TearDown();
        noOverride.reset();
        if (cleanUp) cleanUp();
    }

    void synced(const QStringList& list) {
        writeConfig(list);
        ASSERT_TRUE(sync());
        ASSERT_EQ(ui->countLines(kCompleted), 1) << ui->drawer.toStdString();
    }
    // A full sync, continuous sync switched on and a first pass.
    void passing(const QStringList& list) {
        synced(list);
        controller->setContinuousSyncState(true);
        ASSERT_TRUE(pass());
    }
};

const Row kRows[] = {
    {{"DeepChainIsAnErrorNotAbsence", Action::Sync, kFailed},
     [](DataSafetyScan& t) {
         makeFolders(t.mac("deep"));
         makeFolders(t.onDrive("deep"));
         chain(t.mac("deep"), "bottom.txt", true);
         chain(t.onDrive("deep"), nullptr, true);
         t.cleanUp = [&t] {
             chain(t.mac("deep"), "bottom.txt", false);
             chain(t.onDrive("deep"), nullptr, false);
         };
         t.writeConfig({"~/deep"});
     },
     [](DataSafetyScan& t) {
         EXPECT_EQ(t.ui->countLines(QStringLiteral("File name too long")), 1);
     }},
    {{"UnreadableFolderIsNotEmpty", Action::Sync, kFailed},
     [](DataSafetyScan& t) {
         put(t.mac("docs/locked/mine.txt"), "mine", t.t0);
         put(t.onDrive("docs/locked/mine.txt"), "mine", t.t0);
         put(t.onDrive("docs/locked/theirs.txt"), "theirs", t.t0);
         ASSERT_EQ(chmod(t.mac("docs/locked").c_str(), 0), 0);
         t.noOverride = std::make_unique<WithoutPermissionOverride>();
         t.ui->defaultAnswer = -1;
         t.writeConfig({"~/docs"});
     },
     [](DataSafetyScan& t) {
         EXPECT_EQ(t.ui->countSheets(FakeSheet::Missing), 0);
         EXPECT_EQ(t.ui->countLines(QStringLiteral("Permission denied")), 1);
         EXPECT_EQ(readFile(t.onDrive("docs/locked/theirs.txt")), "theirs");
     }},
    {{"PassKeepsTheCopyOfAnItemItCannotLookAt", Action::Pass, {}},
     [](DataSafetyScan& t) {
         t.noOverride = std::make_unique<WithoutPermissionOverride>();
         put(t.mac("locked/docs/a.txt"), "alpha", t.t0);
         t.passing({"~/locked/docs"});
         t.keptTime = t.controller->lastSyncTime();
         ASSERT_EQ(chmod(t.mac("locked").c_str(), 0), 0);
     },
     [](DataSafetyScan& t) {
         EXPECT_EQ(readFile(t.onDrive("locked/docs/a.txt")), "alpha");
         EXPECT_EQ(t.controller->lastSyncTime(), t.keptTime);
     }},
    {{"SaveInThePassSecondIsCopiedByTheNextPass", Action::Pass, {}},
     [](DataSafetyScan& t) {
         put(t.mac("docs/a.txt"), "alpha", t.t0);
         t.synced({"~/docs"});
         t.controller->setContinuousSyncState(true);
         const int64_t started = nowNs();
         ASSERT_TRUE(t.pass());
         put(t.mac("docs/a.txt"), "saved in the same second", started);
     },
     [](DataSafetyScan& t) {
         EXPECT_EQ(readFile(t.onDrive("docs/a.txt")), "saved in the same second");
     }},
    {{"PassWithACopyErrorKeepsTheLastSyncTime", Action::Pass, {}},
     [](DataSafetyScan& t) {
         put(t.mac("docs/a.txt"), "alpha", t.t0);
         t.passing({"~/docs"});
         t.keptTime = t.controller->lastSyncTime();
         ASSERT_EQ(unlink(t.onDrive("docs/a.txt").c_str()), 0);
         makeFolders(t.onDrive("docs/a.txt"));
         put(t.mac("docs/a.txt"), "alpha 2", nowNs() + 5 * kSecondNs);
     },
     [](DataSafetyScan& t) { EXPECT_EQ(t.controller->lastSyncTime(), t.keptTime); }},
    // Each entry inside another, in any order and however spelled, goes with the outermost.
    {{"NestedEntriesSyncInOneRun", Action::Sync, kCompleted},
     [](DataSafetyScan& t) {
         put(t.mac("Sites/index.html"), "index", t.t0);
         put(t.mac("Sites/blog/post.txt"), "post", t.t0);
         t.writeConfig({"~/Sites/blog", "~", "~/Sites", "~/Sites/"});
     },
     [](DataSafetyScan& t) {
         EXPECT_EQ(readFile(t.onDrive("Sites/blog/post.txt")), "post");
         EXPECT_EQ(readFile(t.onDrive("Sites/index.html")), "index");
         EXPECT_EQ(t.ui->countLines(QStringLiteral("Processing")), 1);
     }},
    {{"SocketIsSkippedWithALine", Action::Sync, kCompleted},
     [](DataSafetyScan& t) {
         put(t.mac("docs/a.txt"), "alpha", t.t0);
         put(t.onDrive("docs/a.txt"), "alpha", t.t0);
         bindSocket(t.mac("docs/listener"));
         t.writeConfig({"~/docs"});
     },
     [](DataSafetyScan& t) {
         EXPECT_EQ(t.ui->countLines(QStringLiteral("is a socket")), 1);
         EXPECT_TRUE(pathExists(t.onDrive("docs/a.txt")));
         EXPECT_FALSE(pathExists(t.onDrive("docs/listener")));
     }},
};

TEST_P(DataSafetyScan, Row) {
    const Row& row = GetParam();
    ui->defaultAnswer = 1;  // go on past errors; OK to the closing alert
    row.setUp(*this);
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(row.head.action == Action::Sync ? sync(60) : pass());
    if (!row.head.result.isEmpty()) {
        EXPECT_EQ(ui->countLines(row.head.result), 1) << ui->drawer.toStdString();
    }
    row.expect(*this);
}

INSTANTIATE_TEST_SUITE_P(, DataSafetyScan, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.head.name);
                         });

}  // namespace
