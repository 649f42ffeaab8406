// The exporter: its states with a scripted save dialog, and real exports of a result cleaned by
// the local server, every written file read back with ffprobe.

#include "editor/export_options.h"
#include "editor/exporter.h"
#include "helpers_coordinator.h"
#include "helpers_editor.h"

#include "support/test_support.h"

#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;

namespace {

// A save dialog answered by the test.
class ScriptedDialog final : public ExportSaveDialog {
public:
    std::vector<Request> requests;
    Answer pending;
    int dismissals = 0;

    void open(const Request& request, Answer answer) override
    {
        requests.push_back(request);
        pending = std::move(answer);
    }
    void dismiss() override
    {
        if (pending) {
            pending = nullptr;
            ++dismissals;
        }
    }
    bool isOpen() const { return bool(pending); }
    void answer(std::optional<Choice> choice)
    {
        Answer answer = std::move(pending);
        pending = nullptr;
        answer(std::move(choice));
    }
};

// The codec names of a file's streams by type ("video" -> ["h264"]); empty when unreadable.
QMap<QString, QStringList> streamsOf(const QString& path)
{
    QProcess process;
    process.start(QStringLiteral("ffprobe"), {"-v", "error", "-show_streams", "-of", "json", path});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    QMap<QString, QStringList> streams;
    const QJsonObject info = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    for (const auto& stream : info.value("streams").toArray())
        streams[stream.toObject().value("codec_type").toString()] << stream.toObject().value("codec_name").toString();
    return streams;
}

// Files whose names mark them as unfinished copies.
QStringList leftovers(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, {QStringLiteral("*.part")}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace

class TestExporter : public QObject {
    Q_OBJECT

    std::unique_ptr<test::EditorRig> rig;
    QString baseName;

    struct Session {
        std::unique_ptr<Exporter> exporter;
        ScriptedDialog* dialog;
        QStringList revealed;
    };
    std::unique_ptr<Session> session;

    void startSession()
    {
        session = std::make_unique<Session>();
        session->exporter = std::make_unique<Exporter>(rig->defaults.get());
        auto dialog = std::make_unique<ScriptedDialog>();
        session->dialog = dialog.get();
        session->exporter->setSaveDialog(std::move(dialog));
        session->exporter->setRevealer([s = session.get()](const QString& path) { s->revealed << path; });
    }
    Exporter& exporter() { return *session->exporter; }
    ScriptedDialog& dialog() { return *session->dialog; }
    bool dialogOpens() { return QTest::qWaitFor([&] { return dialog().isOpen(); }, 60000); }
    bool settles() { return QTest::qWaitFor([&] { return exporter().state().kind != Exporter::State::Kind::rendering; }, 60000); }

private Q_SLOTS:
    void initTestCase()
    {
        rig = std::make_unique<test::EditorRig>();
        if (!rig->ready())
            QSKIP("needs ffmpeg, ffprobe, espeak-ng and the local server");
        const QUrl movie = rig->movie(8);
        baseName = QFileInfo(movie.toLocalFile()).completeBaseName();
        QVERIFY(rig->openAndPreview(movie));
        rig->coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] {
            return rig->coordinator->hasFullResult() && !rig->coordinator->isPromoting()
                   && !rig->coordinator->isProcessing();
        }, 120000));
    }

    void init() { startSession(); }
    void cleanup() { session.reset(); }

    void failsWithoutAFullClean()
    {
        test::CoordinatorRig fake;
        Exporter fakeExporter(fake.defaults.get());
        auto scripted = std::make_unique<ScriptedDialog>();
        ScriptedDialog* shown = scripted.get();
        fakeExporter.setSaveDialog(std::move(scripted));
        fakeExporter.exportResult(fake.coordinator.get());
        QVERIFY(QTest::qWaitFor([&] { return fakeExporter.state().kind == Exporter::State::Kind::failed; }));
        QCOMPARE(fakeExporter.state().message,
                 QStringLiteral("Exporting failed: Clean the full video before exporting."));
        QVERIFY(shown->requests.empty());
    }

    // Two quick requests start one export; a cancelled dialog writes nothing, not even the
    // options; cancelling while the export is prepared shows no dialog.
    void requestsAndCancellation()
    {
        QSignalSpy changes(&exporter(), &Exporter::stateChanged);
        exporter().exportResult(rig->coordinator.get());
        exporter().exportResult(rig->coordinator.get());
        QCOMPARE(exporter().state(), Exporter::State::rendering());
        QVERIFY(dialogOpens());
        QCOMPARE(dialog().requests.size(), size_t(1));
        const ExportSaveDialog::Request request = dialog().requests.front();
        QVERIFY(request.fileName.startsWith(baseName));
        QCOMPARE(request.extension, QStringLiteral("mp4"));
        QCOMPARE(request.directory, ExportPreferences::folderPath(*rig->defaults));
        QVERIFY(!request.includeAudio && !request.includeStems);

        dialog().answer(std::nullopt);
        QTRY_COMPARE(exporter().state(), Exporter::State::idle());
        QCOMPARE(changes.size(), 2);   // rendering, idle: nothing in between, nothing twice
        QVERIFY(!rig->defaults->contains(ExportPreferences::includeAudioKey));
        QVERIFY(!rig->defaults->contains(ExportPreferences::includeStemsKey));

        exporter().exportResult(rig->coordinator.get());
        exporter().cancel();
        QCOMPARE(exporter().state(), Exporter::State::idle());
        QTest::qWait(1500);
        QCOMPARE(dialog().requests.size(), size_t(1));
        QCOMPARE(exporter().state(), Exporter::State::idle());
    }

    // An export cancelled while its dialog is open writes nothing, even when an answer still
    // arrives; a newer export runs on unaffected.
    void cancelledExportWritesNothing()
    {
        QTemporaryDir folder;
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        ExportSaveDialog::Answer late = dialog().pending;
        exporter().cancel();
        QCOMPARE(dialog().dismissals, 1);
        late(ExportSaveDialog::Choice{folder.filePath("late.mp4"), true, true});
        QTest::qWait(300);
        QCOMPARE(exporter().state(), Exporter::State::idle());
        QVERIFY(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(session->revealed.isEmpty());
        QVERIFY(!rig->defaults->contains(ExportPreferences::includeStemsKey));
    }

    // A copy that cannot be written fails the export: the copies before it stay, nothing half
    // written is left, nothing is revealed and the result does not count as exported.
    void failedCopy()
    {
        QTemporaryDir folder;
        // A folder where the first stem should go blocks its rename.
        QVERIFY(QDir(folder.path()).mkpath(baseName + " dialogue.flac/inside"));
        const std::optional<QUuid> exportedBefore = rig->coordinator->exportedResultID();
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        dialog().answer(ExportSaveDialog::Choice{folder.filePath("Clean.mp4"), true, true});
        QVERIFY(settles());
        QCOMPARE(exporter().state().kind, Exporter::State::Kind::failed);
        QVERIFY2(exporter().state().message.contains(baseName + " dialogue.flac"),
                 qPrintable(exporter().state().message));
        QVERIFY(QFileInfo::exists(folder.filePath("Clean.mp4")));
        QVERIFY(!QFileInfo::exists(folder.filePath(baseName + " music.flac")));
        QVERIFY(leftovers(folder.path()).isEmpty());
        QVERIFY(session->revealed.isEmpty());
        QCOMPARE(rig->coordinator->exportedResultID(), exportedBefore);
        // The options were chosen before the copies: they are remembered.
        QCOMPARE(ExportPreferences::includeStems(*rig->defaults), true);
    }

    // A real export with the audio and the stems, then a second one over the first.
    void exportAndExportAgain()
    {
        QTemporaryDir folder;
        const QString video = folder.filePath("Holiday clean.mp4");
        rig->defaults->remove(ExportPreferences::includeAudioKey);
        for (int round = 0; round < 2; ++round) {
            exporter().exportResult(rig->coordinator.get());
            QVERIFY(dialogOpens());
            QCOMPARE(dialog().requests.back().includeAudio, round == 1);
            dialog().answer(ExportSaveDialog::Choice{video, true, true});
            QVERIFY(settles());
            QCOMPARE(exporter().state(), Exporter::State::saved(video));
            QCOMPARE(session->revealed.size(), qsizetype(round + 1));
            QCOMPARE(session->revealed.back(), video);
        }
        QCOMPARE(rig->coordinator->exportedResultID(), rig->coordinator->currentResult()->id);
        QVERIFY(!rig->coordinator->hasUnexportedFullResult());

        const auto videoStreams = streamsOf(video);
        QCOMPARE(videoStreams.value("video").size(), 1);
        QCOMPARE(videoStreams.value("audio"), QStringList{"aac"});
        const QStringList files = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        QCOMPARE(files.size(), 5);
        for (const QString& name : files) {
            if (name == QFileInfo(video).fileName())
                continue;
            const auto streams = streamsOf(folder.filePath(name));
            if (name.endsWith(".flac")) {
                QVERIFY2(name.startsWith(baseName + ' '), qPrintable(name));
                QCOMPARE(streams.value("audio"), QStringList{"flac"});
            } else {
                QVERIFY2(name.endsWith(".m4a"), qPrintable(name));
                QCOMPARE(streams.value("audio"), QStringList{"aac"});
            }
        }
        for (const char* stem : {" dialogue.flac", " music.flac", " effects.flac"})
            QVERIFY2(files.contains(baseName + stem), qPrintable(files.join(", ")));
    }

    // Saving the export onto its own rendered file, where it already is, is not an error.
    void savingOntoItself()
    {
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        QString rendered;
        QDirIterator it(rig->coordinator->workingDirectory(), {dialog().requests.back().fileName}, QDir::Files,
                        QDirIterator::Subdirectories);
        QDateTime newest;
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            if (!newest.isValid() || info.lastModified() > newest) {
                newest = info.lastModified();
                rendered = info.filePath();
            }
        }
        QVERIFY(!rendered.isEmpty());
        dialog().answer(ExportSaveDialog::Choice{rendered, true, false});
        QVERIFY(settles());
        QCOMPARE(exporter().state(), Exporter::State::saved(rendered));
        QCOMPARE(streamsOf(rendered).value("audio"), QStringList{"aac"});
        QVERIFY(leftovers(QFileInfo(rendered).path()).isEmpty());
    }

    // The desktop's dialog carries the two options and answers through its callback, once.
    void desktopDialog()
    {
        QTemporaryDir folder;
        FileExportSaveDialog desktop;
        std::vector<std::optional<ExportSaveDialog::Choice>> answers;
        const auto record = [&answers](std::optional<ExportSaveDialog::Choice> choice) { answers.push_back(choice); };
        desktop.open({folder.path(), QStringLiteral("Walk (Hushframe).mp4"), QStringLiteral("mp4"), true, false},
                     record);
        QFileDialog* shown = desktop.dialog();
        QVERIFY(shown);
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        auto* audio = shown->findChild<QCheckBox*>(QStringLiteral("export.option.audio"));
        auto* stems = shown->findChild<QCheckBox*>(QStringLiteral("export.option.stems"));
        QVERIFY(audio && stems);
        QVERIFY(audio->isChecked() && !stems->isChecked());
        QCOMPARE(audio->text(), QStringLiteral("Also save the clean audio"));
        QCOMPARE(stems->text(), QStringLiteral("Also save stems as FLAC"));
        shown->resize(760, 480);
        test::saveScreenshot(shown->grab().toImage(), QStringLiteral("inspector"), QStringLiteral("export-dialog"));
        stems->setChecked(true);
        auto* name = shown->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        QCOMPARE(name->text(), QStringLiteral("Walk (Hushframe).mp4"));
        name->setText(QStringLiteral("Walk clean.mp4"));
        static_cast<QDialog*>(shown)->accept();
        QCOMPARE(answers.size(), size_t(1));
        QVERIFY(answers.front());
        QCOMPARE(answers.front()->path, folder.filePath("Walk clean.mp4"));
        QVERIFY(answers.front()->includeAudio && answers.front()->includeStems);

        // Dismissed, it answers nothing; cancelled, it answers none.
        desktop.open({folder.path(), QStringLiteral("a.mp4"), QStringLiteral("mp4"), false, false}, record);
        desktop.dismiss();
        QVERIFY(!desktop.dialog());
        QCOMPARE(answers.size(), size_t(1));
        desktop.open({folder.path(), QStringLiteral("a.mp4"), QStringLiteral("mp4"), false, false}, record);
        desktop.dialog()->reject();
        QCOMPARE(answers.size(), size_t(2));
        QVERIFY(!answers.back());
    }

    void copyReplacing()
    {
        QTemporaryDir folder;
        const QString source = folder.filePath("source.bin");
        const QString destination = folder.filePath("destination.bin");
        QFile in(source);
        QVERIFY(in.open(QIODevice::WriteOnly));
        in.write(QByteArray(9 * 1024 * 1024 + 5, 'x'));
        in.close();
        QFile old(destination);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
        old.close();
        Exporter::copyReplacing(source, destination);
        QCOMPARE(QFileInfo(destination).size(), QFileInfo(source).size());

        // A stopped copy leaves the destination as it was and no temporary file.
        std::stop_source stop;
        stop.request_stop();
        QFile::remove(destination);
        QVERIFY_THROWS_EXCEPTION(Cancelled, Exporter::copyReplacing(source, destination, stop.get_token()));
        QVERIFY(!QFileInfo::exists(destination));
        QVERIFY(leftovers(folder.path()).isEmpty());
        // A missing source is a failure with the system's reason.
        QVERIFY_THROWS_EXCEPTION(FileSystemError, Exporter::copyReplacing(folder.filePath("none"), destination));
        QVERIFY(leftovers(folder.path()).isEmpty());
    }
};

QTEST_MAIN(TestExporter)
#include "test_exporter.moc"
