#include "Presswatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <memory>
#include <vector>

#include "TempDir.h"

namespace {

// Names no other running process carries (the process id is this one's), short enough for the
// kernel's 15 characters.
std::string uniqueName(const std::string& prefix) {
    return prefix + std::to_string(getpid());
}

// A real `sleep` whose short command name is `name`: it is started through a link of that name,
// with only the `environment` given.
class NamedProcess {
  public:
    NamedProcess(const TempDir& dir, const std::string& name, const QStringList& environment = {}) {
        const std::string link = makeFolder(dir / "links") + "/" + name;
        symlink("/bin/sleep", link.c_str());
        _process.setEnvironment(environment);
        _process.start(QString::fromStdString(link), {"600"});
        const std::string comm = "/proc/" + std::to_string(pid()) + "/comm";
        for (int i = 0; i < 1000; ++i, usleep(5000))
            if (readFile(comm).toStdString() == name.substr(0, 15) + "\n") return;
        ADD_FAILURE() << "helper " << name << " never carried its name";
    }
    pid_t pid() const { return pid_t(_process.processId()); }

  private:
    QProcess _process;  // killed and waited for at the end: a zombie would still carry the name
};

class PresswatchTest : public ::testing::Test {
  protected:
    PresswatchTest() {
        makeFolders(_dir / "Stand In.app/Contents/MacOS");
        _config.appFolder = _dir / "Stand In.app";
        _config.executable = _config.appFolder + "/Contents/MacOS/StandIn";
        _config.notificationAppName = uniqueName("Chime-");
        _config.windowManagerName = uniqueName("WinMgr-");
        _config.startupCheckName = uniqueName("Chk-") + ".app";
        _config.log = [](int, const std::string&) {};
        _config.pause = [this](unsigned seconds) {
            _pauses.push_back(seconds);
            _launchesAtPause.push_back(launches().size());
            if (_onPause) _onPause(_pauses.size());
        };
        // The stand-in application records how it was started.
        writeFile(_config.executable,
                  QByteArray::fromStdString("#!/bin/sh\necho \"$0|$1|$2|$DISPLAY\" >> '" +
                                            (_dir / "launches") + "'\n"));
        chmod(_config.executable.c_str(), 0755);
    }

    QStringList launches() const {
        return QString(readFile(_dir / "launches")).split('\n', Qt::SkipEmptyParts);
    }

    TempDir _dir;
    presswatch::Config _config;
    std::vector<unsigned> _pauses;
    std::vector<size_t> _launchesAtPause;
    std::function<void(size_t pausesSoFar)> _onPause;
};

// Each row: the watcher's passes under one condition, the pauses it made and the passes that
// launched the application.
TEST_F(PresswatchTest, PassesLaunchFromTheSecondAndSlowDownAfterTheNinth) {
    const std::vector<unsigned> pauses = {3, 3, 3, 3, 3, 3, 3, 3, 3, 10, 10};
    const std::vector<size_t> none(11, 0);
    const std::tuple<const char*, std::function<void()>, std::vector<size_t>> rows[] = {
        {"launchable", [] {}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"no application folder", [&] { _config.appFolder = _dir / "Missing.app"; }, none},
        // An unreadable table counts as running: better no launch than a second copy.
        {"unreadable process table",
         [&] {
             _config.appFolder = _dir / "Stand In.app";
             _config.procFolder = _dir / "no-proc";
         },
         none}};
    for (const auto& [name, prepare, launchesAtPause] : rows) {
        SCOPED_TRACE(name);
        unlink((_dir / "launches").c_str());
        _pauses.clear();
        _launchesAtPause.clear();
        prepare();
        _config.maxPasses = 11;
        presswatch::watch(_config);
        EXPECT_EQ(std::pair(_pauses, _launchesAtPause), std::pair(pauses, launchesAtPause));
    }
}

TEST_F(PresswatchTest, LaunchesOnlyWhenNoInstanceRunsWithTheFixedArguments) {
    _config.maxPasses = 2;
    {
        NamedProcess running(_dir, _config.notificationAppName);
        presswatch::watch(_config);
        EXPECT_TRUE(launches().empty());
    }
    presswatch::watch(_config);
    const std::string expected = _config.executable + "|-doautolnch|" + _config.appFolder + "|";
    ASSERT_EQ(launches().size(), 1);  // the rest is the DISPLAY it was given
    EXPECT_TRUE(launches()[0].startsWith(QString::fromStdString(expected)));
    std::vector<std::unique_ptr<NamedProcess>> checks;
    std::vector<bool> ends;
    for (int count = 0; count <= 3; ++count) {
        ends.push_back(presswatch::startupCheckEnds(_config));
        checks.push_back(std::make_unique<NamedProcess>(_dir, _config.startupCheckName));
    }
    EXPECT_EQ(ends, (std::vector<bool>{false, false, true, false}));
}

TEST_F(PresswatchTest, TakesOverTheWindowManagersSessionOncePerProcess) {
    // The watcher changes this process's environment on purpose; each test runs in a process
    // of its own.
    auto windowManager = std::make_unique<NamedProcess>(
        _dir, _config.windowManagerName,
        QStringList{"DISPLAY=:42", "XAUTHORITY=cookie-one", "PRESSWATCH_UNRELATED=x"});
    _onPause = [&](size_t pausesSoFar) {
        if (pausesSoFar != 2) return;
        windowManager.reset();  // the window manager restarts
        windowManager = std::make_unique<NamedProcess>(_dir, _config.windowManagerName,
                                                       QStringList{"DISPLAY=:43"});
    };
    _config.maxPasses = 4;
    presswatch::watch(_config);
    EXPECT_STREQ(getenv("DISPLAY"), ":43");
    EXPECT_STREQ(getenv("XAUTHORITY"), "cookie-one");  // absent in the new one: left as it was
    EXPECT_EQ(getenv("PRESSWATCH_UNRELATED"), nullptr);
    const QStringList seen = launches();
    ASSERT_EQ(seen.size(), 3);
    EXPECT_TRUE(seen[0].endsWith("|:42") && seen[1].endsWith("|:43"))
        << seen.join(' ').toStdString();
}

TEST_F(PresswatchTest, TheProcessTableMatchesWholeNamesLowestIdFirst) {
    _config.procFolder = _dir / "proc";
    for (const char* id : {"55", "12", "377", "9", "610", "self"})
        putFile(_config.procFolder + "/" + id + "/comm", "name\n");
    makeFolders(_config.procFolder + "/7");  // ended while being read
    putFile(_config.procFolder + "/5/comm", "namesake\n");
    EXPECT_EQ(
        (std::vector<int>{
            presswatch::GetPID(_config, "name"), presswatch::IsAppRunning(_config, "name", 5),
            presswatch::IsAppRunning(_config, "name", 1), presswatch::GetPID(_config, "names")}),
        (std::vector<int>{9, 1, 0, -1}));
    // The kernel keeps 15 characters; a longer wanted name never matches the shortened one.
    const std::string longName = uniqueName("Longer-name-");
    NamedProcess process(_dir, longName);
    _config.procFolder = "/proc";
    EXPECT_EQ(presswatch::GetPID(_config, longName.substr(0, 15)), process.pid());
    EXPECT_EQ(presswatch::GetPID(_config, longName), -1);
}

}  // namespace
