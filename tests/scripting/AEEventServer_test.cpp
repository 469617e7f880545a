// The D-Bus transport on a bus of the test's own: events in, replies out, and calls of every
// wrong shape refused without harm to the service.

#include <QDBusArgument>
#include <QDBusVariant>
#include <vector>

#include "AEDBusCoding.h"
#include "AEEventServer.h"
#include "ScriptingFixture.h"
#include "ScriptingInterface.h"

namespace {

const FourCharCode kTest = fourCharCode("TEST"), kEcho = fourCharCode("ECHO");

AEDescriptor data(const char (&type)[5], const QByteArray& bytes) {
    return AEDescriptor::descriptorWithDescriptorType(fourCharCode(type), bytes);
}

// A (struct) value written by hand, for shapes no encoder makes.
template <typename... Fields>
QVariant structure(const Fields&... fields) {
    QDBusArgument argument;
    argument.beginStructure();
    (argument << ... << fields);
    argument.endStructure();
    return QVariant::fromValue(argument);
}

QVariant listOf(const QVariantList& items) {
    QList<QDBusVariant> variants;
    for (const QVariant& item : items) variants << QDBusVariant(item);
    return structure(QStringLiteral("list"), variants);
}

class AEEventServerTest : public testing::Test {
  protected:
    void SetUp() override {
        // Echo: every parameter comes back in the reply.
        server.setEventHandler(kTest, kEcho, [this](const AEDescriptor& event, AEReply reply) {
            received.push_back(event);
            for (int i = 1; i <= event.numberOfItems(); ++i)
                reply.descriptor().setParamDescriptor(*event.descriptorAtIndex(i),
                                                      event.keywordForDescriptorAtIndex(i));
        });
        QString error;
        ASSERT_TRUE(server.start(QDBusConnection::sessionBus(), &error)) << error.toStdString();
    }
    // Sent from a second connection, through the bus daemon like another program's; the answer
    // comes while the events are served.
    static QDBusMessage call(const QDBusMessage& message) {
        QDBusPendingCall pending =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("client"))
                .asyncCall(message, 20000);
        waitUntil([&] { return pending.isFinished(); });
        return pending.reply();
    }

    AEEventServer server;
    std::vector<AEDescriptor> received;
};

TEST_F(AEEventServerTest, EveryDescriptorKindTravelsBothWays) {
    const auto list = [](std::initializer_list<AEDescriptor> items) {
        AEDescriptor list = AEDescriptor::listDescriptor();
        for (const AEDescriptor& item : items) list.insertDescriptor(item, 0);
        return list;
    };
    const AEDescriptor inner = AEDescriptor::descriptorWithString(QStringLiteral("in\"ner\n"));
    const std::pair<FourCharCode, AEDescriptor> parameters[] = {
        {fourCharCode("----"), data("furl", "file:///media/u/DRIVE/")},
        {fourCharCode("ITMZ"),
         list({data("furl", "file:///x/"), list({inner, list({})}), data("true", {})})},
        {fourCharCode("errn"), AEDescriptor::descriptorWithInt32(-50)},
        {fourCharCode("errs"), AEDescriptor::descriptorWithString(QStringLiteral("é ✓"))},
        {fourCharCode("bin "), data("alis", QByteArray("\0\xff\x01 z", 5))},
        {fourCharCode("null"), AEDescriptor()}};
    AEDescriptor event = AEDescriptor::appleEventWithEventClass(kTest, kEcho);
    AEDescriptor expected = AEDescriptor::appleEventWithEventClass(kCoreEventClass, kAEAnswer);
    for (const auto& [keyword, value] : parameters) {
        event.setParamDescriptor(value, keyword);
        expected.setParamDescriptor(value, keyword);
    }
    const auto reply = decodeEventReply(call(eventCallMessage(event, true, kScriptingService)));
    EXPECT_EQ(received, std::vector<AEDescriptor>{event});
    EXPECT_EQ(reply, expected);
}

// Each wrong call gets a D-Bus error, or an event reply with an error number and text; no
// handler runs, and the service goes on answering.
TEST_F(AEEventServerTest, CallsOfEveryWrongShapeAreRefused) {
    QVariant deep = structure(QStringLiteral("furl"), QByteArray("x"));
    for (int i = 0; i < kMaxDescriptorDepth + 2; ++i) deep = listOf({deep});
    const QVariant furl = structure(QStringLiteral("furl"), QByteArray("file:///"));
    const auto event = [](const QString& key, const QVariant& value, const QString& id = "ECHO") {
        return QVariantList{"TEST", id, QVariant::fromValue(QVariantMap{{key, value}}), true};
    };
    const QVariant none = QVariant::fromValue(QVariantMap());
    // A D-Bus error's name, or the reply's error number and a piece of its text.
    const std::pair<QVariantList, const char*> cases[] = {
        {{"TEST", "ECHO"}, "InvalidArgs"},
        {{"TEST", "ECHO", none, true, 1}, "InvalidArgs"},
        {{"TEST", "ECHO", QVariant::fromValue(QStringList{"a"}), true}, "InvalidArgs"},
        {{"TES", "ECHO", none, true}, "InvalidArgs"},
        {{"TEST", QString::fromUtf8("ECH\xc3\xa9"), none, true}, "InvalidArgs"},
        {{}, "UnknownMethod"},  // a method of another name
        {event("----", furl, "NOPE"), "-1708"},
        {event("---", furl), "-50 keyword \"---\""},
        {event("ITMZ\xc3\xa9", furl), "-50 is not four characters"},
        {event("----", 5), "-50 not a (say) or (sav)"},
        {event("----", "file:///"), "-50 not a (say) or (sav)"},
        {event("----", structure(QStringLiteral("furl"), 5)), "-50 not a (say)"},
        {event("----", structure(QStringLiteral("furl"), QByteArray(), 1)), "-50 not a (say)"},
        {event("----", structure(QStringLiteral("fur"), QByteArray())), "-50 type code \"fur\""},
        {event("----", structure(QStringLiteral("list"), QByteArray())), "-50 'list' given as"},
        {event("ITMZ", listOf({furl, 42})), "-50 'ITMZ': item 2: a value is not"},
        {event("deep", deep), "-50 nested more than"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(expected);
        QDBusMessage call = QDBusMessage::createMethodCall(
            kScriptingService, kScriptingObjectPath, kScriptingInterface,
            arguments.isEmpty() ? QStringLiteral("Other") : kScriptingMethod);
        call.setArguments(arguments);
        const QDBusMessage answer = this->call(call);
        const auto reply = decodeEventReply(answer);
        const auto part = [&](FourCharCode keyword) {
            return reply->paramDescriptorForKeyword(keyword).value_or(AEDescriptor());
        };
        const QString got =
            !reply ? answer.errorName().section('.', -1)
                   : QString::number(part(AEKeyword::errorNumber).int32Value().value_or(0)) + " " +
                         part(AEKeyword::errorString).stringValue().value_or(QString());
        const QString want = QString::fromUtf8(expected);
        EXPECT_TRUE(got.startsWith(want.section(' ', 0, 0) + (reply ? " " : "")) &&
                    got.contains(want.section(' ', 1)))
            << got.toStdString();
    }
    EXPECT_TRUE(received.empty());
}

}  // namespace
