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

// A second connection to the bus, so that calls go through the daemon like another program's.
inline QDBusConnection clientConnection() {
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("client"));
}

struct ProcessResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program while serving the events, as the service has to answer it.
inline ProcessResult runServing(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    ProcessResult result;
    if (!process.waitForStarted(10000)) return result;
    waitUntil([&] { return process.state() == QProcess::NotRunning; });
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
