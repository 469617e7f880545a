#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

// Watches every folder of a few trees for any opening, reading, writing, creation, removal,
// change of attributes or move of an item in them, by anyone: a way to see that a run never
// read nor touched what it had no business with. Folders are watched as they are at `add`.
class FolderWatch {
  public:
    FolderWatch() : _fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~FolderWatch() {
        if (_fd >= 0) close(_fd);
    }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    bool ok() const { return _fd >= 0 && _failed.empty(); }
    const std::string& failure() const { return _failed; }

    // Watches `root` and every folder below it (links are not followed).
    void add(const std::string& root) {
        const int wd = inotify_add_watch(_fd, root.c_str(), kEvents | IN_DONT_FOLLOW | IN_ONLYDIR);
        if (wd < 0) {
            _failed += "cannot watch " + root + ": " + strerror(errno) + "\n";
            return;
        }
        _folders[wd] = root;
        DIR* dir = opendir(root.c_str());
        if (!dir) return;
        while (struct dirent* e = readdir(dir)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            if (e->d_type == DT_DIR) add(root + "/" + e->d_name);
        }
        closedir(dir);
        // Our own listing just now is no one else's doing.
        drain();
    }

    // The events since the last call, one line each; empty when nothing happened.
    std::string drain() {
        std::string out;
        alignas(struct inotify_event) char buf[64 * 1024];
        for (;;) {
            const ssize_t n = read(_fd, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
                if (!(e->mask & IN_IGNORED)) {
                    out += describe(e->mask) + " " + _folders[e->wd];
                    if (e->len) out += std::string("/") + e->name;
                    out += "\n";
                }
                at += ssize_t(sizeof(struct inotify_event) + e->len);
            }
        }
        return out;
    }

  private:
    static constexpr uint32_t kEvents = IN_ACCESS | IN_MODIFY | IN_ATTRIB | IN_OPEN | IN_CREATE |
                                        IN_DELETE | IN_DELETE_SELF | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_MOVE_SELF | IN_CLOSE_WRITE;

    static std::string describe(uint32_t mask) {
        static const std::pair<uint32_t, const char*> names[] = {
            {IN_ACCESS, "read"},         {IN_MODIFY, "written"},       {IN_ATTRIB, "attributes"},
            {IN_OPEN, "opened"},         {IN_CREATE, "created"},       {IN_DELETE, "deleted"},
            {IN_DELETE_SELF, "removed"}, {IN_MOVED_FROM, "moved out"}, {IN_MOVED_TO, "moved in"},
            {IN_MOVE_SELF, "moved"},     {IN_CLOSE_WRITE, "closed"}};
        std::string out;
        for (const auto& [bit, name] : names)
            if (mask & bit) out += (out.empty() ? "" : "+") + std::string(name);
        return out;
    }

    int _fd;
    std::string _failed;
    std::map<int, std::string> _folders;
};
