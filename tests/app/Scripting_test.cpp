// The scripting commands end to end: the real program on a bus of the test's own, driven by
// pellora-ctl and by gdbus (another D-Bus stack, which can also send what pellora-ctl never
// would).
#include <gtest/gtest.h>
#include <poll.h>

#include <QStringList>

#include "AppSupport.h"
#include "FakeMountTable.h"
#include "PrivateBus.h"

namespace {

struct Outcome {
    int status = -1;  // -2: killed after the time-out
    std::string out, err;
};

// Runs a program to its end and collects what it wrote; a program still running after
// `seconds` is killed: a reply held back by an alert nobody dismisses shows up that way.
Outcome run(const std::vector<std::string>& arguments, double seconds = 10) {
    Outcome result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    if (pipe2(err, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]), close(err[0]);
        return result;
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    bool timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, int(left.count())) == 0) {
            timedOut = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = timedOut ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ctlProgram() {
    const char* dir = getenv("PELLORA_TEST_BINARY_DIR");
    return std::string(dir ? dir : ".") + "/tools/pellora-ctl";
}

// Text as gdbus prints a byte string without a final NUL.
std::string byteList(const std::string& text) {
    std::string out = "[";
    for (unsigned char c : text) {
        char hex[8];
        snprintf(hex, sizeof hex, "0x%02x", c);
        out += (out.size() > 1 ? ", " : "byte ") + std::string(hex);
    }
    return out + "]";
}

// A file URL's bytes as gdbus writes a byte string.
std::string furl(const std::string& path) {
    return "<('furl', b'file://" + path + "')>";
}

class Scripting : public testing::Test {
  public:
    static void SetUpTestSuite() { usePrivateBus(); }

  protected:
    void SetUp() override {
        top = home.path();
        drive = makeFolder(top + "/DRIVE");
        writeTree(top + "/Sites/index.html", "<h1>hello</h1>\n");
        writeDefaults({{QStringLiteral("debug"), true}});
    }
    void start() {
        app = std::make_unique<Pellora>(top + "/pellora.stderr");
        ASSERT_TRUE(app->started());
        // Serving once the name is taken; until then the client finds nobody (3).
        ASSERT_TRUE(pollUntil(
            [&] {
                return ctl({"info", drive}).status != 3;
            },
            15))
            << readFile(top + "/pellora.stderr").toStdString();
    }
    void TearDown() override {
        if (!app) return;
        // A quit is refused while a drive's queue still holds work; ask again a few times.
        std::optional<int> status;
        for (int i = 0; i < 5 && !status; ++i) {
            app->quit();
            status = app->exitStatus(2);
        }
        EXPECT_EQ(status, 0) << logText().toStdString();
    }
    Outcome ctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), ctlProgram());
        return run(arguments);
    }
    Outcome gdbus(const std::string& eventID, const std::string& parameters,
                  bool replyWanted = true) {
        return run({"gdbus", "call", "--session", "--dest", "com.orvane.Pellora", "--object-path",
                    "/com/orvane/Pellora", "--method", "com.orvane.Pellora.AppleEvents.HandleEvent",
                    "VSNC", eventID, parameters, replyWanted ? "true" : "false"});
    }
    // The -50 error with its text, as gdbus prints the reply.
    static void expectError(const Outcome& result, const std::string& message) {
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("'errn': <('long', [byte 0xce, 0xff, 0xff, 0xff])>"),
                  std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("'errs': <('utf8', " + byteList(message) + ")>"),
                  std::string::npos)
            << result.out;
    }
    QStringList configuredList(const std::string& mountPoint) {
        const auto config = readPropertyList(readFile(mountPoint + "/.TolvexConfig"));
        QStringList list;
        if (!config) return list;
        for (const QVariant& entry :
             config->toMap().value(QStringLiteral("tapline-items-to-sync")).toList())
            list << entry.toString();
        return list;
    }
    // A list update has run to its end, and the drive is free again.
    void waitForListUpdate(int count) {
        ASSERT_TRUE(pollUntil(
            [&] {
                return logText().count(QStringLiteral("Update Sync Items completed.")) == count;
            },
            15))
            << logText().toStdString();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    TestHome home;
    std::string top, drive;
    FakeMountTable table{home.path() + "/mountinfo"};
    std::unique_ptr<Pellora> app;
};

}  // namespace

