// A real drive: an ext4 image loop-mounted in a private mount namespace, seen through the
// kernel's mount table. While its sync is queued or running, unmounting it fails with EBUSY; a
// lazy unmount takes the drive away in mid-run.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QDialog>
#include <QWidget>
#include <cerrno>
#include <map>

#include "AppSupport.h"
#include "FakeMountTable.h"
#include "KTLAppDelegate.h"
#include "KTLSyncController.h"
#include "PreferenceDomain.h"
#include "PrivateMount.h"
#include "TreeSnapshot.h"

namespace {

// Regular files under their real names, with their contents.
std::map<std::string, QByteArray> realFiles(const std::string& root) {
    std::map<std::string, QByteArray> files;
    for (const auto& [path, item] : snapshotTree(root))
        if (S_ISREG(item.type) && path.find(".pellora-tmp-") == std::string::npos)
            files[path] = item.contents;
    return files;
}

}  // namespace

// The image lists "~/Sites" and holds a file the computer lacks, so that its sync stops to ask
// and stays busy; then it is lazily unmounted under the question.
TEST(BusyHold, ABusyDriveCannotBeUnmountedAndALazyUnmountLeavesNothingHalfWritten) {
    if (!canMountPrivately() || system("command -v mkfs.ext4 >/dev/null") != 0)
        GTEST_SKIP() << "needs a private mount namespace and mkfs.ext4";
    TestHome home;
    TempDir dir;
    const std::string mountPoint = makeFolder(dir / "drive"), image = dir / "drive.img";
    const std::string mount = "mount -o loop '" + image + "' '" + mountPoint + "'";
    auto result = runInPrivateMountNamespace([&]() -> std::string {
        unsetenv("PELLORA_MOUNTINFO");
        const std::string make = "truncate -s 8M '" + image + "' && mkfs.ext4 -q '" + image + "'";
        if (system(make.c_str()) != 0 || system(mount.c_str()) != 0) return "no image";
        prepareDrive(mountPoint, {QStringLiteral("~/Sites")}, QStringLiteral("loop-drive"));
        knownDrive(QStringLiteral("loop-drive"));
        writeTree(mountPoint + "/Tolvex/~/Sites/only-on-drive.txt", "drive\n");
        writeTree(home.path() + "/Sites/index.html", "mac\n");
        writeTree(home.path() + "/Sites/blog/post.txt", QByteArray(300000, 'p'));
        if (umount2(mountPoint.c_str(), 0) != 0) return "cannot prepare";

        // The child goes on with the application object it was forked with.
        PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
        defaults.setObject(QVariantList{QStringLiteral("ext4")},
                           QStringLiteral("accepted-file-systems"));
        defaults.setBool(true, QStringLiteral("debug"));
        KTLAppDelegate delegate;
        delegate.applicationWillFinishLaunching();
        delegate.applicationDidFinishLaunching();
        // The volumes mounted at the start (the root, at least) have their controllers.
        const size_t before = delegate.syncControllers().size();
        if (system(mount.c_str()) != 0) return "cannot mount";
        if (!runUntil([&] { return delegate.syncControllers().size() == before + 1; }))
            return "no arrival seen";
        auto controller = delegate.syncControllerForMountPoint(mountPoint);
        if (!runUntil([&] { return controller->busy(); })) return "no sync queued";
        auto* window = dynamic_cast<QWidget*>(controller->window());
        auto* sheet =
            window ? window->findChild<QDialog*>(QStringLiteral("_missingAlertPanel")) : nullptr;
        if (!sheet || !runUntil([&] { return sheet->isVisible(); })) return "no question";

        std::string out;
        if (umount2(mountPoint.c_str(), 0) == 0 || errno != EBUSY) out += "unmounted while busy\n";
        const auto homeBefore = realFiles(home.path() + "/Sites");
        if (umount2(mountPoint.c_str(), MNT_DETACH) != 0) return "lazy unmount failed";
        if (!runUntil([&] { return delegate.syncControllers().size() == before; }))
            out += "controller kept\n";
        if (!runUntil([&] { return !controller->busy(); }, 15000)) out += "never drained\n";
        // Nothing may land in the folder that lies under the mount point.
        if (snapshotTree(mountPoint).size() != 1) out += "written under the old mount point\n";
        if (realFiles(home.path() + "/Sites") != homeBefore) out += "home changed\n";
        // The file system goes once nothing holds it; then its loop device is freed.
        const std::string attached = "losetup -j '" + image + "' | grep -q .";
        if (!runUntil([&] { return system(attached.c_str()) != 0; }, 15000))
            return out + "drive still held";
        if (system(mount.c_str()) != 0) return out + "cannot mount again";
        for (const auto& [path, contents] : realFiles(mountPoint + "/Tolvex/~/Sites")) {
            const auto mac = homeBefore.find(path);
            const QByteArray expected = path == "only-on-drive.txt" ? QByteArray("drive\n")
                                        : mac == homeBefore.end()   ? QByteArray("?")
                                                                    : mac->second;
            if (contents != expected) out += "half-written: " + path + "\n";
        }
        umount2(mountPoint.c_str(), 0);
        return out.empty() ? "clean" : out;
    });
    if (!result) GTEST_SKIP() << "mounting in a private namespace is not permitted";
    EXPECT_EQ(*result, "clean");
}
