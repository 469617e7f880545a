#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "LogController.h"

class QPlainTextEdit;

// The log window: one read-only, selectable text view. Its frame is kept in the user's
// defaults under its frame name, so it opens where the user left it.
class LogWindow : public QWidget, public LogWindowInterface {
    Q_OBJECT

  public:
    explicit LogWindow(QWidget* parent = nullptr);
    ~LogWindow() override;

    QPlainTextEdit* textView() const { return _textView; }
    // The defaults key that holds the frame saved under `name`.
    static QString frameKey(const QString& name);

    void setText(const QString& text) override;
    void appendText(const QString& text) override;
    QString text() const override;
    void setTitle(const QString& title) override;
    void center() override;
    void setFrameAutosaveName(const QString& name) override;
    void showWindow(QObject* behind) override;
    void hideWindow() override;
    bool isWindowVisible() const override;
    void beginSheet(const LogAlertTexts& texts, std::function<void(int)> didEnd) override;

  protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void scrollToEnd();
    void saveFrame();

    QPlainTextEdit* _textView;
    QString _frameName;
    QPointer<QMessageBox> _sheet;
    // Dragging moves the window many times a second; the frame is written once it settles.
    QTimer _saveTimer;
};

// Lets `controller` load this window and ask its questions with alerts.
void installLogWindow(LogController& controller = LogController::sharedInstance());
