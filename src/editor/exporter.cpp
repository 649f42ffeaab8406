#include "editor/exporter.h"

#include "coordinator/engine_coordinator.h"
#include "coordinator/export_temporaries.h"
#include "editor/export_options.h"
#include "pipeline/media_error.h"
#include "platform/logging.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/palette.h"
#include "ui_kit/screen_fit.h"
#include "ui_kit/question_card.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QToolButton>
#include <QTreeView>
#include <QUuid>
#include <QVBoxLayout>

#include <cerrno>
#include <cmath>

namespace hf {

HF_LOGGING_CATEGORY(lcExporter, "Exporter")

namespace {

// The copy of `source` written under a temporary name beside `destination` (so that it is
// renamed into place on the destination's own file system); empty when both name the same file
// (there is nothing to copy). Throws FileSystemError naming the cause, or hf::Cancelled when
// `stop` is requested; a partial temporary file is removed either way.
QString copyToTemporary(const QString& source, const QString& destination, const std::stop_token& stop)
{
    const QFileInfo from(source);
    const QFileInfo to(destination);
    if (to.exists() && from.exists() && from.canonicalFilePath() == to.canonicalFilePath())
        return {};
    return ExportTemporaries::copyBeside(source, destination, stop);
}

// `path` with the extension of the container written: a movie extension that names another
// container is replaced, any other name gets the extension added.
QString withContainerExtension(const QString& path, const QString& extension)
{
    if (extension.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    if (suffix.compare(extension, Qt::CaseInsensitive) == 0)
        return path;
    if (!suffix.isEmpty() && SourceVideo::isSupported(QUrl::fromLocalFile(path)))
        return info.dir().filePath(info.completeBaseName() + QLatin1Char('.') + extension);
    return path + QLatin1Char('.') + extension;
}

} // namespace

// The question before files already at the destination are replaced.
class ReplaceFilesQuestion final : public ui::QuestionCard {
public:
    ReplaceFilesQuestion(QWidget* window, const QString& message, std::function<void(bool)> answer)
        : ui::QuestionCard(window, text("ui.export.replace.title", "Replace existing files?")),
          m_answer(std::move(answer))
    {
        setObjectName(QStringLiteral("export.replaceQuestion"));
        card()->setObjectName(QStringLiteral("export.replaceCard"));
        messageLabel()->setObjectName(QStringLiteral("export.replaceMessage"));
        // Keeping the files is the default: Return, or a key held, never overwrites them.
        auto* cancel = new ui::InkButton(text("ui.common.cancel", "Cancel"));
        cancel->setObjectName(QStringLiteral("export.keep"));
        cancel->setMinHeight(34);
        auto* replace = new ui::QuietButton(text("ui.export.replace.confirm", "Replace"));
        replace->setObjectName(QStringLiteral("export.replace"));
        replace->setMinHeight(34);
        addAnswer(cancel);
        addAnswer(replace);
        setAnswers(cancel, cancel);
        setMessage(message);
        connect(replace, &QAbstractButton::clicked, this, [this] { finish(true); });
        connect(cancel, &QAbstractButton::clicked, this, [this] { finish(false); });
        present();
        cancel->setFocus();
    }

protected:
    void escapePressed() override { finish(false); }

private:
    void finish(bool replace)
    {
        hide();
        deleteLater();
        if (auto answer = std::exchange(m_answer, nullptr))
            answer(replace);
    }

