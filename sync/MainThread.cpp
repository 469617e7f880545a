#include "MainThread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "ConditionLock.h"

namespace {

// Guards the hand-over to the dispatcher against its destruction.
std::mutex sDispatcherLock;
std::atomic<bool> sApplicationEnded{false};
// Atomic: a worker of an application that ended may read it while a new one starts.
std::atomic<std::thread::id> sMainThreadId;

// True on a worker once the application object is being torn down or is gone.
bool handOffsEnded() {
    return sApplicationEnded && std::this_thread::get_id() != sMainThreadId;
}

// A worker that hands work over once the application has ended stops here for good: the work
// would use windows that are gone, and the process is about to end.
[[noreturn]] void waitForTheEnd() {
    static std::mutex lock;
    static std::condition_variable never;
    std::unique_lock<std::mutex> held(lock);
    for (;;) never.wait(held);
}

// Work handed to the main thread goes through a queue of our own and an eventfd that wakes
// the main loop: every hand-over is then made with locks the thread checker can see, which it
// can't in Qt's own queued calls.
class MainThreadDispatcher : public QObject {
  public:
    explicit MainThreadDispatcher(QObject* parent)
        : QObject(parent), _fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (_fd >= 0) {
            _notifier = new QSocketNotifier(_fd, QSocketNotifier::Read, this);
            connect(_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
        }
    }
    // Made as a child of the application object, so this runs while the application is torn
    // down, when its windows can no longer be used: work still queued is dropped, and its
    // worker, which waits for it, waits until the process ends.
    ~MainThreadDispatcher() override;
    bool usable() const { return _fd >= 0; }

    void post(std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(_lock);
            _queue.push_back(std::move(work));
        }
        const uint64_t one = 1;
        while (write(_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

  private:
    void drain() {
        uint64_t count;
        while (read(_fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard<std::mutex> lock(_lock);
                if (_queue.empty()) return;
                work = std::move(_queue.front());
                _queue.pop_front();
            }
            work();
        }
    }

    int _fd;
    QSocketNotifier* _notifier = nullptr;
    std::mutex _lock;
    std::deque<std::function<void()>> _queue;
};

std::atomic<MainThreadDispatcher*> sDispatcher{nullptr};

MainThreadDispatcher::~MainThreadDispatcher() {
    {
        std::lock_guard<std::mutex> lock(sDispatcherLock);
        if (sDispatcher == this) {
            sApplicationEnded = true;
            sDispatcher = nullptr;
        }
    }
    delete _notifier;
    if (_fd >= 0) close(_fd);
}

void postToMainThread(std::function<void()> work) {
    {
        std::unique_lock<std::mutex> lock(sDispatcherLock);
        if (MainThreadDispatcher* dispatcher = sDispatcher.load()) {
            dispatcher->post(std::move(work));
            return;
        }
    }
    if (handOffsEnded()) waitForTheEnd();
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

}  // namespace

void prepareMainThreadHandoffs() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !isMainThread() || sDispatcher.load()) return;
    sMainThreadId = std::this_thread::get_id();
    auto* dispatcher = new MainThreadDispatcher(app);
    if (!dispatcher->usable()) {
        delete dispatcher;
        return;
    }
    std::lock_guard<std::mutex> lock(sDispatcherLock);
    sApplicationEnded = false;
    sDispatcher = dispatcher;
}

bool isMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

void runOnMainThreadAndWait(const std::function<void()>& work) {
    if (handOffsEnded()) waitForTheEnd();
    if (isMainThread()) {
        work();
        return;
    }
    auto done = std::make_shared<ConditionLock>(1);
    postToMainThread([&work, done] {
        work();
        done->setCondition(0);
    });
    done->waitForCondition(0);
}

void runOnMainThread(std::function<void()> work) {
    if (handOffsEnded()) return;
    if (QCoreApplication::instance() == nullptr) {
        work();
        return;
    }
    postToMainThread(std::move(work));
}
