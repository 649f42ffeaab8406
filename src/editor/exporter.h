#pragma once

// Saves the open video's full clean where the user chooses: the verified video, and optionally
// the clean soundtrack and the stems beside it, then shows the video in the file manager. One
// export at a time; its progress, result or failure is the observed `state`.
//
// Main thread only. The application creates one Exporter for the main window's lifetime and
// calls exportResult() from the window (when the coordinator asks for the export sheet) and from
// the sidebar, and cancel() whenever the open video changes. It needs only the settings store
// (the two "Also save" options are read and written there); the save dialog and the file
// manager call have working defaults and can be replaced (tests script them). The window gives
// the dialog its parent with setSaveDialog(std::make_unique<FileExportSaveDialog>(window)).

#include "editor/desktop_reveal.h"
#include "platform/async.h"
#include "platform/settings_store.h"

#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>


namespace hf {

class EngineCoordinator;
struct ExportBundle;

// Where an export is saved: shown without blocking, it answers once through a callback.
class ExportSaveDialog {
public:
    struct Request {
        QString directory;          // the folder to start in
        QString fileName;           // the suggested name of the video
        QString extension;          // the video's extension, without the dot
        bool includeAudio = false;  // the two options' initial states
        bool includeStems = false;
    };
    struct Choice {
        QString path;               // the video's path
        bool includeAudio = false;
        bool includeStems = false;
    };
    using Answer = std::function<void(std::optional<Choice>)>;

    virtual ~ExportSaveDialog() = default;
    // Shows the dialog; `answer` runs once with the choice, or with none when the user cancels.
    // The dialog itself does not ask about files already there: the exporter asks once, with
    // confirmReplacing(), about every file the export would replace.
    virtual void open(const Request& request, Answer answer) = 0;
    // Asks whether the files `names` (file names, in the save order) already in `folder` (a path)
    // may be replaced; `answer` runs once with the reply (false when the question is dismissed).
    // A stand-in that scripts no such question replaces them.
    virtual void confirmReplacing(const QString& folder, const QStringList& names, std::function<void(bool)> answer)
    {
        (void)folder;
        (void)names;
        answer(true);
    }
    // Closes a shown dialog or question without answering; nothing when none is shown.
    virtual void dismiss() = 0;

    // The question's text for `names` in `folder`.
    static QString replacingMessage(const QString& folder, const QStringList& names);
    // Its first sentence alone, which names the files: for a question that goes on in its own words.
    static QString existingFilesSentence(const QString& folder, const QStringList& names);
};

// The save dialog of the desktop, drawn by Qt so that it can carry the two options.
class FileExportSaveDialog final : public ExportSaveDialog {
public:
    // `parent` is the window the dialog belongs to (may be null, or set later).
    explicit FileExportSaveDialog(QWidget* parent = nullptr);
    ~FileExportSaveDialog() override;
    void setParentWindow(QWidget* parent) { m_parent = parent; }

    void open(const Request& request, Answer answer) override;
    // Asks on a card over the parent window (a message box without one).
    void confirmReplacing(const QString& folder, const QStringList& names, std::function<void(bool)> answer) override;
    // The same question in words of the caller's, which say what Replace and Cancel do.
    void askReplacing(const QString& message, std::function<void(bool)> answer);
    void dismiss() override;

    // The dialog while it is shown (tests and screenshots).
    QFileDialog* dialog() const { return m_dialog; }
    // The question about files already there, while it is shown.
    QWidget* replaceQuestion() const { return m_question; }

private:
    QPointer<QWidget> m_parent;
    QPointer<QFileDialog> m_dialog;
    QPointer<QWidget> m_question;
    // Set to silence the shown dialog's and question's answers when they are dismissed.
    std::shared_ptr<bool> m_dialogAnswered;
    std::shared_ptr<bool> m_questionAnswered;
};

class Exporter : public QObject {
    Q_OBJECT
    Q_PROPERTY(hf::Exporter::State state READ state NOTIFY stateChanged)

public:
    struct State {
        enum class Kind { idle, rendering, saved, failed };
        Kind kind = Kind::idle;
        QString savedPath;   // saved: the video's path
        QString message;     // failed: the text shown as it stands
        // failed: the video changed on disk since it was cleaned; cleaning it again helps.
        bool offersCleanAgain = false;
        // rendering: how far the preparation of the files has come, 0...1.
        double fraction = 0;
        // rendering: the files are still being prepared; the save dialog has not opened yet.
        bool preparing = false;

