#pragma once

// A coordinator and a batch queue on scripted engines and media work, a thumbnail cache that
// answers at once, a folder chooser and a file manager that tests answer, and menu and pixel helpers.

#include "coordinator/batch_queue_manager.h"
#include "coordinator/thumbnail_cache.h"
#include "helpers_coordinator.h"
#include "sidebar/queue_footer.h"

#include <QColor>
#include <QImage>
#include <QStringList>
#include <QWidget>

class QAction;
class QMenu;

namespace hf {
class ReplaceConfirmation;
class VideoSidebar;
} // namespace hf

#include <memory>
#include <optional>

namespace hf::test {

class ScriptedFolderChooser final : public FolderChooser {
public:
    int requests = 0;
    Request last;
    Answer pending;

    void choose(QWidget*, const Request& request, Answer answer) override
    {
        ++requests;
        last = request;
        pending = std::move(answer);
    }
    bool answer(std::optional<QString> folder)
    {
        if (!pending)
            return false;
        auto done = std::exchange(pending, nullptr);
        done(std::move(folder));
        return true;
    }
};

class SidebarRig {
public:
    SidebarRig();
    ~SidebarRig();

    CoordinatorRig rig;
    FakeEngine queueEngine;
    std::shared_ptr<FakeMedia> queueMedia = std::make_shared<FakeMedia>();
    std::unique_ptr<BatchQueueManager> queue;
    std::unique_ptr<ThumbnailCache> thumbnails;
    QStringList revealed;

    EngineCoordinator& coordinator() { return *rig.coordinator; }
    // A video file of `seconds` for the queue (its length as the queue's probe reads it).
    QUrl queueVideo(const QString& name, double seconds = 20.0);
    // Runs the queue until it stops; false when it does not in time.
    bool runQueue();
    // Writes a file where a completed job's output video is said to be (the scripted remux writes
    // none); returns its path.
    QString writeOutput(const BatchJob& job, const QByteArray& content);
    // Jobs in every state, in this order: two completed, one failed, one working (held until
    // `release` is called) and one pending.
    bool makeMixedQueue();
    void release();
};

// A window of the sidebar's size with the sidebar and the confirmation, as the main window has them.
struct SidebarWindow {
    QWidget host;
    VideoSidebar* sidebar;
    ReplaceConfirmation* confirmation;

    explicit SidebarWindow(SidebarRig& rig, int height = 640);
    // Saves the window's picture as the sidebar's `state`.
    void shoot(const QString& state);
};

// A menu's entries as their texts, "-" for a separator.
QStringList menuTexts(QMenu* menu);
// The entry of `menu` titled `title`, or null.
QAction* menuItem(QMenu* menu, const QString& title);

// Whether two colours are within `tolerance` in every channel (alpha included).
bool near(const QColor& a, const QColor& b, int tolerance = 40);
// A transparent picture of `size` with `paint` drawn on it.
QImage drawn(QSize size, const std::function<void(QPainter&)>& paint);

} // namespace hf::test
