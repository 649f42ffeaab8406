#include "sidebar/sidebar_rows.h"

#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "pipeline/formatting.h"
#include "platform/texts.h"
#include "sidebar/status_mark.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>

#include <cmath>

namespace hf {

// ---- Texts

QString openVideoSubtitle(const EngineCoordinator& coordinator)
{
    if (!coordinator.source())
        return {};
    const QString clock = clockText(coordinator.source()->duration);
    if (coordinator.isProcessing())
        return text("ui.sidebar.working", "%@, working, %@",
                    {clock, percentText(coordinator.progress().fractionCompleted)});
    if (coordinator.hasFullResult())
        return text("ui.subtitle.cleaned", "%@, cleaned", {clock});
    if (coordinator.hasPreviewResult())
        return text("ui.subtitle.previewReady", "%@, preview ready", {clock});
    return clock;
}

QString recentVideoSubtitle(const RecentVideos::Entry& entry)
{
    const QString clock = clockText(entry.duration);
    return entry.result ? text("ui.subtitle.cleaned", "%@, cleaned", {clock}) : clock;
}

QString queueJobStatusText(const BatchJob& job)
{
    QString word;
    switch (job.status.kind()) {
    case BatchJobStatus::Kind::working:
        // The number goes with the step, as on the open video's row: the ring alone is too small to read.
        word = text("ui.batch.row.working", "%@, %@",
                    {job.status.progress().stage.shortStatus(), percentText(job.status.progress().fractionCompleted)});
        break;
    case BatchJobStatus::Kind::completed: word = text("status.short.cleaned", "cleaned"); break;
    case BatchJobStatus::Kind::failed:
        // The reason goes with the word, so the row, its tooltip and its description all tell why.
        word = job.status.error().isEmpty()
            ? text("status.short.failed", "failed")
            : text("ui.batch.row.failedBecause", "failed: %@", {job.status.error()});
        break;
    case BatchJobStatus::Kind::pending: word = text("status.short.waiting", "waiting"); break;
    }
    if (job.duration > 0)
        return text("ui.batch.row.accessibilityValue", "%@, %@", {clockText(job.duration), word});
    return word;
}

QString queueSectionTitle(int jobCount)
{
    if (jobCount > 0)
        return pluralText("ui.sidebar.queueCount", "Queue, %lld video", "Queue, %lld videos", jobCount, {jobCount});
    return text("ui.more.queue", "Batch queue");
}

QString spokenVideoName(const QString& fileName)
{
    const int dot = fileName.lastIndexOf(u'.');
    return dot > 0 ? fileName.left(dot) : fileName;
}

void copyFileToClipboard(const QString& path)
{
    const QUrl url = QUrl::fromLocalFile(path);
    auto* data = new QMimeData;
    data->setUrls({url});
    // GNOME's file managers read this list; KDE's and most others read the URI list.
    data->setData(QStringLiteral("x-special/gnome-copied-files"), "copy\n" + url.toEncoded());
    QApplication::clipboard()->setMimeData(data);
}

bool isContextMenuKey(const QKeyEvent& event)
{
    const Qt::KeyboardModifiers mods = event.modifiers() & ~Qt::KeypadModifier;
    return (event.key() == Qt::Key_Menu && mods == Qt::NoModifier)
           || (event.key() == Qt::Key_F10 && mods == Qt::ShiftModifier);
}

void popUpRowMenu(QWidget* row, QPointer<QMenu>& open, QMenu* menu, const QContextMenuEvent* event)
{
    if (open && open->isVisible()) {
        menu->deleteLater();
        return;
    }
    open = menu;
    // Read as the menu of the row's video.
    menu->setAccessibleName(row->accessibleName());
    const bool byMouse = event && event->reason() == QContextMenuEvent::Mouse;
    const QPoint where = byMouse ? event->globalPos() : row->mapToGlobal(QPoint(row->width() / 4, row->height() / 2));
    menu->popup(where);
    if (!byMouse && !menu->actions().isEmpty()) {
        // From the keyboard the first item is active, so arrows and Return work at once.
        for (QAction* action : menu->actions())
            if (action->isEnabled() && !action->isSeparator()) {
                menu->setActiveAction(action);
                break;
            }
    }
}

QAction* addRemoveItem(QMenu* menu, std::function<bool()> remove, const QString& removed)
{
    QPointer<QWidget> window = menu->parentWidget();
    return menu->addAction(text("ui.batch.row.remove", "Remove"), menu, [remove, window, removed] {
        // The row is gone and the focus moves on: the removal itself is told.
        if (remove())
            ui::announce(window, removed);
    });
}

// ---- Labels and the common row

MiddleElidedLabel::MiddleElidedLabel(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    ui::setTextStyle(this, ui::TextStyle::body, QFont::DemiBold);
    ui::hideFromAccessibility(this);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, &MiddleElidedLabel::followTextSize);
    followTextSize();
}

