#include "KTLPreferencesWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "MountTable.h"
#include "PreferenceDomain.h"

namespace {

const QString kSyncOnConnectKey = QStringLiteral("sync-on-connect");
const QString kDebugKey = QStringLiteral("debug");
const QString kAcceptedKey = QStringLiteral("accepted-file-systems");
constexpr int kFileSystemColumns = 4;

PreferenceDomain& defaults() {
    return PreferenceDomain::standardUserDefaults();
}

QCheckBox* makeCheckBox(const QString& title, const char* name, QWidget* parent) {
    auto* box = new QCheckBox(KTLLocalizedString(title), parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

}  // namespace

KTLPreferencesWindow::KTLPreferencesWindow(QWidget* parent)
    : QWidget(parent, Qt::Window),
      _syncOnConnectButton(
          makeCheckBox(QStringLiteral("Sync a prepared drive when it is connected"),
                       "_syncOnConnectButton", this)),
      _debugButton(makeCheckBox(QStringLiteral("Debug mode (more detail in the log)"),
                                "_debugButton", this)),
      _fileSystemGrid(new QGridLayout) {
    setObjectName(QStringLiteral("_preferencesWindow"));
    setWindowTitle(KTLLocalizedString(QStringLiteral("Pellora Preferences")));
    connect(_syncOnConnectButton, &QCheckBox::clicked, this,
            [](bool on) { defaults().setBool(on, kSyncOnConnectKey); });
    connect(_debugButton, &QCheckBox::clicked, this,
            [](bool on) { defaults().setBool(on, kDebugKey); });

    auto* fileSystems =
        new QGroupBox(KTLLocalizedString(QStringLiteral("Drive file systems")), this);
    auto* explanation = new QLabel(
        KTLLocalizedString(QStringLiteral(
            "Pellora syncs only drives whose file system is ticked here. Drives formatted vfat or "
            "exfat cannot hold permissions or symbolic links.")),
        fileSystems);
    explanation->setWordWrap(true);
    auto* groupLayout = new QVBoxLayout(fileSystems);
    groupLayout->addWidget(explanation);
    groupLayout->addLayout(_fileSystemGrid);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("_closeButton"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_syncOnConnectButton);
    layout->addWidget(fileSystems);
    layout->addWidget(_debugButton);
    layout->addStretch(1);
    layout->addWidget(buttons);
    reload();
}

QStringList KTLPreferencesWindow::offeredFileSystems() {
    QStringList offered;
    for (const QVariant& name : defaults().registeredDefault(kAcceptedKey).toList())
        offered << name.toString();
    offered << QStringList{QStringLiteral("ext4"), QStringLiteral("ext3"),  QStringLiteral("btrfs"),
                           QStringLiteral("xfs"),  QStringLiteral("f2fs"),  QStringLiteral("exfat"),
                           QStringLiteral("vfat"), QStringLiteral("ntfs3"), QStringLiteral("ntfs")};
    for (const MountEntry& volume : mountedLocalVolumes())
        offered << QString::fromStdString(volume.fsType);
    offered << KTLSyncController::acceptedFileSystems();
    offered.removeAll(QString());
    offered.removeDuplicates();
    return offered;
}

void KTLPreferencesWindow::addSetting(const QString& title, const char* name,
                                      std::function<bool()> get, std::function<bool(bool)> set) {
    QCheckBox* box = makeCheckBox(title, name, this);
    box->setChecked(get());
    connect(box, &QCheckBox::clicked, this, [box, get, set](bool on) {
        // A setting that could not be changed shows what it still is.
        if (!set(on)) box->setChecked(get());
    });
    // Above the debug box, the last of the settings.
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    layout->insertWidget(layout->indexOf(_debugButton), box);
    _settings.append({box, std::move(get)});
}

void KTLPreferencesWindow::reload() {
    _syncOnConnectButton->setChecked(defaults().boolForKey(kSyncOnConnectKey));
    _debugButton->setChecked(defaults().boolForKey(kDebugKey));
    for (const auto& [box, get] : _settings) box->setChecked(get());

    // A volume mounted since the last look brings its type along.
    qDeleteAll(_fileSystemButtons);
    _fileSystemButtons.clear();
    const QStringList accepted = KTLSyncController::acceptedFileSystems();
    for (const QString& type : offeredFileSystems()) {
        auto* box = new QCheckBox(type, this);
        box->setObjectName(type);
        box->setChecked(accepted.contains(type));
        connect(box, &QCheckBox::clicked, this, &KTLPreferencesWindow::fileSystemToggled);
        const int index = int(_fileSystemButtons.size());
        _fileSystemGrid->addWidget(box, index / kFileSystemColumns, index % kFileSystemColumns);
        _fileSystemButtons << box;
    }
}

void KTLPreferencesWindow::fileSystemToggled() {
    // The user's own order is kept; a newly ticked type goes at the end.
    QStringList accepted = KTLSyncController::acceptedFileSystems();
    for (QCheckBox* box : _fileSystemButtons) {
        // The type is the object name: a style may add a mnemonic to the title.
        const QString type = box->objectName();
        if (box->isChecked() && !accepted.contains(type))
            accepted << type;
        else if (!box->isChecked())
            accepted.removeAll(type);
    }
    defaults().setObject(accepted, kAcceptedKey);
}

void KTLPreferencesWindow::showWindow() {
    reload();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

bool KTLPreferencesWindow::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) {
        _syncOnConnectButton->setChecked(defaults().boolForKey(kSyncOnConnectKey));
        _debugButton->setChecked(defaults().boolForKey(kDebugKey));
        for (const auto& [box, get] : _settings) box->setChecked(get());
    }
    return QWidget::event(event);
}
