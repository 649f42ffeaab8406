#include "sidebar/video_sidebar.h"

#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "coordinator/thumbnail_cache.h"
#include "platform/texts.h"
#include "sidebar/queue_footer.h"
#include "sidebar/sidebar_rows.h"
#include "ui_kit/palette.h"
#include "ui_kit/screen_fit.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

namespace hf {

namespace {

// The list's content: never shorter than its rows need at its width (wrapped texts included),
// so the scroll area scrolls instead of squeezing the rows.
class ListContent : public QWidget {
protected:
    bool event(QEvent* event) override
    {
        const bool handled = QWidget::event(event);
        if (event->type() == QEvent::LayoutRequest)
            fitHeight();
        return handled;
    }
    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        fitHeight();
    }

private:
    void fitHeight()
    {
        if (!layout())
            return;
        const int needed = layout()->totalHeightForWidth(width());
        if (needed > 0 && needed != minimumHeight())
            setMinimumHeight(needed);
    }
};

} // namespace

QSize VideoSidebar::minimumSizeHint() const
{
    return QWidget::minimumSizeHint().expandedTo(QSize(230, 0));
}

VideoSidebar::VideoSidebar(EngineCoordinator* coordinator, BatchQueueManager* queue, ThumbnailCache* thumbnails,
                           SettingsStore* defaults, QWidget* parent)
    : QWidget(parent),
      m_coordinator(coordinator),
      m_queue(queue),
      m_thumbnails(thumbnails),
      m_reveal(systemFileRevealer())
{
    setObjectName(QStringLiteral("sidebar"));
    setAccessibleName(text("ui.sidebar.title", "Videos"));
    setWindowTitle(text("ui.sidebar.title", "Videos"));
    ui::setBackground(this, ui::ColorName::Surface);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_scroll = new QScrollArea;
    m_scroll->setObjectName(QStringLiteral("sidebar.list"));
    // The rows take the focus; the list follows it.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_list = new ListContent;
    m_list->setAutoFillBackground(false);
    m_rows = new QVBoxLayout(m_list);
    m_rows->setContentsMargins(14, 10, 14, 10);
    m_rows->setSpacing(4);
    m_rows->addStretch(1);
    m_scroll->setWidget(m_list);
    column->addWidget(m_scroll, 1);

    // The footer stays below the list whatever it scrolls to.
    auto* footerPanel = new QWidget;
    footerPanel->setObjectName(QStringLiteral("sidebar.footerPanel"));
    ui::setBackground(footerPanel, ui::ColorName::Surface);
    auto* footerPadding = new QVBoxLayout(footerPanel);
    footerPadding->setContentsMargins(14, 14, 14, 14);
    m_footer = new QueueFooter(coordinator, queue, defaults);
    footerPadding->addWidget(m_footer);
    column->addWidget(footerPanel);

    connect(coordinator, &EngineCoordinator::sourceChanged, this, &VideoSidebar::rebuild);
    RecentVideos* recents = &coordinator->recents();
    connect(recents, &RecentVideos::entriesChanged, this, &VideoSidebar::rebuild);
    connect(recents, &RecentVideos::thumbnailRevisionChanged, this, &VideoSidebar::rebuild);
    connect(queue, &BatchQueueManager::jobsChanged, this, &VideoSidebar::rebuild);
    if (thumbnails)
        connect(thumbnails, &ThumbnailCache::imagesChanged, this, &VideoSidebar::rebuild);
    rebuild();
}

VideoSidebar::~VideoSidebar() = default;

void VideoSidebar::setRevealer(FileRevealer revealer)
{
    m_reveal = revealer;
    m_footer->setRevealer(std::move(revealer));
    m_shape = {};
    rebuild();
}

void VideoSidebar::setFolderChooser(std::unique_ptr<FolderChooser> chooser)
{
    m_footer->setFolderChooser(std::move(chooser));
}

