#pragma once

#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class KTLSyncController;
class QLabel;
class QListWidget;
class QPushButton;

// What removing entries from a drive's list takes off the drive.
struct KTLRemovalSummary {
    QStringList entries;  // those whose copy is on the drive
    int64_t files = 0;
    int64_t bytes = 0;
};

// A drive's sync list, edited in a window: the entries as the drive holds them ("~/…" for the
// home folder), Add… for files and folders, Remove, and Apply, which hands the new list to
// `apply` (the application's sync-list operation) once the user has agreed to the removals it
// implies. `apply` answers whether the update was queued; the window closes when it was.
class KTLSyncListWindow : public QDialog {
    Q_OBJECT

  public:
    KTLSyncListWindow(std::weak_ptr<KTLSyncController> controller,
                      std::function<bool(const QStringList&)> apply, QWidget* parent = nullptr);

    QStringList entries() const;
    // Adds a file or folder of this computer as the drive's list stores it; a path the list
    // can't hold is refused with an alert.
    bool addPath(const std::string& path);

    // The drive copies of `killList` that an update would remove, counted without following
    // links; an entry whose copy lies inside another's is counted once.
    static KTLRemovalSummary removalSummary(const std::string& target, const QStringList& killList);
    // "Removes 1,204 files, 2.3 GB from the drive."
    static QString removalText(const KTLRemovalSummary& summary);

  private:
    void chooseAndAdd(bool folders);
    void removeSelected();
    void applyClicked();
    void refuse(const QString& message);

    std::weak_ptr<KTLSyncController> _controller;
    std::function<bool(const QStringList&)> _apply;
    QListWidget* _syncList;
    QPushButton* _removeButton;
    QPushButton* _applyButton;
};
