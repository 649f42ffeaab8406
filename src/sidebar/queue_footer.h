#pragma once

// The control strip at the bottom of the video sidebar: the batch queue's last error, the outcome
// of the last "Export all completed...", and the queue's commands (add videos, start or stop, and
// a More menu that retries, clears and exports). It keeps no queue logic: every command calls the
// batch queue or the coordinator, and what it shows follows their state.
//
// "Export all completed..." asks for a folder through a FolderChooser (tests answer it), then,
// when files of the outputs' names are already there, asks once whether to replace them (the
// export's own question, keeping them by default), then copies the completed videos there on a
// worker thread while the footer says so; the window stays responsive however large the files
// are. When the copies are done the folder is shown in the file manager.

#include "editor/desktop_reveal.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <qcoro/qcorotask.h>

class QLabel;
class QMenu;

namespace hf {

struct BatchJob;
class BatchQueueManager;
class EngineCoordinator;
class FileExportSaveDialog;
class SettingsStore;

namespace ui {
class AdaptiveStack;
class InkButton;
class QuietButton;
} // namespace ui

// Asks the user for a folder without blocking: the answer comes once to the callback, with the
// folder's path or with nothing when the user cancelled.
class FolderChooser {
public:
    struct Request {
        QString title;
        QString startFolder;   // empty: the chooser's own default
        QString acceptLabel;   // the confirm button's title
    };
    using Answer = std::function<void(std::optional<QString> folder)>;

    virtual ~FolderChooser() = default;
    virtual void choose(QWidget* parent, const Request& request, Answer answer) = 0;
};

// The desktop's folder chooser, window-modal over the parent window.
class DialogFolderChooser final : public FolderChooser {
public:
    ~DialogFolderChooser() override;
    void choose(QWidget* parent, const Request& request, Answer answer) override;

private:
    QPointer<QWidget> m_dialog;
};

class QueueFooter : public QWidget {
    Q_OBJECT

public:
    // None of the pointers is owned. `defaults` gives the folder the chooser starts in.
    QueueFooter(EngineCoordinator* coordinator, BatchQueueManager* queue, SettingsStore* defaults,
                QWidget* parent = nullptr);
    ~QueueFooter() override;

    // Replaces the folder chooser (the default is the desktop's).
    void setFolderChooser(std::unique_ptr<FolderChooser> chooser);
    // Replaces the file manager call made after an export.
    void setRevealer(FileRevealer revealer) { m_reveal = std::move(revealer); }

    // The outcome of the last export; nothing before the first.
    const std::optional<QString>& exportMessage() const { return m_exportMessage; }
    bool isExporting() const { return m_exporting; }

    // The controls, for tests: the wide primary buttons, the add icon and the More button.
    ui::QuietButton* addButton() const { return m_add; }
    ui::QuietButton* stopButton() const { return m_stop; }
    ui::InkButton* startButton() const { return m_start; }
    ui::QuietButton* addIcon() const { return m_addIcon; }
    ui::QuietButton* moreButton() const { return m_more; }
    QLabel* errorLabel() const { return m_error; }
    QLabel* messageLabel() const { return m_message; }
    ui::AdaptiveStack* controlRow() const { return m_controls; }
    // The More menu as it would show now (a new menu each call; not shown).
    QMenu* moreMenu();

    // Asks for the folder and copies every completed video into it.
    void exportAllCompleted();
    // The question about files already in the chosen folder, while it is shown.
    QWidget* replaceQuestion() const;

private:
    void refresh();
    void addVideos();
    void showMoreMenu();
    // Copies the completed videos among `jobs` (a snapshot) into `folder`.
    QCoro::Task<void> copyInto(QString folder, std::vector<BatchJob> jobs, bool replaceExisting);

    QPointer<EngineCoordinator> m_coordinator;
    QPointer<BatchQueueManager> m_queue;
    SettingsStore* m_defaults;
    std::unique_ptr<FolderChooser> m_chooser;
    // Asks before files in the chosen folder are replaced.
    std::unique_ptr<FileExportSaveDialog> m_replacing;
    FileRevealer m_reveal;

    QLabel* m_error;
    QLabel* m_message;
    ui::AdaptiveStack* m_controls;
    ui::QuietButton* m_add;
    ui::QuietButton* m_stop;
    ui::InkButton* m_start;
    ui::QuietButton* m_addIcon;
    ui::QuietButton* m_more;

    std::optional<QString> m_exportMessage;
    bool m_exporting = false;
};

} // namespace hf