QStringList VideoSidebar::sectionTitles() const
{
    QStringList titles;
    for (const ui::SectionLabel* header : m_headers)
        titles << header->text();
    return titles;
}

void VideoSidebar::addHeader(const QString& title, const QString& name)
{
    auto* header = new ui::SectionLabel(title);
    header->setObjectName(name);
    if (!m_headers.empty()) {
        // Space between one section's last row and the next header.
        auto* gap = new QWidget;
        gap->setFixedHeight(10);
        m_rows->insertWidget(m_rows->count() - 1, gap);
        gap->show();
        m_items.push_back(gap);
    }
    m_rows->insertWidget(m_rows->count() - 1, header);
    header->show();
    m_items.push_back(header);
    m_headers.push_back(header);
}

void VideoSidebar::rebuild()
{
    // A thumbnail that arrives while the rows are being made asks again: once they are made.
    if (m_rebuilding) {
        QMetaObject::invokeMethod(this, &VideoSidebar::rebuild, Qt::QueuedConnection);
        return;
    }
    m_rebuilding = true;
    // When only the jobs' states changed (a running job's progress, most often), the rows stay
    // and show the new states, so a click or a menu on a row is never cut short by a redraw.
    Shape shape = currentShape();
    if (shape == m_shape)
        refreshQueueRows();
    else
        rebuildRows(shape);
    m_shape = std::move(shape);
    m_rebuilding = false;
}

VideoSidebar::Shape VideoSidebar::currentShape() const
{
    Shape shape;
    if (!m_coordinator || !m_queue)
        return shape;
    const std::optional<SourceVideo>& source = m_coordinator->source();
    shape.open = source.has_value();
    shape.recents = m_coordinator->recents().entries(source ? std::optional<QUrl>(source->url) : std::nullopt);
    shape.thumbnailRevision = m_coordinator->recents().thumbnailRevision();
    for (const BatchJob& job : m_queue->jobs())
        shape.jobs.push_back(job.id);
    return shape;
}

QImage VideoSidebar::thumbnail(const QUrl& video) const
{
    return m_thumbnails ? m_thumbnails->image(video).value_or(QImage()) : QImage();
}

void VideoSidebar::refreshQueueRows()
{
    if (!m_queue)
        return;
    // The same shape means one row per job, in the jobs' order.
    const std::vector<BatchJob>& jobs = m_queue->jobs();
    for (size_t i = 0; i < m_queueRows.size(); ++i)
        m_queueRows[i]->setJob(jobs[i], thumbnail(jobs[i].sourceVideoURL));
}

