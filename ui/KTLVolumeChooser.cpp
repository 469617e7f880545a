#include "KTLVolumeChooser.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "DisplayName.h"
#include "KTLLocalizedString.h"
#include "MountTable.h"

KTLVolumeChooser::KTLVolumeChooser(QWidget* parent)
    : QDialog(parent), _volumeList(new QTreeWidget(this)) {
    setObjectName(QStringLiteral("_volumeChooser"));
    setWindowTitle(KTLLocalizedString(QStringLiteral("Select a Tapline Drive")));
    _volumeList->setObjectName(QStringLiteral("_volumeList"));
    _volumeList->setHeaderLabels({KTLLocalizedString(QStringLiteral("Name")),
                                  KTLLocalizedString(QStringLiteral("Mount Point"))});
    _volumeList->setRootIsDecorated(false);
    _volumeList->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const MountEntry& volume : mountedLocalVolumes()) {
        auto* item = new QTreeWidgetItem(_volumeList);
        item->setText(0, displayNameAtPath(volume.mountPoint));
        // Shown decoded; the path itself is kept as its bytes.
        item->setText(1, QString::fromLocal8Bit(volume.mountPoint));
        item->setData(0, Qt::UserRole, QByteArray::fromStdString(volume.mountPoint));
    }
    _volumeList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

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
            [this] { _selectButton->setEnabled(selectedPath().has_value()); });
    connect(_volumeList, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_volumeList);
    layout->addWidget(buttons);
    resize(520, 300);
}

std::optional<std::string> KTLVolumeChooser::selectedPath() const {
    const QList<QTreeWidgetItem*> selected = _volumeList->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    return selected.first()->data(0, Qt::UserRole).toByteArray().toStdString();
}

std::optional<std::string> KTLVolumeChooser::chooseVolume() {
    KTLVolumeChooser chooser;
    chooser.setWindowModality(Qt::ApplicationModal);
    if (chooser.exec() != QDialog::Accepted) return std::nullopt;
    return chooser.selectedPath();
}
