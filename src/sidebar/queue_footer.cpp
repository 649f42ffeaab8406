#include "sidebar/queue_footer.h"

#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "editor/export_options.h"
#include "editor/exporter.h"
#include "platform/async.h"
#include "platform/errors.h"
#include "platform/logging.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/layouts.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace hf {

HF_LOGGING_CATEGORY(lcQueueFooter, "QueueFooter")

namespace {

enum class Glyph { plus, ellipsis };

QIcon glyphIcon(Glyph glyph)
{
    return ui::drawnIcon(20, [glyph](QPainter& p) {
        if (glyph == Glyph::plus) {
            p.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(10, 4), QPointF(10, 16));
            p.drawLine(QPointF(4, 10), QPointF(16, 10));
        } else {
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::black);
            for (const double x : {4.5, 10.0, 15.5})
                p.drawEllipse(QPointF(x, 10), 1.6, 1.6);
        }
    });
}

ui::QuietButton* iconButton(Glyph glyph, const QString& label)
{
    auto* button = new ui::QuietButton;
    button->setIcon(glyphIcon(glyph));
    button->setIconSize(QSize(20, 20));
    button->setMinHeight(36);
    button->setFillsWidth(false);
    button->setToolTip(label);
    button->setAccessibleName(label);
    // One element, so the tooltip repeating the name is not read again as its description.
    ui::presentAsOne(button, QAccessible::Button);
    return button;
}

QLabel* messageLine()
{
    auto* label = new QLabel;
    // The policy before the wrapping, which adds height-for-width to it.
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    ui::setTextStyle(label, ui::TextStyle::callout);
    ui::setForeground(label, ui::ColorName::Ink);
    label->hide();
    return label;
}

QString addVideosTitle()
{
    return text("ui.batch.addVideosEllipsis", "Add videos...");
}

} // namespace

// ---- The folder chooser

DialogFolderChooser::~DialogFolderChooser()
{
    delete m_dialog.data();
}

void DialogFolderChooser::choose(QWidget* parent, const Request& request, Answer answer)
{
    delete m_dialog.data();
    auto* dialog = new QFileDialog(parent ? parent->window() : nullptr);
    m_dialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("batch.exportFolderChooser"));
    dialog->setWindowTitle(request.title);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, request.acceptLabel);
    if (!request.startFolder.isEmpty())
        dialog->setDirectory(request.startFolder);

    // The answer comes once, whichever way the chooser closes.
    auto pending = std::make_shared<Answer>(std::move(answer));
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [pending](const QString& folder) {
        if (auto done = std::exchange(*pending, nullptr))
            done(folder.isEmpty() ? std::nullopt : std::optional<QString>(folder));
    });
    QObject::connect(dialog, &QDialog::finished, dialog, [pending](int) {
        if (auto done = std::exchange(*pending, nullptr))
            done(std::nullopt);
    });
    dialog->open();
}

// ---- The footer

