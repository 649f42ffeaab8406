// An export the process's end interrupts: this program, started again as a driver, sets up the
// signals as main() does and copies a video into a folder as Save As and "Export all" do, from a
// pipe that holds the copy half-way. Ended as a session ends (SIGTERM and SIGHUP at once), by
// SIGTERM, or killed (then the next start's clean-up runs), it leaves the folder as it was.

#include "app/termination_signal.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/export_temporaries.h"
#include "editor/exporter.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace hf;

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
};

int main(int argc, char** argv)
{
    if (argc == 6 && qstrcmp(argv[1], "--driver") == 0) {
        // As the application's main() does: the signals first, and the exports' end after the loop.
        TerminationSignal::install();
        QCoreApplication application(argc, argv);
        const QStringList a = application.arguments();
        ExportTemporaries::setRecordFolder(a[5]);
        TerminationSignal termination;
        [[maybe_unused]] auto copying = QtConcurrent::run([what = a[2], source = a[3], folder = a[4]] {
            BatchJob job;
            job.status = BatchJobStatus::completed(QUrl::fromLocalFile(source));
            try {
                if (what == u"export")
                    Exporter::copyReplacing(source, QDir(folder).filePath(QFileInfo(source).fileName()));
                else
                    BatchQueueManager::exportCompletedOutputs({job}, folder, true);
            } catch (...) {
            }
        });
        const int status = QCoreApplication::exec();
        ExportTemporaries::endAll();
        return status;
    }
    QCoreApplication application(argc, argv);
    TestExportEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_export_end.moc"
