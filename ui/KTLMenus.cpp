#include "KTLMenus.h"

#include <QAction>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QShortcut>
#include <QWidget>

#include "KTLLocalizedString.h"

namespace {

QPointer<KTLMenus> sCurrent;

}  // namespace

QString withMnemonic(const QString& text, QChar letter) {
    // The first occurrence of the letter, whatever its case; a translation without it gets none.
    const qsizetype at = text.indexOf(letter, 0, Qt::CaseInsensitive);
    if (at < 0 || text.contains(QLatin1Char('&'))) return text;
    return text.left(at) + QLatin1Char('&') + text.mid(at);
}

namespace {

QAction* makeAction(QObject* parent, const char* objectName, const QString& title, QChar letter,
                    bool checkable = false) {
    auto* action = new QAction(withMnemonic(KTLLocalizedString(title), letter), parent);
    action->setObjectName(QString::fromLatin1(objectName));
    action->setCheckable(checkable);
    return action;
}

}  // namespace

KTLMenus::KTLMenus(QObject* parent)
    : QObject(parent),
      selectDeviceAction(makeAction(this, "doSelectDevice", QStringLiteral("Select Drive…"), u'S')),
      preferencesAction(makeAction(this, "showPreferences", QStringLiteral("Preferences…"), u'P')),
      startAtLoginAction(
          makeAction(this, "toggleStartAtLogin", QStringLiteral("Start at Login"), u't', true)),
      helpAction(makeAction(this, "doHelp", QStringLiteral("Pellora Help"), u'H')),
      quitAction(makeAction(this, "terminate", QStringLiteral("Quit Pellora"), u'Q')),
      syncAction(makeAction(this, "sync", QStringLiteral("Sync"), u'S')),
      continuousSyncNowAction(
          makeAction(this, "continuousSyncNow", QStringLiteral("Sync Changes Now"), u'C')),
      toggleContinuousSyncAction(
          makeAction(this, "toggleContinuousSync", QStringLiteral("Continuous Sync"), u'o', true)),
      syncListAction(makeAction(this, "showSyncList", QStringLiteral("Sync List…"), u'L')),
      toggleLogWindowAction(makeAction(this, "toggleLogWindow", QStringLiteral("Show Log"), u'L')),
      clearLogAction(makeAction(this, "clearLogWindow", QStringLiteral("Clear Log…"), u'C')),
      toggleDebugModeAction(
          makeAction(this, "toggleDebugMode", QStringLiteral("Debug Mode"), u'D', true)) {
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
    auto* menu = new QMenu(withMnemonic(KTLLocalizedString(title), title.at(0)), parent);
    menu->addActions(actions);
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { validateMenu(menu); });
    return menu;
}

QAction* KTLMenus::mirror(QAction* original, QObject* parent) {
    auto* copy = new QAction(original->text(), parent);
    copy->setObjectName(original->objectName());
    copy->setCheckable(original->isCheckable());
    auto follow = [copy, original] {
        copy->setText(original->text());
        copy->setChecked(original->isChecked());
        copy->setEnabled(original->isEnabled());
    };
    follow();
    connect(original, &QAction::changed, copy, follow);
    // The original's check mark is the one that counts: it flips it itself.
    connect(copy, &QAction::triggered, original, [original, follow] {
        original->trigger();
        follow();
    });
    return copy;
}

QMenu* KTLMenus::applicationMenu() {
    if (!_applicationMenu) {
        _applicationMenu.reset(makeMenu(QStringLiteral("Pellora"), {}, nullptr));
        QMenu* menu = _applicationMenu.get();
        menu->addAction(mirror(selectDeviceAction, menu));
        menu->addAction(mirror(preferencesAction, menu));
        menu->addAction(mirror(toggleLogWindowAction, menu));
        menu->addAction(mirror(startAtLoginAction, menu));
        menu->addAction(mirror(helpAction, menu));
        menu->addSeparator();
        menu->addAction(mirror(quitAction, menu));
        // The validator is asked about the originals, whose changes the copies follow.
        disconnect(menu, &QMenu::aboutToShow, this, nullptr);
        connect(menu, &QMenu::aboutToShow, this, [this] {
            for (QAction* action : {selectDeviceAction, preferencesAction, toggleLogWindowAction,
                                    startAtLoginAction, helpAction, quitAction})
                if (_validator) _validator(action);
        });
    }
    return _applicationMenu.get();
}

QMenuBar* KTLMenus::makeMenuBar(QWidget* window) {
    auto* bar = new QMenuBar(window);
    bar->setObjectName(QStringLiteral("_menuBar"));
    QMenu* application = makeMenu(QStringLiteral("Pellora"),
                                  {selectDeviceAction, preferencesAction, startAtLoginAction}, bar);
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
    QMenuBar* bar = menus->makeMenuBar(window);
    window->layout()->setMenuBar(bar);
    // A menu bar the desktop shows itself (a global menu) opens by its own keys.
    if (bar->isNativeMenuBar()) return;
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), window);
    QObject::connect(f10, &QShortcut::activated, bar, [bar] {
        if (!bar->actions().isEmpty()) bar->setActiveAction(bar->actions().first());
    });
}