TEST_F(Scripting, TheDriveMustBeGivenAsAFileURLAndMustBeUsable) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("script-query"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-query"));
    const std::string fresh = makeFolder(top + "/FRESH");
    ASSERT_TRUE(table.add(fresh, "/dev/pellora-fresh"));
    const std::string ext4 = makeFolder(top + "/EXT4");
    prepareDrive(ext4, {QStringLiteral("~/Sites")}, QStringLiteral("script-ext4"));
    ASSERT_TRUE(table.add(ext4, "/dev/pellora-ext4", "ext4"));
    start();

    Outcome result = ctl({"query", drive});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "yes\n");
    result = ctl({"query", fresh});
    EXPECT_EQ(result.out, "no\n");
    EXPECT_EQ(result.status, 0) << result.err;

    // A file system that isn't accepted: no, with the error, and at once (an alert would hold
    // the answer back until someone dismissed it).
    result = gdbus("QURY", "{'----': " + furl(ext4) + "}");
    expectError(result, "drive is not valid for sync");
    EXPECT_NE(result.out.find("'----': <('fals', @ay [])>"), std::string::npos) << result.out;
    result = ctl({"query", ext4});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("drive is not valid for sync (error -50)"), std::string::npos);

    // Nothing is coerced into a URL, and only a file URL names a drive.
    for (const std::string& direct :
         {"<('utf8', b'" + drive + "')>", "<('alis', b'" + drive + "')>",
          std::string("<('furl', b'https://example.com/DRIVE')>"),
          std::string("<('furl', b'DRIVE')>")}) {
        for (const char* eventID : {"QURY", "GETL", "DOIT", "INFO"})
            expectError(gdbus(eventID, "{'----': " + direct + "}"), "unable to retrieve main URL");
    }
    expectError(gdbus("INFO", "{}"), "unable to retrieve main URL");

    // The status command on a good drive says nothing.
    result = gdbus("INFO", "{'----': " + furl(drive) + "}");
    EXPECT_EQ(result.out, "(@a{sv} {},)\n");
    result = ctl({"info", drive});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");

    // The log reaches its file within a second.
    ASSERT_TRUE(waitForLog(QStringLiteral("< handleStatusEvent: 'aevt'\\'ansr'{ }.")));
    const QString log = logText();
    EXPECT_TRUE(
        log.contains(QStringLiteral("> handleQueryEvent: 'VSNC'\\'QURY'{ '----':'furl'(\"file://") +
                     QString::fromStdString(drive) + QStringLiteral("/\") }\n")))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("-handleQueryEvent: drive is not valid.")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("-handleStatusEvent: cannot get direct object as URL.")));
    EXPECT_TRUE(log.contains("-handleStatusEvent: main URL is " + QString::fromStdString(drive)));
    EXPECT_TRUE(log.contains(QStringLiteral("< handleStatusEvent: 'aevt'\\'ansr'{ }.")))
        << log.toStdString();
}

