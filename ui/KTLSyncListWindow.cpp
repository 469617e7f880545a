#include "KTLSyncListWindow.h"

#include <sys/stat.h>

#include <QAction>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <filesystem>

#include "FolderChain.h"
#include "KTLFormat.h"
#include "KTLLocalizedString.h"
#include "KTLSyncController.h"
#include "MountTable.h"
#include "PathUtilities.h"

namespace {

// The removal alert names this many entries and counts the rest.
constexpr int kNamedEntries = 8;

// Counts the files below `path` (itself included when it is one), not following links.
void countTree(const std::string& path, KTLRemovalSummary& summary) {
    namespace fs = std::filesystem;
    std::error_code error;
    auto add = [&](const fs::path& item, const fs::file_status& status) {
        if (fs::is_directory(status)) return;
        ++summary.files;
        if (fs::is_regular_file(status)) {
            const auto size = fs::file_size(item, error);
            if (!error) summary.bytes += int64_t(size);
        }
    };
    const fs::file_status top = fs::symlink_status(path, error);
    if (error) return;
    add(path, top);
    if (!fs::is_directory(top)) return;
    for (fs::recursive_directory_iterator
             it(path, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error))
        add(it->path(), it->symlink_status(error));
}

}  // namespace

KTLSyncListWindow::KTLSyncListWindow(std::weak_ptr<KTLSyncController> controller,
                                     std::function<bool(const QStringList&)> apply, QWidget* parent)
    : QDialog(parent),
      _controller(std::move(controller)),
      _apply(std::move(apply)),
      _syncList(new QListWidget(this)) {
    setObjectName(QStringLiteral("_syncListWindow"));
    std::shared_ptr<KTLSyncController> owner = _controller.lock();
    const QString drive = owner ? owner->displayName() : QString();
    setWindowTitle(KTLFormatWith(KTLLocalizedString(QStringLiteral("Sync List of \"%@\"")), drive));

    auto* heading = new QLabel(
        KTLFormatWith(KTLLocalizedString(QStringLiteral(
                          "Files and folders of this computer that \"%@\" keeps in sync:")),
                      drive),
        this);
    heading->setWordWrap(true);
    _syncList->setObjectName(QStringLiteral("_syncList"));
    _syncList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    if (owner)
        for (const QString& entry : owner->shadowedSyncList().value_or(QStringList()))
            _syncList->addItem(entry);

    auto* addButton = new QPushButton(KTLLocalizedString(QStringLiteral("Add…")), this);
    addButton->setObjectName(QStringLiteral("_addButton"));
    auto* addMenu = new QMenu(addButton);
    QAction* addFolder = addMenu->addAction(KTLLocalizedString(QStringLiteral("Folder…")));
    addFolder->setObjectName(QStringLiteral("_addFolderAction"));
    QAction* addFile = addMenu->addAction(KTLLocalizedString(QStringLiteral("Files…")));
    addFile->setObjectName(QStringLiteral("_addFileAction"));
    addButton->setMenu(addMenu);
    connect(addFolder, &QAction::triggered, this, [this] { chooseAndAdd(true); });
    connect(addFile, &QAction::triggered, this, [this] { chooseAndAdd(false); });

    _removeButton = new QPushButton(KTLLocalizedString(QStringLiteral("Remove")), this);
    _removeButton->setObjectName(QStringLiteral("_removeButton"));
    _removeButton->setEnabled(false);
    connect(_removeButton, &QPushButton::clicked, this, &KTLSyncListWindow::removeSelected);
    connect(_syncList, &QListWidget::itemSelectionChanged, this,
            [this] { _removeButton->setEnabled(!_syncList->selectedItems().isEmpty()); });

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("_cancelButton"));
    _applyButton = buttons->addButton(QDialogButtonBox::Apply);
    _applyButton->setObjectName(QStringLiteral("_applyButton"));
    _applyButton->setDefault(true);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(_applyButton, &QPushButton::clicked, this, &KTLSyncListWindow::applyClicked);

    auto* editRow = new QHBoxLayout;
    editRow->addWidget(addButton);
    editRow->addWidget(_removeButton);
    editRow->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(_syncList, 1);
    layout->addLayout(editRow);
    layout->addWidget(buttons);
    resize(480, 340);
}

QStringList KTLSyncListWindow::entries() const {
    QStringList list;
    for (int row = 0; row < _syncList->count(); ++row) list << _syncList->item(row)->text();
    return list;
}

void KTLSyncListWindow::refuse(const QString& message) {
    QMessageBox box(QMessageBox::Warning, KTLLocalizedString(QStringLiteral("Cannot Add Item.")),
                    message, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("_refusalAlert"));
    box.exec();
}

