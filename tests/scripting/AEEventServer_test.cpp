// The D-Bus transport on a bus of the test's own: events in, replies out, now or later, and
// calls of every wrong shape refused without harm to the service.

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "AEDBusCoding.h"
#include "AEEventClient.h"
#include "AEEventServer.h"
#include "ScriptingFixture.h"
#include "ScriptingInterface.h"

namespace {

const FourCharCode kEcho = fourCharCode("ECHO");
const FourCharCode kSlow = fourCharCode("SLOW");

AEDescriptor data(const char (&type)[5], const QByteArray& bytes) {
    return AEDescriptor::descriptorWithDescriptorType(fourCharCode(type), bytes);
}

QDBusMessage rawCall(const QVariantList& arguments,
                     const QString& member = QLatin1String(kScriptingMethod)) {
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kScriptingService),
                                                       QLatin1String(kScriptingObjectPath),
                                                       QLatin1String(kScriptingInterface), member);
    call.setArguments(arguments);
    return call;
}

QDBusMessage rawEvent(const QVariantMap& parameters, const QString& eventID = "ECHO") {
    return rawCall({QStringLiteral("TEST"), eventID, QVariant::fromValue(parameters), true});
}

class AEEventServerTest : public testing::Test {
  protected:
    void SetUp() override {
        // Echo: every parameter comes back in the reply.
        server.setEventHandler(
            fourCharCode("TEST"), kEcho, [this](const AEDescriptor& event, AEReply reply) {
                received.push_back(event);
                replyWanted.push_back(reply.replyWanted());
                for (int i = 1; i <= event.numberOfItems(); ++i) {
                    reply.descriptor().setParamDescriptor(*event.descriptorAtIndex(i),
                                                          event.keywordForDescriptorAtIndex(i));
                }
            });
        // Slow: the reply is kept and sent when the test says.
        server.setEventHandler(fourCharCode("TEST"), kSlow,
                               [this](const AEDescriptor&, AEReply reply) { held = reply; });
        QString error;
        ASSERT_TRUE(server.start(QDBusConnection::sessionBus(), &error)) << error.toStdString();
    }

    AEEventResult send(const AEDescriptor& event, bool wanted = true) {
        AEEventResult result;
        std::atomic<bool> done = false;
        // The client blocks, so it runs beside the main thread that serves the call.
        std::thread caller([&] {
            result = sendAppleEvent(clientConnection(), event, wanted, 20000);
            done = true;
        });
        waitUntil([&] { return done.load(); });
        caller.join();
        return result;
    }

    // The service still answers a well-formed event.
    void expectServiceUp() {
        AEDescriptor event = AEDescriptor::appleEventWithEventClass(fourCharCode("TEST"), kEcho);
        event.setParamDescriptor(AEDescriptor::descriptorWithInt32(7), fourCharCode("numb"));
        const AEEventResult result = send(event);
        ASSERT_EQ(result.status, AEEventResult::Status::Replied) << result.error.toStdString();
        EXPECT_EQ(result.reply.paramDescriptorForKeyword(fourCharCode("numb"))->int32Value(), 7);
    }

    // A call that forms an event with parameters that can't be read: -50, no handler run.
    void expectParameterError(const QVariantMap& parameters, const char* reason) {
        SCOPED_TRACE(reason);
        const size_t before = received.size();
        const QDBusMessage answer = callAndWait(rawEvent(parameters));
        QString error;
        const auto reply = decodeEventReply(answer, &error);
        ASSERT_TRUE(reply) << error.toStdString();
        EXPECT_EQ(reply->paramDescriptorForKeyword(AEKeyword::errorNumber)->int32Value(), -50);
        const auto text = reply->paramDescriptorForKeyword(AEKeyword::errorString);
        ASSERT_TRUE(text);
        EXPECT_TRUE(text->stringValue()->contains(QLatin1String(reason)))
            << text->stringValue()->toStdString();
        EXPECT_EQ(received.size(), before);
    }

    AEEventServer server;
    std::vector<AEDescriptor> received;
    std::vector<bool> replyWanted;
    AEReply held;
};