    std::function<void(bool)> m_answer;
};

// ---- FileExportSaveDialog

FileExportSaveDialog::FileExportSaveDialog(QWidget* parent) : m_parent(parent) {}

FileExportSaveDialog::~FileExportSaveDialog()
{
    dismiss();
}

namespace {

// Qt's dialog is laid out for small text: at large text sizes its least size cuts its labels,
// fields and column headings. It is given the room its texts need in the font it shows.
void fitToText(QFileDialog* dialog, const QString& fileName)
{
    const QFontMetrics metrics(dialog->font());
    const int em = metrics.horizontalAdvance(u'M');
    int labels = 0;
    for (const QLabel* label : dialog->findChildren<QLabel*>())
        labels = std::max(labels, metrics.horizontalAdvance(label->text().remove(u'&')));
    int buttons = 0;
    for (const QAbstractButton* button : dialog->findChildren<QPushButton*>())
        buttons = std::max(buttons, metrics.horizontalAdvance(button->text().remove(u'&')));
    int fields = metrics.horizontalAdvance(fileName);
    for (const QString& filter : dialog->nameFilters())
        fields = std::max(fields, metrics.horizontalAdvance(filter));
    // The folder it starts in is shown whole too, unless its path is very long, beside the
    // navigation buttons of its row.
    const QString folder = QDir::toNativeSeparators(dialog->directory().absolutePath());
    int tools = 0;
    for (const QToolButton* tool : dialog->findChildren<QToolButton*>())
        tools += tool->sizeHint().width() + em / 2;
    const int rows = std::max(fields + buttons, std::min(metrics.horizontalAdvance(folder), 30 * em) + tools);
    dialog->setMinimumSize(std::max(labels + rows + 6 * em, 36 * em), 18 * metrics.height());
    if (auto* files = dialog->findChild<QTreeView*>(QStringLiteral("treeView")))
        files->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // The places beside the files show their names whole.
    if (auto* split = dialog->findChild<QSplitter*>(QStringLiteral("splitter")); split && split->count() == 2) {
        int places = 0;
        if (auto* list = qobject_cast<QAbstractItemView*>(split->widget(0)); list && list->model())
            for (int row = 0; row < list->model()->rowCount(); ++row)
                places = std::max(places, metrics.horizontalAdvance(list->model()->index(row, 0).data().toString()));
        // Its icon, the gaps and a scroll bar beside the longest name.
        const int side = places + metrics.height() + 3 * em;
        split->widget(0)->setMinimumWidth(side);
    }
    dialog->resize(dialog->size().expandedTo(dialog->minimumSize()));
}

// Qt's dialog, which accepts a name only in a folder that exists: a name typed with a folder
// part (relative names are read from the folder shown) that leads nowhere keeps the dialog open
// and says which folder is not there, rather than failing the export once it is written.
class ExportFileDialog final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QFileInfo chosen(files.first());
            const QFileInfo folder(chosen.absolutePath());
            // A folder typed as the name is opened by the dialog itself.
            if (!chosen.isDir() && !folder.isDir()) {
                const QString message =
                    text("ui.export.noFolder", "There is no folder \u201c%@\u201d. Choose a folder that exists.",
                         {QDir::toNativeSeparators(folder.absoluteFilePath())});
                auto* box = new QMessageBox(QMessageBox::Warning, text("ui.export.noFolder.title", "No such folder"),
                                            message, QMessageBox::Ok, this);
                box->setObjectName(QStringLiteral("export.noFolder"));
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->open();
                return;
            }
        }
        QFileDialog::accept();
    }
};

} // namespace

