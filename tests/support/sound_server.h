#pragma once

// A private sound server for tests and benchmarks: PulseAudio with one null sink (no hardware),
// reached through a socket in a temporary folder, and a recorder of what that sink plays, each
// sample placed on the steady clock. Skips cleanly where PulseAudio is not installed:
//
//     hf::test::SoundServer server;
//     if (!server.unavailable().isEmpty())
//         QSKIP(qPrintable(server.unavailable()));
//     server.useInThisProcess();              // before the first device output is made
//     hf::test::SinkRecorder recorder;
//     QVERIFY(recorder.start());
//     ... play ...
//     std::optional<qint64> heard = recorder.soundAfter(startedNs);

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace hf::test {

// The steady clock in nanoseconds, the time base of SinkRecorder.
qint64 steadyNanoseconds();

class SoundServer {
public:
    static constexpr int sampleRate = 48000;

    // Starts the server and waits until it answers (a few seconds at most).
    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Empty when the server runs; else why not.
    QString unavailable() const { return m_unavailable; }
    // The server's address as its clients take it ("unix:<socket>").
    QString address() const;
    // Points this process's sound clients (and the programs it starts) at this server, and only
    // at it. Must come before the first device output is made.
    void useInThisProcess() const;
    // Adds a sink that plays into a FIFO, whose latency is what the FIFO holds (up to about 0.7 s),
    // and points this process's sound clients at it; or takes it away again. Returns the FIFO's
    // path (empty when the sink could not be added, or is taken away).
    QString usePipeSink(bool use);

    // Ends the server (its clients lose their streams); start() brings it back at the same
    // address, waiting until it answers. start() returns false, with unavailable() saying why,
    // when it does not.
    void kill();
    bool start();
    // Stops the server with SIGSTOP (it neither answers nor dies) or lets it go on.
    void hang(bool hung);
    // The server's voluntary context switches so far: how often it woke.
    long contextSwitches() const;
    // The bytes this process has sent over its local sockets that their readers have not taken
    // yet: what waits for a stopped server.
    static qint64 unreadSent();

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_unavailable;
    QString m_pipeModule;   // the pipe sink's module while it is there
};

// Records the null sink's monitor (mono, 16-bit) with parec on a thread of its own.
class SinkRecorder {
public:
    ~SinkRecorder();
    // Starts recording from the server this process uses, forgetting an earlier recording;
    // false when parec cannot start.
    bool start();
    // Records what the pipe sink plays instead: each sample heard as it is read from the FIFO,
    // read at the pace of playback.
    bool startFromPipe(const QString& fifo);
    void stop();
    bool isRecording() const { return m_pid > 0; }
    // When the first sample louder than `threshold` (of full scale) at or after `fromNs` was
    // played, on the steady clock; none when nothing that loud was recorded after it yet.
    std::optional<qint64> soundAfter(qint64 fromNs, double threshold = 0.03) const;
    // Whether anything louder than `threshold` was played between the two times.
    bool soundBetween(qint64 fromNs, qint64 toNs, double threshold = 0.03) const;
    // When the last sample louder than `threshold` before `toNs` was played; none when nothing
    // that loud was recorded before it.
    std::optional<qint64> soundBefore(qint64 toNs, double threshold = 0.03) const;
    // The samples recorded so far that are louder than `threshold` (all of them by default).
    qint64 samples(double threshold = -1) const;
    // How late what was played between the two times reached the recording: the most that a
    // sample of it came after it was played. Late from the sound server, its main thread (which
    // also asks the players for more sound) waited for a core that long; late from the pipe, the
    // thread reading it did, and the times of its samples are that much off.
    qint64 lateBetween(qint64 fromNs, qint64 toNs) const;

private:
    // The time at which sample `index` was played: the recording's start is taken from the chunk
    // that arrived soonest after its samples were played (the least delayed one).
    qint64 timeOfSample(qint64 index) const;
    qint64 firstSampleAt(qint64 fromNs) const;

    mutable std::mutex m_mutex;
    std::vector<qint16> m_samples;
    std::vector<std::pair<qint64, qint64>> m_arrivals;   // (samples recorded, steady time) as each chunk arrived
    qint64 m_startNs = std::numeric_limits<qint64>::max();
    std::thread m_reader;
    int m_pid = -1;
    int m_pipe = -1;
    std::atomic<bool> m_paced{false};
};

} // namespace hf::test
