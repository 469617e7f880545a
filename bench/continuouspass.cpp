// Times continuous-sync passes of one drive, in process, without a desktop:
//
//   continuouspass <drive folder> <item> [--passes N] [--add N FOLDER]
//
// HOME (and the XDG folders) must point at the computer side; <item> is a sync-list entry such
// as "~/corpus". The drive folder needs no configuration file. The tool switches continuous
// sync on, builds the item tree and runs one untimed pass, which brings the drive up to date
// (against the distant past everything counts as changed), and a second that reads the
// caches warm again: "warmpass <seconds>". Then it prints one line per timed pass with nothing
// changed: "pass <seconds>", the peak resident memory of the whole process
// during those passes: "peak <MiB>", and during the untimed pass that copied everything:
// "firstpeak <MiB>". With --add it then makes N small files in
// FOLDER (below the item on the computer side), and prints "scan <seconds>" for the tree
// update alone (on a second tree) and "addpass <seconds>" for a whole pass that copies them.
// Exit status 0 when every copy reached the drive.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "KTLSyncController.h"

namespace {

using Clock = std::chrono::steady_clock;

// The process's peak resident set since it started or since the last resetPeak(), in MiB.
double peakMiB() {
    FILE* status = fopen("/proc/self/status", "re");
    if (!status) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    fclose(status);
    return kib / 1024.0;
}

bool resetPeak() {
    int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool done = write(fd, "5", 1) == 1;
    close(fd);
    return done;
}

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int usage() {
    fputs("usage: continuouspass <drive folder> <item> [--passes N] [--add N FOLDER]\n", stderr);
    return 2;
}

bool makeFiles(const std::string& folder, long count) {
    const std::string text = "a small file added between two passes\n";
    for (long i = 0; i < count; ++i) {
        const std::string path = folder + "/added-" + std::to_string(i) + ".txt";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
        if (close(fd) != 0 || !written) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) return usage();
    const std::string drive = argv[1];
    const QString item = QString::fromLocal8Bit(argv[2]);
    long passes = 5, add = 0;
    std::string addFolder;
    for (int i = 3; i < argc; ++i) {
        if (!strcmp(argv[i], "--passes") && i + 1 < argc) {
            passes = atol(argv[++i]);
        } else if (!strcmp(argv[i], "--add") && i + 2 < argc) {
            add = atol(argv[++i]);
            addFolder = argv[++i];
        } else {
            return usage();
        }
    }

    auto controller = KTLSyncController::controllerForMountPoint(drive);
    controller->setSyncItemList({item});
    // Passes wait for a full sync; the first pass below stands in for one.
    controller->setFullSyncCompleted(true);
    // The switch starts a worker for its task; sent away at once, it leaves the passes to this
    // thread, where they are timed, rather than building and passing beside them.
    controller->setContinuousSyncState(true);
    controller->driveDisappeared();
    while (!controller->workerEnded()) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    controller->setItemInventory(controller->buildItemTreeUsingFTS());
    controller->threadDoContinuousSync();
    // The pass flushed the drive, but a loop drive's image is still being written back below
    // it; the timed passes should not wait behind that, nor should the walk they are held to.
    sync();
    // Copying everything pushed the home's own entries out of the kernel's caches: one more
    // untimed pass reads them back, as the walks the passes are held to find them.
    const auto warm = Clock::now();
    controller->threadDoContinuousSync();
    printf("warmpass %.4f\n", since(warm));
    printf("firstpeak %.1f\n", peakMiB());
    if (!resetPeak()) {
        fputs("continuouspass: cannot reset the peak resident memory\n", stderr);
        return 1;
    }

    for (long i = 0; i < passes; ++i) {
        const auto start = Clock::now();
        controller->threadDoContinuousSync();
        printf("pass %.4f\n", since(start));
        fflush(stdout);
    }
    printf("peak %.1f\n", peakMiB());
    fflush(stdout);
    if (add <= 0) return 0;

    // A second tree of the same list measures the scan on its own.
    auto scanner = KTLSyncController::controllerForMountPoint(drive + "/.scan-only");
    scanner->setSyncItemList({item});
    scanner->setItemInventory(scanner->buildItemTreeUsingFTS());
    if (!makeFiles(addFolder, add)) {
        fprintf(stderr, "continuouspass: cannot make files in %s\n", addFolder.c_str());
        return 1;
    }
    std::vector<std::string> changed, added, deleted;
    auto start = Clock::now();
    scanner->updateItemTreeReturningItemsChanged(changed, INT32_MAX, added, deleted);
    printf("scan %.4f (%zu added)\n", since(start), added.size());

    start = Clock::now();
    controller->threadDoContinuousSync();
    printf("addpass %.4f\n", since(start));
    // Every new file reached the drive.
    const std::string last = "/added-" + std::to_string(add - 1) + ".txt";
    // The drive keeps a "~" entry's copy under "~", any other under its own full path.
    const std::string home = KTLSyncController::homeFolder();
    const bool inHome = item.startsWith(u'~') && addFolder.compare(0, home.size(), home) == 0;
    const std::string listForm = inHome ? "~" + addFolder.substr(home.size()) : addFolder;
    const std::string onDrive = drive + "/Tolvex/" + listForm + last;
    struct stat st;
    if (lstat(onDrive.c_str(), &st) != 0) {
        fprintf(stderr, "continuouspass: %s was not copied\n", onDrive.c_str());
        return 1;
    }
    return 0;
}
