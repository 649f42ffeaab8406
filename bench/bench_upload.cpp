// Upload and download of a large file to the local server (hushframe-server, its own process) on
// loopback, side by side with curl on the same file in the same run: both download into the same
// file of the same folder, synced to disk. Prints both rates, their ratio and this process's peak
// resident memory.
//
//   bench_upload [size in MB, default 500]

#include "backend/api_client.h"
#include "support/test_support.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/cloud_download.h"
#include "platform/network.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <optional>

using namespace hf;

namespace {

// Runs a coroutine to its end; transfers of large files may take minutes.
template<class T>
auto run(QCoro::Task<T> task)
{
    return hf::test::runTask(std::move(task), 30 * 60 * 1000);
}

double peakResidentMB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

bool writeFile(const QString& path, qint64 bytes)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 << 20, Qt::Uninitialized);
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    for (qint64 left = bytes; left > 0; left -= block.size())
        if (out.write(block.constData(), std::min<qint64>(left, block.size())) < 0)
            return false;
    return out.flush();
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Seconds that curl took, or -1 when it failed. What it receives goes to `output`; when that is a
// file, the time includes getting it onto the disk (fdatasync), as our download's commit does.
double timeCurl(const QStringList& args, const QString& output = QStringLiteral("/dev/null"))
{
    QProcess curl;
    QElapsedTimer clock;
    clock.start();
    curl.start(QStringLiteral("curl"), QStringList{"-s", "-S", "-f", "-o", output} + args);
    if (!curl.waitForFinished(-1) || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
        return -1;
    }
    if (output != QStringLiteral("/dev/null")) {
        const int fd = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fdatasync(fd) != 0) {
            std::fprintf(stderr, "could not sync curl's file\n");
            if (fd >= 0)
                ::close(fd);
            return -1;
        }
        ::close(fd);
    }
    return clock.elapsed() / 1000.0;
}

// Turns an uploaded job into a succeeded one whose dialogue stem is the uploaded file, straight in
// the server's data folder: a separation of this much audio would take far longer than the copy.
bool makeStemOfUpload(const QString& dataDir, const QString& jobID)
{
    const QString folder = dataDir + "/jobs/" + jobID;
    if (!QDir().mkpath(folder + "/stems") || !QFile::link(folder + "/input", folder + "/stems/dialogue.flac"))
        return false;
    sqlite3* db = nullptr;
    if (sqlite3_open((dataDir + "/server.sqlite").toUtf8().constData(), &db) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(db, 5000);
    const QByteArray sql = "UPDATE jobs SET status = 'succeeded', completed_at = created_at WHERE id = '"
        + jobID.toUtf8() + "'";
    const bool ok = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 500;
    const qint64 bytes = megabytes * 1000 * 1000;
    const double mb = bytes / 1e6;

    QTemporaryDir dir;
    const QString source = dir.filePath("source.m4a");
    if (!writeFile(source, bytes)) {
        std::fprintf(stderr, "could not write the test file\n");
        return 1;
    }

    const int port = freePort();
    QProcess server;
    server.setStandardErrorFile(dir.filePath("server.log"));
    server.start(QStringLiteral(HF_SERVER_PROGRAM),
                 {"--port", QString::number(port), "--data", dir.filePath("data"), "--workers", "1"});
    if (!server.waitForStarted()) {
        std::fprintf(stderr, "could not start %s\n", HF_SERVER_PROGRAM);
        return 1;
    }
    const QUrl base(QStringLiteral("http://127.0.0.1:%1").arg(port));

    QNetworkAccessManager* apiSession = makeEphemeralNetworkSession(&app);
    QNetworkAccessManager* transferSession = makeEphemeralNetworkSession(&app);
    InMemoryTokenStore tokens;
    APIClient api(base, apiSession, &tokens);
    URLSessionUploader uploader(transferSession);

    int status = 0;
    try {
        for (int attempt = 0;; ++attempt) {
            try {
                run(api.signInAnonymously());
                break;
            } catch (const APIError&) {
                if (attempt > 100)
                    throw;
                QThread::msleep(50);
            }
        }
        const CreateJobRequest request{JobKind::full, 10800, "audio/mp4", std::nullopt};

        // Upload: ours, then curl, each to a job of its own.
        const CreateJobResponse ours = run(api.createJob(request));
        QElapsedTimer clock;
        clock.start();
        run(uploader.upload(QUrl::fromLocalFile(source), ours.upload, {}));
        const double ourUpload = clock.elapsed() / 1000.0;

        const CreateJobResponse theirs = run(api.createJob(request));
        const double curlUpload = timeCurl({"-X", "PUT", "-H", "Content-Type: audio/mp4", "-T", source,
                                            theirs.upload.url.toString(QUrl::FullyEncoded)});
        QFile::remove(dir.filePath("data/jobs/" + theirs.job.id + "/input"));

        // Download of the same bytes as a stem: ours, then curl.
        if (!makeStemOfUpload(dir.filePath("data"), ours.job.id)) {
            std::fprintf(stderr, "could not prepare the stem\n");
            return 1;
        }
        const CloudJob done = run(api.job(ours.job.id));
        if (!done.outputs) {
            std::fprintf(stderr, "the job lists no outputs\n");
            return 1;
        }
        const QString target = dir.filePath("downloaded.flac");
        clock.restart();
        const int answer = run(downloadToFile(transferSession, done.outputs->dialogue, target));
        const double ourDownload = clock.elapsed() / 1000.0;
        if (answer != 200 || QFileInfo(target).size() != bytes) {
            std::fprintf(stderr, "our download failed (HTTP %d, %lld bytes)\n", answer,
                         qlonglong(QFileInfo(target).size()));
            return 1;
        }
        QFile::remove(target);
        // curl writes the same file in the same folder (the same disk), synced as ours is.
        const double curlDownload = timeCurl({done.outputs->dialogue.toString(QUrl::FullyEncoded)}, target);
        if (QFileInfo(target).size() != bytes) {
            std::fprintf(stderr, "curl's download is %lld bytes\n", qlonglong(QFileInfo(target).size()));
            return 1;
        }
        QFile::remove(target);

        std::printf("Upload and download of %.0f MB on loopback (hushframe-server)\n", mb);
        std::printf("%-10s %12s %12s %8s\n", "", "ours MB/s", "curl MB/s", "ratio");
        std::printf("%-10s %12.1f %12.1f %8.2f\n", "upload", mb / ourUpload, mb / curlUpload,
                    curlUpload / ourUpload);
        std::printf("%-10s %12.1f %12.1f %8.2f\n", "download", mb / ourDownload, mb / curlDownload,
                    curlDownload / ourDownload);
        std::printf("peak resident memory of this process: %.1f MB\n", peakResidentMB());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", qUtf8Printable(describe(e)));
        status = 1;
    }
    server.terminate();
    server.waitForFinished();
    return status;
}
