// The exporter: its states with a scripted save dialog, and real exports of a result cleaned by
// the local server, every written file read back with ffprobe: all of an export's files or none,
// failures named in words, across file systems and onto a full one, and no working copy left in
// the cache once an export has ended.

#include "editor/export_options.h"
#include "editor/export_status.h"
#include "editor/exporter.h"
#include "ui_kit/buttons.h"
#include "helpers_coordinator.h"
#include "helpers_editor.h"

#include "support/small_disk.h"
#include "support/test_support.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <atomic>
#include <dlfcn.h>

using namespace hf;

// Every fsync of the test's process is counted, then done.
static std::atomic<int> fsyncCalls{0};
extern "C" int fsync(int fd)
{
    ++fsyncCalls;
    using Real = int (*)(int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

namespace {

// Runs `dismiss` on the shown `widget` and waits for the widget's end; true when the
// accessibility layer then no longer holds the interface it made for the widget.
bool forgottenOnceGone(QWidget* widget, const std::function<void()>& dismiss)
{
    QAccessibleInterface* iface = widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
    if (!iface)
        return false;
    const QAccessible::Id id = QAccessible::uniqueId(iface);
    const QPointer<QWidget> watched(widget);
    dismiss();
    return QTest::qWaitFor([&] { return watched.isNull(); }) && !QAccessible::accessibleInterface(id);
}

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
    // The names asked about before replacing files, each time; answered with `replaceReply`.
    std::vector<QStringList> questions;
    bool replaceReply = true;
    std::function<void()> whileAsking;
    void confirmReplacing(const QString&, const QStringList& names, std::function<void(bool)> reply) override
    {
        questions.push_back(names);
        if (whileAsking)
            whileAsking();
        reply(replaceReply);
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

// The container ffprobe reads in a file ("mov,mp4,m4a,3gp,3g2,mj2" for both), and its major
// brand ("isom" for MPEG-4, "qt  " for QuickTime).
QString brandOf(const QString& path)
{
    QProcess process;
    process.start(QStringLiteral("ffprobe"), {"-v", "error", "-show_format", "-of", "json", path});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    const QJsonObject format = QJsonDocument::fromJson(process.readAllStandardOutput()).object().value("format").toObject();
    return format.value("tags").toObject().value("major_brand").toString();
}

// The device a path lies on.
dev_t deviceOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : dev_t(0);
}

// Files whose names mark them as unfinished copies.
bool writeOld(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("old") == 3;
}

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
    // The exports' working folders in the cache.
    QStringList workingCopies() const
    {
        return QDir(rig->coordinator->workingDirectory()).entryList({"Export-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    }
    // Exports with the audio and the stems to the video path `destination` gives for the
    // rendered files (the video first), asked once the dialog is open.
    void exportEverything(const std::function<QString(const QStringList&)>& destination)
    {
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        QStringList rendered;
        const QStringList folders = workingCopies();
        QCOMPARE(folders.size(), 1);
        const QDir folder(QDir(rig->coordinator->workingDirectory()).filePath(folders.front()));
        const QString name = dialog().requests.back().fileName;
        rendered << folder.filePath(name);
        for (const QString& other : folder.entryList(QDir::Files))
            if (other != name)
                rendered << folder.filePath(other);
        dialog().answer(ExportSaveDialog::Choice{destination(rendered), true, true});
        QVERIFY(settles());
    }
    void exportEverything(const QString& video)
    {
        exportEverything([video](const QStringList&) { return video; });
    }

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
        std::vector<Exporter::State> states;
        connect(&exporter(), &Exporter::stateChanged, this, [&] { states.push_back(exporter().state()); });
        exporter().exportResult(rig->coordinator.get());
        exporter().exportResult(rig->coordinator.get());
        QCOMPARE(exporter().state().kind, Exporter::State::Kind::rendering);
        QVERIFY(dialogOpens());
        QCOMPARE(dialog().requests.size(), size_t(1));
        const ExportSaveDialog::Request request = dialog().requests.front();
        QVERIFY(request.fileName.startsWith(baseName));
        QCOMPARE(request.extension, QStringLiteral("mp4"));
        QCOMPARE(request.directory, ExportPreferences::folderPath(*rig->defaults));
        QVERIFY(!request.includeAudio && !request.includeStems);

        dialog().answer(std::nullopt);
        QTRY_COMPARE(exporter().state(), Exporter::State::idle());
        // Rendering, its progress forward to the end, the dialog, idle: nothing else in between.
        QVERIFY(states.size() >= 4);
        QCOMPARE(states.back(), Exporter::State::idle());
        QCOMPARE(states[states.size() - 2], Exporter::State::saving());
        QCOMPARE(states[states.size() - 3], Exporter::State::rendering(1.0));
        for (size_t i = 0; i + 2 < states.size(); ++i)
            QVERIFY(states[i].kind == Exporter::State::Kind::rendering && (i == 0 || states[i].fraction > states[i - 1].fraction));
        disconnect(&exporter(), &Exporter::stateChanged, this, nullptr);
        QVERIFY(!rig->defaults->contains(ExportPreferences::includeAudioKey));
        QVERIFY(!rig->defaults->contains(ExportPreferences::includeStemsKey));
        QTRY_VERIFY(workingCopies().isEmpty());

        exporter().exportResult(rig->coordinator.get());
        exporter().cancel();
        QCOMPARE(exporter().state(), Exporter::State::idle());
        QTest::qWait(1500);
        QCOMPARE(dialog().requests.size(), size_t(1));
        QCOMPARE(exporter().state(), Exporter::State::idle());
        QTRY_VERIFY(workingCopies().isEmpty());
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
        QTRY_VERIFY(workingCopies().isEmpty());
    }

    // A file that cannot be put in place fails the whole export: none of its files is left in
    // the folder (not the video either), the cause is said in words, nothing is revealed and the
    // result does not count as exported.
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
        QCOMPARE(exporter().state().message, QString("\u201c%1 dialogue.flac\u201d can't be saved: a folder of that "
                                                     "name is in the way.").arg(baseName));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(session->revealed.isEmpty());
        QCOMPARE(rig->coordinator->exportedResultID(), exportedBefore);
        // The options were chosen before the copies: they are remembered.
        QCOMPARE(ExportPreferences::includeStems(*rig->defaults), true);
        QVERIFY(workingCopies().isEmpty());

        // What stood at a destination before a failed export is still there.
        QFile earlier(folder.filePath("Clean.mp4"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("the user's earlier video");
        earlier.close();
        exportEverything(folder.filePath("Clean.mp4"));
        QCOMPARE(exporter().state().kind, Exporter::State::Kind::failed);
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("the user's earlier video"));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Clean.mp4"});
    }

    // Stems to a disk that holds the video, its soundtrack and the dialogue stem but not the
    // rest: nothing is saved, and the failure says the disk is full.
    void fullDisk()
    {
        std::unique_ptr<test::SmallDisk> disk;
        const QString video = QStringLiteral("Full.mp4");
        exportEverything([&](const QStringList& rendered) {
            qint64 room = 64 * 1024;
            for (const QString& file : rendered)
                room += QFileInfo(file).size();
            const SeparationResult& result = *rig->coordinator->currentResult();
            room += QFileInfo(result.dialogueStemURL.toLocalFile()).size();
            // Without a tmpfs, one file in the middle of the export is too large instead.
            disk = std::make_unique<test::SmallDisk>(room, QFileInfo(result.musicStemURL.toLocalFile()).size() / 2);
            return disk->filePath(video);
        });
        QCOMPARE(exporter().state().kind, Exporter::State::Kind::failed);
        qInfo().noquote() << (disk->isMounted() ? "tmpfs:" : "file-size limit:") << exporter().state().message;
        if (disk->isMounted())
            QVERIFY2(exporter().state().message.startsWith("There isn't enough space on the disk to save \u201c"),
                     qPrintable(exporter().state().message));
        else
            QVERIFY2(exporter().state().message.contains("larger than the disk can hold"),
                     qPrintable(exporter().state().message));
        QCOMPARE(QDir(disk->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(session->revealed.isEmpty());
        QVERIFY(workingCopies().isEmpty());
    }

    // An export from one file system to another: the stems come from a tmpfs folder and are
    // saved into the build folder, so each copy is renamed into place beside its destination.
    void acrossFileSystems()
    {
        QTemporaryDir memory(QStringLiteral("/dev/shm/hf-export-XXXXXX"));
        QTemporaryDir build(QCoreApplication::applicationDirPath() + QStringLiteral("/export-XXXXXX"));
        QVERIFY(build.isValid());
        if (!memory.isValid() || deviceOf(memory.path()) == deviceOf(build.path()))
            QSKIP("no tmpfs folder on another device than the build folder");
        const SeparationResult before = *rig->coordinator->currentResult();
        rig->coordinator->modifyCurrentResult([&](SeparationResult& r) {
            for (QUrl* stem : {&r.dialogueStemURL, &r.musicStemURL, &r.effectsStemURL}) {
                const QString moved = memory.filePath(stem->fileName());
                QFile::copy(stem->toLocalFile(), moved);
                *stem = QUrl::fromLocalFile(moved);
            }
        });
        const QString video = build.filePath("Across.mp4");
        exportEverything(video);
        rig->coordinator->modifyCurrentResult([&](SeparationResult& r) {
            r.dialogueStemURL = before.dialogueStemURL;
            r.musicStemURL = before.musicStemURL;
            r.effectsStemURL = before.effectsStemURL;
        });
        QCOMPARE(exporter().state(), Exporter::State::saved(video));
        QCOMPARE(streamsOf(build.filePath(baseName + " music.flac")).value("audio"), QStringList{"flac"});
        QCOMPARE(QDir(build.path()).entryList(QDir::Files | QDir::Hidden).size(), 5);
    }

    // A name typed with another movie extension is saved under the extension of the container
    // written; a name without one gets it.
    void extensionFollowsContainer()
    {
        QCOMPARE(Exporter::videoPathFor("/v/Talk.mov", "mp4"), QString("/v/Talk.mp4"));
        QCOMPARE(Exporter::videoPathFor("/v/Talk.MP4", "mp4"), QString("/v/Talk.MP4"));
        QCOMPARE(Exporter::videoPathFor("/v/Talk v1.final", "mp4"), QString("/v/Talk v1.final.mp4"));
        QCOMPARE(Exporter::videoPathFor("/v/Talk", "mov"), QString("/v/Talk.mov"));

        QTemporaryDir folder;
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        QCOMPARE(dialog().requests.back().extension, QStringLiteral("mp4"));
        dialog().answer(ExportSaveDialog::Choice{folder.filePath("Typed.mov"), false, false});
        QVERIFY(settles());
        QCOMPARE(exporter().state(), Exporter::State::saved(folder.filePath("Typed.mp4")));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"Typed.mp4"});
        QCOMPARE(brandOf(folder.filePath("Typed.mp4")), QStringLiteral("isom"));
        QCOMPARE(session->revealed, QStringList{folder.filePath("Typed.mp4")});
    }

    // The two options are each shown from, and remembered under, their own key.
    void optionsKeepTheirOwnKeys()
    {
        QTemporaryDir folder;
        rig->defaults->setValue(QString::fromLatin1(ExportPreferences::includeAudioKey), true);
        rig->defaults->setValue(QString::fromLatin1(ExportPreferences::includeStemsKey), false);
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        QVERIFY(dialog().requests.back().includeAudio);
        QVERIFY(!dialog().requests.back().includeStems);
        dialog().answer(ExportSaveDialog::Choice{folder.filePath("Keys.mp4"), false, true});
        QVERIFY(settles());
        QCOMPARE(ExportPreferences::includeAudio(*rig->defaults), false);
        QCOMPARE(ExportPreferences::includeStems(*rig->defaults), true);
        QVERIFY(QFileInfo::exists(folder.filePath(baseName + " effects.flac")));
        QVERIFY(!QFileInfo::exists(folder.filePath(QFileInfo(dialog().requests.back().fileName).completeBaseName() + ".m4a")));
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
        QVERIFY(workingCopies().isEmpty());
    }

    // Files already where the export goes are replaced only when the user says so, asked once
    // for all of them; files the export would not write are not asked about. A file that cannot
    // be put in place undoes the ones placed before it: what they replaced is back, as it was;
    // one that appears while the user is asked is not replaced, and nothing is.
    void askedOnceBeforeReplacing_data()
    {
        QTest::addColumn<QStringList>("there");        // files in the folder before the export
        QTest::addColumn<bool>("withFiles");           // the audio and the stems saved too
        QTest::addColumn<bool>("reply");
        QTest::addColumn<QStringList>("asked");        // empty: no question
        QTest::addColumn<QString>("locked");           // a file there that can't be moved aside
        QTest::addColumn<int>("end");                  // Exporter::State::Kind
        QTest::addColumn<QString>("appears");          // a file put there while the user is asked
        const QString audio = baseName + " (Hushframe).m4a";
        const QStringList stems{baseName + " dialogue.flac", baseName + " music.flac", baseName + " effects.flac"};
        const int saved = int(Exporter::State::Kind::saved), idle = int(Exporter::State::Kind::idle);
        QTest::newRow("nothing there") << QStringList{} << true << true << QStringList{} << "" << saved << "";
        QTest::newRow("an earlier export's stems, replaced") << stems << true << true << stems << "" << saved << "";
        QTest::newRow("video and audio, kept") << QStringList{"Trip.mp4", audio} << true << false
                                                << QStringList{"Trip.mp4", audio} << "" << idle << "";
        QTest::newRow("stems there, not saved this time") << stems << false << true << QStringList{} << "" << saved << "";
        QTest::newRow("one can't be replaced") << QStringList{"Trip.mp4", stems[1]} << true << true
                                               << QStringList{"Trip.mp4", stems[1]} << stems[1]
                                               << int(Exporter::State::Kind::failed) << "";
        QTest::newRow("one appears") << QStringList{stems[0]} << true << true << QStringList{stems[0]} << ""
                                     << int(Exporter::State::Kind::failed) << stems[1];
    }
    void askedOnceBeforeReplacing()
    {
        QFETCH(QStringList, there);
        QFETCH(bool, withFiles);
        QFETCH(bool, reply);
        QFETCH(QStringList, asked);
        QFETCH(QString, locked);
        QFETCH(int, end);
        QTemporaryDir folder;
        for (const QString& name : there)
            QVERIFY(writeOld(folder.filePath(name)));
        QFETCH(QString, appears);
        if (!appears.isEmpty()) {
            dialog().whileAsking = [&] { writeOld(folder.filePath(appears)); };
            there << appears;
        }
        const QString immutable = folder.filePath(locked);
        // An immutable file can't be moved aside, even by the superuser.
        if (!locked.isEmpty() && QProcess::execute("chattr", {"+i", immutable}) != 0)
            QSKIP("needs chattr on a file system that keeps attributes");
        const auto unlock = qScopeGuard([&] {
            if (!locked.isEmpty())
                QProcess::execute("chattr", {"-i", immutable});
        });
        dialog().replaceReply = reply;
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        const QString video = folder.filePath("Trip.mp4");
        dialog().answer(ExportSaveDialog::Choice{video, withFiles, withFiles});
        QVERIFY(settles());
        QCOMPARE(dialog().questions.size(), size_t(asked.isEmpty() ? 0 : 1));
        if (!asked.isEmpty())
            QCOMPARE(dialog().questions.front(), asked);
        QCOMPARE(int(exporter().state().kind), end);
        const bool saved = end == int(Exporter::State::Kind::saved);
        if (saved)
            QCOMPARE(exporter().state(), Exporter::State::saved(video));
        for (const QString& name : there) {
            const bool written = saved && (withFiles || name == "Trip.mp4");
            QFile file(folder.filePath(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
            QCOMPARE(file.readAll() != "old", written);
        }
        if (!saved)
            QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), there.size());
        QVERIFY(leftovers(folder.path()).isEmpty());
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
        // A name in a folder that isn't there keeps the dialog open, saying so.
        name->setText(QStringLiteral("Videos/Walk clean.mp4"));
        static_cast<QDialog*>(shown)->accept();
        QVERIFY(answers.empty() && shown->isVisible() && shown->findChild<QMessageBox*>(QStringLiteral("export.noFolder")));
        name->setText(QStringLiteral("Walk clean.mp4"));
        static_cast<QDialog*>(shown)->accept();
        QCOMPARE(answers.size(), size_t(1));
        QVERIFY(answers.front());
        QCOMPARE(answers.front()->path, folder.filePath("Walk clean.mp4"));
        QVERIFY(answers.front()->includeAudio && answers.front()->includeStems);

        // Dismissed, it answers nothing, and the accessibility layer forgets it once it is gone
        // (an entry kept would match a later widget made at its address); cancelled, it answers
        // none.
        desktop.open({folder.path(), QStringLiteral("a.mp4"), QStringLiteral("mp4"), false, false}, record);
        QVERIFY(forgottenOnceGone(desktop.dialog(), [&] { desktop.dismiss(); }));
        QVERIFY(!desktop.dialog());
        QCOMPARE(answers.size(), size_t(1));
        desktop.open({folder.path(), QStringLiteral("a.mp4"), QStringLiteral("mp4"), false, false}, record);
        desktop.dialog()->reject();
        QCOMPARE(answers.size(), size_t(2));
        QVERIFY(!answers.back());
    }

    // The desktop's question about files already there: a card over the window naming them, which
    // answers once; the save dialog itself does not ask as well.
    void replaceQuestionOnTheWindow()
    {
        QWidget window;
        window.resize(900, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        FileExportSaveDialog desktop(&window);
        desktop.open({QDir::tempPath(), QStringLiteral("a.mp4"), QStringLiteral("mp4"), false, false}, [](auto) {});
        QVERIFY(desktop.dialog()->testOption(QFileDialog::DontConfirmOverwrite));
        desktop.dismiss();

        std::vector<bool> replies;
        const QStringList names{"Trip.mp4", "Trip dialogue.flac", "Trip music.flac", "Trip effects.flac"};
        // Dismissed, with or without a window, it answers nothing and is forgotten once gone.
        for (QWidget* parent : {static_cast<QWidget*>(&window), static_cast<QWidget*>(nullptr)}) {
            desktop.setParentWindow(parent);
            desktop.confirmReplacing(QStringLiteral("/tmp"), names, [&replies](bool replace) { replies.push_back(replace); });
            QVERIFY(forgottenOnceGone(desktop.replaceQuestion(), [&] { desktop.dismiss(); }));
        }
        desktop.setParentWindow(&window);
        QVERIFY(replies.empty());
        for (const char* button : {"export.replace", "export.keep"}) {
            desktop.confirmReplacing(QStringLiteral("/home/someone/Films"), names,
                                     [&replies](bool replace) { replies.push_back(replace); });
            QWidget* question = desktop.replaceQuestion();
            QVERIFY(question && question->isVisible());
            auto* message = question->findChild<QLabel*>(QStringLiteral("export.replaceMessage"));
            QVERIFY(message);
            QCOMPARE(message->text(), QStringLiteral("These files already exist in \u201cFilms\u201d. Saving replaces them: "
                                                     "\u201cTrip.mp4\u201d, \u201cTrip dialogue.flac\u201d, "
                                                     "\u201cTrip music.flac\u201d, \u201cTrip effects.flac\u201d."));
            if (replies.empty())
                test::saveScreenshot(window.grab().toImage(), QStringLiteral("inspector"), QStringLiteral("export-replace"));
            auto* answer = question->findChild<QAbstractButton*>(QString::fromLatin1(button));
            QVERIFY(answer);
            QTest::mouseClick(answer, Qt::LeftButton);
        }
        QCOMPARE(replies, (std::vector<bool>{true, false}));
        QCOMPARE(ExportSaveDialog::replacingMessage("/tmp/Out", {"Trip.mp4"}),
                 QStringLiteral("\u201cTrip.mp4\u201d already exists in \u201cOut\u201d. Saving replaces it."));
    }

    // A video changed on disk since it was cleaned: the export fails saying so, and the status
    // offers to clean it again, which opens the file as it is now.
    void changedVideoOffersCleanAgain()
    {
        test::CoordinatorRig fake;
        const QUrl url = fake.video(QStringLiteral("Interview.mp4"));
        QVERIFY(fake.openFullResult(url));
        Exporter changed(fake.defaults.get());
        auto scripted = std::make_unique<ScriptedDialog>();
        ScriptedDialog* shown = scripted.get();
        changed.setSaveDialog(std::move(scripted));
        ExportStatusView status(&changed, fake.coordinator.get());
        status.resize(320, 160);
        auto* cleanAgain = status.findChild<ui::QuietButton*>(QStringLiteral("export.cleanAgain"));
        QVERIFY(cleanAgain);

        QFile file(url.toLocalFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("rendered again under the same name");
        file.close();
        changed.exportResult(fake.coordinator.get());
        QVERIFY(QTest::qWaitFor([&] { return changed.state().kind == Exporter::State::Kind::failed; }));
        QVERIFY(shown->requests.empty());
        QVERIFY(changed.state().offersCleanAgain);
        QVERIFY2(changed.state().message.startsWith(QStringLiteral("\u201cInterview.mp4\u201d has changed since it was cleaned")),
                 qPrintable(changed.state().message));
        status.show();
        QVERIFY(cleanAgain->isVisible());
        status.resize(320, status.sizeHint().height());
        test::saveScreenshot(status.grab().toImage(), QStringLiteral("inspector"), QStringLiteral("export-source-changed"));

        const QUuid stale = fake.coordinator->currentResult()->id;
        QTest::mouseClick(cleanAgain, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] {
            return fake.coordinator->hasPreviewResult() && fake.coordinator->currentResult()->id != stale;
        }));

        // Any other failure offers nothing of the kind.
        changed.setState(Exporter::State::failed(QStringLiteral("Exporting failed: something else")));
        QVERIFY(!cleanAgain->isVisible());

        // While the files are prepared, how far that has come, in words and on a bar.
        changed.setState(Exporter::State::rendering(0.456));
        auto* percent = status.findChild<QLabel*>(QStringLiteral("export.percent"));
        QVERIFY(percent && percent->isVisible());
        QCOMPARE(percent->text(), QStringLiteral("45%"));
        QCOMPARE(status.message(), QStringLiteral("Preparing your clean video"));
        status.resize(320, status.sizeHint().height());
        QTest::qWait(400);   // the bar eases to its new length
        test::saveScreenshot(status.grab().toImage(), QStringLiteral("inspector"), QStringLiteral("export-preparing"));
    }

    // "Saved" lasts only while the mix on screen is the one saved: another ambience level, or
    // another clean, and the file no longer holds it.
    void savedOnlyWhileItsMixIsOnScreen()
    {
        QTemporaryDir folder;
        for (int change = 0; change < 2; ++change) {
            exporter().exportResult(rig->coordinator.get());
            QVERIFY(dialogOpens());
            dialog().answer(ExportSaveDialog::Choice{folder.filePath("Mix.mp4"), false, false});
            QVERIFY(settles());
            QCOMPARE(exporter().state().kind, Exporter::State::Kind::saved);
            SeparationResult again = *rig->coordinator->currentResult();
            again.id = QUuid::createUuid();
            change == 0 ? rig->coordinator->setAmbience(rig->coordinator->settings().ambience / 2)
                        : rig->coordinator->applyResult(again);
            QCOMPARE(exporter().state(), Exporter::State::idle());
        }
    }

    // A clean that replaced the exported one while the dialog was open is not the one exported.
    void exportedMarksTheResultItWasMadeFrom()
    {
        QTemporaryDir folder;
        exporter().exportResult(rig->coordinator.get());
        QVERIFY(dialogOpens());
        SeparationResult again = *rig->coordinator->currentResult();
        again.id = QUuid::createUuid();
        rig->coordinator->applyResult(again);
        dialog().answer(ExportSaveDialog::Choice{folder.filePath("Again.mp4"), false, false});
        QVERIFY(settles());
        QCOMPARE(exporter().state(), Exporter::State::saved(folder.filePath("Again.mp4")));
        QVERIFY(rig->coordinator->exportedResultID() != again.id);
        QVERIFY(rig->coordinator->hasUnexportedFullResult());
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
        const int synced = fsyncCalls.load();
        Exporter::copyReplacing(source, destination);
        QCOMPARE(QFileInfo(destination).size(), QFileInfo(source).size());
        QVERIFY(fsyncCalls.load() > synced);   // the copy reached the disk before it took the name

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
        // A destination folder removed meanwhile is said as such.
        QString said;
        try {
            Exporter::copyReplacing(source, folder.filePath("removed/destination.bin"));
        } catch (const FileSystemError& e) {
            said = e.localizedDescription();
        }
        QCOMPARE(said, QStringLiteral("The folder for \u201cdestination.bin\u201d isn't there anymore."));
    }
};

QTEST_MAIN(TestExporter)
#include "test_exporter.moc"
