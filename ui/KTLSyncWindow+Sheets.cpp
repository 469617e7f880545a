// The drive window's three sheets: the alert, the missing-item prompt and the conflict prompt.
#include <QCheckBox>
#include <QDialog>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QToolTip>
#include <QVBoxLayout>
#include <optional>
#include <utility>

#include "KTLLocalizedString.h"
#include "KTLSyncWindow.h"

namespace {

QLabel* makeTextField(QWidget* parent, const char* name) {
    auto* field = new QLabel(parent);
    field->setObjectName(QString::fromLatin1(name));
    // File names go into these texts: never read them as markup.
    field->setTextFormat(Qt::PlainText);
    field->setWordWrap(true);
    field->setTextInteractionFlags(Qt::TextSelectableByMouse);
    field->setMinimumWidth(340);
    return field;
}

QPushButton* makeButton(QWidget* parent, const char* name, const char* title) {
    auto* button = new QPushButton(KTLLocalizedString(QString::fromLatin1(title)), parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QCheckBox* makeDontAskAgain(QWidget* parent, const char* name) {
    auto* box = new QCheckBox(KTLLocalizedString(QStringLiteral("Don't ask again")), parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

// The icon column on the left and the sheet's contents beside it.
QVBoxLayout* addIconColumn(QDialog* sheet, QStyle::StandardPixmap pixmap) {
    auto* icon = new QLabel(sheet);
    const int size = sheet->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, sheet);
    icon->setPixmap(sheet->style()->standardIcon(pixmap, nullptr, sheet).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    auto* row = new QHBoxLayout(sheet);
    // Sized to its wrapped text, as a sheet is; not resizable.
    row->setSizeConstraint(QLayout::SetFixedSize);
    row->addWidget(icon);
    auto* column = new QVBoxLayout;
    row->addLayout(column, 1);
    return column;
}

// Escape and the title bar's close button give what `escapeAnswer` says, or, when it says
// nothing, are no answer at all: the sheet stays until one of its buttons is clicked.
class Sheet : public QDialog {
  public:
    using QDialog::QDialog;
    std::function<std::optional<int>()> escapeAnswer;
    void reject() override {
        if (std::optional<int> code = escapeAnswer ? escapeAnswer() : std::nullopt) done(*code);
    }
};

}  // namespace

QDialog* KTLSyncWindow::makeSheet(const char* name) {
    auto* sheet = new Sheet(this);
    sheet->setObjectName(QString::fromLatin1(name));
    sheet->setSizeGripEnabled(false);
    connect(sheet, &QDialog::finished, this,
            [this, sheet](int code) { sheetFinished(sheet, code); });
    return sheet;
}

void KTLSyncWindow::buildAlertPanel() {
    _alertPanel = makeSheet("_alertPanel");
    QVBoxLayout* column = addIconColumn(_alertPanel, QStyle::SP_MessageBoxWarning);
    _alertTitleTextField = makeTextField(_alertPanel, "_alertTitleTextField");
    QFont bold = _alertTitleTextField->font();
    bold.setBold(true);
    _alertTitleTextField->setFont(bold);
    _alertMessageTextField = makeTextField(_alertPanel, "_alertMessageTextField");
    _alertOKButton = makeButton(_alertPanel, "_alertOKButton", "OK");
    _alertCancelButton = makeButton(_alertPanel, "_alertCancelButton", "Cancel");
    _alertOKButton->setDefault(true);
    connect(_alertOKButton, &QPushButton::clicked, _alertPanel, [this] { _alertPanel->done(1); });
    connect(_alertCancelButton, &QPushButton::clicked, _alertPanel,
            [this] { _alertPanel->done(0); });
    // Escape is Cancel, or OK where OK is the only answer.
    static_cast<Sheet*>(_alertPanel)->escapeAnswer = [this] {
        return std::optional<int>(_alertCancelButton->isHidden() ? 1 : 0);
    };

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(_alertCancelButton);
    buttons->addWidget(_alertOKButton);
    column->addWidget(_alertTitleTextField);
    column->addWidget(_alertMessageTextField);
    column->addSpacing(8);
    column->addLayout(buttons);
}

void KTLSyncWindow::buildMissingPanel() {
    _missingAlertPanel = makeSheet("_missingAlertPanel");
    QVBoxLayout* column = addIconColumn(_missingAlertPanel, QStyle::SP_MessageBoxQuestion);
    _missingMessageTextField = makeTextField(_missingAlertPanel, "_missingMessageTextField");
    showToolTipAsPlainText(_missingMessageTextField);
    _missingCopyButton = makeButton(_missingAlertPanel, "_missingCopyButton", "Copy");
    _missingDontCopyButton = makeButton(_missingAlertPanel, "_missingDontCopyButton", "Don't Copy");
    _missingDontAskAgainButton = makeDontAskAgain(_missingAlertPanel, "_missingDontAskAgainButton");
    _missingCopyButton->setDefault(true);
    connect(_missingCopyButton, &QPushButton::clicked, _missingAlertPanel,
            [this] { _missingAlertPanel->done(1); });
    connect(_missingDontCopyButton, &QPushButton::clicked, _missingAlertPanel,
            [this] { _missingAlertPanel->done(-1); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(_missingDontAskAgainButton);
    buttons->addStretch(1);
    buttons->addWidget(_missingDontCopyButton);
    buttons->addWidget(_missingCopyButton);
    column->addWidget(_missingMessageTextField);
    column->addSpacing(8);
    column->addLayout(buttons);
}

void KTLSyncWindow::buildConflictPanel() {
    _conflictAlertPanel = makeSheet("_conflictAlertPanel");
    QVBoxLayout* column = addIconColumn(_conflictAlertPanel, QStyle::SP_MessageBoxQuestion);
    _conflictMessageTextField = makeTextField(_conflictAlertPanel, "_conflictMessageTextField");
    _conflictNewerButton = makeButton(_conflictAlertPanel, "_conflictNewerButton", "Keep Newer");
    _conflictOlderButton = makeButton(_conflictAlertPanel, "_conflictOlderButton", "Keep Older");
    // Titled by each question after the side that holds the copy.
    _conflictNewerSourceButton = makeButton(_conflictAlertPanel, "_conflictNewerSourceButton", "");
    _conflictOlderSourceButton = makeButton(_conflictAlertPanel, "_conflictOlderSourceButton", "");
    _conflictDontAskAgainButton =
        makeDontAskAgain(_conflictAlertPanel, "_conflictDontAskAgainButton");
    _conflictButtonSeparator = new QFrame(_conflictAlertPanel);
    _conflictButtonSeparator->setObjectName(QStringLiteral("_conflictButtonSeparator"));
    _conflictButtonSeparator->setFrameShape(QFrame::HLine);
    _conflictButtonSeparator->setFrameShadow(QFrame::Sunken);
    _conflictNewerButton->setDefault(true);
    const std::pair<QPushButton*, int> codes[] = {{_conflictNewerButton, 1},
                                                  {_conflictOlderButton, -1},
                                                  {_conflictNewerSourceButton, 2},
                                                  {_conflictOlderSourceButton, -2}};
    for (const auto& [button, code] : codes) {
        showToolTipAsPlainText(button);
        connect(button, &QPushButton::clicked, _conflictAlertPanel,
                [this, code = code] { _conflictAlertPanel->done(code); });
    }

    auto* mainButtons = new QHBoxLayout;
    mainButtons->addWidget(_conflictDontAskAgainButton);
    mainButtons->addStretch(1);
    mainButtons->addWidget(_conflictOlderButton);
    mainButtons->addWidget(_conflictNewerButton);
    auto* sideButtons = new QHBoxLayout;
    sideButtons->addStretch(1);
    sideButtons->addWidget(_conflictOlderSourceButton);
    sideButtons->addWidget(_conflictNewerSourceButton);
    column->addWidget(_conflictMessageTextField);
    column->addSpacing(8);
    column->addLayout(mainButtons);
    column->addWidget(_conflictButtonSeparator);
    column->addLayout(sideButtons);
}

void KTLSyncWindow::showToolTipAsPlainText(QWidget* widget) {
    widget->installEventFilter(this);
}

bool KTLSyncWindow::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() != QEvent::ToolTip || !widget || widget->toolTip().isEmpty())
        return QWidget::eventFilter(watched, event);
    // Qt would take a tip that looks like markup for markup; a path may well look like it.
    const QString tip = Qt::convertFromPlainText(widget->toolTip(), Qt::WhiteSpacePre);
    QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, widget);
    return true;
}

void KTLSyncWindow::beginSheet(QDialog* sheet, std::function<void(int)> didEnd,
                               const QString& question) {
    // A question belongs on the drive's window, so the window comes forward with it.
    if (!isVisible()) showWindow();
    sheet->setWindowTitle(windowTitle());
    sheet->adjustSize();
    _openSheet = sheet;
    _sheetDidEnd = std::move(didEnd);
    // open() makes it modal to this window only.
    sheet->open();
    emit sheetBegan(question);
}

void KTLSyncWindow::sheetFinished(QDialog* sheet, int code) {
    if (sheet != _openSheet) return;
    _openSheet = nullptr;
    emit sheetEnded();
    // Taken first: the handler may begin the next sheet.
    std::function<void(int)> didEnd = std::exchange(_sheetDidEnd, nullptr);
    if (didEnd) didEnd(code);
}

void KTLSyncWindow::endOpenSheet(int code) {
    // done() hides the sheet, then reports through finished.
    if (QDialog* sheet = _openSheet) sheet->done(code);
}

void KTLSyncWindow::beginAlertSheet(const QString& title, const QString& message,
                                    bool cancelEnabled, std::function<void(int code)> didEnd) {
    // One sheet at a time, ended before its fields change; a question left open would never
    // be answered.
    endOpenSheet(0);
    _alertTitleTextField->setText(title);
    _alertMessageTextField->setText(message);
    // An alert with nothing to cancel has OK alone.
    _alertCancelButton->setEnabled(cancelEnabled);
    _alertCancelButton->setVisible(cancelEnabled);
    _alertOKButton->setFocus();
    beginSheet(_alertPanel, std::move(didEnd), title + QLatin1Char('\n') + message);
}

void KTLSyncWindow::beginMissingSheet(const QString& message, const QString& toolTip,
                                      std::function<void(int code, bool dontAskAgain)> didEnd) {
    endOpenSheet(0);
    _missingMessageTextField->setText(message);
    _missingMessageTextField->setToolTip(toolTip);
    _missingCopyButton->setFocus();
    QCheckBox* box = _missingDontAskAgainButton;
    beginSheet(
        _missingAlertPanel,
        [box, didEnd = std::move(didEnd)](int code) { didEnd(code, box->isChecked()); }, message);
}

void KTLSyncWindow::beginConflictSheet(const KTLConflictSheetTexts& texts,
                                       std::function<void(int code, bool dontAskAgain)> didEnd) {
    endOpenSheet(0);
    _conflictMessageTextField->setText(texts.message);
    _conflictNewerButton->setToolTip(texts.newerToolTip);
    _conflictOlderButton->setToolTip(texts.olderToolTip);
    _conflictNewerSourceButton->setText(texts.newerSourceTitle);
    _conflictNewerSourceButton->setToolTip(texts.newerSourceToolTip);
    _conflictOlderSourceButton->setText(texts.olderSourceTitle);
    _conflictOlderSourceButton->setToolTip(texts.olderSourceToolTip);
    for (QWidget* side : {static_cast<QWidget*>(_conflictButtonSeparator),
                          static_cast<QWidget*>(_conflictNewerSourceButton),
                          static_cast<QWidget*>(_conflictOlderSourceButton)})
        side->setVisible(texts.showSourceButtons);
    _conflictNewerButton->setFocus();
    QCheckBox* box = _conflictDontAskAgainButton;
    beginSheet(
        _conflictAlertPanel,
        [box, didEnd = std::move(didEnd)](int code) { didEnd(code, box->isChecked()); },
        texts.message);
}
