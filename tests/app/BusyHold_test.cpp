// A real drive: an ext4 image loop-mounted in a private mount namespace, seen through the
// kernel's mount table. While its sync is queued or running, unmounting it fails with EBUSY.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPushButton>
#include <cerrno>
#include <cstring>
#include <thread>

#include "AppSupport.h"
#include "FakeMountTable.h"
#include "KTLAppDelegate.h"
#include "KTLSyncController.h"
#include "LogController.h"
#include "PreferenceDomain.h"
#include "PrivateMount.h"

namespace {

template <typename Predicate>
bool runUntil(Predicate done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string unmountResult(const std::string& mountPoint) {
    if (umount2(mountPoint.c_str(), 0) == 0) return "unmounted";
    return errno == EBUSY ? "EBUSY" : strerror(errno);
}

}  // namespace

TEST(BusyHold, ALoopMountedDriveCannotBeUnmountedUntilItsQueueDrains) {
    if (!canMountPrivately()) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    if (system("command -v mkfs.ext4 >/dev/null") != 0) GTEST_SKIP() << "no mkfs.ext4";
    TestHome home;
    TempDir dir;
    const std::string mountPoint = makeFolder(dir / "drive"), image = dir / "drive.img";
    const std::string mount = "mount -o loop '" + image + "' '" + mountPoint + "'";
    auto result = runInPrivateMountNamespace([&]() -> std::string {
        unsetenv("PELLORA_MOUNTINFO");
        // Prepared before the application runs: a configuration, and a file only the drive
        // has, so that the run stops to ask and stays busy until answered.
        const std::string make = "truncate -s 8M '" + image + "' && mkfs.ext4 -q '" + image + "'";
        if (system(make.c_str()) != 0 || system(mount.c_str()) != 0) return "no image";
        prepareDrive(mountPoint, {QStringLiteral("~/Sites")}, QStringLiteral("loop-drive"));
        writeTree(mountPoint + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n");
        writeTree(home.path() + "/Sites/index.html", "mac\n");
        if (umount2(mountPoint.c_str(), 0) != 0) return "cannot prepare";

        int argc = 1;
        char name[] = "BusyHold_test";
        char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
        defaults.setObject(QVariantList{QStringLiteral("ext4")},
                           QStringLiteral("accepted-file-systems"));
        defaults.setBool(true, QStringLiteral("debug"));
        KTLAppDelegate delegate;
        delegate.applicationWillFinishLaunching();
        delegate.applicationDidFinishLaunching();

        std::string out;
        // The volumes mounted at the start (the root, at least) have their controllers.
        const size_t before = delegate.syncControllers().size();
        if (system(mount.c_str()) != 0) return "cannot mount";
        if (!runUntil([&] { return delegate.syncControllers().size() == before + 1; }))
            return "no arrival seen";
        auto controller = delegate.syncControllerForMountPoint(mountPoint);
        if (!runUntil([&] { return controller->busy(); }))
            return "no sync queued: " + LogController::sharedInstance().text().toStdString();
        out += "queued: " + unmountResult(mountPoint) + "\n";
        auto* window = dynamic_cast<QWidget*>(controller->window());
        auto* sheet =
            window ? window->findChild<QDialog*>(QStringLiteral("_missingAlertPanel")) : nullptr;
        if (!sheet || !runUntil([&] { return sheet->isVisible(); })) return out + "no question";
        out += "running: " + unmountResult(mountPoint) + "\n";

        window->findChild<QPushButton*>(QStringLiteral("_missingCopyButton"))->click();
        if (!runUntil([&] { return !controller->busy(); }, 15000)) return out + "never drained";
        runUntil([&] { return !delegate.holdsDrive(controller.get()); });
        out += "drained: " + unmountResult(mountPoint) + "\n";
        runUntil([&] { return delegate.syncControllers().size() == before; });
        out += "controllers left: " + std::to_string(delegate.syncControllers().size() - before) +
               "\n";
        out += "copied: " + std::to_string(pathExists(home.path() + "/Sites/only-on-drive.txt")) +
               "\n";
        return out;
    });
    if (!result) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    EXPECT_EQ(
        *result,
        "queued: EBUSY\nrunning: EBUSY\ndrained: unmounted\ncontrollers left: 0\ncopied: 1\n");
}