TEST_F(AEEventServerTest, EveryDescriptorKindTravelsBothWays) {
    AEDescriptor nested = AEDescriptor::listDescriptor();
    nested.insertDescriptor(AEDescriptor::descriptorWithString(QStringLiteral("in\"ner\n")), 0);
    nested.insertDescriptor(AEDescriptor::listDescriptor(), 0);
    AEDescriptor items = AEDescriptor::listDescriptor();
    items.insertDescriptor(data("furl", "file:///media/u/DRIVE/"), 0);
    items.insertDescriptor(nested, 0);
    items.insertDescriptor(data("true", {}), 0);

    AEDescriptor event = AEDescriptor::appleEventWithEventClass(fourCharCode("TEST"), kEcho);
    event.setParamDescriptor(data("furl", "file:///media/u/DRIVE/"), AEKeyword::directObject);
    event.setParamDescriptor(items, fourCharCode("ITMZ"));
    event.setParamDescriptor(AEDescriptor::listDescriptor(), fourCharCode("empt"));
    event.setParamDescriptor(data("fals", {}), fourCharCode("CSSP"));
    event.setParamDescriptor(AEDescriptor::descriptorWithInt32(-50), fourCharCode("errn"));
    event.setParamDescriptor(AEDescriptor::descriptorWithString(QStringLiteral("é ✓")),
                             fourCharCode("errs"));
    event.setParamDescriptor(data("alis", QByteArray("\0\xff\x01 z", 5)), fourCharCode("bin "));
    event.setParamDescriptor(AEDescriptor(), fourCharCode("null"));

    const AEEventResult result = send(event);
    ASSERT_EQ(result.status, AEEventResult::Status::Replied) << result.error.toStdString();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], event);
    EXPECT_TRUE(replyWanted[0]);
    AEDescriptor expected = AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer);
    for (int i = 1; i <= event.numberOfItems(); ++i) {
        expected.setParamDescriptor(*event.descriptorAtIndex(i),
                                    event.keywordForDescriptorAtIndex(i));
    }
    EXPECT_EQ(result.reply, expected);
}

TEST_F(AEEventServerTest, NoReplyWantedRunsTheHandlerAndAnswersEmpty) {
    AEDescriptor event = AEDescriptor::appleEventWithEventClass(fourCharCode("TEST"), kEcho);
    event.setParamDescriptor(data("true", {}), AEKeyword::directObject);
    const AEEventResult result = send(event, false);
    ASSERT_EQ(result.status, AEEventResult::Status::Replied) << result.error.toStdString();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_FALSE(replyWanted[0]);
    EXPECT_EQ(result.reply.numberOfItems(), 0);
}

TEST_F(AEEventServerTest, AHeldReplyDoesNotHoldUpOtherCalls) {
    const AEDescriptor slow = AEDescriptor::appleEventWithEventClass(fourCharCode("TEST"), kSlow);
    const QDBusConnection client = clientConnection();
    QDBusPendingCall pending =
        client.asyncCall(eventCallMessage(slow, true, QLatin1String(kScriptingService)), 20000);
    ASSERT_TRUE(waitUntil([&] { return held.replyWanted(); }));

    expectServiceUp();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_FALSE(pending.isFinished());

    held.descriptor().setParamDescriptor(data("true", {}), AEKeyword::directObject);
    held.send();
    held = AEReply();
    ASSERT_TRUE(waitUntil([&] { return pending.isFinished(); }));
    const auto reply = decodeEventReply(pending.reply());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->paramDescriptorForKeyword(AEKeyword::directObject), data("true", {}));
}

TEST_F(AEEventServerTest, AnEventWithoutHandlerGetsEventNotHandled) {
    const AEEventResult result =
        send(AEDescriptor::appleEventWithEventClass(fourCharCode("VSNC"), fourCharCode("NOPE")));
    ASSERT_EQ(result.status, AEEventResult::Status::Replied);
    EXPECT_EQ(result.reply.paramDescriptorForKeyword(AEKeyword::errorNumber)->int32Value(),
              kAEEventNotHandled);
}

