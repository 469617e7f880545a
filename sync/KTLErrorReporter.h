#pragma once

#include <QString>
#include <memory>

#include "FileManager.h"

class KTLSyncController;

// The handler of every copy, move and removal of the engine: counts each error, logs it and
// decides whether the operation goes on. Mode 0 asks the user (Cancel also cancels the run),
// a positive mode goes on and a negative one stops, both without asking.
class KTLErrorReporter : public FileManagerHandler {
  public:
    KTLErrorReporter() = default;

    std::shared_ptr<KTLSyncController> delegate() const { return _delegate.lock(); }
    void setDelegate(const std::shared_ptr<KTLSyncController>& delegate) { _delegate = delegate; }
    int errorHandling() const { return _errorHandling; }
    void setErrorHandling(int mode) { _errorHandling = mode; }
    int errorCount() const { return _errorCount; }
    void setErrorCount(int count) { _errorCount = count; }
    int incrementErrorCount() { return ++_errorCount; }
    bool cancelPending() const;

    bool fileManagerShouldProceedAfterError(FileManager& manager,
                                            const FileOperationError& error) override;
    void fileManagerSkippedSocket(FileManager& manager, const std::string& path) override;

  protected:
    struct Texts {
        QString logLine;
        QString alertTitle;
        QString alertMessage;
        bool cancelButton = true;
    };
    virtual Texts textsForError(const FileOperationError& error) const = 0;
    void debugWillProcess(const char* format, const std::string& path);

  private:
    // Held weakly: the controller owns its reporters, and its worker keeps it alive.
    std::weak_ptr<KTLSyncController> _delegate;
    int _errorHandling = 0;
    int _errorCount = 0;
};

class KTLCopyErrorReporter : public KTLErrorReporter {
  public:
    static std::unique_ptr<KTLCopyErrorReporter> create() {
        return std::make_unique<KTLCopyErrorReporter>();
    }
    void fileManagerWillProcessPath(FileManager& manager, const std::string& path) override;
    bool fileManagerShouldCopyEntry(FileManager& manager, const std::string& path) override;

  protected:
    Texts textsForError(const FileOperationError& error) const override;
};

class KTLDeleteErrorReporter : public KTLErrorReporter {
  public:
    static std::unique_ptr<KTLDeleteErrorReporter> create() {
        return std::make_unique<KTLDeleteErrorReporter>();
    }
    void fileManagerWillProcessPath(FileManager& manager, const std::string& path) override;

  protected:
    Texts textsForError(const FileOperationError& error) const override;
};

class KTLRemoveSyncItemsErrorReporter : public KTLErrorReporter {
  public:
    static std::unique_ptr<KTLRemoveSyncItemsErrorReporter> create() {
        return std::make_unique<KTLRemoveSyncItemsErrorReporter>();
    }
    void fileManagerWillProcessPath(FileManager& manager, const std::string& path) override;

  protected:
    Texts textsForError(const FileOperationError& error) const override;
};
