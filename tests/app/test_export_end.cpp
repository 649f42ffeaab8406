// An export the process's end interrupts: this program, started again as a driver, sets up the
// signals as main() does and copies a video into a folder as Save As and "Export all" do, from a
// pipe that holds the copy half-way. Ended as a session ends (SIGTERM and SIGHUP at once), by
// SIGTERM, or killed (then the next start's clean-up runs), it leaves the folder as it was. Stopped
// at any rename or removal of an export replacing the user's files, the same holds once the next
// start settled what it left. The process's renames, removals and syncs go through this file.

#include "app/termination_signal.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/export_temporaries.h"
#include "editor/exporter.h"
#include "pipeline/media_error.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QFutureWatcher>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>

#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace hf;

namespace {

// In a driver, the folder whose renames and removals are counted as steps; the step before which
// it stops (saying so on its output and waiting for a line on its input); whether the file system
// is taken for one that cannot swap two files.
char stepFolder[PATH_MAX];
std::atomic<int> steps{0};
int stopAt = -1;
bool noExchange = false;
// Each fsync of a folder of the test's process: the folder, and whether `syncWatched` then held
// "new".
QString syncWatched;
QList<std::pair<QString, bool>> folderSyncs;

template<typename F>
F real(const char* name)
{
    static F function = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    return function;
}

void step(const char* path)
{
    if (stepFolder[0] == '\0' || std::strncmp(path, stepFolder, std::strlen(stepFolder)) != 0)
        return;
    if (steps++ == stopAt) {
        char line = 0;
        const QByteArray stopped = "stopped " + QByteArray::number(::gettid()) + '\n';
        [[maybe_unused]] ssize_t n = ::write(1, stopped.constData(), size_t(stopped.size()));
        n = ::read(0, &line, 1);
    }
}

} // namespace

extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags)
{
    if (noExchange && (flags & RENAME_EXCHANGE)) {
        errno = EINVAL;
        return -1;
    }
    step(to);
    return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromFolder, from, toFolder, to, flags);
}
extern "C" int rename(const char* from, const char* to)
{
    step(to);
    return real<int (*)(const char*, const char*)>("rename")(from, to);
}
extern "C" int unlink(const char* path)
{
    step(path);
    return real<int (*)(const char*)>("unlink")(path);
}
extern "C" int fsync(int fd)
{
    struct stat info {};
    if (!syncWatched.isEmpty() && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        QFile watched(syncWatched);
        folderSyncs.append({QFileInfo(QString("/proc/self/fd/%1").arg(fd)).symLinkTarget(),
                            watched.open(QIODevice::ReadOnly) && watched.readAll() == "new"});
    }
    return real<int (*)(int)>("fsync")(fd);
}