TEST_F(AEEventServerTest, MalformedParametersGetParameterError) {
    QVariantMap deep{{"deep", structure(QStringLiteral("furl"), QByteArray("x"))}};
    for (int i = 0; i < kMaxDescriptorDepth + 2; ++i) {
        QDBusArgument list;
        list.beginStructure();
        list << QStringLiteral("list");
        list.beginArray(QMetaType::fromType<QDBusVariant>());
        list << QDBusVariant(deep.first());
        list.endArray();
        list.endStructure();
        deep["deep"] = QVariant::fromValue(list);
    }
    QDBusArgument badItem;
    badItem.beginStructure();
    badItem << QStringLiteral("list");
    badItem.beginArray(QMetaType::fromType<QDBusVariant>());
    badItem << QDBusVariant(structure(QStringLiteral("furl"), QByteArray("x")));
    badItem << QDBusVariant(42);
    badItem.endArray();
    badItem.endStructure();

    const QVariant furl = structure(QStringLiteral("furl"), QByteArray("file:///"));
    expectParameterError({{"---", furl}}, "keyword \"---\"");
    expectParameterError({{"", furl}}, "keyword \"\"");
    expectParameterError({{"ITMZ\xc3\xa9", furl}}, "is not four characters");
    expectParameterError({{"----", 5}}, "not a (say) or (sav)");
    expectParameterError({{"----", QStringLiteral("file:///")}}, "not a (say) or (sav)");
    expectParameterError({{"----", QVariant::fromValue(QByteArray("file:///"))}},
                         "not a (say) or (sav)");
    expectParameterError({{"----", structure(QStringLiteral("furl"), 5)}}, "not a (say)");
    expectParameterError(
        {{"----", structure(QStringLiteral("furl"), QByteArray("x"), QStringLiteral("extra"))}},
        "not a (say)");
    expectParameterError({{"----", structure(QStringLiteral("fur"), QByteArray("x"))}},
                         "type code \"fur\"");
    expectParameterError({{"----", structure(QStringLiteral("list"), QByteArray())}},
                         "'list' given as data");
    expectParameterError({{"ITMZ", QVariant::fromValue(badItem)}},
                         "'ITMZ': item 2: a value is not");
    expectParameterError(deep, "nested more than");
    expectServiceUp();
}

TEST_F(AEEventServerTest, CallsThatFormNoEventGetDBusErrors) {
    const QVariant parameters = QVariant::fromValue(QVariantMap());
    const struct {
        QVariantList arguments;
        QString member;
        QString errorName;
    } cases[] = {
        {{"TEST", "ECHO"}, kScriptingMethod, "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"TEST", "ECHO", parameters, true, 1},
         kScriptingMethod,
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"TEST", "ECHO", QVariant::fromValue(QStringList{"a"}), true},
         kScriptingMethod,
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"TES", "ECHO", parameters, true},
         kScriptingMethod,
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"TEST", "ECHO\t", parameters, true},
         kScriptingMethod,
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"TEST", QString::fromUtf8("ECH\xc3\xa9"), parameters, true},
         kScriptingMethod,
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{}, "Other", "org.freedesktop.DBus.Error.UnknownMethod"},
    };
    for (const auto& c : cases) {
        const QDBusMessage answer = callAndWait(rawCall(c.arguments, c.member));
        EXPECT_EQ(answer.type(), QDBusMessage::ErrorMessage) << c.member.toStdString();
        EXPECT_EQ(answer.errorName(), c.errorName);
    }
    EXPECT_TRUE(received.empty());
    expectServiceUp();
}

// gdbus is another program's D-Bus stack: what it writes must be read the same.
class GdbusTest : public AEEventServerTest {
  protected:
    ProcessResult gdbusCall(const QString& eventClass, const QString& eventID,
                            const QString& parameters) {
        return runServing("gdbus",
                          {"call", "--session", "--dest", kScriptingService, "--object-path",
                           kScriptingObjectPath, "--method",
                           QStringLiteral("%1.%2").arg(kScriptingInterface, kScriptingMethod),
                           eventClass, eventID, parameters, "true"});
    }
};

TEST_F(GdbusTest, WellFormedAndMalformedCalls) {
    ProcessResult result = gdbusCall("TEST", "ECHO",
                                     "{'----': <('furl', b'file:///media/u/DRIVE/')>, "
                                     "'ITMZ': <('list', [<('true', @ay [])>])>}");
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].description(),
              R"('TEST'\'ECHO'{ '----':'furl'("file:///media/u/DRIVE/"), 'ITMZ':[ 'true'() ] })");
    EXPECT_TRUE(result.out.contains("'ITMZ'")) << result.out.toStdString();

    result = gdbusCall("TEST", "ECHO", "{'----': <'file:///media/u/DRIVE/'>}");
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    // errn -50, little-endian.
    EXPECT_TRUE(result.out.contains("'errn': <('long', [byte 0xce, 0xff, 0xff, 0xff])>"))
        << result.out.toStdString();

    result = gdbusCall("TEST", "ECHO", "{'--': <('furl', b'x')>}");
    EXPECT_TRUE(result.out.contains("'errn'")) << result.out.toStdString();

    // GLib writes a key twice where Qt can't.
    result = gdbusCall("TEST", "ECHO", "{'----': <('true', @ay [])>, '----': <('fals', @ay [])>}");
    EXPECT_TRUE(result.out.contains("'errn'")) << result.out.toStdString();

    result = gdbusCall("TEST", "EC", "{}");
    EXPECT_NE(result.exitCode, 0);
    EXPECT_TRUE(result.err.contains("InvalidArgs")) << result.err.toStdString();

    EXPECT_EQ(received.size(), 1u);
    expectServiceUp();
}

}  // namespace