void FileExportSaveDialog::open(const Request& request, Answer answer)
{
    dismiss();
    auto* dialog = new ExportFileDialog(m_parent);
    m_dialog = dialog;
    dialog->setObjectName(QStringLiteral("export.dialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Qt's own dialog, so that it can carry the two options on every desktop.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    // The exporter asks once about every file it would replace, the video's included.
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setFileMode(QFileDialog::AnyFile);
    if (!request.extension.isEmpty()) {
        dialog->setNameFilter(text("ui.export.fileType", "Video (*.%@)", {request.extension}));
        dialog->setDefaultSuffix(request.extension);
    }
    if (!request.directory.isEmpty())
        dialog->setDirectory(request.directory);
    dialog->selectFile(request.fileName);

    auto* options = new QWidget(dialog);
    auto* column = new QVBoxLayout(options);
    column->setContentsMargins(20, 10, 20, 10);
    column->setSpacing(6);
    auto* audio = new QCheckBox(text("ui.export.alsoAudio", "Also save the clean audio"), options);
    audio->setObjectName(QStringLiteral("export.option.audio"));
    audio->setChecked(request.includeAudio);
    auto* stems = new QCheckBox(text("ui.export.option.stems", "Also save stems as FLAC"), options);
    stems->setObjectName(QStringLiteral("export.option.stems"));
    stems->setChecked(request.includeStems);
    // The desktop style draws a check box's outline from the window colour, which on the dark
    // palette leaves the box all but invisible; a lighter window colour gives it an outline.
    for (QCheckBox* box : {audio, stems}) {
        QPalette palette = box->palette();
        palette.setColor(QPalette::Window, ui::color(ui::ColorName::SecondaryText));
        box->setPalette(palette);
    }
    column->addWidget(audio);
    column->addWidget(stems);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout()))
        grid->addWidget(options, grid->rowCount(), 0, 1, grid->columnCount());
    else if (dialog->layout())
        dialog->layout()->addWidget(options);
    fitToText(dialog, request.fileName);
    // No larger than the screen it opens on: below the size its texts would like, its lists
    // scroll and its fields scroll their texts.
    ui::fitToWorkArea(dialog, dialog->size());

    // Set once the dialog answered, or was dismissed without an answer.
    auto answered = std::make_shared<bool>(false);
    m_dialogAnswered = answered;
    QObject::connect(dialog, &QFileDialog::accepted, dialog, [dialog, audio, stems, answer, answered] {
        if (std::exchange(*answered, true))
            return;
        const QStringList files = dialog->selectedFiles();
        if (files.isEmpty()) {
            answer(std::nullopt);
            return;
        }
        answer(ExportSaveDialog::Choice{files.first(), audio->isChecked(), stems->isChecked()});
    });
    QObject::connect(dialog, &QFileDialog::rejected, dialog, [answer, answered] {
        if (!std::exchange(*answered, true))
            answer(std::nullopt);
    });
    dialog->open();
}

namespace {

// How a question names the folder: by its own name, or whole where it has none (a root).
QString folderShown(const QString& folder)
{
    return QDir(folder).dirName().isEmpty() ? folder : QDir(folder).dirName();
}

QString quotedList(const QStringList& names)
{
    QStringList quoted;
    for (const QString& name : names)
        quoted << QStringLiteral("\u201c%1\u201d").arg(name);
    return quoted.join(QStringLiteral(", "));
}

} // namespace

QString ExportSaveDialog::replacingMessage(const QString& folder, const QStringList& names)
{
    if (names.size() == 1)
        return text("ui.export.replace.one", "\u201c%@\u201d already exists in \u201c%@\u201d. Saving replaces it.",
                    {names.front(), folderShown(folder)});
    return text("ui.export.replace.several", "These files already exist in \u201c%@\u201d. Saving replaces them: %@.",
                {folderShown(folder), quotedList(names)});
}

QString ExportSaveDialog::existingFilesSentence(const QString& folder, const QStringList& names)
{
    if (names.size() == 1)
        return text("ui.export.exists.one", "\u201c%@\u201d already exists in \u201c%@\u201d.", {names.front(), folderShown(folder)});
    return text("ui.export.exists.several", "These files already exist in \u201c%@\u201d: %@.",
                {folderShown(folder), quotedList(names)});
}

void FileExportSaveDialog::confirmReplacing(const QString& folder, const QStringList& names,
                                            std::function<void(bool)> answer)
{
    askReplacing(replacingMessage(folder, names), std::move(answer));
}