TEST_F(Scripting, SyncListsGoInAbbreviatedAndComeBackAsFullPaths) {
    ASSERT_TRUE(table.add(drive, "/dev/pellora-lists"));
    TempDir elsewhere;
    const std::string outside = makeFolder(elsewhere / "outside");
    writeTree(top + "/With Blank/a.txt", "a\n");
    start();

    // A fresh drive has no list yet.
    Outcome result = ctl({"get-list", drive});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("syncList is empty (error -50)"), std::string::npos) << result.err;

    result = ctl({"set-list", drive, top + "/Sites", top + "/With Blank", outside});
    ASSERT_EQ(result.status, 0) << result.err;
    waitForListUpdate(1);
    result = ctl({"get-list", drive});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, top + "/Sites\n" + top + "/With Blank\n" + outside + "\n");
    EXPECT_EQ(configuredList(drive),
              (QStringList{QStringLiteral("~/Sites"), QStringLiteral("~/With Blank"),
                           QString::fromStdString(outside)}));

    // A bad third item leaves the list as it was; so do the other malformed lists.
    const std::string two = furl(top + "/Sites") + ", " + furl(top + "/Other");
    expectError(gdbus("SETL", "{'----': " + furl(drive) + ", 'ITMZ': <('list', [" + two +
                                  ", <('furl', b'http://example.com/x')>])>}"),
                "URL for item 3 is not a fileURL");
    expectError(gdbus("SETL", "{'----': " + furl(drive) + ", 'ITMZ': <('list', [" +
                                  furl(top + "/Sites") + ", <('utf8', b'/etc')>])>}"),
                "cannot retrieve URL for item 2");
    // A name that isn't UTF-8 can't be kept in a list.
    expectError(
        gdbus("SETL", "{'----': " + furl(drive) + ", 'ITMZ': <('list', [<('furl', b'file://" + top +
                          "/odd%FFname')>])>}"),
        "cannot retrieve URL for item 1");
    expectError(gdbus("SETL", "{'----': " + furl(drive) + "}"), "unable to retrieve ITMZ property");
    expectError(gdbus("SETL", "{'----': " + furl(drive) + ", 'ITMZ': " + furl(top) + "}"),
                "ITMZ property not typeAEList");
    result = ctl({"get-list", drive});
    EXPECT_EQ(result.out, top + "/Sites\n" + top + "/With Blank\n" + outside + "\n");

    // The lists come back as file URLs, blanks escaped, folders with their "/".
    result = gdbus("GETL", "{'----': " + furl(drive) + "}");
    EXPECT_NE(result.out.find(byteList("file://" + top + "/With%20Blank/")), std::string::npos)
        << result.out;

    // An empty list is a list.
    result = ctl({"set-list", drive});
    ASSERT_EQ(result.status, 0) << result.err;
    waitForListUpdate(2);
    EXPECT_EQ(configuredList(drive), QStringList());
    result = ctl({"get-list", drive});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    result = gdbus("GETL", "{'----': " + furl(drive) + "}");
    EXPECT_EQ(result.out, "({'----': <('list', @av [])>},)\n");
    EXPECT_TRUE(logText().contains("-handleSetSyncListEvent: item URL #1 is " +
                                   QString::fromStdString(top) + "/Sites (~/Sites)"))
        << logText().toStdString();
}

