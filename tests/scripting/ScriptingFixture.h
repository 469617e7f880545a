#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QProcess>

#include "AEDescriptor.h"
#include "PrivateBus.h"

// Every scripting test process gets its own bus; the program's main makes the application.
inline PrivateBus* const kBus = new PrivateBus;

// Pumps the main thread's events until `done` holds or `seconds` have passed.
template <typename Predicate>
bool waitUntil(Predicate done, double seconds = 20) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > seconds * 1000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

struct ProcessResult {
    int exitCode = -1;
    QByteArray out, err;
};

// Runs a program while serving the events, as the service has to answer it.
inline ProcessResult runServing(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) return {};
    waitUntil([&] { return process.state() == QProcess::NotRunning; });
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}
