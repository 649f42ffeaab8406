#pragma once

// The rows of the video sidebar and the texts they show: the open video, a recent video and a
// batch job. Each row is a thumbnail, a name on one line (shortened in the middle), a subtitle
// and, for the open video and the jobs, a status mark. A row is one element for assistive
// technologies: its name without the extension, its subtitle as the value (and description);
// each is an item of the list, selectable: the open video marked selected, a recent video with a
// press action and its hint as the description.
//
// Recent and queue rows take the keyboard focus (Tab) and show it with the kit's focus ring.
// Context menus are made by contextMenu(), which returns the menu without showing it, so tests
// read its items and trigger them; a right click, the Menu key or Shift+F10 shows it with
// popup(), never in a loop of its own.

#include "coordinator/batch_job.h"
#include "coordinator/recent_videos.h"
#include "editor/desktop_reveal.h"

#include "ui_kit/buttons.h"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <functional>

class QAction;
class QLabel;
class QMenu;

namespace hf {

class BatchQueueManager;
class EngineCoordinator;
class StatusMark;
class Thumb;

// ---- Texts

// "1:30, working, 42%", "1:30, cleaned", "1:30, preview ready" or "1:30".
QString openVideoSubtitle(const EngineCoordinator& coordinator);
// "1:30, cleaned" when a full clean is stored for the video, else "1:30".
QString recentVideoSubtitle(const RecentVideos::Entry& entry);
// The job's status word, after its length when the length is known: "1:15, waiting"; a failed
// job's word carries its reason: "1:15, failed: This video has no soundtrack, ...".
QString queueJobStatusText(const BatchJob& job);
// "Queue, 3 videos", or "Batch queue" when empty.
QString queueSectionTitle(int jobCount);
// The file name without its extension: what assistive technologies read as a row's name.
QString spokenVideoName(const QString& fileName);

// Whether a key asks for the focused row's context menu: the Menu key, or Shift+F10.
bool isContextMenuKey(const QKeyEvent& event);
// Shows a row's context menu: where the pointer is for a click, at the row's start for a key.
// A menu of the row already open is left alone (the Menu key also arrives as a context event).
void popUpRowMenu(QWidget* row, QPointer<QMenu>& open, QMenu* menu, const QContextMenuEvent* event);

// Adds "Remove" to a row's menu: it calls `remove` and, when that removed the row's video (true),
// tells assistive technologies `removed` in the menu's window, since the row goes and nothing on
// screen says so.
QAction* addRemoveItem(QMenu* menu, std::function<bool()> remove, const QString& removed);

// Copies the file to the clipboard as a file list, the way file managers paste files.
void copyFileToClipboard(const QString& path);

// A single line of text shortened in the middle when it does not fit. At the accessibility text
// sizes, where a line of the sidebar holds a few letters only, it wraps onto as many lines as
// the name needs instead.
class MiddleElidedLabel : public QWidget {
    Q_OBJECT
public:
    explicit MiddleElidedLabel(QWidget* parent = nullptr);
    const QString& text() const { return m_text; }
    void setText(const QString& text);
    bool wraps() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return wraps(); }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void followTextSize();

    QString m_text;
};

// The thumbnail, the name over the subtitle, and a mark at the trailing edge (when given).
class SidebarRowContent : public QWidget {
    Q_OBJECT
public:
    SidebarRowContent(bool hasMark, bool subtitleWraps, QWidget* parent = nullptr);

    Thumb* thumb() const { return m_thumb; }
    StatusMark* mark() const { return m_mark; }
    QString name() const;
    QString subtitle() const;
    void setTexts(const QString& name, const QString& subtitle);

private:
    // The thumbnail beside the texts; at the accessibility sizes above them, with the mark, so
    // that the texts have the row's whole width.
    void arrange();

    bool m_stacked = false;
    Thumb* m_thumb;
    MiddleElidedLabel* m_name;
    QLabel* m_subtitle;
    StatusMark* m_mark = nullptr;
};

// The open video: not a button, no context menu. Follows the coordinator by itself.
class OpenVideoRow : public SidebarRowContent {
    Q_OBJECT
public:
    explicit OpenVideoRow(EngineCoordinator* coordinator, QWidget* parent = nullptr);
    void refresh();

private:
    QPointer<EngineCoordinator> m_coordinator;
};

// A remembered video: a click reopens it (asking first when that would replace unexported
// work); its context menu removes it from the list.
class RecentVideoRow : public ui::KitButton {
    Q_OBJECT
public:
    RecentVideoRow(EngineCoordinator* coordinator, RecentVideos::Entry entry, QWidget* parent = nullptr);

    const RecentVideos::Entry& entry() const { return m_entry; }
    SidebarRowContent* content() const { return m_content; }
    // "Remove".
    QMenu* contextMenu();
    // What a click does: reopen the entry, or park the reopening for the replace confirmation.
    void open();

    QSize sizeHint() const override;
    // As tall as its texts wrapped to the width given (at least 44).
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPointer<EngineCoordinator> m_coordinator;
    RecentVideos::Entry m_entry;
    SidebarRowContent* m_content;
    QPointer<QMenu> m_menu;
};

// One batch job; its context menu copies or shows a finished video, and removes the job.
class QueueRow : public SidebarRowContent {
    Q_OBJECT
public:
    QueueRow(BatchQueueManager* queue, BatchJob job, QImage thumbnail, FileRevealer revealer,
             QWidget* parent = nullptr);

    const BatchJob& job() const { return m_job; }
    // Shows the job's new state (the same job, or another in this place of the list).
    void setJob(BatchJob job, QImage thumbnail);
    // For a completed job "Copy File" and "Show in Folder", then always "Remove" (disabled while
    // the job is working).
    QMenu* contextMenu();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPointer<BatchQueueManager> m_queue;
    BatchJob m_job;
    FileRevealer m_reveal;
    QPointer<QMenu> m_menu;
};

} // namespace hf
