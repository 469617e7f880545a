#include "LogWindow.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "KTLMenus.h"
#include "PreferenceDomain.h"

namespace {

constexpr int kFrameSaveDelayMs = 250;

// A question box with the default and alternate buttons; `yes` gets the default one.
QMessageBox* makeQuestion(QMessageBox* box, const LogAlertTexts& texts, QPushButton** yes) {
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(texts.title);
    box->setText(texts.message);
    *yes = box->addButton(texts.defaultButton, QMessageBox::YesRole);
    QPushButton* no = box->addButton(texts.alternateButton, QMessageBox::NoRole);
    box->setDefaultButton(*yes);
    box->setEscapeButton(no);
    return box;
}

class LogWindowLoader : public LogWindowFactory {
  public:
    std::unique_ptr<LogWindowInterface> loadWindow() override {
        return std::make_unique<LogWindow>();
    }

    bool runAlert(const LogAlertTexts& texts) override {
        QMessageBox box;
        QPushButton* yes = nullptr;
        makeQuestion(&box, texts, &yes);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
        return box.clickedButton() == yes;
    }
};

}  // namespace

LogWindow::LogWindow(QWidget* parent) : QWidget(parent), _textView(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("_window"));
    _textView->setObjectName(QStringLiteral("_textView"));
    _textView->setReadOnly(true);
    _textView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // The log only grows or is cleared; an undo history would double its memory.
    _textView->setUndoRedoEnabled(false);
    _textView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    _textView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_textView);
    attachMenuBar(this);
    // Whenever the window becomes active, typing and selecting go to the text.
    setFocusProxy(_textView);
    resize(640, 420);

    _saveTimer.setSingleShot(true);
    _saveTimer.setInterval(kFrameSaveDelayMs);
    connect(&_saveTimer, &QTimer::timeout, this, [this] { saveFrame(); });
}

LogWindow::~LogWindow() {
    if (_saveTimer.isActive()) saveFrame();
}

QString LogWindow::frameKey(const QString& name) {
    return QStringLiteral("NSWindow Frame ") + name;
}

void LogWindow::setText(const QString& text) {
    _textView->setPlainText(text);
    scrollToEnd();
}

void LogWindow::appendText(const QString& text) {
    // Inserted at the end of the document, leaving the user's selection alone.
    QTextCursor cursor(_textView->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    scrollToEnd();
}

QString LogWindow::text() const {
    // toPlainText would turn non-breaking spaces into blanks; the raw text keeps them.
    QString raw = _textView->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return raw;
}

void LogWindow::scrollToEnd() {
    QScrollBar* bar = _textView->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void LogWindow::setTitle(const QString& title) {
    setWindowTitle(title);
}

void LogWindow::center() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void LogWindow::setFrameAutosaveName(const QString& name) {
    _frameName = name;
    if (name.isEmpty()) return;
    const QStringList parts = PreferenceDomain::standardUserDefaults()
                                  .stringForKey(frameKey(name))
                                  .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 4) return;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].toInt(&ok);
        if (!ok) return;
    }
    const QRect frame(values[0], values[1], values[2], values[3]);
    if (frame.width() <= 0 || frame.height() <= 0) return;
    // A frame left on a screen that is gone would put the window out of reach.
    bool onScreen = false;
    for (QScreen* screen : QGuiApplication::screens())
        onScreen = onScreen || screen->availableGeometry().intersects(frame);
    if (!onScreen) return;
    move(frame.topLeft());
    resize(frame.size());
}

void LogWindow::saveFrame() {
    _saveTimer.stop();
    if (_frameName.isEmpty()) return;
    const QString value =
        QStringLiteral("%1 %2 %3 %4").arg(pos().x()).arg(pos().y()).arg(width()).arg(height());
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    if (defaults.stringForKey(frameKey(_frameName)) != value)
        defaults.setObject(value, frameKey(_frameName));
}

void LogWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (!_frameName.isEmpty()) _saveTimer.start();
}

void LogWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!_frameName.isEmpty()) _saveTimer.start();
}

void LogWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (_saveTimer.isActive()) saveFrame();
}

void LogWindow::showWindow(QObject* behind) {
    QWidget* other = qobject_cast<QWidget*>(behind);
    if (other) other = other->window();
    if (other && other != this && other->isVisible()) {
        // Shown without taking the focus, then the other window goes back on top of it. Some
        // window systems activate every window shown; the other one gets the focus back then.
        const bool otherWasActive = other->isActiveWindow();
        setAttribute(Qt::WA_ShowWithoutActivating, true);
        show();
        other->raise();
        if (otherWasActive) other->activateWindow();
        setAttribute(Qt::WA_ShowWithoutActivating, false);
        return;
    }
    show();
    raise();
    activateWindow();
}

void LogWindow::hideWindow() {
    close();
}

bool LogWindow::isWindowVisible() const {
    return isVisible();
}

void LogWindow::beginSheet(const LogAlertTexts& texts, std::function<void(int)> didEnd) {
    // One question at a time: asking again only brings the open one forward.
    if (_sheet) {
        _sheet->raise();
        return;
    }
    auto* box = new QMessageBox(this);
    _sheet = box;
    QPushButton* yes = nullptr;
    makeQuestion(box, texts, &yes);
    connect(box, &QDialog::finished, this, [box, yes, didEnd = std::move(didEnd)] {
        const bool isYes = box->clickedButton() == yes;
        box->deleteLater();
        didEnd(isYes ? LogController::AlertDefaultReturn : LogController::AlertAlternateReturn);
    });
    // open() makes the box modal to this window only.
    box->open();
}

void installLogWindow(LogController& controller) {
    controller.setWindowFactory(std::make_shared<LogWindowLoader>());
}