bool MiddleElidedLabel::wraps() const
{
    return ui::Environment::instance().isAccessibilitySize();
}

void MiddleElidedLabel::followTextSize()
{
    QSizePolicy policy(wraps() ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                       wraps() ? QSizePolicy::Preferred : QSizePolicy::Fixed);
    policy.setHeightForWidth(wraps());
    setSizePolicy(policy);
    updateGeometry();
    update();
}

void MiddleElidedLabel::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

QSize MiddleElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    return QSize(metrics.horizontalAdvance(m_text), metrics.height());
}

QSize MiddleElidedLabel::minimumSizeHint() const
{
    // Wrapping, it takes the width it is given and as many lines as that needs.
    return QSize(0, QFontMetrics(font()).height());
}

int MiddleElidedLabel::heightForWidth(int width) const
{
    if (!wraps())
        return QFontMetrics(font()).height();
    return std::max(QFontMetrics(font()).height(), int(std::ceil(ui::wrappedTextSize(font(), m_text, width).height())));
}

void MiddleElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    p.setPen(ui::color(ui::ColorName::Ink));
    if (wraps()) {
        ui::drawWrappedText(p, QRectF(rect()), font(), m_text, Qt::AlignLeft | Qt::AlignTop);
        return;
    }
    const QString shown = QFontMetrics(font()).elidedText(m_text, Qt::ElideMiddle, width());
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}

SidebarRowContent::SidebarRowContent(bool hasMark, bool subtitleWraps, QWidget* parent) : QWidget(parent)
{
    // The list's rows are at least 44 high.
    setMinimumHeight(44);
    m_thumb = new Thumb(this);
    m_name = new MiddleElidedLabel(this);
    m_subtitle = new QLabel(this);
    m_subtitle->setAttribute(Qt::WA_TransparentForMouseEvents);
    // The policy first: setting it afterwards would drop the height-for-width that wrapping needs.
    m_subtitle->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_subtitle->setWordWrap(subtitleWraps);
    ui::setTextStyle(m_subtitle, ui::TextStyle::callout);
    ui::setForeground(m_subtitle, ui::ColorName::Muted);
    ui::hideFromAccessibility(m_subtitle);
    if (hasMark)
        m_mark = new StatusMark(this);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, &SidebarRowContent::arrange);
    arrange();
}

void SidebarRowContent::arrange()
{
    const bool stacked = ui::Environment::instance().isAccessibilitySize();
    if (layout() && stacked == m_stacked)
        return;
    m_stacked = stacked;
    delete layout();   // the widgets stay; only their places change

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->setContentsMargins(0, 0, 0, 0);
    texts->addWidget(m_name);
    texts->addWidget(m_subtitle);
    if (stacked) {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(0, 3, 0, 3);
        column->setSpacing(6);
        auto* top = new QHBoxLayout;
        top->setSpacing(10);
        top->addWidget(m_thumb, 0, Qt::AlignVCenter);
        top->addStretch(1);
        if (m_mark)
            top->addWidget(m_mark, 0, Qt::AlignVCenter);
        column->addLayout(top);
        column->addLayout(texts);
        return;
    }
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 3, 0, 3);
    row->setSpacing(10);
    row->addWidget(m_thumb, 0, Qt::AlignVCenter);
    row->addLayout(texts, 1);
    if (m_mark) {
        row->addSpacing(4);
        row->addWidget(m_mark, 0, Qt::AlignVCenter);
    }
}

