#include "support/sound_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <cmath>
#include <chrono>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hf::test {

namespace {

constexpr const char* sinkName = "hf_test";

} // namespace

qint64 steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- The server

SoundServer::SoundServer() { start(); }

bool SoundServer::start()
{
    m_unavailable.clear();
    for (const char* program : {"pulseaudio", "pactl", "parec"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            m_unavailable = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
            return false;
        }
    }
    if (!m_dir.isValid()) {
        m_unavailable = QStringLiteral("no temporary folder");
        return false;
    }
    // Everything the daemon keeps (its runtime folder, cookie, settings) stays in the temporary
    // folder, so it meets no other sound server on the machine, and no client of theirs meets it.
    const QString runtime = m_dir.filePath(QStringLiteral("run"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_dir.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), runtime);
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon.setStandardOutputFile(QProcess::nullDevice());
    // It goes with this process, also when this one crashes.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // No configuration of the machine's (-n): just a null sink and the socket. What a client sends
    // goes through the socket (no shared ring beside it), where unreadSent() sees it wait.
    m_daemon.start(QStringLiteral("pulseaudio"),
                   {QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--use-pid-file=no"),
                    QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--log-level=error"),
                    QStringLiteral("--log-target=stderr"),
                    QStringLiteral("--load=module-null-sink sink_name=%1 rate=%2").arg(sinkName).arg(sampleRate),
                    QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 srbchannel=no socket=%1")
                        .arg(m_dir.filePath(QStringLiteral("native")))});
    if (!m_daemon.waitForStarted(5000)) {
        m_unavailable = QStringLiteral("pulseaudio did not start: %1").arg(m_daemon.errorString());
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000 && m_daemon.state() == QProcess::Running) {
        if (QFile::exists(m_dir.filePath(QStringLiteral("native")))) {
            QProcess probe;
            probe.setStandardOutputFile(QProcess::nullDevice());
            probe.setStandardErrorFile(QProcess::nullDevice());
            probe.start(QStringLiteral("pactl"), {QStringLiteral("--server=%1").arg(address()), QStringLiteral("info")});
            if (probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
                return true;
        }
        QThread::msleep(20);
    }
    m_unavailable = QStringLiteral("pulseaudio did not answer");
    return false;
}

SoundServer::~SoundServer() { kill(); }

void SoundServer::kill()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    hang(false);
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(2000);
    }
    // A server killed leaves its socket behind; the next one makes its own.
    QFile::remove(m_dir.filePath(QStringLiteral("native")));
}

void SoundServer::hang(bool hung)
{
    if (m_daemon.state() != QProcess::NotRunning)
        ::kill(pid_t(m_daemon.processId()), hung ? SIGSTOP : SIGCONT);
}

QString SoundServer::address() const
{
    return QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("native"));
}

void SoundServer::useInThisProcess() const
{
    qputenv("PULSE_SERVER", address().toLocal8Bit());
    qputenv("PULSE_SINK", sinkName);
}

long SoundServer::contextSwitches() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_daemon.processId()));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("\nvoluntary_ctxt_switches:") + 25;
    return at < 25 ? -1 : text.mid(at, text.indexOf('\n', at) - at).trimmed().toLong();
}

qint64 SoundServer::unreadSent()
{
    qint64 total = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int queued = 0;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_UNIX
            && ::ioctl(fd, SIOCOUTQ, &queued) == 0)
            total += queued;
    }
    return total;
}

QString SoundServer::usePipeSink(bool use)
{
    useInThisProcess();
    const QString fifo = use ? m_dir.filePath(QStringLiteral("pipe")) : QString();
    if (use)
        qputenv("PULSE_SINK", "hf_pipe");
    if (use == !m_pipeModule.isEmpty())
        return fifo;
    QProcess pactl;
    pactl.start("pactl", use ? QStringList{"load-module", "module-pipe-sink", "sink_name=hf_pipe", "file=" + fifo,
                                           "format=s16le", "channels=1", QStringLiteral("rate=%1").arg(sampleRate)}
                             : QStringList{"unload-module", m_pipeModule});
    const bool done = pactl.waitForFinished(5000) && pactl.exitCode() == 0;
    m_pipeModule = use && done ? QString::fromLatin1(pactl.readAllStandardOutput()).trimmed() : QString();
    return done ? fifo : QString();
}

// ---- The recorder

SinkRecorder::~SinkRecorder() { stop(); }

bool SinkRecorder::startFromPipe(const QString& fifo)
{
    stop();
    m_pipe = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_pipe < 0)
        return false;
    std::lock_guard lock(m_mutex);
    m_samples.clear();
    m_arrivals.clear();
    m_startNs = steadyNanoseconds();
    m_paced = true;
    m_reader = std::thread([this] {
        std::vector<qint16> buffer(4096);
        while (m_paced) {
            // What is due by now, read as it is played.
            QThread::msleep(2);
            qint64 due = (steadyNanoseconds() - m_startNs) * SoundServer::sampleRate / 1'000'000'000;
            std::lock_guard lock(m_mutex);
            due -= qint64(m_samples.size());
            while (due > 0) {
                const ssize_t n = ::read(m_pipe, buffer.data(), size_t(std::min<qint64>(due, 4096)) * 2);
                if (n <= 0)
                    break;
                m_samples.insert(m_samples.end(), buffer.begin(), buffer.begin() + n / 2);
                m_arrivals.emplace_back(qint64(m_samples.size()), steadyNanoseconds());
                due -= n / 2;
            }
        }
    });
    return true;
}

