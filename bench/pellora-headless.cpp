// Runs one sync of a drive without a desktop, for benchmarks and crash tests. Not a user
// command and not installed.
//
//   pellora-headless <mount point> [--conflict N] [--missing N] [--debug]
//
// The drive is found in the mount table (PELLORA_MOUNTINFO may declare it). Remembered answers
// are set from the options; alerts are answered OK; a question that would need a person is
// answered "no answer", which fails the run. Log lines go to standard output. Exit status 0
// when the run completed successfully, 1 when it did not, 2 for bad arguments.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "PreferenceDomain.h"

namespace {

class HeadlessWindow : public KTLSyncWindowInterface {
  public:
    void showWindow() override {}
    void closeWindow() override {}
    bool isWindowVisible() const override { return true; }
    void setStatusLine(const QString& text) override { _status = text; }
    QString statusLine() const override { return _status; }
    void appendDrawerText(const QString& text) override {
        fputs(text.toUtf8().constData(), stdout);
        fflush(stdout);
    }
    void showRunning(bool) override {}
    void showIdle() override {}
    void setProgressIndeterminate() override {}
    void beginAlertSheet(const QString& title, const QString& message, bool,
                         std::function<void(int)> didEnd) override {
        fprintf(stdout, "alert: %s %s -> OK\n", title.toUtf8().constData(),
                message.toUtf8().constData());
        didEnd(1);
    }
    void beginMissingSheet(const QString& message, const QString&,
                           std::function<void(int, bool)> didEnd) override {
        fprintf(stdout, "unanswered: %s\n", message.toUtf8().constData());
        didEnd(0, false);
    }
    void beginConflictSheet(const KTLConflictSheetTexts& texts,
                            std::function<void(int, bool)> didEnd) override {
        fprintf(stdout, "unanswered: %s\n", texts.message.toUtf8().constData());
        didEnd(0, false);
    }

  private:
    QString _status;
};

int usage() {
    fputs("usage: pellora-headless <mount point> [--conflict N] [--missing N] [--debug]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return usage();
    const std::string mountPoint = argv[1];
    int conflict = 0, missing = 0;
    bool debug = false;
    for (int i = 2; i < argc; ++i) {
        if (!strcmp(argv[i], "--conflict") && i + 1 < argc)
            conflict = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--missing") && i + 1 < argc)
            missing = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--debug"))
            debug = true;
        else
            return usage();
    }
    if (debug) PreferenceDomain::standardUserDefaults().setBool(true, QStringLiteral("debug"));

    HeadlessWindow* window = nullptr;
    KTLSyncController::setWindowFactory([&window](const std::shared_ptr<KTLSyncController>&) {
        auto made = std::make_unique<HeadlessWindow>();
        window = made.get();
        return std::unique_ptr<KTLSyncWindowInterface>(std::move(made));
    });
    auto controller = KTLSyncController::controllerForMountPoint(mountPoint);
    if (!controller->isValidFileSystem() || !controller->isDeviceSetupForSync()) {
        fprintf(stderr, "pellora-headless: %s is not a prepared drive\n", mountPoint.c_str());
        return 1;
    }
    controller->setDefaultConflictResolutionAction(conflict);
    controller->setDefaultMissingResolutionAction(missing);
    controller->sync();

    int status = 1;
    bool deathQueued = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (controller->busy() && !controller->workerEnded()) return;
        if (!deathQueued) {
            deathQueued = true;
            const QString completed = KTLFormatWith(
                KTLLocalizedString(
                    QStringLiteral("Synchronization of \"%@\" completed successfully.")),
                controller->displayName());
            status = window && window->statusLine() == completed ? 0 : 1;
            controller->driveDisappeared();
            return;
        }
        if (controller->workerEnded()) app.quit();
    });
    poll.start(1);
    app.exec();
    return status;
}
