#pragma once

#include <functional>

// Hand-offs from a worker to the main (user-interface) thread.

// True on the thread that runs the application's event loop, or anywhere when there is no
// application object.
bool isMainThread();

// Runs `work` on the main thread and returns when it has run; runs it at once when called on
// the main thread or when there is no application object.
void runOnMainThreadAndWait(const std::function<void()>& work);

// Queues `work` for the main thread and returns at once; runs it at once when there is no
// application object.
void runOnMainThread(std::function<void()> work);

// Sets up the hand-offs; call on the main thread once the application object exists, before
// workers start (making a controller does it).
void prepareMainThreadHandoffs();
