// The real program on a bus of the test's own, sent calls of every malformed shape and then a
// flood of ten thousand while a sync runs: every call is answered, the program stays up and
// responsive, and its memory does not grow with the number of calls.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <fstream>
#include <thread>

#include "PrivateBus.h"
#include "Reliability.h"
#include "ScriptingInterface.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderSanitizer =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kUnderSanitizer = false;
#endif

// A descriptor (struct) written by hand, for shapes no encoder makes.
QVariant descriptor(const char* type, const QByteArray& data) {
    QDBusArgument argument;
    argument.beginStructure();
    argument << QString::fromLatin1(type) << data;
    argument.endStructure();
    return QVariant::fromValue(argument);
}
QVariant listOf(const QList<QVariant>& items) {
    QDBusArgument argument;
    argument.beginStructure();
    argument << QStringLiteral("list");
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const QVariant& item : items) argument << QDBusVariant(item);
    argument.endArray();
    argument.endStructure();
    return QVariant::fromValue(argument);
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

// The reply's parameters, when the answer is one.
QVariantMap replyParameters(const QDBusMessage& answer) {
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) return {};
    return qdbus_cast<QVariantMap>(answer.arguments().first());
}

// Runs this process's event loop until `done` or `ms` have passed.
template <typename Predicate>
bool pump(Predicate done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

enum class Expect { BusError, ErrorResult, Answer };

struct Call {
    std::string name;
    QDBusMessage call;
    Expect expect;
};

// An answer of the kind expected: never a time-out or a dropped call.
std::string judge(const Call& c, const QDBusMessage& answer) {
    const bool busError = answer.type() == QDBusMessage::ErrorMessage;
    for (const char* lost : {"NoReply", "Timeout", "Disconnected", "ServiceUnknown"})
        if (answer.errorName() == QStringLiteral("org.freedesktop.DBus.Error.") + lost)
            return std::string("no answer: ") + lost;
    if (c.expect == Expect::BusError && !busError) return "not refused by the bus layer";
    if (c.expect == Expect::ErrorResult &&
        !replyParameters(answer).contains(QStringLiteral("errn")))
        return "no error in the result";
    return busError || answer.type() == QDBusMessage::ReplyMessage ? "" : "no answer";
}

class ScriptingFlood : public testing::Test {
  protected:
    void SetUp() override {
        // A dictionary of strings where the method takes one of variants.
        qDBusRegisterMetaType<QMap<QString, QString>>();
        ASSERT_TRUE(privateBus.ok()) << "could not start dbus-daemon";
        ASSERT_TRUE(putFile(s.mac("Sites/index.html"), "<h1>hello</h1>\n") &&
                    s.configure({"~/Sites"}));
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
            QString::fromStdString(privateBus.address()), QStringLiteral("flood")));
        ASSERT_TRUE(bus->isConnected());
    }
    void TearDown() override {
        if (app.running()) {
            app.terminate();
            EXPECT_EQ(app.finish(10), 0) << app.output();
        }
        bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("flood"));
    }

    void start() {
        ASSERT_TRUE(app.spawn({buildProgram("bin/pellora")}));
        ASSERT_TRUE(
            pump([&] { return send(info(), 1000).type() == QDBusMessage::ReplyMessage; }, 15000))
            << app.output();
        const QDBusReply<uint> pid = bus->interface()->servicePid(kScriptingService);
        ASSERT_TRUE(pid.isValid());
        appPid = pid_t(pid.value());
    }
    QDBusMessage send(const QDBusMessage& call, int timeoutMs = 10000) {
        app.drain();
        return bus->call(call, QDBus::Block, timeoutMs);
    }
    QByteArray driveURL() const { return "file://" + QByteArray::fromStdString(s.drive) + "/"; }
    QDBusMessage info() const { return event("VSNC", "INFO", furl(driveURL())); }
    QDBusMessage query() const { return event("VSNC", "QURY", furl(driveURL())); }
    int64_t residentKiB() const {
        std::ifstream status("/proc/" + std::to_string(appPid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
        return -1;
    }

    // A valid query, answered with a result within a second.
    void expectResponsive() {
        QElapsedTimer clock;
        clock.start();
        const QVariantMap reply = replyParameters(send(query()));
        EXPECT_TRUE(reply.contains(QStringLiteral("----")) &&
                    !reply.contains(QStringLiteral("errn")));
        EXPECT_LT(clock.elapsed(), 1000);
    }

    std::vector<Call> malformed(bool withHuge) const;

    Scene s{"flood-drive"};
    PrivateBus privateBus;
    RunnerProcess app;
    std::unique_ptr<QDBusConnection> bus;
    pid_t appPid = 0;
};

// One call of each malformed shape the layer's own tests refuse one by one, and calls at the
// sizes the bus still carries.
std::vector<Call> ScriptingFlood::malformed(bool withHuge) const {
    const QVariant none = QVariant::fromValue(QVariantMap()),
                   drive = descriptor("furl", driveURL());
    auto setList = [&](const QVariant& list) {
        return event("VSNC", "SETL", {{"----", drive}, {"ITMZ", list}});
    };
    QVariant wrapped = drive;
    for (int i = 0; i < 40; ++i) wrapped = QVariant::fromValue(QDBusVariant(wrapped));
    QVariantMap manyKeys;
    for (int i = 0; i < 2000; ++i)
        manyKeys.insert(QStringLiteral("K") + QString::number(1000 + i), drive);
    std::vector<Call> out = {
        {"no arguments", rawCall({}), Expect::BusError},
        {"parameters a{ss}",
         rawCall(
             {"VSNC", "QURY", QVariant::fromValue(QMap<QString, QString>{{"----", "x"}}), true}),
         Expect::BusError},
        {"class of 8 characters", event("VSNCVSNC", "QURY", {}), Expect::BusError},
        {"unknown event", event("VSNC", "NOPE", furl(driveURL())), Expect::ErrorResult},
        {"direct object a number", event("VSNC", "QURY", {{"----", 5}}), Expect::ErrorResult},
        {"list of numbers", setList(listOf({1, 2})), Expect::ErrorResult},
        {"40 nested variants", event("VSNC", "QURY", {{"----", wrapped}}), Expect::ErrorResult},
        {"2000 keywords", event("VSNC", "QURY", manyKeys), Expect::ErrorResult},
    };
    for (const QByteArray& url :
         {QByteArray(), QByteArray("http://example.com/drive/"),
          QByteArray("file:///tmp/%2e%2e/%2e%2e/"), QByteArray("file:///\xff\xfe/"),
          driveURL() + ".TolvexConfig", "file://" + QByteArray(64 * 1024, 'a')})
        for (const char* id : {"QURY", "GETL", "DOIT", "STOP", "SCSS", "GCSS", "INFO"})
            out.push_back({std::string(id) + " on URL \"" + url.left(40).toStdString() + "\"",
                           event("VSNC", id, furl(url)), Expect::Answer});
    if (!withHuge) return out;
    const QString huge(4 * 1024 * 1024, u'x');
    QList<QVariant> items;
    for (int i = 0; i < 20000; ++i)
        items.append(descriptor("furl", "file:///tmp/" + QByteArray::number(i)));
    // Read to its last item, which is refused, so that the list is left as it was.
    items.append(descriptor("furl", "http://example.com/"));
    out.push_back({"class of 4 MiB", event(huge, "QURY", {}), Expect::BusError});
    out.push_back({"keyword of 1 MiB", event("VSNC", "QURY", {{huge.left(1 << 20), drive}}),
                   Expect::ErrorResult});
    out.push_back({"URL of 16 MiB",
                   event("VSNC", "QURY", furl("file:///" + QByteArray(16 << 20, 'a'))),
                   Expect::Answer});
    out.push_back(
        {"list of 20,001 URLs, the last not a file", setList(listOf(items)), Expect::ErrorResult});
    return out;
}

TEST_F(ScriptingFlood, EveryMalformedCallIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(start());
    const QByteArray configBefore = readFile(s.configPath());
    for (const Call& c : malformed(true)) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(judge(c, send(c.call, 20000)), "");
        ASSERT_TRUE(app.running());
    }
    // Refused lists changed nothing.
    EXPECT_EQ(readFile(s.configPath()), configBefore);
    expectResponsive();
}

