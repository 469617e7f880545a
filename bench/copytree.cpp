// Copies a tree the way the engine does: one batch, flushed once, then renamed into place,
// then the file system flushed again. Prints nothing; exits 0 on success.

#include <cstdio>

#include "FileManager.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: copytree SOURCE DESTINATION\n");
        return 2;
    }
    FileManager manager;
    manager.beginBatch();
    bool ok = manager.copyPath(argv[1], argv[2], nullptr);
    ok = manager.commitBatch(nullptr) && ok;
    ok = syncFileSystemOf(argv[2]) && ok;
    return ok ? 0 : 1;
}
