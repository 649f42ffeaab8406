#pragma once

// The main window's left column: one scrolling list with the open video, the recent videos and
// the batch queue, and the queue's footer pinned below it. It keeps nothing of its own: sections,
// rows and texts follow the coordinator, its recent videos and the batch queue as they change.
//
//     auto* sidebar = new hf::VideoSidebar(&coordinator, &batch, &thumbnails, &defaults);
//
// A click on a recent video reopens it (asking first when unexported work would go); context
// menus remove a recent video, and copy, show or remove a batch job.

#include "coordinator/recent_videos.h"
#include "editor/desktop_reveal.h"

#include <QImage>
#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QScrollArea;
class QVBoxLayout;

namespace hf {

class BatchQueueManager;
class EngineCoordinator;
class FolderChooser;
class OpenVideoRow;
class QueueFooter;
class QueueRow;
class RecentVideoRow;
class SettingsStore;
class ThumbnailCache;

namespace ui {
class SectionLabel;
}

class VideoSidebar : public QWidget {
    Q_OBJECT

public:
    // None of the pointers is owned; all must outlive the sidebar. `defaults` holds the export
    // folder preference the footer's folder chooser starts in.
    VideoSidebar(EngineCoordinator* coordinator, BatchQueueManager* queue, ThumbnailCache* thumbnails,
                 SettingsStore* defaults, QWidget* parent = nullptr);
    ~VideoSidebar() override;

    // At least 230 wide, and as wide as its footer's controls need at large text sizes.
    QSize minimumSizeHint() const override;

    // Replaces the file manager call of "Show in Folder" (rows and footer).
    void setRevealer(FileRevealer revealer);
    void setFolderChooser(std::unique_ptr<FolderChooser> chooser);

    // What the list shows now, for tests.
    QueueFooter* footer() const { return m_footer; }
    OpenVideoRow* openRow() const { return m_openRow; }
    const std::vector<RecentVideoRow*>& recentRows() const { return m_recentRows; }
    const std::vector<QueueRow*>& queueRows() const { return m_queueRows; }
    // The section headers in list order.
    QStringList sectionTitles() const;
    // The empty queue's text, while it shows.
    QWidget* queueEmptyText() const { return m_queueEmpty; }
    QScrollArea* scrollArea() const { return m_scroll; }

private:
    // What decides which rows there are; anything else only changes what the rows show.
    struct Shape {
        bool open = false;
        std::vector<RecentVideos::Entry> recents;
        qint64 thumbnailRevision = -1;
        std::vector<QUuid> jobs;
        bool operator==(const Shape&) const = default;
    };

    void rebuild();
    void rebuildRows(const Shape& shape);
    // Gives the keyboard to the row at `index` of the recent or queue rows (the last when fewer),
    // else to the nearest row of the other section, else to the footer's first control.
    void focusRowNear(bool inQueue, size_t index);
    Shape currentShape() const;
    void refreshQueueRows();
    QImage thumbnail(const QUrl& video) const;
    void addHeader(const QString& text, const QString& name);

    QPointer<EngineCoordinator> m_coordinator;
    QPointer<BatchQueueManager> m_queue;
    QPointer<ThumbnailCache> m_thumbnails;
    FileRevealer m_reveal;

    QScrollArea* m_scroll;
    QWidget* m_list;
    QVBoxLayout* m_rows;
    QueueFooter* m_footer;

    std::vector<QWidget*> m_items;
    std::vector<ui::SectionLabel*> m_headers;
    OpenVideoRow* m_openRow = nullptr;
    std::vector<RecentVideoRow*> m_recentRows;
    std::vector<QueueRow*> m_queueRows;
    QWidget* m_queueEmpty = nullptr;
    bool m_rebuilding = false;
    std::optional<Shape> m_shape;
};

} // namespace hf
