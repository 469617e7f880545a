// The real program on a bus of the test's own, sent calls of every malformed shape and then a
// flood of ten thousand while a sync runs: every call is answered, the program stays up and
// responsive, and its memory does not grow with the number of calls.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <cstdio>
#include <fstream>

#include "../app/AppSupport.h"
#include "../scripting/ScriptingFixture.h"
#include "FakeMountTable.h"
#include "InMemoryTemporaryFolder.h"
#include "ScriptingInterface.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLORA_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLORA_UNDER_SANITIZER 1
#endif
#endif

namespace {

#ifdef PELLORA_UNDER_SANITIZER
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

QVariant descriptor(const char* type, const QByteArray& data) {
    return structure(QString::fromLatin1(type), data);
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
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kScriptingService), QLatin1String(kScriptingObjectPath),
        QLatin1String(kScriptingInterface), QLatin1String(kScriptingMethod));
    call.setArguments(arguments);
    return call;
}

QDBusMessage event(const QString& eventClass, const QString& eventID, const QVariantMap& parameters,
                   bool replyWanted = true) {
    return rawCall({eventClass, eventID, QVariant::fromValue(parameters), replyWanted});
}

QVariantMap furlParameter(const QByteArray& url) {
    return {{QStringLiteral("----"), descriptor("furl", url)}};
}

// A (say) descriptor's type code and data.
std::pair<QString, QByteArray> descriptorOf(const QVariant& value) {
    std::pair<QString, QByteArray> out;
    if (value.metaType() != QMetaType::fromType<QDBusArgument>()) return out;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("(say)")) return out;
    argument.beginStructure();
    argument >> out.first >> out.second;
    argument.endStructure();
    return out;
}

// The reply's parameters, when the answer is one.
QVariantMap replyParameters(const QDBusMessage& answer) {
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) return {};
    return qdbus_cast<QVariantMap>(answer.arguments().first());
}

enum class Expect { BusError, ErrorResult, Answer };

struct Malformed {
    std::string name;
    QDBusMessage call;
    Expect expect;
};

int64_t residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
    return -1;
}

class ScriptingFlood : public testing::Test {
  protected:
    void SetUp() override {
        // A dictionary of strings where the method takes one of variants.
        qDBusRegisterMetaType<QMap<QString, QString>>();
        top = home.path();
        drive = makeFolder(top + "/DRIVE");
        writeTree(top + "/Sites/index.html", "<h1>hello</h1>\n");
        prepareDrive(drive, {QStringLiteral("~/Sites")}, QStringLiteral("flood-drive"));
        ASSERT_TRUE(table.add(drive, "/dev/pellora-flood"));
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
            QString::fromStdString(kScriptingEnvironment->bus->address()),
            QStringLiteral("flood")));
        ASSERT_TRUE(bus->isConnected());
    }
    void TearDown() override {
        if (app) {
            std::optional<int> status;
            for (int i = 0; i < 5 && !status; ++i) {
                app->quit();
                status = app->exitStatus(2);
            }
            EXPECT_EQ(status, 0) << logText().toStdString();
        }
        bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("flood"));
    }

    void start() {
        app = std::make_unique<Pellora>(top + "/pellora.stderr");
        ASSERT_TRUE(app->started());
        ASSERT_TRUE(
            pollUntil([&] { return send(info(), 1000).type() == QDBusMessage::ReplyMessage; }, 15))
            << readFile(top + "/pellora.stderr").toStdString();
        const QDBusReply<uint> pid = bus->interface()->servicePid(QLatin1String(kScriptingService));
        ASSERT_TRUE(pid.isValid());
        appPid = pid_t(pid.value());
    }

    QDBusMessage send(const QDBusMessage& call, int timeoutMs = 10000) {
        return bus->call(call, QDBus::Block, timeoutMs);
    }
    QByteArray driveURL() const {
        return QByteArray("file://") + QByteArray::fromStdString(drive) + "/";
    }
    QDBusMessage info() const { return event("VSNC", "INFO", furlParameter(driveURL())); }
    QDBusMessage query() const { return event("VSNC", "QURY", furlParameter(driveURL())); }

    // A valid query, answered "yes" within `ms`.
    void expectResponsive(int ms) {
        QElapsedTimer clock;
        clock.start();
        const QDBusMessage answer = send(query(), 10000);
        const qint64 took = clock.elapsed();
        const QVariantMap reply = replyParameters(answer);
        EXPECT_FALSE(reply.contains(QStringLiteral("errn"))) << answer.errorMessage().toStdString();
        ASSERT_TRUE(reply.contains(QStringLiteral("----"))) << answer.errorMessage().toStdString();
        EXPECT_EQ(descriptorOf(reply.value(QStringLiteral("----"))).first, "true");
        EXPECT_LT(took, ms);
        printf("a valid query answered in %lld ms\n", static_cast<long long>(took));
    }

    std::vector<Malformed> malformed(bool withHuge) const;

    // Thousands of files, made and removed in memory rather than on a shared disk.
    InMemoryTemporaryFolder inMemory;
    TestHome home;
    std::string top, drive;
    FakeMountTable table{home.path() + "/mountinfo"};
    std::unique_ptr<Pellora> app;
    std::unique_ptr<QDBusConnection> bus;
    pid_t appPid = 0;
};

