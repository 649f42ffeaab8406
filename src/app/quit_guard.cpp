#include "app/quit_guard.h"

#include "app/content_view.h"
#include "coordinator/batch_queue_manager.h"
#include "platform/texts.h"
#include "sidebar/queue_footer.h"
#include "ui_kit/buttons.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QSessionManager>
#include <QVBoxLayout>

#include <algorithm>

namespace hf {

namespace {

constexpr int cardWidth = 380;
constexpr int cardPadding = 22;

} // namespace

// ---- The question

QuitConfirmation::QuitConfirmation(QWidget* window) : ui::CardOverlay(window)
{
    setObjectName(QStringLiteral("quit.confirmation"));
    m_card = new QWidget(this);
    m_card->setObjectName(QStringLiteral("quit.card"));
    auto* column = new QVBoxLayout(m_card);
    column->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
    column->setSpacing(8);
    auto* title = new QLabel(text("ui.quit.title", "Quit Hushframe?"));
    title->setWordWrap(true);
    title->setAlignment(Qt::AlignHCenter);
    ui::applyHeadingStyle(title, ui::TextStyle::headline);
    ui::setForeground(title, ui::ColorName::Ink);
    m_message = new QLabel;
    m_message->setObjectName(QStringLiteral("quit.message"));
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setAlignment(Qt::AlignHCenter);
    ui::setTextStyle(m_message, ui::TextStyle::callout);
    ui::setForeground(m_message, ui::ColorName::SecondaryText);

    m_export = new ui::InkButton(text("ui.quit.export", "Export Videos..."));
    m_export->setObjectName(QStringLiteral("quit.export"));
    m_quit = new ui::QuietButton(text("ui.quit.anyway", "Quit Anyway"));
    m_quit->setObjectName(QStringLiteral("quit.anyway"));
    m_cancel = new ui::QuietButton(text("ui.common.cancel", "Cancel"));
    m_cancel->setObjectName(QStringLiteral("quit.cancel"));
    column->addWidget(title);
    column->addWidget(m_message);
    column->addSpacing(10);
    m_export->setMinHeight(34);
    m_quit->setMinHeight(34);
    m_cancel->setMinHeight(34);
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{m_export, m_quit, m_cancel}) {
        button->setFocusPolicy(Qt::StrongFocus);
        column->addWidget(button);
    }

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
    m_message->setText(text("ui.quit.message",
                            "%lld cleaned videos in the queue haven't been exported. The queue isn't kept, so "
                            "quitting now loses them.",
                            {count}));
    layOut();
    show();
    raise();
    m_export->setFocus();
}

QString QuitConfirmation::message() const
{
    return m_message->text();
}

QRect QuitConfirmation::cardRect() const
{
    const int width = std::min(cardWidth, this->width() - 40);
    const int wrapped = m_card->heightForWidth(width);
    const int height = std::min(wrapped > 0 ? wrapped : m_card->sizeHint().height(), this->height() - 40);
    return QRect((this->width() - width) / 2, std::max(20, (this->height() - height) / 3), width, height);
}

void QuitConfirmation::layOut()
{
    ui::CardOverlay::layOut();
    m_card->setGeometry(cardRect());
}

// ---- The guard

QuitGuard::QuitGuard(BatchQueueManager& batch, std::function<QWidget*()> mainWindow, QObject* parent)
    : QObject(parent), m_batch(batch), m_mainWindow(std::move(mainWindow)), m_quit([] { QCoreApplication::quit(); })
{
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