void VideoSidebar::rebuildRows(const Shape& shape)
{
    // A row that had the keyboard hands it to the row now in its place (or the nearest one), not
    // to whatever follows the list. It lets go first, so hiding it moves the focus nowhere between.
    QWidget* focus = QApplication::focusWidget();
    const auto holdsFocus = [focus](QWidget* row) { return focus && (row == focus || row->isAncestorOf(focus)); };
    std::optional<std::pair<bool, size_t>> focusPlace;   // (in the queue, index)
    std::optional<QUuid> focusedRecent;
    for (size_t i = 0; i < m_recentRows.size(); ++i)
        if (holdsFocus(m_recentRows[i])) {
            focusPlace = {false, i};
            focusedRecent = m_recentRows[i]->entry().id;
        }
    for (size_t i = 0; i < m_queueRows.size(); ++i)
        if (holdsFocus(m_queueRows[i]))
            focusPlace = {true, i};
    // The open video's row keeps it in its new row (a thumbnail or a recent video changing
    // rebuilds the list while the video stays open).
    const bool openKeeps = shape.open && m_openRow && holdsFocus(m_openRow);
    if (focusPlace || openKeeps)
        focus->clearFocus();

    // The old rows go later: a row may be inside its own click or menu action right now.
    for (QWidget* item : m_items) {
        m_rows->removeWidget(item);
        item->hide();
        item->deleteLater();
    }
    m_items.clear();
    m_headers.clear();
    m_openRow = nullptr;
    m_recentRows.clear();
    m_queueRows.clear();
    m_queueEmpty = nullptr;
    if (!m_coordinator || !m_queue)
        return;
    // New rows show and take their places at once, so the list never shows a frame without them.
    auto add = [this](QWidget* row) {
        m_rows->insertWidget(m_rows->count() - 1, row);
        row->show();
        m_items.push_back(row);
    };

    if (shape.open) {
        addHeader(text("ui.sidebar.open", "Open"), QStringLiteral("sidebar.header.open"));
        m_openRow = new OpenVideoRow(m_coordinator);
        add(m_openRow);
    }

    if (!shape.recents.empty()) {
        addHeader(text("ui.recents.title", "Recent videos"), QStringLiteral("sidebar.header.recents"));
        for (const RecentVideos::Entry& entry : shape.recents) {
            auto* row = new RecentVideoRow(m_coordinator, entry);
            m_recentRows.push_back(row);
            add(row);
        }
    }

    const std::vector<BatchJob>& jobs = m_queue->jobs();
    addHeader(queueSectionTitle(int(jobs.size())), QStringLiteral("sidebar.header.queue"));
    if (jobs.empty()) {
        auto* empty = new QLabel(
            text("ui.sidebar.queueEmpty", "Drop several videos, or add them here, to clean them one after another."));
        empty->setObjectName(QStringLiteral("sidebar.queueEmpty"));
        empty->setWordWrap(true);
        empty->setContentsMargins(0, 4, 0, 4);
        ui::setTextStyle(empty, ui::TextStyle::callout);
        ui::setForeground(empty, ui::ColorName::Muted);
        m_queueEmpty = empty;
        add(empty);
    }
    for (const BatchJob& job : jobs) {
        auto* row = new QueueRow(m_queue, job, thumbnail(job.sourceVideoURL), m_reveal);
        m_queueRows.push_back(row);
        add(row);
    }
    m_rows->activate();
    // A recent row that had the keyboard keeps it where its video shows now: its own row in the
    // new order, or the open video's row once it is reopened (then left out of the recent ones),
    // rather than another video's row that took its place.
    QWidget* keeper = openKeeps ? m_openRow : nullptr;
    if (focusedRecent) {
        const auto isFocused = [&](const RecentVideos::Entry& entry) { return entry.id == *focusedRecent; };
        for (RecentVideoRow* row : m_recentRows)
            keeper = isFocused(row->entry()) ? row : keeper;
        if (!keeper && m_openRow && std::ranges::any_of(m_coordinator->recents().entries(), isFocused))
            keeper = m_openRow;
    }
    if (keeper) {
        keeper->setFocus(Qt::OtherFocusReason);
        m_scroll->ensureWidgetVisible(keeper, 0, 0);
    } else if (focusPlace) {
        focusRowNear(focusPlace->first, focusPlace->second);
    }
}

void VideoSidebar::focusRowNear(bool inQueue, size_t index)
{
    std::vector<QWidget*> recents(m_recentRows.begin(), m_recentRows.end());
    std::vector<QWidget*> queue(m_queueRows.begin(), m_queueRows.end());
    const std::vector<QWidget*>& same = inQueue ? queue : recents;
    const std::vector<QWidget*>& other = inQueue ? recents : queue;
    QWidget* next = nullptr;
    if (!same.empty())
        next = same[std::min(index, same.size() - 1)];
    else if (!other.empty())
        next = inQueue ? other.back() : other.front();
    if (next) {
        next->setFocus(Qt::OtherFocusReason);
        m_scroll->ensureWidgetVisible(next, 0, 0);
        return;
    }
    // No row left: the control that follows the list, the footer's first.
    if (QWidget* control = ui::firstStopWithin(m_footer))
        control->setFocus(Qt::OtherFocusReason);
    else
        window()->setFocus(Qt::OtherFocusReason);
}

} // namespace hf
