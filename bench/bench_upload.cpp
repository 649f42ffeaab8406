// Upload and download of a large file to the local server (hushframe-server, its own process) on
// loopback, side by side with curl on the same file in the same run: both download into the same
// file of the same folder, synced to disk. Prints both rates, their ratio and this process's peak
// resident memory.
//
//   bench_upload [size in MB, default 500] [rounds, default 3]
//
// Each round runs ours and curl in turns and reports the wall time, the CPU time of the client and
// of the server, and the load average.

#include "bench_measure.h"
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
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <cstdio>
#include <exception>
#include <optional>

extern char** environ;

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

// Wall and CPU seconds of one transfer; wall -1 when it failed.
struct Timing {
    double seconds = -1;
    double cpu = 0;        // of the client: ours (this process, all threads) or curl's process
    double serverCpu = 0;  // of the server's process over the same time
};

double ownCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return bench::cpuSeconds(usage);
}

// The user and system time of process `pid` so far, from /proc.
double processCpu(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // The fields after the command's name in parentheses; utime and stime are the 14th and 15th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// curl's time and CPU time, or -1 seconds when it failed. What it receives goes to `output`; when
// that is a file, the time includes getting it onto the disk (fdatasync), as our download's commit
// does.
Timing timeCurl(qint64 serverPid, const QStringList& args, const QString& output = QStringLiteral("/dev/null"))
{
    std::vector<std::string> storage{"curl", "-s", "-S", "-f", "-o", output.toStdString()};
    for (const QString& a : args)
        storage.push_back(a.toStdString());
    std::vector<char*> argv;
    for (auto& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Timing timing;
    const double serverBefore = processCpu(serverPid);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0)
        return timing;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "curl failed\n");
        return timing;
    }
    if (output != QStringLiteral("/dev/null")) {
        const int fd = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fdatasync(fd) != 0) {
            std::fprintf(stderr, "could not sync curl's file\n");
            if (fd >= 0)
                ::close(fd);
            return timing;
        }
        ::close(fd);
    }
    timing.seconds = clock.elapsed() / 1000.0;
    timing.cpu = bench::cpuSeconds(usage);
    timing.serverCpu = processCpu(serverPid) - serverBefore;
    return timing;
}

// Times `work` (ours, in this process).
template<class F>
Timing timeOurs(qint64 serverPid, F work)
{
    Timing timing;
    const double cpuBefore = ownCpu();
    const double serverBefore = processCpu(serverPid);
    QElapsedTimer clock;
    clock.start();
    if (!work())
        return timing;
    timing.seconds = clock.elapsed() / 1000.0;
    timing.cpu = ownCpu() - cpuBefore;
    timing.serverCpu = processCpu(serverPid) - serverBefore;
    return timing;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
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
    const int rounds = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 3;
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
        const qint64 serverPid = server.processId();
        const QString target = dir.filePath("downloaded.flac");

        // Each round uploads and downloads once with ours and once with curl, the two in turns
        // (ours first in even rounds, curl first in odd ones), so that a change of the machine's
        // load weighs on both alike.
        std::vector<double> upRatios, downRatios;
        std::printf("Upload and download of %.0f MB on loopback (hushframe-server), %d rounds; "
                    "MB/s (10^6 bytes), CPU seconds of the client and of the server\n",
                    mb, rounds);
        std::printf("%-5s %-9s %9s %8s %8s %9s %8s %8s %7s %6s\n", "round", "", "ours", "CPU", "server", "curl", "CPU",
                    "server", "ratio", "load");
        for (int round = 0; round < rounds; ++round) {
            const double load = bench::loadAverage();
            Timing ourUp, curlUp, ourDown, curlDown;
            CreateJobResponse ours;
            const auto uploadOurs = [&] {
                ours = run(api.createJob(request));
                ourUp = timeOurs(serverPid, [&] {
                    run(uploader.upload(QUrl::fromLocalFile(source), ours.upload, {}));
                    return true;
                });
            };
            const auto uploadCurl = [&] {
                const CreateJobResponse theirs = run(api.createJob(request));
                curlUp = timeCurl(serverPid, {"-X", "PUT", "-H", "Content-Type: audio/mp4", "-T", source,
                                              theirs.upload.url.toString(QUrl::FullyEncoded)});
                QFile::remove(dir.filePath("data/jobs/" + theirs.job.id + "/input"));
            };
            if (round % 2 == 0) {
                uploadOurs();
                uploadCurl();
            } else {
                uploadCurl();
                uploadOurs();
            }

            // Download of the same bytes as a stem.
            if (!makeStemOfUpload(dir.filePath("data"), ours.job.id)) {
                std::fprintf(stderr, "could not prepare the stem\n");
                return 1;
            }
            const CloudJob done = run(api.job(ours.job.id));
            if (!done.outputs) {
                std::fprintf(stderr, "the job lists no outputs\n");
                return 1;
            }
            const auto downloadOurs = [&] {
                ourDown = timeOurs(serverPid, [&] {
                    const int answer = run(downloadToFile(transferSession, done.outputs->dialogue, target));
                    if (answer != 200 || QFileInfo(target).size() != bytes) {
                        std::fprintf(stderr, "our download failed (HTTP %d, %lld bytes)\n", answer,
                                     qlonglong(QFileInfo(target).size()));
                        return false;
                    }
                    return true;
                });
                QFile::remove(target);
            };
            const auto downloadCurl = [&] {
                // curl writes the same file in the same folder (the same disk), synced as ours is.
                curlDown = timeCurl(serverPid, {done.outputs->dialogue.toString(QUrl::FullyEncoded)}, target);
                if (QFileInfo(target).size() != bytes) {
                    std::fprintf(stderr, "curl's download is %lld bytes\n", qlonglong(QFileInfo(target).size()));
                    curlDown.seconds = -1;
                }
                QFile::remove(target);
            };
            if (round % 2 == 0) {
                downloadOurs();
                downloadCurl();
            } else {
                downloadCurl();
                downloadOurs();
            }
            QFile::remove(dir.filePath("data/jobs/" + ours.job.id + "/input"));
            if (ourUp.seconds <= 0 || curlUp.seconds <= 0 || ourDown.seconds <= 0 || curlDown.seconds <= 0)
                return 1;
            upRatios.push_back(curlUp.seconds / ourUp.seconds);
            downRatios.push_back(curlDown.seconds / ourDown.seconds);
            const auto line = [&](const char* what, const Timing& o, const Timing& c) {
                std::printf("%-5d %-9s %9.1f %8.2f %8.2f %9.1f %8.2f %8.2f %7.2f %6.1f\n", round + 1, what,
                            mb / o.seconds, o.cpu, o.serverCpu, mb / c.seconds, c.cpu, c.serverCpu,
                            c.seconds / o.seconds, load);
            };
            line("upload", ourUp, curlUp);
            line("download", ourDown, curlDown);
            std::fflush(stdout);
        }
        std::printf("median ratio (curl time / ours; 1.0 = as fast as curl): upload %.2f, download %.2f\n",
                    median(upRatios), median(downRatios));
        std::printf("peak resident memory of this process: %.1f MB\n", peakResidentMB());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", qUtf8Printable(describe(e)));
        status = 1;
    }
    server.terminate();
    server.waitForFinished();
    return status;
}
