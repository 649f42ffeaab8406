#include "platform/audio_output.h"

#include "platform/logging.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

HF_LOGGING_CATEGORY(lcAudioOutput, "AudioOutput")

namespace hf {

// ---------------------------------------------------------------------------------------------
// Null output

// Pulls from the output at the pace of a real device: every few milliseconds it renders what a
// device would have consumed since the start.
struct NullAudioOutput::Pacer {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
};

NullAudioOutput::NullAudioOutput(Mode mode, int sampleRate, int channels)
    : m_mode(mode), m_rate(sampleRate), m_channels(channels)
{
}

NullAudioOutput::~NullAudioOutput() { stop(); }

bool NullAudioOutput::isStarted() const
{
    std::lock_guard lock(m_mutex);
    return m_renderer != nullptr;
}

void NullAudioOutput::start(AudioRenderer* renderer)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_renderer)
            return;
        m_renderer = renderer;
    }
    if (m_mode != Mode::paced)
        return;
    m_pacer = std::make_unique<Pacer>();
    Pacer* pacer = m_pacer.get();
    pacer->thread = std::thread([this, pacer] {
        using clock = std::chrono::steady_clock;
        constexpr qint64 block = 1024;
        std::vector<float> buffer(size_t(block) * m_channels);
        const auto started = clock::now();
        qint64 done = 0;
        std::unique_lock lock(pacer->mutex);
        while (!pacer->stopping) {
            const double elapsed = std::chrono::duration<double>(clock::now() - started).count();
            qint64 due = qint64(elapsed * m_rate) - done;
            lock.unlock();
            while (due > 0) {
                const qint64 n = std::min(due, block);
                renderLocked(buffer.data(), n);
                done += n;
                due -= n;
            }
            lock.lock();
            pacer->wake.wait_for(lock, std::chrono::milliseconds(5), [pacer] { return pacer->stopping; });
        }
    });
}

void NullAudioOutput::stop()
{
    if (m_pacer) {
        {
            std::lock_guard lock(m_pacer->mutex);
            m_pacer->stopping = true;
        }
        m_pacer->wake.notify_all();
        m_pacer->thread.join();
        m_pacer.reset();
    }
    std::lock_guard lock(m_mutex);
    m_renderer = nullptr;
}

qint64 NullAudioOutput::renderLocked(float* out, qint64 frames)
{
    std::lock_guard lock(m_mutex);
    qint64 played = 0;
    if (m_renderer)
        played = m_renderer->render(out, frames);
    else
        std::fill(out, out + frames * m_channels, 0.0f);
    m_rendered += frames;
    m_played += played;
    return played;
}

