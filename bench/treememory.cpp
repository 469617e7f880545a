// Resident memory that the item tree of a large folder costs: makes FILES empty files in
// FOLDERS folders below a fresh home, builds the tree of "~/corpus" and prints how much the
// resident set grew, with the tree alive, and again after one update pass that found nothing.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KTLSyncController.h"

namespace {

long residentKiB() {
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    fclose(status);
    return kib;
}

size_t countNodes(const KTLTreeNode* node) {
    size_t count = 1;
    for (const auto& child : node->children()) count += countNodes(child.get());
    return count;
}

bool makeCorpus(const std::string& root, long files, long folders) {
    if (mkdir(root.c_str(), 0755) != 0) return false;
    for (long f = 0; f < folders; ++f) {
        const std::string folder = root + "/folder-" + std::to_string(f);
        if (mkdir(folder.c_str(), 0755) != 0) return false;
        for (long i = f; i < files; i += folders) {
            const std::string file = folder + "/document-" + std::to_string(i) + ".txt";
            int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 || close(fd) != 0) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: treememory WORKFOLDER [FILES=100000] [FOLDERS=100]\n");
        return 2;
    }
    const std::string work = argv[1];
    const long files = argc > 2 ? atol(argv[2]) : 100000;
    const long folders = argc > 3 ? atol(argv[3]) : 100;
    if (files < 0 || folders < 1) return 2;
    if (mkdir(work.c_str(), 0755) != 0 && errno != EEXIST) return 1;
    if (setenv("HOME", work.c_str(), 1) != 0 || !makeCorpus(work + "/corpus", files, folders)) {
        fprintf(stderr, "treememory: cannot make the corpus in %s\n", work.c_str());
        return 1;
    }
    mkdir((work + "/drive").c_str(), 0755);

    auto controller = KTLSyncController::controllerForMountPoint(work + "/drive");
    controller->setSyncItemList({"~/corpus"});
    (void)controller->syncItemList();  // configuration loaded before the first reading

    using Clock = std::chrono::steady_clock;
    const long before = residentKiB();
    const auto t0 = Clock::now();
    controller->setItemInventory(controller->buildItemTreeUsingFTS());
    const auto t1 = Clock::now();
    const long built = residentKiB();
    std::vector<std::string> changed, added, deleted;
    controller->updateItemTreeReturningItemsChanged(changed, INT32_MAX, added, deleted);
    const auto t2 = Clock::now();
    const long updated = residentKiB();
    auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };

    const size_t nodes = countNodes(controller->itemInventory());
    printf("files %ld in %ld folders, nodes %zu\n", files, folders, nodes);
    printf("resident growth after build: %.1f MiB (%.0f bytes per node), %.0f ms\n",
           (built - before) / 1024.0, (built - before) * 1024.0 / double(nodes), ms(t1 - t0));
    printf("resident growth after an update pass: %.1f MiB (reports %zu/%zu/%zu), %.0f ms\n",
           (updated - before) / 1024.0, changed.size(), added.size(), deleted.size(), ms(t2 - t1));
    return 0;
}
