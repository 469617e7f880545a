#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "KTLSyncController.h"
#include "KTLSyncWindowInterface.h"

// One sheet the engine put up, as the window saw it.
struct FakeSheet {
    enum Kind { Alert, Missing, Conflict };
    Kind kind = Alert;
    QString title;    // alerts only
    QString message;  // alert message, or the prompt's message
    QString toolTip;  // missing-item prompt
    bool cancelEnabled = false;
    KTLConflictSheetTexts conflict;
};

// How the next sheet ends: its button code and check box, after `before` has run (say, to press
// Cancel as the user would while answering).
struct FakeAnswer {
    FakeAnswer(int code = 0, bool dontAskAgain = false, std::function<void()> before = {})
        : code(code), dontAskAgain(dontAskAgain), before(std::move(before)) {}
    int code = 0;
    bool dontAskAgain = false;
    std::function<void()> before;
};

// What a drive window went through. Outlives the window, which the controller owns, so a test
// can still read it after the controller is gone. Main thread only.
struct FakeWindowState {
    bool visible = false;
    QString statusLine;
    QString drawer;
    QStringList calls;  // showWindow, closeWindow, showRunning(cancel), showIdle
    int indeterminateCount = 0;
    std::vector<FakeSheet> sheets;
    // Answers for the sheets to come, in order; when none is left, `defaultAnswer` ends the
    // sheet, and without one the sheet stays open until the window closes.
    std::deque<FakeAnswer> answers;
    std::optional<int> defaultAnswer;
    // Consulted before the queue: an answer chosen by what the sheet says.
    std::function<std::optional<FakeAnswer>(const FakeSheet&)> responder;
    // Set when a sheet began while another was still open.
    bool overlappingSheets = false;
    std::function<void(const QString&)> onDrawerText;
    std::function<void(const QString&)> onStatusLine;

    bool sheetOpen() const { return bool(_openSheet); }

    int countSheets(FakeSheet::Kind kind, const QString& title = {}) const {
        return int(std::count_if(sheets.begin(), sheets.end(), [&](const FakeSheet& s) {
            return s.kind == kind && (title.isEmpty() || s.title == title);
        }));
    }
    int countAlerts(const QString& title) const { return countSheets(FakeSheet::Alert, title); }
    // Lines of the drawer that contain `text`.
    int countLines(const QString& text) const {
        return int(drawer.split(u'\n').filter(text).size());
    }
    // Position in the drawer of the first line that contains `text`, -1 when there is none.
    qsizetype lineIndex(const QString& text) const {
        const QStringList lines = drawer.split(u'\n');
        for (qsizetype i = 0; i < lines.size(); ++i)
            if (lines[i].contains(text)) return i;
        return -1;
    }

    // Ends the open sheet as its button would.
    void endOpenSheet(int code, bool dontAskAgain) {
        if (!_openSheet) return;
        auto didEnd = std::move(_openSheet);
        _openSheet = nullptr;
        didEnd(code, dontAskAgain);
    }

    void begin(const std::shared_ptr<FakeWindowState>& self, FakeSheet sheet,
               std::function<void(int, bool)> didEnd) {
        if (_openSheet) overlappingSheets = true;
        sheets.push_back(std::move(sheet));
        _openSheet = std::move(didEnd);
        const int serial = ++_serial;
        std::optional<FakeAnswer> answer;
        if (responder) answer = responder(sheets.back());
        if (!answer && !answers.empty()) {
            answer = std::move(answers.front());
            answers.pop_front();
        }
        if (!answer && defaultAnswer) answer = FakeAnswer{*defaultAnswer, false, {}};
        if (!answer) return;
        // Sheets end later, from the event loop, as a user's click would.
        std::weak_ptr<FakeWindowState> weak = self;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, serial, answer = std::move(*answer)] {
                auto state = weak.lock();
                if (!state || state->_serial != serial || !state->_openSheet) return;
                if (answer.before) answer.before();
                state->endOpenSheet(answer.code, answer.dontAskAgain);
            },
            Qt::QueuedConnection);
    }

  private:
    std::function<void(int, bool)> _openSheet;
    int _serial = 0;
};

// A drive window that records what the engine asks of it and answers its sheets from a script.
class FakeSyncWindow : public KTLSyncWindowInterface {
  public:
    explicit FakeSyncWindow(std::shared_ptr<FakeWindowState> state) : _state(std::move(state)) {}
    ~FakeSyncWindow() override { _state->endOpenSheet(0, false); }

    void showWindow() override {
        _state->visible = true;
        _state->calls << QStringLiteral("showWindow");
    }
    void closeWindow() override {
        _state->visible = false;
        _state->calls << QStringLiteral("closeWindow");
        _state->endOpenSheet(0, false);
    }
    bool isWindowVisible() const override { return _state->visible; }

    void setStatusLine(const QString& text) override {
        _state->statusLine = text;
        if (_state->onStatusLine) _state->onStatusLine(text);
    }
    QString statusLine() const override { return _state->statusLine; }
    void appendDrawerText(const QString& text) override {
        _state->drawer += text;
        if (_state->onDrawerText) _state->onDrawerText(text);
    }

    void showRunning(bool withCancelButton) override {
        _state->calls << (withCancelButton ? QStringLiteral("showRunning(cancel)")
                                           : QStringLiteral("showRunning"));
    }
    void showIdle() override { _state->calls << QStringLiteral("showIdle"); }
    void setProgressIndeterminate() override { ++_state->indeterminateCount; }

    void beginAlertSheet(const QString& title, const QString& message, bool cancelEnabled,
                         std::function<void(int code)> didEnd) override {
        FakeSheet sheet;
        sheet.kind = FakeSheet::Alert;
        sheet.title = title;
        sheet.message = message;
        sheet.cancelEnabled = cancelEnabled;
        _state->begin(_state, std::move(sheet),
                      [didEnd = std::move(didEnd)](int code, bool) { didEnd(code); });
    }
    void beginMissingSheet(const QString& message, const QString& toolTip,
                           std::function<void(int code, bool dontAskAgain)> didEnd) override {
        FakeSheet sheet;
        sheet.kind = FakeSheet::Missing;
        sheet.message = message;
        sheet.toolTip = toolTip;
        _state->begin(_state, std::move(sheet), std::move(didEnd));
    }
    void beginConflictSheet(const KTLConflictSheetTexts& texts,
                            std::function<void(int code, bool dontAskAgain)> didEnd) override {
        FakeSheet sheet;
        sheet.kind = FakeSheet::Conflict;
        sheet.message = texts.message;
        sheet.conflict = texts;
        _state->begin(_state, std::move(sheet), std::move(didEnd));
    }

  private:
    std::shared_ptr<FakeWindowState> _state;
};

// Installs windows that share `state`.
inline void installFakeSyncWindows(const std::shared_ptr<FakeWindowState>& state) {
    KTLSyncController::setWindowFactory([state](const std::shared_ptr<KTLSyncController>&)
                                            -> std::unique_ptr<KTLSyncWindowInterface> {
        return std::make_unique<FakeSyncWindow>(state);
    });
}
