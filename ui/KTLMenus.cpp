#include "KTLMenus.h"

#include <QAction>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QWidget>

#include "KTLLocalizedString.h"

namespace {

QPointer<KTLMenus> sCurrent;

QAction* makeAction(QObject* parent, const char* objectName, const QString& title,
                    bool checkable = false) {
    auto* action = new QAction(KTLLocalizedString(title), parent);
    action->setObjectName(QString::fromLatin1(objectName));
    action->setCheckable(checkable);
    return action;
}

}  // namespace

KTLMenus::KTLMenus(QObject* parent)
    : QObject(parent),
      selectDeviceAction(makeAction(this, "doSelectDevice", QStringLiteral("Select Drive…"))),
      preferencesAction(makeAction(this, "showPreferences", QStringLiteral("Preferences…"))),
      helpAction(makeAction(this, "doHelp", QStringLiteral("Pellora Help"))),
      quitAction(makeAction(this, "terminate", QStringLiteral("Quit Pellora"))),
      syncAction(makeAction(this, "sync", QStringLiteral("Sync"))),
      continuousSyncNowAction(
          makeAction(this, "continuousSyncNow", QStringLiteral("Sync Changes Now"))),
      toggleContinuousSyncAction(
          makeAction(this, "toggleContinuousSync", QStringLiteral("Continuous Sync"), true)),
      syncListAction(makeAction(this, "showSyncList", QStringLiteral("Sync List…"))),
      toggleLogWindowAction(makeAction(this, "toggleLogWindow", QStringLiteral("Show Log"))),
      clearLogAction(makeAction(this, "clearLogWindow", QStringLiteral("Clear Log…"))),
      toggleDebugModeAction(
          makeAction(this, "toggleDebugMode", QStringLiteral("Debug Mode"), true)) {
    selectDeviceAction->setShortcut(QKeySequence::Open);
    preferencesAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    preferencesAction->setMenuRole(QAction::PreferencesRole);
    helpAction->setShortcut(QKeySequence::HelpContents);
    quitAction->setShortcut(QKeySequence::Quit);
    quitAction->setMenuRole(QAction::QuitRole);
    if (!sCurrent) sCurrent = this;
}

KTLMenus::~KTLMenus() = default;

KTLMenus* KTLMenus::current() {
    return sCurrent;
}

QMenu* KTLMenus::makeMenu(const QString& title, const QList<QAction*>& actions, QWidget* parent) {
    auto* menu = new QMenu(KTLLocalizedString(title), parent);
    menu->addActions(actions);
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { validateMenu(menu); });
    return menu;
}

QMenu* KTLMenus::applicationMenu() {
    if (!_applicationMenu) {
        _applicationMenu.reset(makeMenu(QStringLiteral("Pellora"), {}, nullptr));
        _applicationMenu->addAction(selectDeviceAction);
        _applicationMenu->addAction(preferencesAction);
        _applicationMenu->addAction(toggleLogWindowAction);
        _applicationMenu->addAction(helpAction);
        _applicationMenu->addSeparator();
        _applicationMenu->addAction(quitAction);
    }
    return _applicationMenu.get();
}

QMenuBar* KTLMenus::makeMenuBar(QWidget* window) {
    auto* bar = new QMenuBar(window);
    bar->setObjectName(QStringLiteral("_menuBar"));
    QMenu* application =
        makeMenu(QStringLiteral("Pellora"), {selectDeviceAction, preferencesAction}, bar);
    application->addSeparator();
    application->addAction(helpAction);
    application->addSeparator();
    application->addAction(quitAction);
    bar->addMenu(application);
    bar->addMenu(makeMenu(
        QStringLiteral("Drive"),
        {syncAction, continuousSyncNowAction, toggleContinuousSyncAction, syncListAction}, bar));
    bar->addMenu(makeMenu(QStringLiteral("Log"),
                          {toggleLogWindowAction, clearLogAction, toggleDebugModeAction}, bar));
    return bar;
}

void KTLMenus::validateMenu(QMenu* menu) {
    if (!_validator) return;
    for (QAction* action : menu->actions())
        if (!action->isSeparator()) _validator(action);
}

void attachMenuBar(QWidget* window) {
    KTLMenus* menus = KTLMenus::current();
    if (!menus || !window->layout()) return;
    window->layout()->setMenuBar(menus->makeMenuBar(window));
}