std::vector<float> NullAudioOutput::pull(qint64 frames, qint64* played)
{
    std::vector<float> out(size_t(std::max<qint64>(frames, 0)) * m_channels);
    const qint64 n = frames > 0 ? renderLocked(out.data(), frames) : 0;
    if (played)
        *played = n;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Device output

namespace {

// The sink's buffer: short enough for a seek to be heard at once.
constexpr qint64 bufferMicroseconds = 100000;
// A sink reads every few tens of milliseconds while it plays; this long without a read, it has
// stopped.
constexpr qint64 stallNanoseconds = 500'000'000;
// Opening a stream takes a good part of a second, and a new stream is only played once the
// server has woken its device for it: a device that idled with no stream on it (as after the
// server restarted) may have been scheduled up to 2 s ahead, and takes nothing of the new stream
// until then. A server that has not played a stream after this long is not answering.
constexpr qint64 openNanoseconds = 3'000'000'000;
// How long the application's end waits for the output thread to let the sound server go; a
// thread still waiting for a server that does not answer is left to it.
constexpr int closeMilliseconds = 2000;

qint64 steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the main thread and the output's thread both touch. The output's thread may be held up
// inside the sound server's client library for as long as the server does not answer, so it
// owns a share of this and never touches the output object itself.
struct Feed {
    std::mutex renderMutex;   // held while rendering
    AudioRenderer* renderer = nullptr;
    std::atomic<qint64> rendered{0};    // frames handed to the current stream
    std::atomic<qint64> bufferFrames{0};   // what the current stream's buffer holds
    std::atomic<qint64> lastRead{0};    // steady clock, nanoseconds: when a renderer last gave frames
    std::atomic<bool> open{false};      // a stream is open and takes what it is given
    std::atomic<bool> failed{false};    // the stream could not be opened, or the server dropped it
    // The current stream's count of frames played, as sampled by the output's thread, and when.
    std::atomic<qint64> processed{0};
    std::atomic<qint64> processedAt{0};

    // Returns once a render by the previous renderer has ended.
    void setRenderer(AudioRenderer* next)
    {
        std::lock_guard lock(renderMutex);
        renderer = next;
    }
};

// The QIODevice the sink reads from in pull mode; it asks the renderer for exactly what the
// sink wants (unbuffered, so nothing rendered waits in the device). Without a renderer it has
// nothing to give: the sink idles with its stream open.
class RenderDevice : public QIODevice {
public:
    RenderDevice(const QAudioFormat& format, std::shared_ptr<Feed> feed) : m_format(format), m_feed(std::move(feed)) {}

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return (1 << 20) + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const int channels = m_format.channelCount();
        const int bytesPerFrame = m_format.bytesPerFrame();
        const qint64 frames = maxSize / bytesPerFrame;
        std::lock_guard lock(m_feed->renderMutex);
        AudioRenderer* renderer = m_feed->renderer;
        if (frames <= 0 || !renderer)
            return 0;
        if (m_format.sampleFormat() == QAudioFormat::Float) {
            renderer->render(reinterpret_cast<float*>(data), frames);
        } else {
            m_scratch.resize(size_t(frames) * channels);
            renderer->render(m_scratch.data(), frames);
            auto* out = reinterpret_cast<qint16*>(data);
            for (size_t i = 0; i < m_scratch.size(); ++i)
                out[i] = qint16(std::clamp(m_scratch[i], -1.0f, 1.0f) * 32767.0f);
        }
        m_feed->rendered += frames;
        m_feed->lastRead = steadyNanoseconds();
        return frames * bytesPerFrame;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QAudioFormat m_format;
    std::shared_ptr<Feed> m_feed;
    std::vector<float> m_scratch;
};

// The sink and its device, on the output's thread: every call that may wait for the sound
// server is made here, never on the thread that starts and stops the output.
class Stream {
public:
    Stream(QAudioDevice device, QAudioFormat format, std::shared_ptr<Feed> feed)
        : m_device(std::move(device)), m_format(format), m_feed(std::move(feed))
    {
    }
    ~Stream() { close(); }

    // Opens a stream when none is open (again after a failure, since the server may be back:
    // the sink connects a new stream through Qt's sound client, which reconnects by itself).
    void open()
    {
        if (!m_sink) {
            m_io = new RenderDevice(m_format, m_feed);
            m_io->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
            m_sink = new QAudioSink(m_device, m_format);
            // A stream the server drops (it went away, or it failed) plays nothing from then on;
            // the next start opens a new one.
            QObject::connect(m_sink, &QAudioSink::stateChanged, m_sink, [this](QAudio::State state) {
                if (state != QAudio::StoppedState || !m_sink || m_sink->error() == QAudio::NoError || m_broken)
                    return;
                qCWarning(lcAudioOutput, "The audio device stopped (error %d)", int(m_sink->error()));
                fail();
            });
            m_latencyTimer = new QTimer;
            m_latencyTimer->setInterval(10);
            QObject::connect(m_latencyTimer, &QTimer::timeout, m_latencyTimer, [this] { sampleProcessed(); });
            m_latencyTimer->start();
        } else if (!m_broken) {
            return;
        }
        m_broken = false;
        restart();
        if (m_broken)
            qCWarning(lcAudioOutput, "The audio device could not be opened (error %d)",
                      m_sink ? int(m_sink->error()) : -1);
    }

    // A new, silent stream in place of the current one: what the old one held is dropped. Qt's
    // pulse sink asks the sound server for the buffer it was granted last time, and the server
    // grants a quarter less on every new stream: after a few pauses the buffer would hold less
    // than the one period the sink waits to have free before it reads, and the sink would never
    // read again. So every stream asks for the full size anew.
    void restart()
    {
        if (!m_sink || m_broken)
            return;
        m_feed->open = false;
        m_sink->stop();
        m_feed->rendered = 0;
        m_feed->processed = 0;
        m_feed->processedAt = steadyNanoseconds();
        m_sink->setBufferSize(m_format.bytesForDuration(bufferMicroseconds));
        m_sink->start(m_io);
        // With nothing to play yet the sink may idle at once; only a stopped one failed.
        if (m_sink->state() == QAudio::StoppedState) {
            fail();
        } else {
            m_feed->bufferFrames = m_sink->bufferSize() / m_format.bytesPerFrame();
            m_feed->open = true;
        }
    }

    // The sink stopped asking while there was nothing to give: it asks again.
    void wake()
    {
        if (m_io)
            emit m_io->readyRead();
    }

    // Qt's pulse sink handles pending events while it is destroyed, which may run later
    // requests, this object's deletion among them: nothing here touches a member after that.
    void close()
    {
        m_feed->open = false;
        m_broken = false;
        delete std::exchange(m_latencyTimer, nullptr);
        QAudioSink* sink = std::exchange(m_sink, nullptr);
        QIODevice* io = std::exchange(m_io, nullptr);
        if (!sink)
            return;
        sink->stop();
        delete sink;
        delete io;
    }

private:
    void fail()
    {
        m_broken = true;
        m_feed->open = false;
        m_feed->failed = true;
    }

    // What the stream has played: Qt's count of what the server read, less what waits in the
    // server's sink. Frames handed over but not yet played are all that separates it from what
    // was rendered; the sink's free space measures part of the same frames again.
    void sampleProcessed()
    {
        if (!m_sink || !m_feed->open.load())
            return;
        const qint64 processed = m_sink->processedUSecs() * m_format.sampleRate() / 1000000;
        m_feed->processedAt = steadyNanoseconds();
        m_feed->processed = processed;
    }

    QAudioDevice m_device;
    QAudioFormat m_format;
    std::shared_ptr<Feed> m_feed;
    QAudioSink* m_sink = nullptr;
    RenderDevice* m_io = nullptr;
    QTimer* m_latencyTimer = nullptr;
    bool m_broken = false;   // the sink's stream failed: the next open() connects a new one
};

// The thread every device output's stream lives on, for as long as the application runs: Qt's
// sound client is made on the thread that opens the first stream and reconnects, on that thread,
// to a sound server that went away, so that thread must not end with an output.
QThread* outputThread = nullptr;

QObject* outputThreadContext()
{
    static QObject* context = [] {
        outputThread = new QThread;
        outputThread->setObjectName(QStringLiteral("audio output"));
        auto* object = new QObject;
        object->moveToThread(outputThread);
        outputThread->start(QThread::TimeCriticalPriority);
        qAddPostRoutine([] {
            outputThread->quit();
            if (!outputThread->wait(closeMilliseconds))
                qCWarning(lcAudioOutput, "The sound server does not answer; leaving its audio stream behind");
        });
        return object;
    }();
    return context;
}

// Plays through Qt's audio sink on the output thread. The thread that starts and stops the
// output never waits for that thread (a sound server that stops answering would hold it up
// too): requests are queued to it, and what the output reports (read, stalled, failed, latency)
// it reads from the shared feed.
class DeviceAudioOutput : public AudioOutput {
public:
    DeviceAudioOutput(QAudioDevice device, QAudioFormat format)
        : m_device(std::move(device)), m_format(format), m_feed(std::make_shared<Feed>())
    {
    }
    ~DeviceAudioOutput() override
    {
        stop();
        // The renderer is gone from the feed: the stream goes when the output thread gets to it.
        if (Stream* stream = std::exchange(m_stream, nullptr))
            QMetaObject::invokeMethod(outputThreadContext(), [stream] { delete stream; }, Qt::QueuedConnection);
    }

    int sampleRate() const override { return m_format.sampleRate(); }
    int channels() const override { return m_format.channelCount(); }
    bool isDevice() const override { return true; }
    bool isStarted() const override { return m_started.load(); }

    qint64 latencyFrames() const override
    {
        if (!m_started || !m_feed->open.load())
            return 0;
        // The sampled count of played frames, moved on by the time since it was taken (the
        // stream plays on between samples), never past what was rendered.
        const qint64 since = std::max<qint64>(steadyNanoseconds() - m_feed->processedAt.load(), 0);
        const qint64 processed = m_feed->processed.load() + since * m_format.sampleRate() / 1'000'000'000;
        return std::max<qint64>(m_feed->rendered.load() - processed, 0);
    }

    bool isStalled() const override
    {
        if (!m_started)
            return false;
        if (m_feed->failed.load())
            return true;
        const qint64 since = std::max(m_startedAt, m_feed->lastRead.load());
        // A start fills the stream's buffer at once; the stream plays once the server has taken
        // more than that. Until then the server may still be waking its device.
        const bool playing = m_feed->open.load() && m_feed->rendered.load() > m_feed->bufferFrames.load();
        return steadyNanoseconds() - since > (playing ? stallNanoseconds : openNanoseconds);
    }

    void prepare() override
    {
        m_keepOpen = true;
        post([stream = stream()] { stream->open(); });
    }

    void release() override
    {
        m_keepOpen = false;
        stop();
        if (m_stream)
            post([stream = m_stream] { stream->close(); });
    }

    void start(AudioRenderer* renderer) override
    {
        if (m_started)
            return;
        m_started = true;
        m_startedAt = steadyNanoseconds();
        // A failure is reported until the stream is opened again: the request is on its way.
        m_feed->failed = false;
        m_feed->setRenderer(renderer);
        post([stream = stream()] {
            stream->open();   // nothing to do when prepared, unless the server dropped the stream
            stream->wake();
        });
    }

    void stop() override
    {
        if (!m_started)
            return;
        m_started = false;
        m_feed->setRenderer(nullptr);
        // What the stream holds is dropped with it; a prepared output opens a new, silent one at
        // once, so the device stays awake for the next start.
        if (m_keepOpen)
            post([stream = m_stream] { stream->restart(); });
        else
            post([stream = m_stream] { stream->close(); });
    }

private:
    // The stream, made on first use.
    Stream* stream()
    {
        if (!m_stream)
            m_stream = new Stream(m_device, m_format, m_feed);
        return m_stream;
    }

    // Runs `work` on the output thread, after what was queued before it; returns at once.
    template <typename Work>
    void post(Work work)
    {
        QMetaObject::invokeMethod(outputThreadContext(), std::move(work), Qt::QueuedConnection);
    }

    QAudioDevice m_device;
    QAudioFormat m_format;
    std::shared_ptr<Feed> m_feed;
    std::atomic<bool> m_started{false};
    bool m_keepOpen = false;   // prepared: open across stops
    qint64 m_startedAt = 0;    // steady clock, nanoseconds
    Stream* m_stream = nullptr;   // used on the output thread only
};

} // namespace

std::unique_ptr<AudioOutput> AudioOutput::createDefault(int preferredRate)
{
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        qCInfo(lcAudioOutput, "No audio device; playing silently");
        return std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::paced, preferredRate, 2);
    }
    QAudioFormat format;
    format.setSampleRate(preferredRate);
    format.setChannelCount(2);
    format.setChannelConfig(QAudioFormat::ChannelConfigStereo);
    format.setSampleFormat(QAudioFormat::Float);
    if (!device.isFormatSupported(format)) {
        format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) {
            format.setSampleRate(device.preferredFormat().sampleRate());
            if (!device.isFormatSupported(format)) {
                qCInfo(lcAudioOutput, "The audio device takes no stereo format we can write; playing silently");
                return std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::paced, preferredRate, 2);
            }
        }
    }
    return std::make_unique<DeviceAudioOutput>(device, format);
}

} // namespace hf
