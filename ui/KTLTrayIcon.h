#pragma once

#include <QDateTime>
#include <QIcon>
#include <QString>
#include <vector>

// How one known drive stands, as the tray tells it.
struct KTLDriveStatus {
    QString name;
    bool syncing = false;
    bool questionWaiting = false;
    bool lastRunFailed = false;
    QDateTime lastSync;  // this computer's last sync with the drive; invalid when never
};

// What the tray icon shows: a question or a failed run outweighs a run going on.
enum class KTLTrayState { Idle, Syncing, NeedsAttention };

KTLTrayState trayStateFor(const std::vector<KTLDriveStatus>& drives);
// One line for the application, then one a drive: its name, its state and its last sync.
QString trayToolTipFor(const std::vector<KTLDriveStatus>& drives);

// Pellora's icon, drawn from the picture the project ships, and its tray icon for a state: the
// icon with a badge while syncing or while something needs the user.
QIcon pelloraIcon();
QIcon trayIconFor(KTLTrayState state);
