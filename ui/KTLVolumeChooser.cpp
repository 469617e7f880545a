#include "KTLVolumeChooser.h"

#include <sys/statvfs.h>

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "DisplayName.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "MountTable.h"

namespace {

enum Column { kName, kMountPoint, kFileSystem, kSize, kState };

QString sizeText(const std::string& mountPoint) {
    struct statvfs info;
    if (statvfs(mountPoint.c_str(), &info) != 0) return QString();
    return QLocale().formattedDataSize(qint64(info.f_blocks) * qint64(info.f_frsize), 1,
                                       QLocale::DataSizeSIFormat);
}

QString stateText(KTLVolumeState state) {
    switch (state) {
        case KTLVolumeState::SetUp:
            return KTLLocalizedString(QStringLiteral("Set up"));
        case KTLVolumeState::New:
            return KTLLocalizedString(QStringLiteral("New"));
        case KTLVolumeState::NotAccepted:
            return KTLLocalizedString(QStringLiteral("Not accepted"));
    }
    return QString();
}

}  // namespace

KTLVolumeChooser::KTLVolumeChooser(QWidget* parent, const StateFunction& stateOf)
    : QDialog(parent), _volumeList(new QTreeWidget(this)), _noteTextField(new QLabel(this)) {
    setObjectName(QStringLiteral("_volumeChooser"));
    setWindowTitle(KTLLocalizedString(QStringLiteral("Select a Tapline Drive")));
    _volumeList->setObjectName(QStringLiteral("_volumeList"));
    _volumeList->setHeaderLabels({KTLLocalizedString(QStringLiteral("Name")),
                                  KTLLocalizedString(QStringLiteral("Mount Point")),
                                  KTLLocalizedString(QStringLiteral("File System")),
                                  KTLLocalizedString(QStringLiteral("Size")),
                                  KTLLocalizedString(QStringLiteral("State"))});
    _volumeList->setRootIsDecorated(false);
    _volumeList->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const MountEntry& volume : mountedLocalVolumes()) {
        auto* item = new QTreeWidgetItem(_volumeList);
        const QString name = displayNameAtPath(volume.mountPoint);
        const QString type = QString::fromStdString(volume.fsType);
        item->setText(kName, name);
        // Shown decoded; the path itself is kept as its bytes.
        item->setText(kMountPoint, QString::fromLocal8Bit(volume.mountPoint));
        item->setData(kName, Qt::UserRole, QByteArray::fromStdString(volume.mountPoint));
        item->setText(kFileSystem, type);
        item->setText(kSize, sizeText(volume.mountPoint));
        item->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
        if (!stateOf) continue;
        const KTLVolumeState state = stateOf(volume.mountPoint);
        item->setText(kState, stateText(state));
        if (state == KTLVolumeState::NotAccepted) {
            // Selecting it still gets the usual alert; this says where the way out is.
            const QString note =
                KTLFormatWith(KTLLocalizedString(QStringLiteral(
                                  "\"%1$@\" is formatted %2$@, which Pellora does not accept yet. "
                                  "Pellora → Preferences… can accept %2$@.")),
                              name, type);
            item->setToolTip(kState, note);
            item->setData(kFileSystem, Qt::UserRole, note);
            _generalNote = KTLLocalizedString(QStringLiteral(
                "A volume marked \"Not accepted\" has a file system that Pellora does not sync "
                "to yet; Pellora → Preferences… can accept it."));
        }
    }
    // Long names and mount points give way (elided in the middle) to the short columns.
    _volumeList->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* header = _volumeList->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kName, QHeaderView::Interactive);
    header->resizeSection(
        kName,
        qMin(static_cast<QAbstractItemView*>(_volumeList)->sizeHintForColumn(kName) + 12, 220));
    header->setSectionResizeMode(kMountPoint, QHeaderView::Stretch);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("_cancelButton"));
    _selectButton = buttons->addButton(KTLLocalizedString(QStringLiteral("Select")),
                                       QDialogButtonBox::AcceptRole);
    _selectButton->setObjectName(QStringLiteral("_selectButton"));
    _selectButton->setDefault(true);
    _selectButton->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(_volumeList, &QTreeWidget::itemSelectionChanged, this,
            &KTLVolumeChooser::selectionChanged);
    connect(_volumeList, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);

    _noteTextField->setObjectName(QStringLiteral("_noteTextField"));
    _noteTextField->setWordWrap(true);
    _noteTextField->setTextFormat(Qt::PlainText);
    selectionChanged();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_volumeList);
    layout->addWidget(_noteTextField);
    layout->addWidget(buttons);
    resize(720, 320);
}

void KTLVolumeChooser::selectionChanged() {
    _selectButton->setEnabled(selectedPath().has_value());
    const QList<QTreeWidgetItem*> selected = _volumeList->selectedItems();
    QString note = selected.isEmpty()
                       ? QString()
                       : selected.first()->data(kFileSystem, Qt::UserRole).toString();
    if (note.isEmpty()) note = _generalNote;
    _noteTextField->setText(note);
    _noteTextField->setVisible(!note.isEmpty());
}

std::optional<std::string> KTLVolumeChooser::selectedPath() const {
    const QList<QTreeWidgetItem*> selected = _volumeList->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    return selected.first()->data(kName, Qt::UserRole).toByteArray().toStdString();
}

std::optional<std::string> KTLVolumeChooser::chooseVolume(const StateFunction& stateOf) {
    KTLVolumeChooser chooser(nullptr, stateOf);
    chooser.setWindowModality(Qt::ApplicationModal);
    if (chooser.exec() != QDialog::Accepted) return std::nullopt;
    return chooser.selectedPath();
}
