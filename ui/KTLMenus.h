#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

// The application's commands as actions, shared by the menu bar of every Pellora window and by
// the tray icon's menu. The application wires the actions and keeps their titles and check
// marks current through the validator, which is asked for every action of a menu just before
// the menu opens.
class KTLMenus : public QObject {
    Q_OBJECT

  public:
    explicit KTLMenus(QObject* parent = nullptr);
    ~KTLMenus() override;

    // Application menu.
    QAction* const selectDeviceAction;
    QAction* const preferencesAction;
    QAction* const startAtLoginAction;
    QAction* const helpAction;
    QAction* const quitAction;
    // Drive menu: the drive of the window in front.
    QAction* const syncAction;
    QAction* const continuousSyncNowAction;
    QAction* const toggleContinuousSyncAction;
    QAction* const syncListAction;
    // Log menu.
    QAction* const toggleLogWindowAction;
    QAction* const clearLogAction;
    QAction* const toggleDebugModeAction;

    // The application menu alone, for the tray icon. Its items carry no shortcuts: they would
    // not work from there.
    QMenu* applicationMenu();
    // A menu bar with the application, drive and log menus, owned by `window`.
    QMenuBar* makeMenuBar(QWidget* window);

    void setValidator(std::function<void(QAction*)> validator) {
        _validator = std::move(validator);
    }
    // Brings every action of `menu` up to date.
    void validateMenu(QMenu* menu);

    // The menus every window gets; none until the application makes them.
    static KTLMenus* current();

  private:
    QMenu* makeMenu(const QString& title, const QList<QAction*>& actions, QWidget* parent);
    // An action that does what `original` does and follows its title, check mark and state,
    // without its shortcut.
    QAction* mirror(QAction* original, QObject* parent);

    std::function<void(QAction*)> _validator;
    // A menu takes only a widget as parent; this one has none.
    std::unique_ptr<QMenu> _applicationMenu;
};

// `text` with the mnemonic marked on the first `letter` in it.
QString withMnemonic(const QString& text, QChar letter);

// Puts the menu bar on top of `window`'s layout, when the application has menus; F10 opens its
// first menu, as on the other desktops' applications.
void attachMenuBar(QWidget* window);
