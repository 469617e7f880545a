#include "KTLSyncWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>
#include <utility>

#include "KTLLocalizedString.h"
#include "KTLMenus.h"
#include "KTLSyncController.h"

namespace {

// A busy bar whose animation is drawn ten times a second rather than at the style's frame
// rate: each frame of the striped bar costs as much as a thousand files' bookkeeping, and the
// run shares the processor with it.
class KTLBusyBar : public QProgressBar {
  public:
    using QProgressBar::QProgressBar;

  protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::StyleAnimationUpdate) {
            // Accepted, or the style takes the animation for unwanted and stops it.
            if (_lastFrame.isValid() && _lastFrame.elapsed() < 100) {
                event->accept();
                return true;
            }
            _lastFrame.start();
        }
        return QProgressBar::event(event);
    }

  private:
    QElapsedTimer _lastFrame;
};

// One line that shows a long text with its middle left out, so that both a long drive name's
// start and the end of the message stay in view; the whole text is its tool tip.
class KTLStatusLine : public QLabel {
  public:
    using QLabel::QLabel;
    QString displayedText() const {
        return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        const QString shown = displayedText();
        setToolTip(shown == text() ? QString() : text());
        QPainter painter(this);
        style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                              shown, foregroundRole());
    }
};

}  // namespace

KTLSyncWindow::KTLSyncWindow(std::weak_ptr<KTLSyncController> controller)
    : QWidget(nullptr), _controller(std::move(controller)) {
    setObjectName(QStringLiteral("_window"));
    buildWindow();
    buildAlertPanel();
    buildMissingPanel();
    buildConflictPanel();
    attachMenuBar(this);
    if (auto owner = _controller.lock()) setWindowTitle(owner->displayName());
}

KTLSyncWindow::~KTLSyncWindow() {
    // The sheets die with the window; none of them may call back into a half-destroyed one.
    for (QDialog* sheet : {_alertPanel, _missingAlertPanel, _conflictAlertPanel})
        sheet->disconnect(this);
    // Whoever waits for the answer still gets one, once the sheet is down.
    if (QDialog* sheet = std::exchange(_openSheet, nullptr)) sheet->hide();
    if (auto didEnd = std::exchange(_sheetDidEnd, nullptr)) didEnd(0);
}

void KTLSyncWindow::buildWindow() {
    _messageTextField = new KTLStatusLine(this);
    _messageTextField->setObjectName(QStringLiteral("_messageTextField"));
    _messageTextField->setTextFormat(Qt::PlainText);
    _messageTextField->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // One line whatever the text; a long path must not widen the window.
    _messageTextField->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    _messageTextField->setMinimumHeight(_messageTextField->fontMetrics().height());

    _progressIndicator = new KTLBusyBar(this);
    _progressIndicator->setObjectName(QStringLiteral("_progressIndicator"));
    _progressIndicator->setTextVisible(false);
    _progressIndicator->setRange(0, 1);
    _progressIndicator->setValue(0);
    // Hiding it between runs must not move the Cancel button.
    QSizePolicy keepPlace = _progressIndicator->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    _progressIndicator->setSizePolicy(keepPlace);
    _progressIndicator->hide();

    _cancelButton = new QPushButton(KTLLocalizedString(QStringLiteral("Cancel")), this);
    _cancelButton->setObjectName(QStringLiteral("_cancelButton"));
    _cancelButton->setEnabled(false);
    _cancelButton->hide();
    connect(_cancelButton, &QPushButton::clicked, this, [this] {
        if (auto owner = _controller.lock()) owner->cancelButtonClicked(this);
        // The worker notices between steps, which can take a while: say so now.
        _cancelButton->setEnabled(false);
        setStatusLine(KTLLocalizedString(QStringLiteral("Canceling\u2026")));
    });

    // Shown once a drive is given its first list, until the user has chosen one.
    _syncListHintTextField = new QLabel(
        KTLLocalizedString(QStringLiteral("Drive → Sync List… chooses what this drive syncs.")),
        this);
    _syncListHintTextField->setObjectName(QStringLiteral("_syncListHintTextField"));
    _syncListHintTextField->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    _syncListHintTextField->hide();

    _closeButton = new QPushButton(KTLLocalizedString(QStringLiteral("Close")), this);
    _closeButton->setObjectName(QStringLiteral("_closeButton"));
    connect(_closeButton, &QPushButton::clicked, this, &QWidget::close);

    _helpButton = new QToolButton(this);
    _helpButton->setObjectName(QStringLiteral("_helpButton"));
    _helpButton->setText(QStringLiteral("?"));
    _helpButton->setToolTip(KTLLocalizedString(QStringLiteral("Help")));
    connect(_helpButton, &QToolButton::clicked, this, [this] {
        if (auto owner = _controller.lock()) owner->helpClicked(this);
    });

    _drawerButton = new QToolButton(this);
    _drawerButton->setObjectName(QStringLiteral("_drawerButton"));
    _drawerButton->setText(KTLLocalizedString(QStringLiteral("Log")));
    _drawerButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    _drawerButton->setArrowType(Qt::RightArrow);
    _drawerButton->setAutoRaise(true);
    _drawerButton->setCheckable(true);
    connect(_drawerButton, &QToolButton::toggled, this, [this](bool open) { setDrawerOpen(open); });

    _windowDrawer = new QWidget(this);
    _windowDrawer->setObjectName(QStringLiteral("_windowDrawer"));
    _windowDrawerTextView = new QPlainTextEdit(_windowDrawer);
    _windowDrawerTextView->setObjectName(QStringLiteral("_windowDrawerTextView"));
    _windowDrawerTextView->setReadOnly(true);
    _windowDrawerTextView->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                                   Qt::TextSelectableByKeyboard);
    // The log only grows; an undo history would double its memory.
    _windowDrawerTextView->setUndoRedoEnabled(false);
    _windowDrawerTextView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* drawerLayout = new QVBoxLayout(_windowDrawer);
    drawerLayout->setContentsMargins(0, 0, 0, 0);
    drawerLayout->addWidget(_windowDrawerTextView);
    _windowDrawer->hide();

    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(_progressIndicator, 1);
    progressRow->addWidget(_cancelButton);
    auto* controlRow = new QHBoxLayout;
    controlRow->addWidget(_drawerButton);
    controlRow->addStretch(1);
    controlRow->addWidget(_closeButton);
    controlRow->addWidget(_helpButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_messageTextField);
    layout->addWidget(_syncListHintTextField);
    layout->addLayout(progressRow);
    layout->addLayout(controlRow);
    layout->addWidget(_windowDrawer, 1);

    resize(460, sizeHint().height());
    setDrawerOpen(false);
}