bool SinkRecorder::start()
{
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_samples.clear();
        m_arrivals.clear();
        m_startNs = std::numeric_limits<qint64>::max();
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    // Everything the child needs is made before the fork: between fork and exec it may not allocate.
    const QByteArray program = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("parec")));
    const QByteArray rate = "--rate=" + QByteArray::number(SoundServer::sampleRate);
    const QByteArray device = QByteArray("--device=") + sinkName + ".monitor";
    // A short fragment, so that what is played reaches the pipe soon after.
    const char* arguments[] = {"parec", "--raw", "--format=s16le", "--channels=1", rate.constData(),
                               "--latency-msec=5", device.constData(), nullptr};
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(program.constData(), const_cast<char* const*>(arguments));
        ::_exit(127);
    }
    ::close(fds[1]);
    m_pid = pid;
    m_pipe = fds[0];
    m_reader = std::thread([this] {
        std::vector<char> buffer(4096);
        char carry = 0;
        bool hasCarry = false;
        qint64 total = 0;
        while (true) {
            const ssize_t n = ::read(m_pipe, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            const qint64 arrived = steadyNanoseconds();
            std::lock_guard lock(m_mutex);
            size_t at = 0;
            if (hasCarry) {
                const unsigned char bytes[2] = {static_cast<unsigned char>(carry), static_cast<unsigned char>(buffer[0])};
                m_samples.push_back(qint16(bytes[0] | (bytes[1] << 8)));
                at = 1;
                hasCarry = false;
            }
            for (; at + 1 < size_t(n); at += 2) {
                const auto lo = static_cast<unsigned char>(buffer[at]);
                const auto hi = static_cast<unsigned char>(buffer[at + 1]);
                m_samples.push_back(qint16(lo | (hi << 8)));
            }
            if (at < size_t(n)) {
                carry = buffer[at];
                hasCarry = true;
            }
            total = qint64(m_samples.size());
            m_arrivals.emplace_back(total, arrived);
            // The last sample of this chunk was played no later than it arrived.
            m_startNs = std::min(m_startNs, arrived - total * 1'000'000'000 / SoundServer::sampleRate);
        }
    });
    // Recording has begun once the first chunk arrived.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        {
            std::lock_guard lock(m_mutex);
            if (!m_samples.empty())
                return true;
        }
        QThread::msleep(5);
    }
    stop();
    return false;
}

void SinkRecorder::stop()
{
    m_paced = false;
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_pipe >= 0) {
        ::close(m_pipe);
        m_pipe = -1;
    }
}

qint64 SinkRecorder::timeOfSample(qint64 index) const
{
    return m_startNs + index * 1'000'000'000 / SoundServer::sampleRate;
}

qint64 SinkRecorder::firstSampleAt(qint64 fromNs) const
{
    if (fromNs <= m_startNs)
        return 0;
    const qint64 after = fromNs - m_startNs;
    return (after * SoundServer::sampleRate + 999'999'999) / 1'000'000'000;
}

std::optional<qint64> SinkRecorder::soundAfter(qint64 fromNs, double threshold) const
{
    std::lock_guard lock(m_mutex);
    const int level = int(threshold * 32767);
    for (qint64 i = firstSampleAt(fromNs); i < qint64(m_samples.size()); ++i) {
        if (std::abs(int(m_samples[size_t(i)])) > level)
            return timeOfSample(i);
    }
    return std::nullopt;
}

std::optional<qint64> SinkRecorder::soundBefore(qint64 toNs, double threshold) const
{
    std::lock_guard lock(m_mutex);
    const int level = int(threshold * 32767);
    for (qint64 i = std::min(firstSampleAt(toNs), qint64(m_samples.size())) - 1; i >= 0; --i) {
        if (std::abs(int(m_samples[size_t(i)])) > level)
            return timeOfSample(i);
    }
    return std::nullopt;
}

qint64 SinkRecorder::samples(double threshold) const
{
    std::lock_guard lock(m_mutex);
    const auto louder = [level = int(threshold * 32767)](qint16 sample) { return std::abs(int(sample)) > level; };
    return threshold < 0 ? qint64(m_samples.size()) : std::count_if(m_samples.begin(), m_samples.end(), louder);
}

qint64 SinkRecorder::lateBetween(qint64 fromNs, qint64 toNs) const
{
    std::lock_guard lock(m_mutex);
    const qint64 first = firstSampleAt(fromNs), last = firstSampleAt(toNs);
    // A chunk's first sample waited longest.
    qint64 late = 0, chunkStart = 0;
    for (const auto& [end, arrived] : m_arrivals) {
        if (end > first && chunkStart < last)
            late = std::max(late, arrived - timeOfSample(chunkStart));
        chunkStart = end;
    }
    return late;
}

bool SinkRecorder::soundBetween(qint64 fromNs, qint64 toNs, double threshold) const
{
    const std::optional<qint64> heard = soundAfter(fromNs, threshold);
    return heard && *heard < toNs;
}

} // namespace hf::test
