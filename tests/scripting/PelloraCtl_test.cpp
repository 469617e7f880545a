// pellora-ctl against a stand-in service: the events it sends, what it prints and its exit
// status.

#include <QDir>
#include <functional>

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
    // A drive that keeps what it is told, as far as the client can tell.
    void SetUp() override {
        for (FourCharCode id :
             {kQueryEvent, kSetSyncListEvent, kGetSyncListEvent, kSetContinuousSyncStateEvent,
              kStartEvent, kCancelEvent, kStatusEvent}) {
            server.setEventHandler(
                kSyncEventClass, id, [this, id](const AEDescriptor& event, AEReply reply) {
                    events.push_back(event);
                    if (answerWith) return answerWith(reply.descriptor());
                    AEDescriptor& out = reply.descriptor();
                    if (id == kSetSyncListEvent)
                        syncList = *event.paramDescriptorForKeyword(kItemsKeyword);
                    if (id == kGetSyncListEvent)
                        out.setParamDescriptor(syncList, AEKeyword::directObject);
                    if (id == kQueryEvent)
                        out.setParamDescriptor(OrvaneUtilities::descriptorWithBOOL(true),
                                               AEKeyword::directObject);
                });
        }
        QString error;
        ASSERT_TRUE(server.start(QDBusConnection::sessionBus(), &error)) << error.toStdString();
    }

    ProcessResult ctl(const QStringList& arguments) { return runServing(ctlPath(), arguments); }

    AEEventServer server;
    std::vector<AEDescriptor> events;
    AEDescriptor syncList = AEDescriptor::listDescriptor();
    std::function<void(AEDescriptor&)> answerWith;
    TempDir drive;
};

TEST_F(PelloraCtlTest, EachCommandSendsItsEventWithTheDriveAsFileURL) {
    const QString mount = QString::fromStdString(drive.path());
    const std::pair<QStringList, FourCharCode> cases[] = {
        {{"query", mount}, kQueryEvent},
        {{"set-continuous", mount, "off"}, kSetContinuousSyncStateEvent},
        {{"start", mount}, kStartEvent},
        {{"stop", mount}, kCancelEvent},
        {{"info", mount}, kStatusEvent}};
    for (const auto& [arguments, eventID] : cases) {
        events.clear();
        const ProcessResult result = ctl(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_EQ(result.out, eventID == kQueryEvent ? "yes\n" : "") << arguments[0].toStdString();
        // One event, about the drive as a file URL.
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventID(), eventID);
        EXPECT_EQ(events[0].paramDescriptorForKeyword(AEKeyword::directObject),
                  furl("file://" + mount.toUtf8() + "/"));
    }
}

TEST_F(PelloraCtlTest, SyncListPathsSurviveTheRoundTripByteForByte) {
    // The shell puts a name that isn't UTF-8 into argv, which QProcess can't.
    const QString script = QStringLiteral(
        R"sh(exec "$0" set-list "$1" "$1/a b" "$1/$(printf 'caf\351')" relative/x "$1/%41#?")sh");
    const QString root = QString::fromStdString(drive.path());
    ProcessResult result = runServing("/bin/sh", {"-c", script, ctlPath(), root});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    ASSERT_EQ(events.size(), 1u);
    const QByteArray base = "file://" + root.toUtf8(), here = QDir::currentPath().toUtf8();
    AEDescriptor expected = AEDescriptor::listDescriptor();
    for (const QByteArray& url : {base + "/a%20b", base + "/caf%E9",
                                  "file://" + here + "/relative/x", base + "/%2541%23%3F"})
        expected.insertDescriptor(furl(url), 0);
    EXPECT_EQ(events[0].paramDescriptorForKeyword(kItemsKeyword), expected);

    // Printed NUL-terminated when asked; one a line is the program's own tests'.
    const QByteArrayList paths = {root.toUtf8() + "/a b", root.toUtf8() + "/caf\xe9",
                                  here + "/relative/x", root.toUtf8() + "/%41#?"};
    EXPECT_EQ(ctl({"--null", "get-list", root}).out, paths.join('\0') + '\0');

    // No paths: an empty list, not a missing one.
    ASSERT_EQ(ctl({"set-list", root}).exitCode, 0);
    EXPECT_EQ(events.back().paramDescriptorForKeyword(kItemsKeyword),
              AEDescriptor::listDescriptor());
    result = ctl({"get-list", root});
    EXPECT_TRUE(result.exitCode == 0 && result.out.isEmpty()) << result.out.toStdString();
}

// Exit 1 for an error reply of any form, 4 for an answer of the wrong shape, 3 when nobody
// serves the name, 2 for a usage error; only the usage errors send nothing.
TEST_F(PelloraCtlTest, EachKindOfFailureHasItsExitStatus) {
    // Each row: the reply's error number (none if 0) and text, and what the client prints.
    const std::tuple<qint32, const char*, const char*> errors[] = {
        {-50, "drive is not valid for sync", "drive is not valid for sync (error -50)"},
        {0, "in use", "in use (error 0)"},
        {-1708, nullptr, "(error -1708)"}};
    for (const auto& [number, text, err] : errors) {
        answerWith = [&](AEDescriptor& reply) {
            if (number)
                reply.setParamDescriptor(AEDescriptor::descriptorWithInt32(number),
                                         AEKeyword::errorNumber);
            if (text)
                reply.setParamDescriptor(AEDescriptor::descriptorWithString(text),
                                         AEKeyword::errorString);
        };
        const ProcessResult result = ctl({"start", "/D"});
        EXPECT_EQ(result.exitCode, 1) << err;
        EXPECT_TRUE(result.err.contains(err)) << result.err.toStdString();
    }
    answerWith = nullptr;
    syncList = furl("file:///x");
    EXPECT_EQ(ctl({"get-list", "/D"}).exitCode, 4);

    events.clear();
    for (const char* usage : {"", "query", "sync /D", "set-continuous /D", "set-continuous /D yes",
                              "start /D extra", "--bogus start /D"})
        EXPECT_EQ(ctl(QString(usage).split(' ', Qt::SkipEmptyParts)).exitCode, 2) << usage;
    EXPECT_TRUE(events.empty());

    QDBusConnection::sessionBus().unregisterService(kScriptingService);
    EXPECT_EQ(ctl({"start", "/D"}).exitCode, 3);
    EXPECT_TRUE(events.empty());
}

}  // namespace
