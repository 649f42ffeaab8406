#include "editor/exporter.h"

#include "coordinator/engine_coordinator.h"
#include "editor/export_options.h"
#include "pipeline/media_error.h"
#include "platform/logging.h"
#include "platform/texts.h"
#include "ui_kit/palette.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QUuid>
#include <QVBoxLayout>

#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace hf {

HF_LOGGING_CATEGORY(lcExporter, "Exporter")

namespace {

constexpr qint64 copyChunk = 4 * 1024 * 1024;

QString shortToken()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
}

// The copy of `source` written under a temporary name beside `destination`; empty when both
// name the same file (there is nothing to copy). Throws FileSystemError, or hf::Cancelled when
// `stop` is requested; a partial temporary file is removed either way.
QString copyToTemporary(const QString& source, const QString& destination, const std::stop_token& stop)
{
    const QFileInfo from(source);
    const QFileInfo to(destination);
    if (to.exists() && from.exists() && from.canonicalFilePath() == to.canonicalFilePath())
        return {};

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw FileSystemError(
            text("error.export.read", "Couldn't read %@: %@", {from.fileName(), in.errorString()}));
    const QString temporary =
        QDir(to.absolutePath()).filePath(QStringLiteral(".%1.%2.part").arg(to.fileName(), shortToken()));
    QFile out(temporary);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw FileSystemError(
            text("error.export.write", "Couldn't save %@: %@", {to.fileName(), out.errorString()}));

    const auto fail = [&](const QString& reason) {
        out.close();
        QFile::remove(temporary);
        throw FileSystemError(text("error.export.write", "Couldn't save %@: %@", {to.fileName(), reason}));
    };
    QByteArray buffer;
    buffer.resize(copyChunk);
    for (;;) {
        if (stop.stop_requested()) {
            out.close();
            QFile::remove(temporary);
            throw Cancelled();
        }
        const qint64 n = in.read(buffer.data(), buffer.size());
        if (n < 0) {
            out.close();
            QFile::remove(temporary);
            throw FileSystemError(
                text("error.export.read", "Couldn't read %@: %@", {from.fileName(), in.errorString()}));
        }
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n)
            fail(out.errorString());
    }
    // The data reaches the disk before the name does, so a crash never leaves a short file under
    // the user's name.
    if (!out.flush() || ::fsync(out.handle()) != 0)
        fail(out.errorString());
    out.close();
    if (out.error() != QFileDevice::NoError)
        fail(out.errorString());
    return temporary;
}

// Renames a finished temporary copy over `destination` (replacing what is there). Throws
// FileSystemError; the temporary file is removed when the rename fails.
void commitCopy(const QString& temporary, const QString& destination)
{
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(temporary.toStdString()),
                            std::filesystem::path(destination.toStdString()), error);
    if (error) {
        QFile::remove(temporary);
        throw FileSystemError(text("error.export.write", "Couldn't save %@: %@",
                                   {QFileInfo(destination).fileName(), QString::fromStdString(error.message())}));
    }
}

} // namespace

// ---- FileExportSaveDialog

FileExportSaveDialog::FileExportSaveDialog(QWidget* parent) : m_parent(parent) {}

FileExportSaveDialog::~FileExportSaveDialog()
{
    dismiss();
}

void FileExportSaveDialog::open(const Request& request, Answer answer)
{
    dismiss();
    auto* dialog = new QFileDialog(m_parent);
    m_dialog = dialog;
    dialog->setObjectName(QStringLiteral("export.dialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Qt's own dialog, so that it can carry the two options on every desktop.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
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

    auto answered = std::make_shared<bool>(false);
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

void FileExportSaveDialog::dismiss()
{
    if (!m_dialog)
        return;
    QFileDialog* dialog = m_dialog;
    m_dialog = nullptr;
    dialog->disconnect();
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
    m_state = std::move(state);
    Q_EMIT stateChanged();
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
    const QString temporary = copyToTemporary(source, destination, stop);
    if (!temporary.isEmpty())
        commitCopy(temporary, destination);
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

    ExportBundle bundle;
    std::optional<QString> failure;
    bool cancelled = false;
    try {
        auto preparing = coordinator->prepareExport(quality, stop);
        bundle = co_await std::move(preparing);
    } catch (const Cancelled&) {
        cancelled = true;
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    if (superseded())
        co_return;
    if (cancelled || !coordinator) {
        setState(State::idle());
        co_return;
    }
    if (failure) {
        qCWarning(lcExporter, "Export failed: %s", qUtf8Printable(*failure));
        setState(State::failed(*failure));
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
    m_defaults->setValue(QString::fromLatin1(ExportPreferences::includeAudioKey), choice->includeAudio);
    m_defaults->setValue(QString::fromLatin1(ExportPreferences::includeStemsKey), choice->includeStems);

    // One file at a time: each is copied off the main thread under a temporary name, and renamed
    // into place here only while this export is still the current one. A failure keeps the files
    // already saved and skips the rest.
    for (const Copy& copy : plannedCopies(bundle, *choice, baseName)) {
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
        if (cancelled || superseded()) {
            if (!temporary.isEmpty())
                QFile::remove(temporary);
            co_return;
        }
        if (!failure && !temporary.isEmpty()) {
            try {
                commitCopy(temporary, copy.destination);
            } catch (const std::exception& e) {
                failure = describe(e);
            }
        }
        if (failure)
            break;
    }
    if (failure) {
        qCWarning(lcExporter, "Saving the export failed: %s", qUtf8Printable(*failure));
        setState(State::failed(*failure));
        co_return;
    }

    setState(State::saved(choice->path));
    // Only the result this export was made from counts as exported.
    if (coordinator && resultID && coordinator->currentResult() && coordinator->currentResult()->id == *resultID)
        coordinator->noteExported();
    if (m_reveal)
        m_reveal(choice->path);
    if (onSaved)
        onSaved();
}

} // namespace hf
