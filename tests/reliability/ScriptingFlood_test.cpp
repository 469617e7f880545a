// The real program on a bus of the test's own, sent a flood of ten thousand calls, valid ones
// and ones of every malformed shape, while a sync runs: every call is answered, the program
// stays up and responsive, and the sync it was asked for finishes.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <thread>

#include "PrivateBus.h"
#include "Reliability.h"
#include "ScriptingInterface.h"

namespace {

// A descriptor (struct) written by hand, for shapes no encoder makes.
template <typename... Fields>
QVariant structure(const Fields&... fields) {
    QDBusArgument argument;
    argument.beginStructure();
    (argument << ... << fields);
    argument.endStructure();
    return QVariant::fromValue(argument);
}
QVariant descriptor(const char* type, const QByteArray& data) {
    return structure(QString::fromLatin1(type), data);
}

QDBusMessage rawCall(const QVariantList& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(kScriptingService, kScriptingObjectPath,
                                                       kScriptingInterface, kScriptingMethod);
    call.setArguments(arguments);
    return call;
}
QDBusMessage event(const QString& eventClass, const QString& eventID,
                   const QVariantMap& parameters) {
    return rawCall({eventClass, eventID, QVariant::fromValue(parameters), true});
}
QVariantMap furl(const QByteArray& url) {
    return {{QStringLiteral("----"), descriptor("furl", url)}};
}

// Runs this process's event loop, reading what `app` writes (a full pipe would stall it), until
// `done` or `ms` have passed.
template <typename Predicate>
bool pump(RunnerProcess& app, int ms, Predicate done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        app.drain();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Every call is answered, never dropped or left to time out; a valid one with a result.
std::string judge(bool valid, const QDBusMessage& answer) {
    for (const char* lost : {"NoReply", "Timeout", "Disconnected", "ServiceUnknown"})
        if (answer.errorName() == QStringLiteral("org.freedesktop.DBus.Error.") + lost)
            return std::string("no answer: ") + lost;
    const bool result = answer.type() == QDBusMessage::ReplyMessage;
    const bool error = qdbus_cast<QVariantMap>(answer.arguments().value(0)).contains("errn");
    if (valid) return result && !error ? "" : "refused";
    return result || answer.type() == QDBusMessage::ErrorMessage ? "" : "no answer";
}

// One call of each malformed shape the layer's own tests refuse one by one, and each query on
// URLs it cannot use.
std::vector<QDBusMessage> malformed(const QByteArray& driveURL) {
    const QVariant drive = descriptor("furl", driveURL);
    QVariant wrapped = drive;
    for (int i = 0; i < 40; ++i) wrapped = QVariant::fromValue(QDBusVariant(wrapped));
    std::vector<QDBusMessage> out = {
        rawCall({}),
        rawCall({"VSNC", "QURY", QVariant::fromValue(QStringList{"----"}), 1}),
        event("VSNCVSNC", "QURY", {}),
        event("VSNC", "NOPE", furl(driveURL)),
        event("VSNC", "QURY", {{"----", 5}}),
        event("VSNC", "SETL",
              {{"----", drive},
               {"ITMZ", structure(QStringLiteral("list"), QList<QDBusVariant>{QDBusVariant(1)})}}),
        event("VSNC", "QURY", {{"----", wrapped}}),
    };
    for (const QByteArray& url : {QByteArray(), QByteArray("http://example.com/drive/"),
                                  QByteArray("file:///tmp/%2e%2e/%2e%2e/"),
                                  QByteArray("file:///\xff\xfe/"), driveURL + ".TolvexConfig"})
        for (const char* id : {"QURY", "GETL", "GCSS", "INFO"})
            out.push_back(event("VSNC", id, furl(url)));
    return out;
}

// Ten thousand calls, four valid to one malformed, sent in windows of some hundreds while the
// drive syncs.
TEST(ScriptingFlood, EveryCallIsAnsweredWhileASyncRunsAndTheSyncFinishes) {
    Scene s("flood-drive");
    PrivateBus privateBus;
    ASSERT_TRUE(privateBus.ok()) << "could not start dbus-daemon";
    // Enough files that the sync is still running while the calls come.
    for (int i = 0; i < 20000; ++i)
        ASSERT_TRUE(
            putFile(s.mac("Sites/d" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".txt"),
                    QByteArray(1024 + i % 2048, char('a' + i % 26))));
    ASSERT_TRUE(s.configure({"~/Sites"}));
    QDBusConnection bus = QDBusConnection::connectToBus(
        QString::fromStdString(privateBus.address()), QStringLiteral("flood"));
    RunnerProcess app;
    auto send = [&](const QDBusMessage& call) {
        app.drain();  // a full pipe would stall the program
        return bus.call(call, QDBus::Block, 20000);
    };
    const QByteArray driveURL = "file://" + QByteArray::fromStdString(s.drive) + "/";
    const QDBusMessage query = event("VSNC", "QURY", furl(driveURL));
    ASSERT_TRUE(bus.isConnected() && app.spawn({buildProgram("bin/pellora")}));
    ASSERT_TRUE(pump(app, 15000, [&] { return send(query).type() == QDBusMessage::ReplyMessage; }))
        << app.output();

    std::vector<QDBusMessage> pool = {query, event("VSNC", "INFO", furl(driveURL)),
                                      event("VSNC", "GETL", furl(driveURL)),
                                      event("VSNC", "GCSS", furl(driveURL))};
    const size_t valid = pool.size();
    for (const QDBusMessage& call : malformed(driveURL)) pool.push_back(call);
    ASSERT_EQ(judge(true, send(event("VSNC", "DOIT", furl(driveURL)))), "");
    // The run's staging folder on the drive lives from its start to its end.
    ASSERT_TRUE(pump(app, 15000, [&] { return pathExists(s.driveStaging()); }));
    constexpr int kWindows = 25, kWindow = 400;
    int windowsDuringSync = 0;
    std::map<std::string, int> faults;
    for (int w = 0; w < kWindows; ++w) {
        std::vector<std::pair<size_t, QDBusPendingCall>> window;
        windowsDuringSync += pathExists(s.driveStaging());
        for (int i = w * kWindow; i < (w + 1) * kWindow; ++i) {
            const size_t c =
                i % 5 < 4 ? size_t(i) % valid : valid + size_t(i / 5) % (pool.size() - valid);
            window.emplace_back(c, bus.asyncCall(pool[c], 30000));
        }
        pump(app, 40000, [&] {
            return std::all_of(window.begin(), window.end(),
                               [](auto& w) { return w.second.isFinished(); });
        });
        // An unfinished call's reply is no answer.
        for (auto& [c, pending] : window)
            if (const std::string fault = judge(c < valid, pending.reply()); !fault.empty())
                ++faults[fault + ", call " + std::to_string(c)];
        ASSERT_TRUE(app.running());
    }
    EXPECT_EQ(faults, (std::map<std::string, int>{}));
    EXPECT_GE(windowsDuringSync, 3);  // a tenth of the calls at least
    // Still answering at once after the flood.
    EXPECT_EQ(judge(true, bus.call(query, QDBus::Block, 1000)), "");
    const std::string log = s.top + "/.local/state/Pellora/Pellora.log";
    const char* completed = "Synchronization of \"drive\" completed successfully.";
    EXPECT_TRUE(pump(app, 60000, [&] { return readFile(log).contains(completed); }));
    EXPECT_EQ(readFile(s.onDrive("Sites/d7/f7.txt")), QByteArray(1024 + 7, 'h'));
    app.terminate();
    EXPECT_EQ(app.finish(10), 0) << app.output();
}

}  // namespace
