#include "platform/audio_output.h"

#include "platform/logging.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
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

qint64 steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The QIODevice the sink reads from in pull mode; it asks the renderer for exactly what the
// sink wants (unbuffered, so nothing rendered waits in the device). Without a renderer it has
// nothing to give: the sink idles with its stream open. Lives on the sink's thread; the renderer
// is set from any thread.
class RenderDevice : public QIODevice {
public:
    explicit RenderDevice(const QAudioFormat& format) : m_format(format) {}

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return (1 << 20) + QIODevice::bytesAvailable(); }
    // Frames handed to the sink since restartCount().
    qint64 rendered() const { return m_rendered; }
    void restartCount() { m_rendered = 0; }
    // When the sink last took frames from a renderer (steady clock, nanoseconds); any thread.
    qint64 lastRead() const { return m_lastRead.load(); }
    // Returns once a render by the previous renderer has ended.
    void setRenderer(AudioRenderer* renderer)
    {
        std::lock_guard lock(m_mutex);
        m_renderer = renderer;
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const int channels = m_format.channelCount();
        const int bytesPerFrame = m_format.bytesPerFrame();
        const qint64 frames = maxSize / bytesPerFrame;
        std::lock_guard lock(m_mutex);
        if (frames <= 0 || !m_renderer)
            return 0;
        if (m_format.sampleFormat() == QAudioFormat::Float) {
            m_renderer->render(reinterpret_cast<float*>(data), frames);
        } else {
            m_scratch.resize(size_t(frames) * channels);
            m_renderer->render(m_scratch.data(), frames);
            auto* out = reinterpret_cast<qint16*>(data);
            for (size_t i = 0; i < m_scratch.size(); ++i)
                out[i] = qint16(std::clamp(m_scratch[i], -1.0f, 1.0f) * 32767.0f);
        }
        m_rendered += frames;
        m_lastRead = steadyNanoseconds();
        return frames * bytesPerFrame;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::mutex m_mutex;   // held while rendering
    AudioRenderer* m_renderer = nullptr;
    QAudioFormat m_format;
    qint64 m_rendered = 0;
    std::atomic<qint64> m_lastRead{0};
    std::vector<float> m_scratch;
};

class DeviceAudioOutput : public AudioOutput {
public:
    DeviceAudioOutput(QAudioDevice device, QAudioFormat format)
        : m_device(std::move(device)), m_format(format),
          m_fallback(NullAudioOutput::Mode::paced, format.sampleRate(), format.channelCount())
    {
    }
    ~DeviceAudioOutput() override { release(); }

    int sampleRate() const override { return m_format.sampleRate(); }
    int channels() const override { return m_format.channelCount(); }
    bool isDevice() const override { return !m_usingFallback; }
    bool isStarted() const override { return m_renderer.load() != nullptr || m_fallback.isStarted(); }
    qint64 latencyFrames() const override { return m_usingFallback ? 0 : m_latency.load(); }
    bool isStalled() const override
    {
        if (m_usingFallback || !m_renderer.load() || !m_io)
            return false;
        return steadyNanoseconds() - std::max(m_startedAt.load(), m_io->lastRead()) > stallNanoseconds;
    }

    void prepare() override
    {
        m_keepOpen = true;
        if (!m_usingFallback)
            open();
    }

    void release() override
    {
        m_keepOpen = false;
        stop();
        close();
    }

    void start(AudioRenderer* renderer) override
    {
        if (isStarted())
            return;
        m_latency = 0;
        m_startedAt = steadyNanoseconds();
        m_renderer = renderer;
        if (!m_usingFallback)
            open();   // at once when prepared
        if (m_usingFallback) {
            m_fallback.start(renderer);
            return;
        }
        QMetaObject::invokeMethod(
            m_context,
            [this, renderer] {
                m_io->setRenderer(renderer);
                // The sink stopped asking while there was nothing to give: it asks again.
                emit m_io->readyRead();
            },
            Qt::BlockingQueuedConnection);
    }