QString SidebarRowContent::name() const
{
    return m_name->text();
}

QString SidebarRowContent::subtitle() const
{
    return m_subtitle->text();
}

void SidebarRowContent::setTexts(const QString& name, const QString& subtitle)
{
    m_name->setText(name);
    m_subtitle->setText(subtitle);
    ui::setAccessibleName(this, spokenVideoName(name));
    ui::setAccessibleValue(this, subtitle);
}

// ---- The open video

OpenVideoRow::OpenVideoRow(EngineCoordinator* coordinator, QWidget* parent)
    : SidebarRowContent(true, true, parent), m_coordinator(coordinator)
{
    setObjectName(QStringLiteral("sidebar.openVideo"));
    ui::presentAsOne(this, QAccessible::ListItem);
    ui::setAccessibleSelected(this, true);
    // Not a stop for Tab; it holds the keyboard when its video was reopened from a recent row.
    ui::attachFocusRing(this, 6);
    for (auto signal : {&EngineCoordinator::sourceChanged, &EngineCoordinator::thumbnailChanged,
                        &EngineCoordinator::isProcessingChanged, &EngineCoordinator::progressChanged,
                        &EngineCoordinator::currentResultChanged})
        connect(coordinator, signal, this, &OpenVideoRow::refresh);
    refresh();
}

void OpenVideoRow::refresh()
{
    if (!m_coordinator || !m_coordinator->source())
        return;
    const EngineCoordinator& c = *m_coordinator;
    setTexts(c.source()->displayName, openVideoSubtitle(c));
    thumb()->setImage(c.thumbnail());
    StatusMarkState state;
    if (c.isProcessing())
        state.progress = c.progress().fractionCompleted;
    state.done = c.hasFullResult();
    mark()->setState(state);
}

// ---- A recent video