namespace {

// Every file of a folder (hidden ones too) with its content.
QMap<QString, QByteArray> filesIn(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(QDir(folder).filePath(name));
        files.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)"));
    }
    return files;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestExportEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void nothingOfAnExportOutlivesTheProcess_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QList<int>>("ending");
        QTest::newRow("export, end of the session") << "export" << QList<int>{SIGTERM, SIGHUP};
        QTest::newRow("export all, end of the session") << "batch" << QList<int>{SIGTERM, SIGHUP};
        QTest::newRow("export, SIGTERM") << "export" << QList<int>{SIGTERM};
        QTest::newRow("export, killed") << "export" << QList<int>{SIGKILL};
        QTest::newRow("export all, killed") << "batch" << QList<int>{SIGKILL};
    }
    void nothingOfAnExportOutlivesTheProcess()
    {
        QFETCH(QString, what);
        QFETCH(QList<int>, ending);
        QTemporaryDir home;
        const QString folder = home.filePath("Videos");
        const QString records = home.filePath("cache/Exports");
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(home.filePath("Batch")));
        const QString name = QStringLiteral("Holiday (Hushframe).mp4");
        const QString foreign = QStringLiteral(".Other.mp4.0123abcd.part");
        const QMap<QString, QByteArray> before{{name, "the user's earlier video"}, {"notes.txt", "notes"}, {foreign, "?"}};
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            QFile file(QDir(folder).filePath(it.key()));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(it.value()) == it.value().size());
        }
        // The source is a pipe: the copy takes what it holds and waits for more.
        const QString source = home.filePath("Batch/" + name);
        QVERIFY(::mkfifo(QFile::encodeName(source).constData(), 0600) == 0);
        const int pipe = ::open(QFile::encodeName(source).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(pipe >= 0 && ::write(pipe, QByteArray(65536, 'v').constData(), 65536) > 0);

        QProcess driver;
        driver.setProcessChannelMode(QProcess::ForwardedChannels);
        driver.start(QCoreApplication::applicationFilePath(), {"--driver", what, source, folder, records});
        const auto temporaries = [&] {
            QStringList found = QDir(folder).entryList({".*.part"}, QDir::Files | QDir::Hidden);
            found.removeOne(foreign);
            return found;
        };
        // The copy is under way: its temporary file holds what the pipe gave.
        QVERIFY(QTest::qWaitFor([&] {
            return temporaries().size() == 1 && QFileInfo(QDir(folder).filePath(temporaries().front())).size() > 0;
        }, 20000));
        for (int number : ending)
            ::kill(pid_t(driver.processId()), number);
        const bool killed = ending == QList<int>{SIGKILL};
        // A process that ends the ordinary way waits for its copy to stop: once nothing of the
        // copy is left to place, the pipe's end ends it.
        QVERIFY(QTest::qWaitFor([&] { return driver.state() == QProcess::NotRunning || (!killed && temporaries().isEmpty()); },
                                20000));
        ::close(pipe);
        QVERIFY(driver.state() == QProcess::NotRunning || driver.waitForFinished(20000));
        if (ending.size() == 1)
            QCOMPARE(driver.exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
        if (killed) {
            // The next start removes what the killed export left.
            ExportTemporaries::setRecordFolder(records);
            QCOMPARE(ExportTemporaries::removeLeftovers(), 1);
            QCOMPARE(QDir(records).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
        QCOMPARE(filesIn(folder), before);
    }

    // An export replacing the user's files (a video with its clean audio and stems, or Export
    // all's videos) ended before each of its steps: once the next start settled what it left,
    // every destination holds its new file or the user's earlier one under its own name, and
    // nothing else; an export's files are all new or all earlier ones.
    void aReplacingExportEndsAllOrNone_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("swapping");
        QTest::addColumn<QList<int>>("ending");
        for (const QList<int>& ending : {QList<int>{SIGKILL}, QList<int>{SIGTERM, SIGHUP}}) {
            const char* how = ending.size() == 1 ? "killed" : "end of the session";
            QTest::addRow("export, swapped, %s", how) << "place" << true << ending;
            QTest::addRow("export, renamed aside, %s", how) << "place" << false << ending;
            QTest::addRow("export all, %s", how) << "batch" << true << ending;
        }
    }
    void aReplacingExportEndsAllOrNone()
    {
        QFETCH(QString, what);
        QFETCH(bool, swapping);
        QFETCH(QList<int>, ending);
        const QStringList names = what == u"place"
            ? QStringList{"Clip.mp4", "Clip (clean).wav", "Clip dialogue.flac", "Clip effects.flac", "Clip music.flac"}
            : QStringList{"A.mp4", "B.mp4"};
        QByteArray said;
        const auto run = [&](int stop) {
            QTemporaryDir home;
            const QString folder = home.filePath("Videos");
            const QString records = home.filePath("cache/Exports");
            QMap<QString, QByteArray> earlier, exported;
            QVERIFY(QDir().mkpath(folder) && QDir().mkpath(home.filePath("new")));
            for (const QString& name : names) {
                QVERIFY(writeFile(QDir(folder).filePath(name), earlier[name] = "earlier " + name.toUtf8()));
                QVERIFY(writeFile(home.filePath("new/" + name), exported[name] = "new " + name.toUtf8()));
            }
            QProcess driver;
            driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            driver.start(QCoreApplication::applicationFilePath(),
                         {"--driver", what, home.filePath("new"), folder, records, QString::number(stop), swapping ? "" : "-"});
            if (stop >= 0) {
                QVERIFY(QTest::qWaitFor([&] { return driver.canReadLine(); }, 20000));
                // Sent to the thread that stopped, they come before it takes the step.
                const long thread = driver.readLine().split(' ').value(1).trimmed().toLong();
                for (int number : ending)
                    ::syscall(SYS_tgkill, pid_t(driver.processId()), thread, number);
                driver.write("\n");
            }
            QVERIFY(driver.waitForFinished(20000));
            said = driver.readAllStandardOutput();
            ExportTemporaries::setRecordFolder(records);
            ExportTemporaries::removeLeftovers();
            const QMap<QString, QByteArray> after = filesIn(folder);
            QCOMPARE(QDir(records).entryList(QDir::Files | QDir::Hidden), QStringList());
            if (what == u"place")
                QVERIFY2(after == earlier || after == exported, qPrintable(QString("stopped before step %1").arg(stop)));
            for (const QString& name : names)
                QVERIFY2(after.value(name) == earlier[name] || after.value(name) == exported[name], qPrintable(name));
            QCOMPARE(after.keys(), earlier.keys());
        };
        run(-1);
        QVERIFY2(said.endsWith("saved\n"), said.constData());
        const int total = said.split(' ').value(1).split('\n').value(0).toInt();
        QVERIFY(total >= 2 * names.size());
        for (int stop = 0; stop < total && !QTest::currentTestFailed(); ++stop)
            run(stop);
    }

    // A second copy of the application sharing the home (not the channel between copies) starts
    // while the first one exports: its clean-up leaves the export running, which saves. A copy
    // something else removed fails the export, which says so.
    void aRunningExportIsNoLeftover_data()
    {
        QTest::addColumn<bool>("removed");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("another start's clean-up") << false << QByteArray("saved\n");
        QTest::newRow("its copy removed") << true << QByteArray("The unfinished copy of \u201cclip.mp4\u201d was removed from "
                                                                "its folder before it could be saved. Nothing was replaced.\n");
    }
    void aRunningExportIsNoLeftover()
    {
        QFETCH(bool, removed);
        QFETCH(QByteArray, said);
        QTemporaryDir home;
        const QString folder = home.filePath("Videos");
        const QString records = home.filePath("cache/Exports");
        QVERIFY(QDir().mkpath(folder));
        const QString source = home.filePath("clip.mp4");
        QVERIFY(::mkfifo(QFile::encodeName(source).constData(), 0600) == 0);
        const int pipe = ::open(QFile::encodeName(source).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(pipe >= 0 && ::write(pipe, "first half ", 11) == 11);
        QProcess driver;
        driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver.start(QCoreApplication::applicationFilePath(), {"--driver", "export", source, folder, records});
        QString temporary;
        QVERIFY(QTest::qWaitFor([&] {
            const QStringList found = QDir(folder).entryList({".*.part"}, QDir::Files | QDir::Hidden);
            temporary = found.isEmpty() ? QString() : QDir(folder).filePath(found.front());
            return !temporary.isEmpty() && QFileInfo(temporary).size() == 11;
        }, 20000));
        ExportTemporaries::setRecordFolder(records);
        QCOMPARE(ExportTemporaries::removeLeftovers(), 0);
        QVERIFY(QFileInfo::exists(temporary));
        if (removed)
            QVERIFY(QFile::remove(temporary));
        QVERIFY(::write(pipe, "second half", 11) == 11);
        ::close(pipe);
        QVERIFY(driver.waitForFinished(20000));
        QVERIFY(driver.readAllStandardOutput().endsWith(said));
        QCOMPARE(filesIn(folder).value("clip.mp4", "none"), removed ? "none" : "first half second half");
        QCOMPARE(filesIn(folder).size(), removed ? 0 : 1);
        QCOMPARE(QDir(records).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // What an export left is removed whatever its destination's name holds.
    void leftoversGoWhateverTheirName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("newline inside") << ".Clip\nnight.mp4.0123abcd.part";
        QTest::newRow("newline at the end") << ".Clip.mp4\n.0123abcd.part";
    }
    void leftoversGoWhateverTheirName()
    {
        QFETCH(QString, name);
        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath("Exports")));
        const QString leftover = home.filePath(name);
        QVERIFY(writeFile(leftover, "half") && writeFile(home.filePath("Exports/1.record"), QFile::encodeName(leftover) + '\n'));
        ExportTemporaries::setRecordFolder(home.filePath("Exports"));
        QCOMPARE(ExportTemporaries::removeLeftovers(), 1);
        QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(QDir(home.filePath("Exports")).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // An export is saved once its file's name is on the disk: its folder is synced after the
    // file took its name, before the export says it is saved.
    void savedOnceTheNameIsOnTheDisk_data()
    {
        QTest::addColumn<bool>("all");
        QTest::newRow("export") << false;
        QTest::newRow("export all") << true;
    }
    void savedOnceTheNameIsOnTheDisk()
    {
        QFETCH(bool, all);
        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath("out")) && writeFile(home.filePath("clip.mp4"), "new"));
        syncWatched = home.filePath("out/clip.mp4");
        QVERIFY(writeFile(syncWatched, "earlier"));
        folderSyncs.clear();
        if (all) {
            BatchJob job;
            job.status = BatchJobStatus::completed(QUrl::fromLocalFile(home.filePath("clip.mp4")));
            QCOMPARE(BatchQueueManager::exportCompletedOutputs({job}, home.filePath("out"), true), 1);
        } else {
            Exporter::copyReplacing(home.filePath("clip.mp4"), syncWatched);
        }
        QVERIFY(folderSyncs.contains(std::pair(home.filePath("out"), true)));
    }
};

int main(int argc, char** argv)
{
    if (argc >= 6 && qstrcmp(argv[1], "--driver") == 0) {
        // As the application's main() does: the signals first, and the exports' end after the loop.
        TerminationSignal::install();
        QCoreApplication application(argc, argv);
        const QStringList a = application.arguments();
        ExportTemporaries::setRecordFolder(a[5]);
        if (a.size() > 7) {
            // Resolved now: a signal handler's renames may be the first.
            real<int (*)(const char*, const char*)>("rename");
            real<int (*)(const char*)>("unlink");
            real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
            stopAt = a[6].toInt();
            noExchange = a[7] == u"-";
            std::strcpy(stepFolder, QFile::encodeName(a[4] + u'/').constData());
        }
        TerminationSignal termination;
        QFutureWatcher<void> watcher;
        QObject::connect(&watcher, &QFutureWatcher<void>::finished, &application, &QCoreApplication::quit);
        watcher.setFuture(QtConcurrent::run([what = a[2], source = a[3], folder = QDir(a[4])] {
            QStringList sources{source};
            if (QFileInfo(source).isDir())
                for (const QString& name : QDir(source).entryList(QDir::Files))
                    sources << QDir(source).filePath(name);
            QByteArray said = "saved";
            try {
                std::vector<BatchJob> jobs;
                std::vector<ExportTemporaries::Placement> set;
                for (const QString& file : sources.mid(sources.size() > 1 ? 1 : 0)) {
                    jobs.emplace_back().status = BatchJobStatus::completed(QUrl::fromLocalFile(file));
                    if (what == u"place")
                        set.push_back({ExportTemporaries::copyBeside(file, folder.filePath(QFileInfo(file).fileName()), {}),
                                       folder.filePath(QFileInfo(file).fileName())});
                }
                if (what == u"export")
                    Exporter::copyReplacing(source, folder.filePath(QFileInfo(source).fileName()));
                else if (what == u"place")
                    ExportTemporaries::placeAll(set);
                else
                    BatchQueueManager::exportCompletedOutputs(jobs, folder.path(), true);
            } catch (const Error& e) {
                said = e.localizedDescription().toUtf8();
            } catch (...) {
                said = "stopped";
            }
            const QByteArray line = "steps " + QByteArray::number(steps.load()) + '\n' + said + '\n';
            [[maybe_unused]] const ssize_t n = ::write(1, line.constData(), size_t(line.size()));
        }));
        const int status = QCoreApplication::exec();
        ExportTemporaries::endAll();
        return status;
    }
    QCoreApplication application(argc, argv);
    TestExportEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_export_end.moc"
