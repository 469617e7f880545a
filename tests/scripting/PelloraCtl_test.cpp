// pellora-ctl against a stand-in service: the events it sends, what it prints and its exit
// status.

#include <QDir>
#include <map>

#include "AEEventServer.h"
#include "OrvaneUtilities+Descriptor.h"
#include "ScriptingFixture.h"
#include "ScriptingInterface.h"
#include "TempDir.h"

namespace {

QString ctlPath() {
    return QString::fromLocal8Bit(qgetenv("PELLORA_TEST_BINARY_DIR")) + "/tools/pellora-ctl";
}

AEDescriptor furl(const QByteArray& url) {
    return AEDescriptor::descriptorWithDescriptorType(AEType::fileURL, url);
}

class PelloraCtlTest : public testing::Test {
  protected:
    void SetUp() override {
        const FourCharCode ids[] = {kQueryEvent,
                                    kSetSyncListEvent,
                                    kGetSyncListEvent,
                                    kSetContinuousSyncStateEvent,
                                    kGetContinuousSyncStateEvent,
                                    kStartEvent,
                                    kCancelEvent,
                                    kStatusEvent};
        for (FourCharCode id : ids) {
            server.setEventHandler(kSyncEventClass, id,
                                   [this](const AEDescriptor& event, AEReply reply) {
                                       events.push_back(event);
                                       answer(event, reply.descriptor());
                                   });
        }
        QString error;
        ASSERT_TRUE(server.start(QDBusConnection::sessionBus(), &error)) << error.toStdString();
    }

    // A drive that keeps what it is told, as far as the client can tell.
    void answer(const AEDescriptor& event, AEDescriptor& reply) {
        if (!failWith.isEmpty()) {
            reply.setParamDescriptor(OrvaneUtilities::descriptorWithBOOL(false),
                                     AEKeyword::directObject);
            reply.setParamDescriptor(AEDescriptor::descriptorWithInt32(-50),
                                     AEKeyword::errorNumber);
            reply.setParamDescriptor(AEDescriptor::descriptorWithString(failWith),
                                     AEKeyword::errorString);
            return;
        }
        switch (event.eventID()) {
            case kQueryEvent:
                reply.setParamDescriptor(OrvaneUtilities::descriptorWithBOOL(true),
                                         AEKeyword::directObject);
                break;
            case kSetSyncListEvent:
                syncList = *event.paramDescriptorForKeyword(kItemsKeyword);
                break;
            case kGetSyncListEvent:
                reply.setParamDescriptor(syncList, AEKeyword::directObject);
                break;
            case kSetContinuousSyncStateEvent:
                continuous = event.paramDescriptorForKeyword(kContinuousSyncStateKeyword)
                                 ->descriptorType() == AEType::trueType;
                break;
            case kGetContinuousSyncStateEvent:
                reply.setParamDescriptor(OrvaneUtilities::descriptorWithBOOL(continuous),
                                         AEKeyword::directObject);
                break;
        }
    }

    ProcessResult ctl(const QStringList& arguments) { return runServing(ctlPath(), arguments); }