        static State idle() { return {}; }
        static State rendering(double fraction = 0) { return {Kind::rendering, {}, {}, false, fraction, true}; }
        // rendering once the files are prepared: the save dialog, its question, the copies.
        static State saving() { return {Kind::rendering, {}, {}, false, 1.0, false}; }
        static State saved(QString path) { return {Kind::saved, std::move(path), {}}; }
        static State failed(QString message, bool offersCleanAgain = false)
        {
            return {Kind::failed, {}, std::move(message), offersCleanAgain};
        }
        bool operator==(const State&) const = default;
    };

    // `defaults` is not owned and must outlive the exporter.
    explicit Exporter(SettingsStore* defaults, QObject* parent = nullptr);
    ~Exporter() override;

    const State& state() const { return m_state; }
    // Signals only on a real change.
    void setState(State state);

    // Replaces the save dialog (the default is a FileExportSaveDialog without a parent window).
    void setSaveDialog(std::unique_ptr<ExportSaveDialog> dialog);
    ExportSaveDialog* saveDialog() const { return m_dialog.get(); }
    // Replaces the file manager call made after a save and by showSaved().
    void setRevealer(FileRevealer revealer) { m_reveal = std::move(revealer); }

    // Starts an export of the coordinator's current full result; `onSaved` runs once after a
    // successful save. Ignored while an export is rendering. Returns at once. The saved state
    // lasts while the coordinator's result and ambience level are the ones saved: once the mix
    // changes, the file no longer holds it and the state returns to idle.
    void exportResult(EngineCoordinator* coordinator, std::function<void()> onSaved = {});
    // Stops the running export (its dialog closes, its partial copy is removed, nothing more is
    // written) and returns to idle.
    void cancel();
    // Shows the saved video in the file manager; nothing unless the state is saved.
    void showSaved();

    // Copies `source` to `destination` through a temporary file in the destination's folder that
    // is renamed over it only when complete; nothing is left behind when the copy fails or
    // `stop` is requested (hf::Cancelled). Copying a file onto itself does nothing. Throws
    // FileSystemError naming the cause. Blocking: run it off the main thread.
    static void copyReplacing(const QString& source, const QString& destination, std::stop_token stop = {});
    // Where the video is saved for the path chosen in the dialog: with the extension of the
    // container written (`extension`, without the dot).
    static QString videoPathFor(const QString& chosen, const QString& extension);

Q_SIGNALS:
    void stateChanged();

private:
    struct Copy {
        QString source;
        QString destination;
    };
    QCoro::Task<void> run(QPointer<EngineCoordinator> coordinator, std::function<void()> onSaved,
                          quint64 generation, std::stop_token stop);
    // The video, then the audio and the stems as chosen, in that order.
    static std::vector<Copy> plannedCopies(const ExportBundle& bundle, const ExportSaveDialog::Choice& choice,
                                           const QString& baseName);

    // Keeps the saved state while `coordinator` still has the mix that was saved.
    void followSavedMix(EngineCoordinator* coordinator, const QUuid& resultID, double ambience);

    SettingsStore* m_defaults;
    std::unique_ptr<ExportSaveDialog> m_dialog;
    QMetaObject::Connection m_savedMixWatch[2];
    FileRevealer m_reveal;
    State m_state;
    // Counts exports; a task whose number is not the latest writes nothing more.
    quint64 m_generation = 0;
    TaskSlot m_task;
};

} // namespace hf

Q_DECLARE_METATYPE(hf::Exporter::State)
