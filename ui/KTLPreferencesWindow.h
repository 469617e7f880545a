#pragma once

#include <functional>

#include <QStringList>
#include <QWidget>

class QCheckBox;
class QGridLayout;

// The application's settings in a window: sync-on-connect, the file systems a drive may have,
// and debug mode. Every click is written to the standard defaults at once, under the keys the
// rest of the application reads, so it takes effect without a restart.
class KTLPreferencesWindow : public QWidget {
    Q_OBJECT

  public:
    explicit KTLPreferencesWindow(QWidget* parent = nullptr);

    // Shows the window in front, its boxes read afresh from the defaults.
    void showWindow();
    // Sets every box from the defaults; the debug mode may have changed from the Log menu.
    void reload();

    // A setting kept elsewhere than the defaults' plain keys (starting at login): its box shows
    // what `get` says and hands each click to `set`, which answers whether it took.
    void addSetting(const QString& title, const char* name, std::function<bool()> get,
                    std::function<bool(bool)> set);

    // The file system types offered: the registered defaults, the common Linux types, those of
    // the mounted volumes and any the user listed, each once, in that order.
    static QStringList offeredFileSystems();

  protected:
    bool event(QEvent* event) override;

  private:
    void fileSystemToggled();

    QCheckBox* _syncOnConnectButton;
    QCheckBox* _debugButton;
    QGridLayout* _fileSystemGrid;
    QList<QCheckBox*> _fileSystemButtons;
    QList<std::pair<QCheckBox*, std::function<bool()>>> _settings;
};