// Ten thousand calls, four valid to one malformed, sent in windows of some hundreds while the
// drive syncs; every one answered, the sync finishes, and memory stays flat.
TEST_F(ScriptingFlood, TenThousandCallsDuringASync) {
    // Enough files that the sync is still running while the calls come.
    for (int i = 0; i < 20000; ++i)
        ASSERT_TRUE(
            putFile(s.mac("Sites/d" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".txt"),
                    QByteArray(1024 + i % 2048, char('a' + i % 26))));
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<Call> pool = {
        {"query", query(), Expect::Answer},
        {"info", info(), Expect::Answer},
        {"get list", event("VSNC", "GETL", furl(driveURL())), Expect::Answer},
        {"get continuous", event("VSNC", "GCSS", furl(driveURL())), Expect::Answer}};
    const size_t valid = pool.size();
    // Malformed calls that change nothing even when they would be taken.
    for (Call& c : malformed(false))
        if (c.name.find("DOIT") == std::string::npos && c.name.find("STOP") == std::string::npos &&
            c.name.find("SCSS") == std::string::npos)
            pool.push_back(std::move(c));

    ASSERT_FALSE(replyParameters(send(event("VSNC", "DOIT", furl(driveURL()))))
                     .contains(QStringLiteral("errn")));
    // The run's staging folder on the drive lives from its start to its end.
    ASSERT_TRUE(pump([&] { return pathExists(s.driveStaging()); }, 15000));
    constexpr int kCalls = 10000, kWindow = 400, kWarmUp = 400;
    int64_t rssAfterWarmUp = -1;
    int answered = 0, sent = 0, sentDuringSync = 0;
    std::map<std::string, int> faults;
    while (sent < kCalls) {
        std::vector<std::pair<const Call*, QDBusPendingCall>> window;
        const bool syncing = pathExists(s.driveStaging());
        for (int i = 0; i < kWindow && sent < kCalls; ++i, ++sent) {
            const Call& c = sent % 5 < 4 ? pool[size_t(sent) % valid]
                                         : pool[valid + size_t(sent / 5) % (pool.size() - valid)];
            window.emplace_back(&c, bus->asyncCall(c.call, 30000));
        }
        pump(
            [&] {
                app.drain();
                return std::all_of(window.begin(), window.end(),
                                   [](auto& w) { return w.second.isFinished(); });
            },
            40000);
        for (auto& [c, pending] : window) {
            const std::string fault =
                pending.isFinished() ? judge(*c, pending.reply()) : "unfinished";
            fault.empty() ? void(++answered) : void(++faults[fault + ": " + c->name]);
        }
        sentDuringSync += syncing ? int(window.size()) : 0;
        if (sent == kWarmUp) rssAfterWarmUp = residentKiB();
        ASSERT_TRUE(app.running());
    }
    const int64_t rssAfter = residentKiB();
    for (const auto& [fault, count] : faults) ADD_FAILURE() << count << " x " << fault;
    EXPECT_EQ(answered, kCalls);
    expectResponsive();
    const std::string log = s.top + "/.local/state/Pellora/Pellora.log";
    EXPECT_TRUE(pump(
        [&] {
            return readFile(log).contains("Synchronization of \"drive\" completed successfully.");
        },
        60000))
        << readFile(log).toStdString();
    // A thousand calls at least came while the sync ran.
    EXPECT_GE(sentDuringSync, kCalls / 10);
    EXPECT_EQ(readFile(s.onDrive("Sites/d7/f7.txt")), QByteArray(1024 + 7, 'h'));
    // The sanitizers hold freed memory back for a while: growth there says nothing of ours.
    ASSERT_GT(rssAfterWarmUp, 0);
    EXPECT_LT(kUnderSanitizer ? 0 : rssAfter - rssAfterWarmUp, 10 * 1024);
}

}  // namespace