void FileExportSaveDialog::askReplacing(const QString& message, std::function<void(bool)> answer)
{
    // Set once the question answered, or was dismissed without an answer.
    auto answered = std::make_shared<bool>(false);
    m_questionAnswered = answered;
    if (m_parent && m_parent->window()) {
        m_question = new ReplaceFilesQuestion(m_parent->window(), message, [answer, answered](bool replace) {
            if (!std::exchange(*answered, true))
                answer(replace);
        });
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Question, text("ui.export.replace.title", "Replace existing files?"),
                                message, QMessageBox::NoButton);
    box->setObjectName(QStringLiteral("export.replaceQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* replace = box->addButton(text("ui.export.replace.confirm", "Replace"), QMessageBox::DestructiveRole);
    box->setDefaultButton(box->addButton(text("ui.common.cancel", "Cancel"), QMessageBox::RejectRole));
    QObject::connect(box, &QMessageBox::finished, box, [box, replace, answer, answered] {
        if (!std::exchange(*answered, true))
            answer(box->clickedButton() == replace);
    });
    m_question = box;
    box->open();
}

void FileExportSaveDialog::dismiss()
{
    // The answers are silenced rather than the widgets' connections cut: a widget's connections
    // include the ones through which others (the accessibility cache among them) learn of its end.
    for (std::shared_ptr<bool>* answered : {&m_questionAnswered, &m_dialogAnswered})
        if (const std::shared_ptr<bool> flag = std::exchange(*answered, nullptr))
            *flag = true;
    if (m_question) {
        QWidget* question = m_question;
        m_question = nullptr;
        question->hide();
        question->deleteLater();
    }
    if (!m_dialog)
        return;
    QFileDialog* dialog = m_dialog;
    m_dialog = nullptr;
    dialog->close();
    dialog->deleteLater();
}

// ---- Exporter

Exporter::Exporter(SettingsStore* defaults, QObject* parent)
    : QObject(parent),
      m_defaults(defaults),
      m_dialog(std::make_unique<FileExportSaveDialog>()),
      m_reveal(systemFileRevealer()),
      m_task(lcExporter(), QStringLiteral("Export"))
{
}

Exporter::~Exporter()
{
    m_task.cancel();
    if (m_dialog)
        m_dialog->dismiss();
}

void Exporter::setState(State state)
{
    if (m_state == state)
        return;
    // A saved state follows its mix only until it is replaced.
    for (QMetaObject::Connection& watch : m_savedMixWatch)
        disconnect(watch);
    m_state = std::move(state);
    Q_EMIT stateChanged();
}

void Exporter::followSavedMix(EngineCoordinator* coordinator, const QUuid& resultID, double ambience)
{
    const auto check = [this, coordinator, resultID, ambience] {
        const std::optional<SeparationResult>& current = coordinator->currentResult();
        // Closer levels than the re-mix's own tolerance give the same mix.
        const bool sameMix = current && current->id == resultID
                             && std::abs(coordinator->settings().ambience - ambience) <= 0.001;
        if (!sameMix && m_state.kind == State::Kind::saved)
            setState(State::idle());
    };
    m_savedMixWatch[0] = connect(coordinator, &EngineCoordinator::settingsChanged, this, check);
    m_savedMixWatch[1] = connect(coordinator, &EngineCoordinator::currentResultChanged, this, check);
}

void Exporter::setSaveDialog(std::unique_ptr<ExportSaveDialog> dialog)
{
    if (m_dialog)
        m_dialog->dismiss();
    m_dialog = std::move(dialog);
}

void Exporter::exportResult(EngineCoordinator* coordinator, std::function<void()> onSaved)
{
    if (m_state.kind == State::Kind::rendering || !coordinator)
        return;
    setState(State::rendering());
    const quint64 generation = ++m_generation;
    QPointer<EngineCoordinator> target(coordinator);
    m_task.start([this, target, onSaved = std::move(onSaved), generation](std::stop_token stop) {
        return run(target, onSaved, generation, stop);
    });
}

void Exporter::cancel()
{
    ++m_generation;
    m_task.cancel();
    if (m_dialog)
        m_dialog->dismiss();
    setState(State::idle());
}

void Exporter::showSaved()
{
    if (m_state.kind == State::Kind::saved && m_reveal)
        m_reveal(m_state.savedPath);
}

void Exporter::copyReplacing(const QString& source, const QString& destination, std::stop_token stop)
{
    ExportTemporaries::placeAll({{copyToTemporary(source, destination, stop), destination}});
}

QString Exporter::videoPathFor(const QString& chosen, const QString& extension)
{
    return withContainerExtension(chosen, extension);
}

std::vector<Exporter::Copy> Exporter::plannedCopies(const ExportBundle& bundle, const ExportSaveDialog::Choice& choice,
                                                    const QString& baseName)
{
    const QDir folder = QFileInfo(choice.path).absoluteDir();
    std::vector<Copy> copies{{bundle.videoURL.toLocalFile(), choice.path}};
    if (choice.includeAudio) {
        const QString audio = bundle.audioURL.toLocalFile();
        copies.push_back({audio, folder.filePath(QFileInfo(audio).fileName())});
    }
    if (choice.includeStems) {
        for (const QUrl& stem : bundle.stemURLs) {
            const QFileInfo info(stem.toLocalFile());
            QString name = baseName + QLatin1Char(' ') + info.completeBaseName();
            if (!info.suffix().isEmpty())
                name += QLatin1Char('.') + info.suffix();
            copies.push_back({info.filePath(), folder.filePath(name)});
        }
    }
    return copies;
}

QCoro::Task<void> Exporter::run(QPointer<EngineCoordinator> coordinator, std::function<void()> onSaved,
                                quint64 generation, std::stop_token stop)
{
    // Checked after every wait. A stopped token comes first: the exporter may be gone by then.
    const auto superseded = [this, &stop, generation] {
        return stop.stop_requested() || generation != m_generation;
    };

    if (!coordinator) {
        setState(State::idle());
        co_return;
    }
    const std::optional<QUuid> resultID =
        coordinator->currentResult() ? std::optional<QUuid>(coordinator->currentResult()->id) : std::nullopt;
    const AudioQuality quality = coordinator->settings().audioQuality;
    // The level the export is mixed at: the one on screen as it starts.
    const double ambience = coordinator->settings().ambience;

    ExportBundle bundle;
    std::optional<QString> failure;
    bool cancelled = false;
    bool changedSource = false;
    try {
        // The bar moves as the preparation goes; a report of an export that was superseded is
        // dropped (it may come while this one's dialog is already open).
        auto preparing = coordinator->prepareExport(quality, stop, [this, generation, stop](double fraction) {
            if (!stop.stop_requested() && generation == m_generation && m_state.kind == State::Kind::rendering
                && m_state.preparing)
                setState(State::rendering(fraction));
        });
        bundle = co_await std::move(preparing);
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (const MediaError& e) {
        failure = describe(e);
        changedSource = e.errorCase() == MediaError::Case::sourceChanged;
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    // The export's working copies go when it ends, however it ends; a video saved onto its own
    // working copy stays.
    struct WorkingCopies {
        ExportBundle bundle;
        QStringList keep;
        ~WorkingCopies() { EngineCoordinator::discardExportFiles(bundle, keep); }
    } workingCopies{bundle, {}};
    if (superseded())
        co_return;
    if (cancelled || !coordinator) {
        setState(State::idle());
        co_return;
    }
    if (failure) {
        qCWarning(lcExporter, "Export failed: %s", qUtf8Printable(*failure));
        setState(State::failed(*failure, changedSource));
        co_return;
    }

    const QString baseName = coordinator->source()
                                 ? QFileInfo(coordinator->source()->url.toLocalFile()).completeBaseName()
                                 : QStringLiteral("Hushframe");
    const QFileInfo video(bundle.videoURL.toLocalFile());
    ExportSaveDialog::Request request;
    request.directory = ExportPreferences::folderPath(*m_defaults);
    request.fileName = video.fileName();
    request.extension = video.suffix();
    request.includeAudio = ExportPreferences::includeAudio(*m_defaults);
    request.includeStems = ExportPreferences::includeStems(*m_defaults);

    // Prepared: what the window held back while it prepared ends before the dialog opens.
    setState(State::saving());
    using Answer = std::optional<ExportSaveDialog::Choice>;
    auto answer = std::make_shared<SharedResult<Answer>>();
    m_dialog->open(request, [answer](Answer choice) { answer->resolve(std::move(choice)); });
    Answer choice;
    try {
        auto waiting = answer->wait(stop);
        choice = co_await std::move(waiting);
    } catch (const Cancelled&) {
        co_return;
    }
    if (superseded())
        co_return;
    if (!choice) {
        setState(State::idle());
        co_return;
    }
    // A name typed with another movie extension still gets the container's own.
    choice->path = withContainerExtension(choice->path, request.extension);
    m_defaults->setValue(QString::fromLatin1(ExportPreferences::includeAudioKey), choice->includeAudio);
    m_defaults->setValue(QString::fromLatin1(ExportPreferences::includeStemsKey), choice->includeStems);

    // Files already where this export would put them are replaced only when the user says so,
    // asked once for all of them; any other file is put only where nothing is.
    const std::vector<Copy> copies = plannedCopies(bundle, *choice, baseName);
    QStringList replaced;
    QStringList mayReplace;
    for (const Copy& copy : copies) {
        const QFileInfo destination(copy.destination);
        const QFileInfo source(copy.source);
        if ((destination.exists() || destination.isSymLink())
            && !(source.exists() && source.canonicalFilePath() == destination.canonicalFilePath())) {
            replaced << destination.fileName();
            mayReplace << copy.destination;
        }
    }
    if (!replaced.isEmpty()) {
        auto replying = std::make_shared<SharedResult<bool>>();
        m_dialog->confirmReplacing(QFileInfo(choice->path).absolutePath(), replaced,
                                   [replying](bool replace) { replying->resolve(replace); });
        bool replace = false;
        try {
            auto waiting = replying->wait(stop);
            replace = co_await std::move(waiting);
        } catch (const Cancelled&) {
            co_return;
        }
        if (superseded())
            co_return;
        if (!replace) {
            setState(State::idle());
            co_return;
        }
    }

    // Every file is first copied off the main thread under a temporary name beside its
    // destination; only when all are complete are they renamed into place, together. A failure
    // or a stop leaves the destination folder as it was.
    std::vector<ExportTemporaries::Placement> placements;
    const auto discardTemporaries = [&placements] {
        for (const ExportTemporaries::Placement& p : placements)
            if (!p.temporary.isEmpty())
                ExportTemporaries::discard(p.temporary);
    };
    for (const Copy& copy : copies) {
        QString temporary;
        cancelled = false;
        try {
            auto work = [copy, stop] { return copyToTemporary(copy.source, copy.destination, stop); };
            // The token is not handed to runOffThread: the copy answers a stop itself, and a
            // finished temporary file must come back here to be removed.
            auto copying = runOffThread(std::stop_token{}, std::move(work));
            temporary = co_await std::move(copying);
        } catch (const Cancelled&) {
            cancelled = true;
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        placements.push_back({temporary, copy.destination, mayReplace.contains(copy.destination)});
        if (cancelled || superseded()) {
            discardTemporaries();
            co_return;
        }
        if (failure)
            break;
    }
    if (failure) {
        discardTemporaries();
    } else {
        // Every temporary file is placed or gone afterwards.
        try {
            ExportTemporaries::placeAll(placements);
        } catch (const std::exception& e) {
            failure = describe(e);
        }
    }
    if (failure) {
        qCWarning(lcExporter, "Saving the export failed: %s", qUtf8Printable(*failure));
        setState(State::failed(*failure));
        co_return;
    }

    for (const ExportTemporaries::Placement& p : placements)
        workingCopies.keep << p.destination;
    setState(State::saved(choice->path));
    if (coordinator && resultID)
        followSavedMix(coordinator, *resultID, ambience);
    // Only the result this export was made from counts as exported.
    if (coordinator && resultID && coordinator->currentResult() && coordinator->currentResult()->id == *resultID)
        coordinator->noteExported();
    if (m_reveal)
        m_reveal(choice->path);
    if (onSaved)
        onSaved();
}

} // namespace hf