std::vector<Malformed> ScriptingFlood::malformed(bool withHuge) const {
    const QVariant noParameters = QVariant::fromValue(QVariantMap());
    const QVariant driveFurl = descriptor("furl", driveURL());
    std::vector<Malformed> out = {
        {"no arguments", rawCall({}), Expect::BusError},
        {"class only", rawCall({"VSNC"}), Expect::BusError},
        {"no parameters", rawCall({"VSNC", "QURY"}), Expect::BusError},
        {"no reply flag", rawCall({"VSNC", "QURY", noParameters}), Expect::BusError},
        {"one argument too many", rawCall({"VSNC", "QURY", noParameters, true, 1}),
         Expect::BusError},
        {"class a number", rawCall({7, "QURY", noParameters, true}), Expect::BusError},
        {"parameters a{ss}",
         rawCall(
             {"VSNC", "QURY", QVariant::fromValue(QMap<QString, QString>{{"----", "x"}}), true}),
         Expect::BusError},
        {"parameters a list", rawCall({"VSNC", "QURY", QStringList{"----"}, true}),
         Expect::BusError},
        {"reply flag a string", rawCall({"VSNC", "QURY", noParameters, "yes"}), Expect::BusError},
        {"unknown class", event("ZZZZ", "QURY", furlParameter(driveURL())), Expect::ErrorResult},
        {"unknown event", event("VSNC", "NOPE", furlParameter(driveURL())), Expect::ErrorResult},
        {"class of 8 characters", event("VSNCVSNC", "QURY", {}), Expect::BusError},
        {"empty event ID", event("VSNC", "", {}), Expect::BusError},
        {"non-ASCII class", event(QString::fromUtf8("VSN\xc3\xa9"), "QURY", {}), Expect::BusError},
        {"four non-ASCII letters",
         event(QString::fromUtf8("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"), "QURY", {}),
         Expect::BusError},
        {"control characters", event(QString::fromLatin1("\x01\x02\x03\x04"), "QURY", {}),
         Expect::BusError},
        {"direct object a number", event("VSNC", "QURY", {{"----", 5}}), Expect::ErrorResult},
        {"direct object a string", event("VSNC", "QURY", {{"----", QString::fromUtf8(driveURL())}}),
         Expect::ErrorResult},
        {"direct object bytes", event("VSNC", "QURY", {{"----", driveURL()}}), Expect::ErrorResult},
        {"direct object (si)",
         event("VSNC", "QURY", {{"----", structure(QStringLiteral("furl"), 5)}}),
         Expect::ErrorResult},
        {"direct object (says)",
         event("VSNC", "QURY",
               {{"----", structure(QStringLiteral("furl"), driveURL(), QStringLiteral("x"))}}),
         Expect::ErrorResult},
        {"direct object text", event("VSNC", "QURY", {{"----", descriptor("utf8", driveURL())}}),
         Expect::ErrorResult},
        {"direct object non-UTF-8 text",
         event("VSNC", "QURY", {{"----", descriptor("utf8", "\xff\xfe\xc3")}}),
         Expect::ErrorResult},
        {"direct object a list of URLs", event("VSNC", "QURY", {{"----", listOf({driveFurl})}}),
         Expect::ErrorResult},
        {"keyword of 3 characters", event("VSNC", "QURY", {{"---", driveFurl}}),
         Expect::ErrorResult},
        {"non-ASCII keyword",
         event("VSNC", "QURY", {{QString::fromUtf8("\xc3\xa9---"), driveFurl}}),
         Expect::ErrorResult},
        {"list of numbers", event("VSNC", "SETL", {{"----", driveFurl}, {"ITMZ", listOf({1, 2})}}),
         Expect::ErrorResult},
        {"list holding a non-file URL",
         event(
             "VSNC", "SETL",
             {{"----", driveFurl}, {"ITMZ", listOf({descriptor("furl", "http://example.com/")})}}),
         Expect::ErrorResult},
        {"list holding non-UTF-8 text",
         event("VSNC", "SETL",
               {{"----", driveFurl}, {"ITMZ", listOf({descriptor("utf8", "\xff/\xfe")})}}),
         Expect::ErrorResult},
        {"list holding a NUL in a URL",
         event("VSNC", "SETL",
               {{"----", driveFurl},
                {"ITMZ", listOf({descriptor("furl", QByteArray("file:///tmp/a\0/b", 16))})}}),
         Expect::ErrorResult},
        {"list holding %00",
         event("VSNC", "SETL",
               {{"----", driveFurl}, {"ITMZ", listOf({descriptor("furl", "file:///tmp/a%00/b")})}}),
         Expect::ErrorResult},
        {"list holding a non-UTF-8 file name",
         event("VSNC", "SETL",
               {{"----", driveFurl}, {"ITMZ", listOf({descriptor("furl", "file:///tmp/%FF%FE")})}}),
         Expect::ErrorResult},
        {"continuous state a number",
         event("VSNC", "SCSS", {{"----", driveFurl}, {"CSSP", descriptor("long", "\1\0\0\0")}}),
         Expect::ErrorResult},
        {"continuous state a short number",
         event("VSNC", "SCSS", {{"----", driveFurl}, {"CSSP", descriptor("long", "\1")}}),
         Expect::ErrorResult},
    };
    for (const QByteArray& url :
         {QByteArray(), QByteArray("docs/x"), QByteArray("file:relative/x"),
          QByteArray("http://example.com/DRIVE/"), QByteArray("ftp:///DRIVE/"),
          QByteArray("file://otherhost/DRIVE/"), QByteArray("file:///%00/etc/"),
          QByteArray("file:///tmp/%2e%2e/%2e%2e/"), QByteArray("file:///nowhere/not/mounted/"),
          QByteArray("file:///"), QByteArray("file:///dev/null"), QByteArray("file:///proc/self/"),
          QByteArray("file:///\xff\xfe/"), QByteArray("file:///%FF%FE/"),
          QByteArray("file:") + QByteArray::fromStdString(drive), driveURL() + ".TolvexConfig",
          QByteArray("file://") + QByteArray(64 * 1024, 'a')})
        for (const char* id : {"QURY", "GETL", "DOIT", "STOP", "SCSS", "GCSS", "INFO"})
            // The one URL here that does name the drive would start a sync.
            if (!(url.startsWith("file:/") && url.endsWith("DRIVE") && !strcmp(id, "DOIT")))
                out.push_back({std::string(id) + " on URL \"" + url.left(40).toStdString() + "\"",
                               event("VSNC", id, furlParameter(url)), Expect::Answer});

    // Nesting: within what the bus carries, deeper than the program takes.
    QVariant deep = driveFurl;
    for (int i = 0; i < 18; ++i) deep = listOf({deep});
    out.push_back(
        {"18 nested lists", event("VSNC", "QURY", {{"----", deep}}), Expect::ErrorResult});
    QVariant wrapped = driveFurl;
    for (int i = 0; i < 40; ++i) wrapped = QVariant::fromValue(QDBusVariant(wrapped));
    out.push_back(
        {"40 nested variants", event("VSNC", "QURY", {{"----", wrapped}}), Expect::ErrorResult});
    QVariantMap manyKeys;
    for (int i = 0; i < 2000; ++i)
        manyKeys.insert(QString::asprintf("K%03d", i % 1000) + QString::number(i / 1000),
                        driveFurl);
    out.push_back({"2000 keywords", event("VSNC", "QURY", manyKeys), Expect::ErrorResult});

    if (withHuge) {
        const QString huge(4 * 1024 * 1024, u'x');
        out.push_back({"class of 4 MiB", event(huge, "QURY", {}), Expect::BusError});
        out.push_back({"keyword of 1 MiB", event("VSNC", "QURY", {{huge.left(1 << 20), driveFurl}}),
                       Expect::ErrorResult});
        out.push_back({"URL of 16 MiB",
                       event("VSNC", "QURY", furlParameter("file:///" + QByteArray(16 << 20, 'a'))),
                       Expect::Answer});
        // Read to its last item, which is refused, so that the list is left as it was.
        QList<QVariant> items;
        for (int i = 0; i < 20000; ++i)
            items.append(descriptor("furl", "file:///tmp/item" + QByteArray::number(i)));
        items.append(descriptor("furl", "http://example.com/"));
        out.push_back({"list of 20,001 URLs, the last not a file",
                       event("VSNC", "SETL", {{"----", driveFurl}, {"ITMZ", listOf(items)}}),
                       Expect::ErrorResult});
    }
    return out;
}