QueueFooter::QueueFooter(EngineCoordinator* coordinator, BatchQueueManager* queue, SettingsStore* defaults,
                         QWidget* parent)
    : QWidget(parent),
      m_coordinator(coordinator),
      m_queue(queue),
      m_defaults(defaults),
      m_chooser(std::make_unique<DialogFolderChooser>()),
      m_replacing(std::make_unique<FileExportSaveDialog>(this)),
      m_reveal(systemFileRevealer())
{
    setObjectName(QStringLiteral("batch.footer"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    m_error = messageLine();
    m_error->setObjectName(QStringLiteral("batch.error"));
    m_message = messageLine();
    m_message->setObjectName(QStringLiteral("batch.exportMessage"));
    column->addWidget(m_error);
    column->addWidget(m_message);

    m_controls = new ui::AdaptiveStack(8);
    m_add = new ui::QuietButton(addVideosTitle());
    m_add->setObjectName(QStringLiteral("batch.add"));
    m_add->setMinHeight(36);
    m_stop = new ui::QuietButton(text("ui.batch.stop", "Stop"));
    m_stop->setObjectName(QStringLiteral("batch.stop"));
    m_stop->setMinHeight(36);
    m_start = new ui::InkButton(text("ui.batch.start", "Start"));
    m_start->setObjectName(QStringLiteral("batch.start"));
    m_start->setMinHeight(36);
    m_addIcon = iconButton(Glyph::plus, addVideosTitle());
    m_addIcon->setObjectName(QStringLiteral("batch.add"));
    m_more = iconButton(Glyph::ellipsis, text("ui.batch.more", "More"));
    m_more->setObjectName(QStringLiteral("batch.more"));
    ui::presentAsOne(m_more, QAccessible::ButtonMenu);
    for (ui::KitButton* wide : std::initializer_list<ui::KitButton*>{m_add, m_stop, m_start}) {
        wide->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        m_controls->addWidget(wide, 1);
    }
    m_controls->addWidget(m_addIcon);
    m_controls->addWidget(m_more);
    column->addWidget(m_controls);

    connect(m_add, &QAbstractButton::clicked, this, &QueueFooter::addVideos);
    connect(m_addIcon, &QAbstractButton::clicked, this, &QueueFooter::addVideos);
    connect(m_start, &QAbstractButton::clicked, this, [this] {
        if (m_queue)
            m_queue->start();
    });
    connect(m_stop, &QAbstractButton::clicked, this, [this] {
        if (m_queue)
            m_queue->stop();
    });
    connect(m_more, &QAbstractButton::clicked, this, &QueueFooter::showMoreMenu);

    connect(queue, &BatchQueueManager::jobsChanged, this, &QueueFooter::refresh);
    connect(queue, &BatchQueueManager::isProcessingQueueChanged, this, &QueueFooter::refresh);
    connect(queue, &BatchQueueManager::errorMessageChanged, this, &QueueFooter::refresh);
    refresh();
}

QueueFooter::~QueueFooter()
{
    // A question still shown goes with the footer without being hidden first: hiding gives the
    // keyboard back through the window, which may be going too.
    delete m_replacing->replaceQuestion();
}

QWidget* QueueFooter::replaceQuestion() const
{
    return m_replacing->replaceQuestion();
}

void QueueFooter::setFolderChooser(std::unique_ptr<FolderChooser> chooser)
{
    m_chooser = std::move(chooser);
}

void QueueFooter::refresh()
{
    if (!m_queue)
        return;
    const BatchQueueManager& queue = *m_queue;
    const bool hasJobs = !queue.jobs().empty();
    const bool running = queue.isProcessingQueue();

    m_error->setText(queue.errorMessage().value_or(QString()));
    m_error->setVisible(queue.errorMessage().has_value());
    if (m_exporting) {
        m_message->setText(text("ui.batch.exporting", "Exporting cleaned videos…"));
        m_message->show();
    } else {
        m_message->setText(m_exportMessage.value_or(QString()));
        m_message->setVisible(m_exportMessage.has_value());
    }

    struct Control {
        QWidget* widget;
        bool shown;
        bool enabled;
    };
    const Control controls[] = {
        {m_add, !hasJobs, true},
        {m_stop, hasJobs && running, true},
        {m_start, hasJobs && !running, queue.pendingJobs() > 0},
        {m_addIcon, hasJobs, !running},
        {m_more, queue.completedJobs() > 0
                     || std::ranges::any_of(queue.jobs(), [](const BatchJob& job) { return job.status.isFailed(); }),
         true},
    };
    const auto stays = [&controls](QWidget* widget) {
        const auto* c = std::ranges::find(controls, widget, &Control::widget);
        return c == std::end(controls) || (c->shown && c->enabled);
    };
    // A control that goes while it has the keyboard hands it first to the one taking its place
    // (Stop for Start and back, the add icon for "Add videos..." and back) or else to the first
    // that stays: hidden with the focus, it would give it to whatever follows the footer.
    if (QWidget* focus = QApplication::focusWidget(); focus && !stays(focus)) {
        const std::pair<QWidget*, QWidget*> places[] = {{m_start, m_stop}, {m_stop, m_start}, {m_add, m_addIcon}, {m_addIcon, m_add}};
        const auto* place = std::ranges::find(places, focus, &std::pair<QWidget*, QWidget*>::first);
        QWidget* next = place == std::end(places) ? nullptr : place->second;
        if (!next || !stays(next)) {
            const auto* first = std::ranges::find_if(controls, [](const Control& c) { return c.shown && c.enabled; });
            next = first == std::end(controls) ? nullptr : first->widget;
        }
        if (next) {
            next->setVisible(true);
            next->setEnabled(true);
            next->setFocus(Qt::OtherFocusReason);
        }
    }
    for (const Control& c : controls) {
        c.widget->setVisible(c.shown);
        c.widget->setEnabled(c.enabled);
    }
}

void QueueFooter::addVideos()
{
    if (!m_coordinator)
        return;
    m_coordinator->setImportTarget(ImportTarget::queue);
    m_coordinator->setFileImporterPresented(true);
}

QMenu* QueueFooter::moreMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("batch.moreMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<BatchQueueManager> queue = m_queue;
    menu->addAction(text("ui.batch.retryFailed", "Retry failed"), menu, [queue] {
        if (queue)
            queue->retryFailed();
    });
    menu->addAction(text("ui.batch.clearCompleted", "Clear completed"), menu, [queue] {
        if (queue)
            queue->clearCompleted();
    });
    menu->addAction(text("ui.batch.clearAll", "Clear all"), menu, [queue] {
        if (queue)
            queue->clearAll();
    });
    menu->addSeparator();
    QAction* exportAll = menu->addAction(text("ui.batch.exportAll", "Export all completed..."), this,
                                         &QueueFooter::exportAllCompleted);
    exportAll->setEnabled(queue && queue->completedJobs() > 0 && !m_exporting);
    return menu;
}

void QueueFooter::showMoreMenu()
{
    QMenu* menu = moreMenu();
    menu->popup(m_more->mapToGlobal(QPoint(0, m_more->height())));
}

void QueueFooter::exportAllCompleted()
{
    if (m_exporting || !m_chooser)
        return;
    FolderChooser::Request request;
    request.title = text("ui.batch.exportAll.title", "Export All Completed");
    request.acceptLabel = text("ui.batch.exportHere", "Export here");
    if (m_defaults)
        request.startFolder = ExportPreferences::folderPath(*m_defaults);
    QPointer<QueueFooter> self(this);
    m_replacing->dismiss();
    m_chooser->choose(this, request, [self](std::optional<QString> folder) {
        if (!self || !folder || folder->isEmpty() || self->m_exporting || !self->m_queue)
            return;
        // The copies work on a snapshot of the jobs, so the queue may go on (or be cleared)
        // meanwhile; files of their names already in the folder are replaced only when the user
        // says so.
        std::vector<BatchJob> jobs = self->m_queue->jobs();
        const QStringList existing = BatchQueueManager::existingOutputs(jobs, *folder);
        if (existing.isEmpty()) {
            spawn(self->copyInto(*folder, std::move(jobs), false), lcQueueFooter(), QStringLiteral("Export all completed"));
            return;
        }
        // The question names the clashing files and says what each answer does to all of them:
        // Cancel keeps the existing files by exporting none of the videos.
        const auto completed = std::ranges::count_if(jobs, [](const BatchJob& job) { return job.status.isCompleted(); });
        const QString answers =
            existing.size() == 1
                ? pluralText("ui.batch.exportAll.replaceOne",
                             "Replace exports the cleaned video, replacing that file. Cancel exports nothing.",
                             "Replace exports all %lld cleaned videos, replacing that file. Cancel exports none of them.",
                             completed, {completed})
                : text("ui.batch.exportAll.replaceSeveral",
                       "Replace exports all %lld cleaned videos, replacing those files. Cancel exports none of them.",
                       {completed});
        const QString message = ExportSaveDialog::existingFilesSentence(*folder, existing) + u' ' + answers;
        self->m_replacing->askReplacing(message, [self, folder = *folder, jobs](bool replace) {
            if (!self || self->m_exporting)
                return;
            if (replace) {
                spawn(self->copyInto(folder, jobs, true), lcQueueFooter(), QStringLiteral("Export all completed"));
                return;
            }
            // An earlier export's outcome would read as this one's.
            self->m_exportMessage = text("ui.batch.exportCancelled", "Nothing was exported.");
            self->refresh();
        });
    });
}

QCoro::Task<void> QueueFooter::copyInto(QString folder, std::vector<BatchJob> jobs, bool replaceExisting)
{
    if (!m_queue)
        co_return;
    QPointer<QueueFooter> self(this);
    m_exporting = true;
    refresh();

    std::optional<int> copied;
    QString failure;
    try {
        auto copying = runOffThread({}, [jobs, folder, replaceExisting] {
            return BatchQueueManager::exportCompletedOutputs(jobs, folder, replaceExisting);
        });
        copied = co_await std::move(copying);
    } catch (const Error& error) {
        failure = error.localizedDescription();
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return;
    m_exporting = false;
    if (copied) {
        if (m_queue)
            m_queue->noteExported(jobs);
        m_exportMessage = pluralText("ui.batch.exported", "Exported %lld cleaned video to %@.",
                                     "Exported %lld cleaned videos to %@.", *copied, {*copied, QDir(folder).dirName()});
        if (m_reveal)
            m_reveal(folder);
    } else {
        m_exportMessage = text("ui.batch.exportFailed", "Export failed: %@", {failure});
    }
    refresh();
}

} // namespace hf