bool KTLSyncWindow::isDrawerOpen() const {
    return !_windowDrawer->isHidden();
}

void KTLSyncWindow::setDrawerOpen(bool open) {
    if (_drawerButton->isChecked() != open) {
        _drawerButton->setChecked(open);  // comes back here through toggled
        return;
    }
    _drawerButton->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    if (open == isDrawerOpen()) {
        if (!open) setMaximumHeight(minimumSizeHint().height());
        return;
    }
    if (open) {
        _windowDrawer->show();
        setMaximumHeight(QWIDGETSIZE_MAX);
        resize(width(), height() + _drawerHeight);
    } else {
        // The pane comes back as tall as the user left it.
        _drawerHeight = _windowDrawer->height();
        _windowDrawer->hide();
        layout()->activate();
        const int closedHeight = minimumSizeHint().height();
        setMaximumHeight(closedHeight);
        resize(width(), closedHeight);
    }
}

void KTLSyncWindow::showWindow() {
    if (auto owner = _controller.lock()) setWindowTitle(owner->displayName());
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    // A question waiting on the window comes up with it.
    if (QDialog* sheet = _openSheet) {
        sheet->raise();
        sheet->activateWindow();
    }
}

void KTLSyncWindow::closeWindow() {
    // Not asked; closeEvent still ends the open sheet.
    _closingByProgram = true;
    close();
    _closingByProgram = false;
}

bool KTLSyncWindow::isWindowVisible() const {
    return isVisible();
}

void KTLSyncWindow::closeEvent(QCloseEvent* event) {
    std::shared_ptr<KTLSyncController> owner = _controller.lock();
    if (!_closingByProgram && owner && !owner->windowShouldClose()) {
        event->ignore();
        return;
    }
    endOpenSheet(0);
    if (owner) owner->windowWillClose();
    // Only hidden: the window, its log and its sheets stay for the next show.
    event->accept();
}

void KTLSyncWindow::setStatusLine(const QString& text) {
    _messageTextField->setText(text);
    if (_messageTextField->isVisible()) _messageTextField->repaint();
}

QString KTLSyncWindow::statusLine() const {
    return _messageTextField->text();
}

QString KTLSyncWindow::displayedStatusLine() const {
    return static_cast<const KTLStatusLine*>(_messageTextField)->displayedText();
}

void KTLSyncWindow::setSyncListHintVisible(bool visible) {
    _syncListHintTextField->setVisible(visible);
    if (isDrawerOpen()) return;
    // Without the drawer the window is as tall as its lines.
    layout()->activate();
    const int closedHeight = minimumSizeHint().height();
    setMaximumHeight(closedHeight);
    resize(width(), closedHeight);
}

bool KTLSyncWindow::isSyncListHintVisible() const {
    return !_syncListHintTextField->isHidden();
}

void KTLSyncWindow::appendDrawerText(const QString& text) {
    // Inserted at the end of the document, leaving the user's selection alone.
    QTextCursor cursor(_windowDrawerTextView->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    QScrollBar* bar = _windowDrawerTextView->verticalScrollBar();
    bar->setValue(bar->maximum());
    emit drawerTextAppended(text);
}

void KTLSyncWindow::showRunning(bool withCancelButton) {
    setProgressIndeterminate();
    _progressIndicator->show();
    _cancelButton->setEnabled(withCancelButton);
    _cancelButton->setVisible(withCancelButton);
    emit runningChanged(true);
    _closeButton->hide();
}

void KTLSyncWindow::showIdle() {
    _progressIndicator->hide();
    // A determinate, empty bar: a busy bar keeps animating even while hidden.
    _progressIndicator->setRange(0, 1);
    _progressIndicator->setValue(0);
    _cancelButton->setEnabled(false);
    _cancelButton->hide();
    emit runningChanged(false);
    _closeButton->show();
}

void KTLSyncWindow::setProgressIndeterminate() {
    if (_progressIndicator->minimum() == 0 && _progressIndicator->maximum() == 0) return;
    _progressIndicator->setRange(0, 0);
}

void installSyncWindows(std::function<void(KTLSyncWindow*)> made) {
    KTLSyncController::setWindowFactory(
        [made = std::move(made)](const std::shared_ptr<KTLSyncController>& controller)
            -> std::unique_ptr<KTLSyncWindowInterface> {
            // Widgets need a widget application; without one the drive has no window.
            if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
            auto window = std::make_unique<KTLSyncWindow>(controller);
            if (made) made(window.get());
            return window;
        });
}