RecentVideoRow::RecentVideoRow(EngineCoordinator* coordinator, RecentVideos::Entry entry, QWidget* parent)
    : ui::KitButton(parent), m_coordinator(coordinator), m_entry(std::move(entry))
{
    setObjectName(QStringLiteral("sidebar.recentVideo"));
    // An item of the sidebar's list, selectable (the open video is the selected one); a press
    // reopens it.
    ui::presentAsOne(this, QAccessible::ListItem);
    ui::setAccessibleSelected(this, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_content = new SidebarRowContent(false, true);
    m_content->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui::hideFromAccessibility(m_content);
    layout->addWidget(m_content);
    setMinimumHeight(44);
    // Narrows with the list, its texts wrapping and the row growing to hold them.
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    const QString subtitle = recentVideoSubtitle(m_entry);
    m_content->setTexts(m_entry.displayName, subtitle);
    if (std::optional<QImage> image = coordinator->recents().thumbnail(m_entry.id))
        m_content->thumb()->setImage(*image);
    setAccessibleName(spokenVideoName(m_entry.displayName));
    ui::setAccessibleValue(this, subtitle);
    // The hint is the description: what screen readers speak after the item's name.
    setAccessibleDescription(hf::text("ui.recents.hint", "Opens this video"));
    setWhatsThis(accessibleDescription());
    ui::attachFocusRing(this, 6);
    connect(this, &QAbstractButton::clicked, this, &RecentVideoRow::open);
}

QSize RecentVideoRow::sizeHint() const
{
    QSize size = m_content->sizeHint();
    size.setHeight(std::max(size.height(), 44));
    return size;
}

int RecentVideoRow::heightForWidth(int width) const
{
    const int content = m_content->hasHeightForWidth() ? m_content->heightForWidth(width) : m_content->sizeHint().height();
    return std::max(content, 44);
}

void RecentVideoRow::open()
{
    if (!m_coordinator)
        return;
    QPointer<EngineCoordinator> coordinator = m_coordinator;
    const RecentVideos::Entry entry = m_entry;
    auto reopen = [coordinator, entry] {
        if (coordinator)
            coordinator->openRecent(entry);
    };
    if (!coordinator->askBeforeReplacing(reopen))
        reopen();
}

QMenu* RecentVideoRow::contextMenu()
{
    auto* menu = new QMenu(window());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<EngineCoordinator> coordinator = m_coordinator;
    const QUuid id = m_entry.id;
    addRemoveItem(
        menu,
        [coordinator, id] {
            if (coordinator)
                coordinator->recents().remove(id);
            return !coordinator.isNull();
        },
        hf::text("ui.recents.removed", "\u201c%@\u201d removed from Recent videos", {spokenVideoName(m_entry.displayName)}));
    return menu;
}

void RecentVideoRow::paintEvent(QPaintEvent*)
{
    if (!isDown())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(ui::roundedRectPath(QRectF(rect()).adjusted(-6, 0, 6, 0), 6), ui::color(ui::ColorName::ControlFill));
}

void RecentVideoRow::contextMenuEvent(QContextMenuEvent* event)
{
    popUpRowMenu(this, m_menu, contextMenu(), event);
}

void RecentVideoRow::keyPressEvent(QKeyEvent* event)
{
    if (isContextMenuKey(*event)) {
        popUpRowMenu(this, m_menu, contextMenu(), nullptr);
        return;
    }
    ui::KitButton::keyPressEvent(event);
}

// ---- A batch job

QueueRow::QueueRow(BatchQueueManager* queue, BatchJob job, QImage thumbnail, FileRevealer revealer, QWidget* parent)
    : SidebarRowContent(true, true, parent), m_queue(queue), m_reveal(std::move(revealer))
{
    setObjectName(QStringLiteral("sidebar.queueJob"));
    ui::presentAsOne(this, QAccessible::ListItem);
    ui::setAccessibleSelected(this, false);
    // Focus lets the keyboard reach the row's menu; a click gives it too.
    setFocusPolicy(Qt::StrongFocus);
    ui::attachFocusRing(this, 6);
    setJob(std::move(job), std::move(thumbnail));
}

void QueueRow::setJob(BatchJob job, QImage thumbnail)
{
    m_job = std::move(job);
    setTexts(m_job.sourceVideoURL.fileName(), queueJobStatusText(m_job));
    setToolTip(m_job.status.isFailed() ? m_job.status.error() : QString());
    thumb()->setImage(std::move(thumbnail));
    StatusMarkState state;
    if (m_job.status.isWorking())
        state.progress = m_job.status.progress().fractionCompleted;
    state.done = m_job.status.isCompleted();
    state.failed = m_job.status.isFailed();
    state.waiting = true;
    mark()->setState(state);
}

QMenu* QueueRow::contextMenu()
{
    auto* menu = new QMenu(window());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (m_job.status.isCompleted()) {
        const QString output = m_job.status.videoURL().toLocalFile();
        menu->addAction(text("ui.batch.row.copyFile", "Copy File"), menu, [output] { copyFileToClipboard(output); });
        FileRevealer reveal = m_reveal;
        menu->addAction(text("ui.batch.row.showInFinder", "Show in Folder"), menu, [reveal, output] {
            if (reveal)
                reveal(output);
        });
    }
    QPointer<BatchQueueManager> queue = m_queue;
    const QUuid id = m_job.id;
    QAction* remove = addRemoveItem(
        menu,
        [queue, id] {
            if (queue)
                queue->remove(id);
            return !queue.isNull();
        },
        text("ui.batch.row.removed", "\u201c%@\u201d removed from the queue", {spokenVideoName(m_job.sourceVideoURL.fileName())}));
    remove->setEnabled(!m_job.status.isWorking());
    return menu;
}

void QueueRow::contextMenuEvent(QContextMenuEvent* event)
{
    popUpRowMenu(this, m_menu, contextMenu(), event);
}

void QueueRow::keyPressEvent(QKeyEvent* event)
{
    if (isContextMenuKey(*event)) {
        popUpRowMenu(this, m_menu, contextMenu(), nullptr);
        return;
    }
    SidebarRowContent::keyPressEvent(event);
}

} // namespace hf