bool KTLSyncListWindow::addPath(const std::string& path) {
    // Stored as the scripting command stores it: "~" for the home folder, kept as text, so a
    // name that is not UTF-8 can't be held.
    const std::string abbreviated = stringByAbbreviatingWithTildeInPath(path);
    const QString entry = QString::fromUtf8(abbreviated);
    struct stat status;
    if (entry.toStdString() != abbreviated || lstat(path.c_str(), &status) != 0) {
        refuse(KTLFormatWith(
            KTLLocalizedString(
                QStringLiteral("The name of \"%@\" is not valid text; a sync list can't hold it.")),
            pathText(path)));
        return false;
    }
    std::shared_ptr<KTLSyncController> owner = _controller.lock();
    if (owner && owner->syncItemHoldsTheDrive(abbreviated)) {
        refuse(KTLFormatWith(
            KTLLocalizedString(QStringLiteral(
                "\"%1$@\" is the drive \"%2$@\", holds it or lies on it, so it cannot be "
                "synchronized with it.")),
            entry, owner->displayName()));
        return false;
    }
    if (!entries().contains(entry)) _syncList->addItem(entry);
    return true;
}

void KTLSyncListWindow::chooseAndAdd(bool folders) {
    QFileDialog dialog(this, KTLLocalizedString(QStringLiteral("Add to the Sync List")),
                       QFile::decodeName(KTLSyncController::homeFolder().c_str()));
    dialog.setObjectName(QStringLiteral("_addDialog"));
    dialog.setFileMode(folders ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::ShowDirsOnly, folders);
    dialog.setLabelText(QFileDialog::Accept, KTLLocalizedString(QStringLiteral("Add")));
    if (dialog.exec() != QDialog::Accepted) return;
    for (const QString& file : dialog.selectedFiles())
        addPath(QFile::encodeName(file).toStdString());
}

void KTLSyncListWindow::removeSelected() {
    qDeleteAll(_syncList->selectedItems());
}

KTLRemovalSummary KTLSyncListWindow::removalSummary(const std::string& target,
                                                    const QStringList& killList) {
    KTLRemovalSummary summary;
    std::vector<std::string> counted;
    for (const QString& entry : killList) {
        const std::string item = entry.toStdString();
        // The update leaves alone what it would not remove: unsafe entries, copies outside the
        // sync folder or behind a link.
        const std::vector<std::string> levels = parentPathComponents(item + "/x");
        if (!KTLSyncController::isSafeSyncItem(item) || levels.empty() ||
            levels.front() == "TL_VS_W" ||
            folderChainState(target, parentPathComponents(item)) != FolderChainState::Folders)
            continue;
        const std::string path = stringByAppendingPathComponent(target, item);
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) continue;
        summary.entries << entry;
        bool inside = false;
        for (const std::string& other : counted)
            if (pathHasComponentPrefix(path, other)) inside = true;
        if (inside) continue;
        // A copy that holds one counted earlier replaces it.
        std::erase_if(
            counted, [&](const std::string& other) { return pathHasComponentPrefix(other, path); });
        counted.push_back(path);
    }
    for (const std::string& path : counted) countTree(path, summary);
    return summary;
}

QString KTLSyncListWindow::removalText(const KTLRemovalSummary& summary) {
    const QLocale locale;
    return KTLFormatWith(
        KTLLocalizedString(summary.files == 1
                               ? QStringLiteral("Removes %@ file, %@ from the drive.")
                               : QStringLiteral("Removes %@ files, %@ from the drive.")),
        locale.toString(qlonglong(summary.files)),
        locale.formattedDataSize(summary.bytes, 1, QLocale::DataSizeSIFormat));
}

void KTLSyncListWindow::applyClicked() {
    std::shared_ptr<KTLSyncController> owner = _controller.lock();
    if (!owner) return;
    const QStringList newList = entries();
    const KTLRemovalSummary summary =
        removalSummary(owner->pathForTaplineTarget(),
                       KTLSyncController::updateListThreadKillListGivenOldSyncList(
                           owner->shadowedSyncList().value_or(QStringList()), newList));
    auto applyNow = [this, newList] {
        if (_apply && _apply(newList)) accept();
    };
    if (summary.entries.isEmpty()) {
        applyNow();
        return;
    }
    QStringList named = summary.entries.mid(0, kNamedEntries);
    if (summary.entries.size() > kNamedEntries)
        named << KTLFormatWith(KTLLocalizedString(QStringLiteral("and %@ more")),
                               QString::number(summary.entries.size() - kNamedEntries));
    auto* box = new QMessageBox(
        QMessageBox::Warning, KTLLocalizedString(QStringLiteral("Remove Copies from the Drive?")),
        KTLFormatWith(KTLLocalizedString(QStringLiteral(
                          "These items leave the list, and their copies on \"%@\" are removed:")),
                      owner->displayName()) +
            QStringLiteral("\n\n") + named.join(u'\n'),
        QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("_removalAlert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(removalText(summary));
    QPushButton* remove = box->addButton(KTLLocalizedString(QStringLiteral("Remove and Apply")),
                                         QMessageBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("_removeAndApplyButton"));
    QPushButton* cancel = box->addButton(QMessageBox::Cancel);
    cancel->setObjectName(QStringLiteral("_cancelButton"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [remove, applyNow](QAbstractButton* clicked) {
        if (clicked == remove) applyNow();
    });
    box->setWindowModality(Qt::WindowModal);
    box->show();
}
