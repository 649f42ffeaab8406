#include "app/quit_guard.h"

#include "app/content_view.h"
#include "coordinator/batch_queue_manager.h"
#include "platform/texts.h"
#include "sidebar/queue_footer.h"
#include "ui_kit/buttons.h"

#include <QLabel>

#include <QApplication>
#include <QCloseEvent>
#include <QSessionManager>

namespace hf {

// ---- The question

QuitConfirmation::QuitConfirmation(QWidget* window)
    : ui::QuestionCard(window, text("ui.quit.title", "Quit Hushframe?"))
{
    setObjectName(QStringLiteral("quit.confirmation"));
    card()->setObjectName(QStringLiteral("quit.card"));
    messageLabel()->setObjectName(QStringLiteral("quit.message"));
    m_export = new ui::InkButton(text("ui.quit.export", "Export Videos..."));
    m_export->setObjectName(QStringLiteral("quit.export"));
    m_export->setMinHeight(34);
    m_quit = new ui::QuietButton(text("ui.quit.anyway", "Quit Anyway"));
    m_quit->setObjectName(QStringLiteral("quit.anyway"));
    m_quit->setMinHeight(34);
    m_cancel = new ui::QuietButton(text("ui.common.cancel", "Cancel"));
    m_cancel->setObjectName(QStringLiteral("quit.cancel"));
    m_cancel->setMinHeight(34);
    addAnswer(m_export);
    addAnswer(m_quit);
    addAnswer(m_cancel);
    setAnswers(m_export, m_cancel);

    // Each answer closes the question; choosing one again means asking again.
    connect(m_export, &QAbstractButton::clicked, this, [this] {
        hide();
        Q_EMIT exportChosen();
    });
    connect(m_quit, &QAbstractButton::clicked, this, [this] {
        hide();
        Q_EMIT quitChosen();
    });
    connect(m_cancel, &QAbstractButton::clicked, this, &QWidget::hide);
}

void QuitConfirmation::ask(int count)
{
    setMessage(pluralText("ui.quit.message",
                          "%lld cleaned video in the queue hasn't been exported. The queue isn't kept, so "
                          "quitting now loses it.",
                          "%lld cleaned videos in the queue haven't been exported. The queue isn't kept, so "
                          "quitting now loses them.",
                          count, {count}));
    const bool shown = isVisible();
    present();
    if (!shown)
        m_export->setFocus();
}

// ---- The guard

QuitGuard::QuitGuard(BatchQueueManager& batch, std::function<QWidget*()> mainWindow, QObject* parent)
    : QObject(parent), m_batch(batch), m_mainWindow(std::move(mainWindow)), m_quit([] { QCoreApplication::quit(); })
{
    // The question follows the queue: it counts the videos still unexported, and closes once
    // there are none (cleared, or exported by another way).
    connect(&batch, &BatchQueueManager::jobsChanged, this, [this] {
        if (!m_confirmation || !m_confirmation->isVisible())
            return;
        const int unexported = m_batch.unexportedCompletedJobs();
        if (unexported == 0)
            m_confirmation->hide();
        else
            m_confirmation->ask(unexported);
    });
}

bool QuitGuard::requestQuit()
{
    if (m_confirmed)
        return true;
    const int unexported = m_batch.unexportedCompletedJobs();
    if (unexported == 0)
        return true;
    QWidget* window = m_mainWindow ? m_mainWindow() : nullptr;
    if (!window)
        return true;
    if (!m_confirmation || m_confirmation->parentWidget() != window) {
        m_confirmation = new QuitConfirmation(window);
        connect(m_confirmation, &QuitConfirmation::exportChosen, this, &QuitGuard::exportVideos);
        connect(m_confirmation, &QuitConfirmation::quitChosen, this, [this] {
            m_confirmed = true;
            if (m_quit)
                m_quit();
        });
    }
    m_confirmation->ask(unexported);
    return false;
}

void QuitGuard::sessionEnding(QSessionManager& manager)
{
    if (requestQuit())
        return;
    // Without leave to talk to the user the session ends regardless; with it, the session waits
    // for the answer and the user ends it again after exporting.
    if (manager.allowsInteraction()) {
        manager.cancel();
        manager.release();
    }
}

void QuitGuard::exportVideos()
{
    QWidget* window = m_mainWindow ? m_mainWindow() : nullptr;
    if (!window)
        return;
    if (auto* content = qobject_cast<ContentView*>(window))
        content->setSidebarShown(true);
    if (auto* footer = window->findChild<QueueFooter*>())
        footer->exportAllCompleted();
}

bool QuitGuard::isLastWindow(const QWidget* window)
{
    for (const QWidget* other : QApplication::topLevelWidgets()) {
        if (other == window || !other->isVisible() || other->parentWidget())
            continue;
        const Qt::WindowType type = other->windowType();
        if (type == Qt::Window || type == Qt::Dialog)
            return false;
    }
    return true;
}

bool QuitGuard::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Close: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || !widget->isWindow() || widget->parentWidget() || !widget->isVisible())
            break;
        const Qt::WindowType type = widget->windowType();
        if ((type != Qt::Window && type != Qt::Dialog) || !isLastWindow(widget))
            break;
        if (!QGuiApplication::quitOnLastWindowClosed() || requestQuit())
            break;
        event->ignore();
        return true;
    }
    case QEvent::Quit:
        if (watched != QCoreApplication::instance() || requestQuit())
            break;
        event->ignore();
        return true;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace hf