    void stop() override
    {
        if (m_thread) {
            QMetaObject::invokeMethod(
                m_context,
                [this] {
                    m_io->setRenderer(nullptr);
                    // What the stream holds is dropped with it; a prepared output opens a new,
                    // silent one at once, so the device stays awake for the next start.
                    m_sink->stop();
                    if (m_keepOpen) {
                        m_io->restartCount();
                        startSink();
                    }
                },
                Qt::BlockingQueuedConnection);
            if (!m_keepOpen)
                close();
        }
        m_renderer = nullptr;
        m_fallback.stop();
        m_latency = 0;
    }

private:
    // Opens the device with nothing to play, on a thread of its own; on failure the output plays
    // silently at the device's pace from then on.
    void open()
    {
        if (m_thread || m_usingFallback)
            return;
        m_thread = new QThread;
        m_thread->setObjectName(QStringLiteral("audio output"));
        m_context = new QObject;
        m_context->moveToThread(m_thread);
        m_thread->start(QThread::TimeCriticalPriority);
        bool ok = false;
        // The sink and its device live on the output thread, so their pulls never wait for the
        // main thread.
        QMetaObject::invokeMethod(
            m_context,
            [&] {
                m_io = new RenderDevice(m_format);
                m_io->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
                m_sink = new QAudioSink(m_device, m_format);
                // What was rendered but is not heard yet: handed over but not yet processed, plus
                // what waits in the device's buffer. Sampled on this thread between pulls.
                m_latencyTimer = new QTimer;
                m_latencyTimer->setInterval(20);
                QObject::connect(m_latencyTimer, &QTimer::timeout, m_latencyTimer, [this] {
                    if (!m_sink || !m_io)
                        return;
                    const int bytesPerFrame = m_format.bytesPerFrame();
                    const qint64 processed = m_sink->processedUSecs() * m_format.sampleRate() / 1000000;
                    const qint64 queued = std::max<qint64>(m_sink->bufferSize() - m_sink->bytesFree(), 0) / bytesPerFrame;
                    m_latency = std::max<qint64>(m_io->rendered() - processed, 0) + queued;
                });
                m_latencyTimer->start();
                // A device that goes away: play on silently at its pace, so the playhead keeps
                // moving.
                QObject::connect(m_sink, &QAudioSink::stateChanged, m_sink, [this](QAudio::State state) {
                    if (state != QAudio::StoppedState || !m_sink || m_sink->error() == QAudio::NoError
                        || m_usingFallback)
                        return;
                    qCWarning(lcAudioOutput, "The audio device stopped (error %d); playing silently",
                              int(m_sink->error()));
                    m_usingFallback = true;
                    if (AudioRenderer* renderer = m_renderer.load())
                        m_fallback.start(renderer);
                });
                startSink();
                // With nothing to play yet the sink may idle at once; only a stopped one failed.
                ok = m_sink->state() != QAudio::StoppedState;
                if (!ok) {
                    qCWarning(lcAudioOutput, "The audio device could not be opened (error %d); playing silently",
                              int(m_sink->error()));
                    closeOnThread();
                }
            },
            Qt::BlockingQueuedConnection);
        if (!ok) {
            stopThread();
            m_usingFallback = true;
        }
    }

    // Opens a new stream on the sink, reading from m_io; on the output's thread. Qt's pulse sink
    // asks the sound server for the buffer it was granted last time, and the server grants a
    // quarter less on every new stream: after a few pauses the buffer would hold less than the one
    // period the sink waits to have free before it reads, and the sink would never read again.
    // So every stream asks for the full size anew.
    void startSink()
    {
        m_sink->setBufferSize(m_format.bytesForDuration(bufferMicroseconds));
        m_sink->start(m_io);
    }

    void close()
    {
        if (!m_thread)
            return;
        QMetaObject::invokeMethod(m_context, [this] { closeOnThread(); }, Qt::BlockingQueuedConnection);
        stopThread();
    }

    void closeOnThread()
    {
        delete m_latencyTimer;
        m_latencyTimer = nullptr;
        if (m_sink)
            m_sink->stop();
        delete m_sink;
        m_sink = nullptr;
        delete m_io;
        m_io = nullptr;
    }

    void stopThread()
    {
        m_thread->quit();
        m_thread->wait();
        delete m_context;
        m_context = nullptr;
        delete m_thread;
        m_thread = nullptr;
    }

    QAudioDevice m_device;
    QAudioFormat m_format;
    NullAudioOutput m_fallback;
    std::atomic<bool> m_usingFallback{false};
    std::atomic<AudioRenderer*> m_renderer{nullptr};   // while started
    bool m_keepOpen = false;                           // prepared: open across stops
    QThread* m_thread = nullptr;
    QObject* m_context = nullptr;   // lives on m_thread: the target of calls into it
    QAudioSink* m_sink = nullptr;
    QTimer* m_latencyTimer = nullptr;
    RenderDevice* m_io = nullptr;
    std::atomic<qint64> m_latency{0};
    std::atomic<qint64> m_startedAt{0};   // steady clock, nanoseconds
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