    AEEventServer server;
    std::vector<AEDescriptor> events;
    AEDescriptor syncList = AEDescriptor::listDescriptor();
    bool continuous = false;
    QString failWith;
    TempDir drive;
};

TEST_F(PelloraCtlTest, EachCommandSendsItsEventWithTheDriveAsFileURL) {
    const QString mount = QString::fromStdString(drive.path());
    const QByteArray driveURL = "file://" + QByteArray::fromStdString(drive.path()) + "/";
    const struct {
        QStringList arguments;
        FourCharCode eventID;
        QByteArray out;
    } cases[] = {
        {{"query", mount}, kQueryEvent, "yes\n"},
        {{"set-continuous", mount, "on"}, kSetContinuousSyncStateEvent, ""},
        {{"get-continuous", mount}, kGetContinuousSyncStateEvent, "on\n"},
        {{"set-continuous", mount, "off"}, kSetContinuousSyncStateEvent, ""},
        {{"get-continuous", mount}, kGetContinuousSyncStateEvent, "off\n"},
        {{"start", mount}, kStartEvent, ""},
        {{"stop", mount}, kCancelEvent, ""},
        {{"info", mount}, kStatusEvent, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        events.clear();
        const ProcessResult result = ctl(c.arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_EQ(result.out, c.out);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventClass(), kSyncEventClass);
        EXPECT_EQ(events[0].eventID(), c.eventID);
        EXPECT_EQ(events[0].paramDescriptorForKeyword(AEKeyword::directObject), furl(driveURL));
        const auto state = events[0].paramDescriptorForKeyword(kContinuousSyncStateKeyword);
        if (c.eventID == kSetContinuousSyncStateEvent) {
            ASSERT_TRUE(state);
            EXPECT_EQ(state->descriptorType(),
                      c.arguments[2] == "on" ? AEType::trueType : AEType::falseType);
        } else {
            EXPECT_FALSE(state);
        }
    }
}

TEST_F(PelloraCtlTest, SyncListPathsSurviveTheRoundTripByteForByte) {
    // The shell puts a name that isn't UTF-8 into argv, which QProcess can't.
    const QString script = QStringLiteral(
        R"sh(exec "$0" set-list "$1" "$1/a b" "$1/$(printf 'caf\351')" relative/x "$1/%41#?")sh");
    ProcessResult result =
        runServing("/bin/sh", {"-c", script, ctlPath(), QString::fromStdString(drive.path())});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    ASSERT_EQ(events.size(), 1u);
    const auto items = events[0].paramDescriptorForKeyword(kItemsKeyword);
    ASSERT_TRUE(items && items->isList());
    ASSERT_EQ(items->numberOfItems(), 4);
    const QByteArray base = "file://" + QByteArray::fromStdString(drive.path());
    EXPECT_EQ(*items->descriptorAtIndex(1), furl(base + "/a%20b"));
    EXPECT_EQ(*items->descriptorAtIndex(2), furl(base + "/caf%E9"));
    EXPECT_EQ(*items->descriptorAtIndex(3),
              furl("file://" + QDir::currentPath().toUtf8() + "/relative/x"));
    EXPECT_EQ(*items->descriptorAtIndex(4), furl(base + "/%2541%23%3F"));

    result = ctl({"get-list", QString::fromStdString(drive.path())});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QByteArray root = QByteArray::fromStdString(drive.path());
    EXPECT_EQ(result.out, root + "/a b\n" + root + "/caf\xe9\n" + QDir::currentPath().toUtf8() +
                              "/relative/x\n" + root + "/%41#?\n");

    result = ctl({"--null", "get-list", QString::fromStdString(drive.path())});
    EXPECT_EQ(result.out.count('\0'), 4);
    EXPECT_FALSE(result.out.contains('\n'));

    // No paths: an empty list, not a missing one.
    result = ctl({"set-list", QString::fromStdString(drive.path())});
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(events.back().paramDescriptorForKeyword(kItemsKeyword),
              AEDescriptor::listDescriptor());
    result = ctl({"get-list", QString::fromStdString(drive.path())});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
}

TEST_F(PelloraCtlTest, AnErrorReplyIsPrintedAndFails) {
    failWith = QStringLiteral("drive is not valid for sync");
    const ProcessResult result = ctl({"query", "/nowhere"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.contains("drive is not valid for sync (error -50)"))
        << result.err.toStdString();
}

TEST_F(PelloraCtlTest, AnAnswerOfTheWrongShapeFails) {
    syncList = furl("file:///not/a/list");
    const ProcessResult result = ctl({"get-list", "/media/u/D"});
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_TRUE(result.err.contains("unexpected answer")) << result.err.toStdString();
}

TEST_F(PelloraCtlTest, NotRunningAndNoBusExitWithThree) {
    QDBusConnection::sessionBus().unregisterService(kScriptingService);
    ProcessResult result = ctl({"start", "/media/u/D"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_TRUE(result.err.contains("not running")) << result.err.toStdString();

    QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
    noBus.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QString::fromStdString(drive / "x"));
    noBus.remove("DISPLAY");
    result = runServing(ctlPath(), {"start", "/media/u/D"}, noBus);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_TRUE(events.empty());
}

TEST_F(PelloraCtlTest, UsageErrorsExitWithTwoAndSendNothing) {
    const QStringList wrong[] = {{},
                                 {"query"},
                                 {"sync", "/media/u/D"},
                                 {"set-continuous", "/media/u/D"},
                                 {"set-continuous", "/media/u/D", "yes"},
                                 {"start", "/media/u/D", "extra"},
                                 {"--bogus", "start", "/media/u/D"}};
    for (const QStringList& arguments : wrong) {
        const ProcessResult result = ctl(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.err.contains("--help")) << arguments.join(' ').toStdString();
    }
    EXPECT_TRUE(events.empty());

    const ProcessResult help = ctl({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : {"query", "set-list", "get-list", "set-continuous", "get-continuous",
                                "start", "stop", "info", "Exit status"}) {
        EXPECT_TRUE(help.out.contains(command)) << command;
    }
}

}  // namespace
