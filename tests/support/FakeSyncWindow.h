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
    // Lines of the drawer that contain `text`.
    int countLines(const QString& text) const {
        return int(drawer.split(u'\n').filter(text).size());
    }

    // Ends the open sheet as its button would.
    void endOpenSheet(int code, bool dontAskAgain) {
        if (auto didEnd = std::exchange(_openSheet, nullptr)) didEnd(code, dontAskAgain);
    }

    void begin(const std::shared_ptr<FakeWindowState>& self, FakeSheet sheet,
               std::function<void(int, bool)> didEnd) {
        overlappingSheets |= bool(_openSheet);
        sheets.push_back(std::move(sheet));
        _openSheet = std::move(didEnd);
        const int serial = ++_serial;
        std::optional<FakeAnswer> answer;
        if (responder) answer = responder(sheets.back());
        if (!answer && !answers.empty()) {
            answer = std::move(answers.front());
            answers.pop_front();
        }
        if (!answer && defaultAnswer) answer = FakeAnswer{*defaultAnswer};
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

    void showWindow() override { _state->visible = true; }
    void closeWindow() override {
        _state->visible = false;
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
    void showRunning(bool) override {}
    void showIdle() override {}
    void setProgressIndeterminate() override {}

    void beginAlertSheet(const QString& title, const QString& message, bool,
                         std::function<void(int code)> didEnd) override {
        _state->begin(_state, {FakeSheet::Alert, title, message, {}},
                      [didEnd = std::move(didEnd)](int code, bool) { didEnd(code); });
    }
    void beginMissingSheet(const QString& message, const QString&,
                           std::function<void(int code, bool dontAskAgain)> didEnd) override {
        _state->begin(_state, {FakeSheet::Missing, {}, message, {}}, std::move(didEnd));
    }
    void beginConflictSheet(const KTLConflictSheetTexts& texts,
                            std::function<void(int code, bool dontAskAgain)> didEnd) override {
        _state->begin(_state, {FakeSheet::Conflict, {}, texts.message, texts}, std::move(didEnd));
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