TEST_F(Scripting, ContinuousSyncStateWithAndWithoutAReply) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("script-continuous"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-continuous"));
    start();
    // State changes are queued for the drive's worker, which only a sync or a list update
    // starts; without one the drive would stay busy and the application couldn't quit.
    EXPECT_EQ(ctl({"start", drive}).status, 0);
    ASSERT_TRUE(waitForLog(QStringLiteral("Synchronization of \"DRIVE\" completed successfully.")));

    Outcome result = ctl({"set-continuous", drive, "off"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ctl({"get-continuous", drive}).out, "off\n");
    result = ctl({"set-continuous", drive, "on"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ctl({"get-continuous", drive}).out, "on\n");

    const std::string direct = "{'----': " + furl(drive);
    expectError(gdbus("SCSS", direct + ", 'CSSP': <('long', [byte 0, 0, 0, 0])>}"),
                "CSSP property not typeTrue or typeFalse");
    expectError(gdbus("SCSS", direct + "}"), "unable to retrieve CSSP property");
    EXPECT_EQ(ctl({"get-continuous", drive}).out, "on\n");

    // No reply wanted: the command runs all the same and puts nothing into the reply.
    result = gdbus("SCSS", direct + ", 'CSSP': <('fals', @ay [])>}", false);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "(@a{sv} {},)\n");
    EXPECT_EQ(ctl({"get-continuous", drive}).out, "off\n");
    // Not even an error.
    result = gdbus("SCSS", direct + "}", false);
    EXPECT_EQ(result.out, "(@a{sv} {},)\n");
    result = gdbus("GCSS", direct + "}");
    EXPECT_EQ(result.out, "({'----': <('fals', @ay [])>},)\n");
    EXPECT_TRUE(waitForLog(
        QStringLiteral("-handleSetContinuousSyncStateEvent: CSSP is not typeTrue or typeFalse.")));
}

TEST_F(Scripting, ContinuousSyncCopiesNothingBeforeAFullSyncOfTheDrive) {
    // Changed here, and later on another computer: only a full sync may weigh the two.
    writeTree(drive + "/Tolvex/~/Sites/index.html", "changed elsewhere\n");
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("script-unsynced"));
    writeDefaults({{QStringLiteral("debug"), true}, {QStringLiteral("sync-on-connect"), false}});
    ASSERT_TRUE(table.add(drive, "/dev/pellora-unsynced"));
    setenv("PELLORA_WORKER_TIMING", "50,10", 1);  // an idle pass about every half second
    start();
    unsetenv("PELLORA_WORKER_TIMING");

    // The switch takes effect at once (the worker starts), but its passes only keep the tree.
    EXPECT_EQ(ctl({"set-continuous", drive, "on"}).status, 0);
    ASSERT_TRUE(
        pollUntil([] { return logText().count(QStringLiteral("Scan completed.")) >= 3; }, 15));
    EXPECT_EQ(readFile(drive + "/Tolvex/~/Sites/index.html"), "changed elsewhere\n");
    EXPECT_TRUE(logText().contains(
        QStringLiteral("Continuous sync of \"DRIVE\" starts after its next full sync.")));
}

TEST_F(Scripting, StartSyncsASecondLaterAndClearsAnEarlierCancel) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("script-start"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-start"));
    start();

    // A cancel on an idle drive is only remembered; the start that follows clears it.
    Outcome result = ctl({"stop", drive});
    EXPECT_EQ(result.status, 0) << result.err;
    const auto asked = std::chrono::steady_clock::now();
    result = ctl({"start", drive});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    ASSERT_TRUE(pollUntil([&] { return pathExists(drive + "/Tolvex/~/Sites/index.html"); }, 15));
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count(), 0.9);
    ASSERT_TRUE(waitForLog(QStringLiteral("Synchronization of \"DRIVE\" completed successfully.")))
        << logText().toStdString();

    // Sent without wanting a reply, a start still starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    result = gdbus("DOIT", "{'----': " + furl(drive) + "}", false);
    EXPECT_EQ(result.out, "(@a{sv} {},)\n");
    ASSERT_TRUE(pollUntil(
        [&] {
            return logText().count(
                       QStringLiteral("Synchronization of \"DRIVE\" completed successfully.")) == 2;
        },
        15))
        << logText().toStdString();
    EXPECT_TRUE(waitForLog(QStringLiteral("< handleCancelEvent: 'aevt'\\'ansr'{ }.")));
}

TEST_F(Scripting, ASecondStartHandsItsDriveToTheRunningPelloraAndEnds) {
    prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("script-second"));
    ASSERT_TRUE(table.add(drive, "/dev/pellora-second"));  // mounted at the start: left alone
    start();
    // Given as the shell would pass it, relative to where the second one starts.
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(top.c_str()), 0);
    const Outcome second =
        run({std::string(getenv("PELLORA_TEST_BINARY_DIR")) + "/bin/pellora", "DRIVE"});
    ASSERT_EQ(chdir(cwd), 0);
    free(cwd);
    EXPECT_EQ(second.status, 0) << second.err;
    ASSERT_TRUE(waitForLog(QStringLiteral("Synchronization of \"DRIVE\" completed successfully.")));
    EXPECT_TRUE(pathExists(drive + "/Tolvex/~/Sites/index.html"));
    EXPECT_TRUE(app->running());
}
