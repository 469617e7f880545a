#pragma once

#include <condition_variable>
#include <mutex>

// A lock with an integer condition: a waiter blocks until the condition takes a value.
class ConditionLock {
  public:
    explicit ConditionLock(int condition) : _condition(condition) {}

    void waitForCondition(int condition) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [&] { return _condition == condition; });
    }

    void setCondition(int condition) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _condition = condition;
        }
        _changed.notify_all();
    }

    int condition() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _condition;
    }

  private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    int _condition;
};