// An answer of the kind expected: never a time-out or a dropped call.
std::string judge(const Malformed& m, const QDBusMessage& answer) {
    const bool busError = answer.type() == QDBusMessage::ErrorMessage;
    if (busError && (answer.errorName() == "org.freedesktop.DBus.Error.NoReply" ||
                     answer.errorName() == "org.freedesktop.DBus.Error.Timeout" ||
                     answer.errorName() == "org.freedesktop.DBus.Error.Disconnected" ||
                     answer.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown"))
        return "no answer: " + answer.errorName().toStdString();
    const QVariantMap reply = replyParameters(answer);
    const bool errorResult = reply.contains(QStringLiteral("errn"));
    switch (m.expect) {
        case Expect::BusError:
            if (!busError) return "not refused by the bus layer";
            break;
        case Expect::ErrorResult:
            if (!errorResult) return "no error in the result";
            break;
        case Expect::Answer:
            if (!busError && answer.type() != QDBusMessage::ReplyMessage) return "no answer";
            break;
    }
    return std::string();
}

std::string outcome(const QDBusMessage& answer) {
    if (answer.type() == QDBusMessage::ErrorMessage)
        return answer.errorName().toStdString() + ": " +
               answer.errorMessage().left(80).toStdString();
    const QVariantMap reply = replyParameters(answer);
    if (!reply.contains(QStringLiteral("errn"))) return "answered without error";
    return "error result: " +
           descriptorOf(reply.value(QStringLiteral("errs"))).second.left(80).toStdString();
}

TEST_F(ScriptingFlood, EveryMalformedCallIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(start());
    const QByteArray configBefore = readFile(drive + "/.TolvexConfig");
    for (const Malformed& m : malformed(true)) {
        SCOPED_TRACE(m.name);
        const QDBusMessage answer = send(m.call, 20000);
        EXPECT_EQ(judge(m, answer), "");
        if (getenv("PELLORA_FLOOD_VERBOSE"))
            printf("%-45s %s\n", m.name.c_str(), outcome(answer).c_str());
        ASSERT_TRUE(app->running());
    }
    // Refused lists changed nothing.
    EXPECT_EQ(readFile(drive + "/.TolvexConfig"), configBefore);
    expectResponsive(1000);
}

// Ten thousand calls, most valid, a fifth malformed, sent in windows of some hundreds while the
// drive syncs; every one answered, the sync finishes, and memory stays flat.
TEST_F(ScriptingFlood, TenThousandCallsDuringASync) {
    // Enough files that the sync is still running while the calls come.
    for (int i = 0; i < 20000; ++i)
        writeTree(top + "/Sites/d" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".txt",
                  QByteArray(1024 + i % 2048, char('a' + i % 26)));
    ASSERT_NO_FATAL_FAILURE(start());

    std::vector<Malformed> pool = {
        {"query", query(), Expect::Answer},
        {"info", info(), Expect::Answer},
        {"get list", event("VSNC", "GETL", furlParameter(driveURL())), Expect::Answer},
        {"get continuous", event("VSNC", "GCSS", furlParameter(driveURL())), Expect::Answer},
    };
    // Malformed calls that change nothing even when they would be taken.
    for (Malformed& m : malformed(false))
        if (m.name.find("DOIT") == std::string::npos && m.name.find("STOP") == std::string::npos &&
            m.name.find("SCSS") == std::string::npos)
            pool.push_back(std::move(m));
    const size_t valid = 4;

    const QString completedText =
        QStringLiteral("Synchronization of \"DRIVE\" completed successfully.");
    const QDBusMessage start = send(event("VSNC", "DOIT", furlParameter(driveURL())));
    ASSERT_FALSE(replyParameters(start).contains(QStringLiteral("errn"))) << outcome(start);
    // The run's staging folder on the drive lives from its start to its end.
    const std::string staging = drive + "/Tolvex/TL_VS_W/flood-drive";
    ASSERT_TRUE(pollUntil([&] { return pathExists(staging); }, 15));

    constexpr int kCalls = 10000, kWindow = 400, kWarmUp = 400;
    QElapsedTimer clock;
    clock.start();
    int64_t rssAfterWarmUp = -1;
    int answered = 0, sent = 0, sentDuringSync = 0;
    double syncEnd = -1;
    std::map<std::string, int> faults;
    while (sent < kCalls) {
        std::vector<std::pair<const Malformed*, QDBusPendingCall>> window;
        const bool syncing = pathExists(staging);
        for (int i = 0; i < kWindow && sent < kCalls; ++i, ++sent) {
            // Four valid calls, then one malformed one, round the pool.
            const Malformed& m = sent % 5 < 4
                                     ? pool[size_t(sent) % valid]
                                     : pool[valid + size_t(sent / 5) % (pool.size() - valid)];
            window.emplace_back(&m, bus->asyncCall(m.call, 30000));
        }
        runUntil(
            [&] {
                for (auto& [m, pending] : window)
                    if (!pending.isFinished()) return false;
                return true;
            },
            40000);
        for (auto& [m, pending] : window) {
            if (!pending.isFinished()) {
                ++faults["unfinished: " + m->name];
                continue;
            }
            const std::string fault = judge(*m, pending.reply());
            if (fault.empty())
                ++answered;
            else
                ++faults[fault + ": " + m->name];
        }
        if (syncing) sentDuringSync += int(window.size());
        if (!syncing && syncEnd < 0) syncEnd = double(clock.elapsed()) / 1000;
        if (sent == kWarmUp) rssAfterWarmUp = residentKiB(appPid);
        ASSERT_TRUE(app->running());
    }
    const double floodSeconds = double(clock.elapsed()) / 1000;
    const int64_t rssAfter = residentKiB(appPid);

    for (const auto& [fault, count] : faults) ADD_FAILURE() << count << " x " << fault;
    EXPECT_EQ(answered, kCalls);
    expectResponsive(1000);
    ASSERT_TRUE(waitForLog(completedText, 60)) << logText().toStdString();
    // A thousand calls at least came while the sync ran.
    EXPECT_GE(sentDuringSync, kCalls / 10);
    EXPECT_EQ(readFile(drive + "/Tolvex/~/Sites/d7/f7.txt"), QByteArray(1024 + 7, 'h'));
    ASSERT_GT(rssAfterWarmUp, 0);
    printf(
        "%d calls in %.2f s (%.0f a second), %d of them sent while the sync ran, the sync's "
        "end seen %.2f s after the flood began; resident memory %lld KiB after %d calls, %lld KiB "
        "after "
        "all (%+lld KiB)\n",
        kCalls, floodSeconds, kCalls / floodSeconds, sentDuringSync, syncEnd,
        static_cast<long long>(rssAfterWarmUp), kWarmUp, static_cast<long long>(rssAfter),
        static_cast<long long>(rssAfter - rssAfterWarmUp));
    // The sanitizers hold freed memory back for a while: growth there says nothing of ours.
    if (kUnderSanitizer)
        printf("resident memory not judged under a sanitizer\n");
    else
        EXPECT_LT(rssAfter - rssAfterWarmUp, 10 * 1024);
}

}  // namespace
