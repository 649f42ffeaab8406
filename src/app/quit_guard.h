#pragma once

// The one door every way of quitting goes through: closing the last window, a quit command, the
// application's quit request and the desktop session ending. The batch queue is not kept between
// runs, so while it holds cleaned videos that no export has copied out the guard does not let the
// application go: it asks on the main window, as the question before replacing an unexported
// clean does, "Export Videos...", "Quit Anyway" or "Cancel". Nothing else ever stops a quit.
// Main thread only; it never runs an event loop of its own.
//
//     QuitGuard guard(batch, [&] { return app.openWindow("main"); });
//     qApp->installEventFilter(&guard);   // the last window's close and the quit request

#include "ui_kit/question_card.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QSessionManager;

namespace hf {

class BatchQueueManager;

namespace ui {
class InkButton;
class QuietButton;
} // namespace ui

// The question itself, over the main window.
class QuitConfirmation : public ui::QuestionCard {
    Q_OBJECT

public:
    explicit QuitConfirmation(QWidget* window);

    // Shows the question for `count` cleaned videos.
    void ask(int count);
    ui::InkButton* exportButton() const { return m_export; }
    ui::QuietButton* quitButton() const { return m_quit; }
    ui::QuietButton* cancelButton() const { return m_cancel; }

Q_SIGNALS:
    void exportChosen();
    void quitChosen();

protected:
    void escapePressed() override { hide(); }

private:
    ui::InkButton* m_export;
    ui::QuietButton* m_quit;
    ui::QuietButton* m_cancel;
};

class QuitGuard : public QObject {
    Q_OBJECT

public:
    // `mainWindow` opens (or raises) the main window and returns it; the question shows there.
    QuitGuard(BatchQueueManager& batch, std::function<QWidget*()> mainWindow, QObject* parent = nullptr);

    // Every quit asks here. True: nothing would be lost, or the user chose "Quit Anyway"; the
    // quit goes on. False: the question is on the main window and the quit is held.
    bool requestQuit();
    // The desktop session is ending: held like any quit, and the session is asked to wait when
    // it lets the application talk to the user.
    void sessionEnding(QSessionManager& manager);

    // What "Quit Anyway" does (the application's quit unless replaced, as tests do).
    void setQuitter(std::function<void()> quit) { m_quit = std::move(quit); }
    // The question on the main window, while that window exists.
    QuitConfirmation* confirmation() const { return m_confirmation; }

protected:
    // Sees the close of every window and the application's quit request.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether closing `window` would leave no window of the application open.
    static bool isLastWindow(const QWidget* window);
    void exportVideos();

    BatchQueueManager& m_batch;
    std::function<QWidget*()> m_mainWindow;
    std::function<void()> m_quit;
    QPointer<QuitConfirmation> m_confirmation;
    bool m_confirmed = false;
};

} // namespace hf
