#include "platform/audio_output.h"

#include "platform/logging.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

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

// The stream's buffer: short enough for a seek to be heard at once.
constexpr qint64 bufferMicroseconds = 100000;
// A stream is read every few tens of milliseconds while it plays; this long without a read, it
// has stopped.
constexpr qint64 stallNanoseconds = 500'000'000;
// Opening a stream takes a good part of a second, and a new stream is only played once the
// server has woken its device for it: a device that idled with no stream on it (as after the
// server restarted) may have been scheduled up to 2 s ahead, and takes nothing of the new stream
// until then. A server that has not played a stream after this long is not answering.
constexpr qint64 openNanoseconds = 3'000'000'000;
// How often the server is asked what the stream has played.
constexpr pa_usec_t sampleMicroseconds = 10000;

qint64 steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Plays through the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service) with
// the server's client library, whose own thread sends the requests and takes the answers: no call
// here waits for the server, so a server that stops answering holds up nothing but its sound.
// The connection is this output's own. One the server dropped (it went away) is made anew by the
// next prepare() or start(), however long the server was away; a server that is not there yet is
// tried again at every start.
//
// Everything below is touched with the client's loop locked; the loop's thread holds that lock
// while it runs the callbacks. What the player reads while playing (read, stalled, failed,
// latency) is kept in atomics, so that those reads take no lock.
class PulseAudioOutput : public AudioOutput {
public:
    PulseAudioOutput(int rate, int channels) : m_rate(rate), m_channels(channels)
    {
        m_loop = pa_threaded_mainloop_new();
        if (m_loop && pa_threaded_mainloop_start(m_loop) != 0) {
            pa_threaded_mainloop_free(m_loop);
            m_loop = nullptr;
        }
        if (!m_loop)
            qCWarning(lcAudioOutput, "The sound server's client could not start");
    }

    ~PulseAudioOutput() override
    {
        if (!m_loop)
            return;
        m_feed.setRenderer(nullptr);
        pa_threaded_mainloop_lock(m_loop);
        m_started = false;
        disconnectLocked();
        pa_threaded_mainloop_unlock(m_loop);
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
    }

    int sampleRate() const override { return m_rate; }
    int channels() const override { return m_channels; }
    bool isDevice() const override { return true; }
    bool isStarted() const override { return m_started.load(); }

    qint64 latencyFrames() const override
    {
        if (!m_started || !m_feed.open.load())
            return 0;
        // The server's last report of the frames heard, moved on by the time since then (the
        // stream plays on between reports) up to the report's limit, and never past what was
        // rendered. Nor below what was given before: a busy server takes the time of its report
        // a little after its counts (up to 7 ms measured under load), so that a report can put
        // the sound a little behind where the one before had it; the position holds until the
        // sound is there.
        std::lock_guard lock(m_feed.heardMutex);
        const Heard& heard = m_feed.heard;
        const qint64 since = std::max<qint64>(steadyNanoseconds() - heard.at, 0);
        const qint64 frames = std::max(std::min(heard.frames + since * m_rate / 1'000'000'000, heard.limit),
                                       m_feed.heardGiven);
        m_feed.heardGiven = frames;
        return std::max<qint64>(m_feed.rendered.load() - frames, 0);
    }

    qint64 withLatency(const std::function<qint64(qint64)>& heard) const override
    {
        // A render and the count of what it wrote happen under this lock.
        std::lock_guard lock(m_feed.renderMutex);
        return heard(latencyFrames());
    }

    qint64 withUntaken(const std::function<qint64(qint64)>& heard) const override
    {
        if (!isStalled())
            return withLatency(heard);
        std::lock_guard lock(m_feed.renderMutex);
        // A server that stopped answering holds all the stream was given (what its sink took, and
        // what waits in the stream and on the way to it) and plays it when it goes on, ahead of
        // any word to close the stream: none of it is lost.
        if (!m_feed.failed.load())
            return heard(0);
        // One that dropped the stream played what its sink had taken by its last report; the
        // position given may have moved on past it since (a report is moved on while the server
        // might still be playing), never the sound.
        qint64 taken = 0;
        {
            std::lock_guard heardLock(m_feed.heardMutex);
            taken = std::min(m_feed.heard.read, m_feed.heardGiven);
        }
        return heard(std::max<qint64>(m_feed.rendered.load() - taken, 0));
    }

    bool isStalled() const override
    {
        if (!m_started)
            return false;
        if (m_feed.failed.load())
            return true;
        const qint64 since = std::max(m_startedAt, m_feed.lastRead.load());
        // A start fills the stream's buffer at once; the stream plays once the server has taken
        // more than that. Until then the server may still be waking its device.
        const bool playing = m_feed.open.load() && m_feed.rendered.load() > m_feed.bufferFrames.load();
        return steadyNanoseconds() - since > (playing ? stallNanoseconds : openNanoseconds);
    }

    bool isUnreachable() const override { return m_started && m_feed.failed.load() && m_feed.unreachable.load(); }

    void prepare() override
    {
        if (!m_loop)
            return;
        pa_threaded_mainloop_lock(m_loop);
        m_keepOpen = true;
        openLocked();
        pa_threaded_mainloop_unlock(m_loop);
    }

    void release() override
    {
        stop();
        if (!m_loop)
            return;
        pa_threaded_mainloop_lock(m_loop);
        m_keepOpen = false;
        disconnectLocked();
        pa_threaded_mainloop_unlock(m_loop);
    }

    void start(AudioRenderer* renderer) override
    {
        if (m_started)
            return;
        m_startedAt = steadyNanoseconds();
        m_feed.setRenderer(renderer);
        if (!m_loop) {
            m_feed.unreachable = true;
            m_feed.failed = true;
            m_started = true;
            return;
        }
        pa_threaded_mainloop_lock(m_loop);
        // What an earlier start met is forgotten (with the loop locked, so that no word about the
        // broken connection comes after it): this start reports its own.
        m_feed.failed = false;
        m_feed.unreachable = false;
        m_started = true;
        // A silent stream still on its way (a stop just asked for it) is asked for anew, to play
        // as soon as it is there rather than wait for a second word from the server.
        if (m_stream && pa_stream_get_state(m_stream) == PA_STREAM_CREATING)
            closeStreamLocked();
        openLocked();   // nothing to do when prepared, unless the server dropped the stream
        playLocked();
        pa_threaded_mainloop_unlock(m_loop);
    }

    void stop() override
    {
        if (!m_started)
            return;
        // Returns once a render running on the loop's thread has ended.
        m_feed.setRenderer(nullptr);
        if (!m_loop) {
            m_started = false;
            return;
        }
        pa_threaded_mainloop_lock(m_loop);
        m_started = false;
        // What the stream holds is dropped with it; a prepared output opens a new, silent one at
        // once, so that the device stays awake for the next start.
        closeStreamLocked();
        if (m_keepOpen)
            openLocked();
        else
            disconnectLocked();
        pa_threaded_mainloop_unlock(m_loop);
    }

    void stopForRestart() override
    {
        if (!m_started || !m_loop) {
            stop();
            return;
        }
        m_feed.setRenderer(nullptr);
        pa_threaded_mainloop_lock(m_loop);
        m_started = false;
        // A playing stream is fed no more but sounds on until the stream of the next start has
        // been given its sound, then goes: what it holds lasts longer than a new stream takes to
        // open, which a seek would otherwise hear as a gap.
        pa_stream* playing = nullptr;
        if (m_stream && m_feed.open.load() && pa_stream_get_state(m_stream) == PA_STREAM_READY)
            playing = std::exchange(m_stream, nullptr);
        if (playing) {
            pa_stream_set_write_callback(playing, nullptr, nullptr);
            pa_stream_set_state_callback(playing, nullptr, nullptr);
        }
        closeStreamLocked();
        m_outgoing = playing;
        if (!m_outgoing && m_keepOpen)
            openLocked();
        pa_threaded_mainloop_unlock(m_loop);
    }

private:
    // A connection to the server, and on it a stream (corked while not started), when they are
    // not there or broke. The stream is made once the connection is ready.
    void openLocked()
    {
        if (m_context && !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
            disconnectLocked();
        if (!m_context) {
            m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Hushframe");
            m_contextReady = false;
            if (!m_context) {
                unreachableLocked();
                return;
            }
            pa_context_set_state_callback(m_context, &PulseAudioOutput::contextChanged, this);
            // Never started by us: starting a server waits for it.
            if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
                qCWarning(lcAudioOutput, "No sound server: %s", pa_strerror(pa_context_errno(m_context)));
                disconnectLocked();
                unreachableLocked();
                return;
            }
        }
        if (m_stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
            closeStreamLocked();
        if (!m_stream && pa_context_get_state(m_context) == PA_CONTEXT_READY)
            openStreamLocked();
    }

    void openStreamLocked()
    {
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, uint32_t(m_rate), uint8_t(m_channels)};
        m_stream = pa_stream_new(m_context, "Hushframe", &format, nullptr);
        if (!m_stream) {
            failLocked();
            return;
        }
        m_feed.rendered = 0;
        {
            std::lock_guard lock(m_feed.heardMutex);
            m_feed.heard = Heard{};
            m_feed.heardGiven = 0;
        }
        m_timingAsked = false;
        m_leadSilence = !m_started;
        pa_stream_set_state_callback(m_stream, &PulseAudioOutput::streamChanged, this);
        pa_stream_set_write_callback(m_stream, &PulseAudioOutput::streamWants, this);
        const uint32_t bytes = uint32_t(pa_usec_to_bytes(bufferMicroseconds, &format));
        const pa_buffer_attr buffer{uint32_t(-1), bytes, uint32_t(-1), uint32_t(-1), uint32_t(-1)};
        // A stream opened to wait for a start waits corked; one opened by a start plays as soon
        // as it holds its buffer.
        // Its timing is asked for by this output (see askTimingLocked), not interpolated by the
        // client library: the library's clock runs on while a stream waits corked and never goes
        // back, so that a stream started after waiting would read as having played for as long as
        // it waited, up to all it was given.
        const auto flags = pa_stream_flags_t((m_started ? 0 : PA_STREAM_START_CORKED) | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(m_stream, nullptr, &buffer, flags, nullptr, nullptr) < 0) {
            qCWarning(lcAudioOutput, "The sound stream could not be opened: %s",
                      pa_strerror(pa_context_errno(m_context)));
            closeStreamLocked();
            failLocked();
        }
    }

    void closeStreamLocked()
    {
        dropOutgoingLocked();
        m_feed.open = false;
        if (m_sampler) {
            pa_threaded_mainloop_get_api(m_loop)->time_free(m_sampler);
            m_sampler = nullptr;
        }
        if (pa_stream* stream = std::exchange(m_stream, nullptr)) {
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            if (pa_stream_get_state(stream) == PA_STREAM_CREATING) {
                // The server is still making it and the client library cannot let it go yet: it
                // is let go once made, else every seek while playing would leave a silent stream
                // on the server until the connection ends.
                pa_stream_set_state_callback(stream, &PulseAudioOutput::dropOnceMade, nullptr);
                return;
            }
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
    }

    // Lets the stream a restart left sounding go.
    void dropOutgoingLocked()
    {
        if (pa_stream* stream = std::exchange(m_outgoing, nullptr)) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
    }

    static void dropOnceMade(pa_stream* stream, void*)
    {
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            pa_stream_disconnect(stream);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_unref(stream);
            break;
        default:
            break;
        }
    }

    // Lets the server go.
    void disconnectLocked()
    {
        closeStreamLocked();
        if (pa_context* context = std::exchange(m_context, nullptr)) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
    }

    void failLocked()
    {
        m_feed.open = false;
        m_feed.failed = true;
    }

    // No server to talk to: none runs, or connecting to it failed.
    void unreachableLocked()
    {
        m_feed.unreachable = true;
        failLocked();
    }

    // Plays the stream when it is started and ready, and asks the server what it plays from
    // then on (a stream waiting corked plays nothing: it is not asked).
    void playLocked()
    {
        if (!m_started || !m_stream || pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return;
        if (pa_stream_is_corked(m_stream) == 1) {
            if (pa_operation* uncorked = pa_stream_cork(m_stream, 0, nullptr, nullptr))
                pa_operation_unref(uncorked);
        }
        fillLocked();
        askTimingLocked();
        restartSampler(this);
    }

    // Hands the stream what it has room for.
    void fillLocked()
    {
        if (!m_stream || !m_started)
            return;
        if (!m_raised) {
            m_raised = true;
            raiseThisThread();
        }
        size_t room = pa_stream_writable_size(m_stream);
        const size_t frameBytes = sizeof(float) * size_t(m_channels);
        while (room >= frameBytes) {
            void* data = nullptr;
            size_t bytes = room;
            if (pa_stream_begin_write(m_stream, &data, &bytes) < 0 || !data)
                return;
            const qint64 frames = qint64(std::min(bytes, room) / frameBytes);
            if (frames <= 0) {
                pa_stream_cancel_write(m_stream);
                return;
            }
            // The renderer moves on and the frames are counted as one step (see withLatency).
            std::lock_guard lock(m_feed.renderMutex);
            if (!m_feed.renderer) {
                pa_stream_cancel_write(m_stream);
                return;
            }
            auto* out = static_cast<float*>(data);
            const qint64 silent = std::clamp<qint64>(m_feed.leadFrames.load() - m_feed.rendered.load(), 0, frames);
            std::fill(out, out + silent * m_channels, 0.0f);
            m_feed.renderer->render(out + silent * m_channels, frames - silent);
            if (pa_stream_write(m_stream, data, size_t(frames) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return;
            m_feed.rendered += frames;
            m_feed.lastRead = steadyNanoseconds();
            room -= size_t(frames) * frameBytes;
        }
        // The new stream has its sound: the one it takes over from goes (after it, on the server).
        dropOutgoingLocked();
    }

    // The loop's thread feeds the stream, which holds some 70 ms: at an ordinary priority, on a
    // busy machine it waited for a core for up to 220 ms (measured at a load average of 40 on 8
    // cores), and the sound broke off. It takes the real-time round-robin class, below the sound
    // server's own threads, where the system lets it; else a higher priority; else it stays.
    static void raiseThisThread()
    {
        sched_param realtime{};
        realtime.sched_priority = std::max(sched_get_priority_min(SCHED_RR), 3);
        if (pthread_setschedparam(pthread_self(), SCHED_RR, &realtime) == 0)
            return;
        if (setpriority(PRIO_PROCESS, id_t(gettid()), -11) == 0)
            return;
        qCInfo(lcAudioOutput, "The sound thread runs at an ordinary priority: on a busy machine the sound may break off");
    }

    // Asks the server what the stream has played, unless an answer is still on its way (a server
    // that does not answer is asked once).
    void askTimingLocked()
    {
        if (!m_stream || !m_feed.open.load() || m_timingAsked)
            return;
        if (pa_operation* asked = pa_stream_update_timing_info(m_stream, &PulseAudioOutput::timingArrived, this)) {
            m_timingAsked = true;
            pa_operation_unref(asked);
        }
    }

    // What the stream has played, from the server's answer: what it read of the stream less what
    // waits in its sink to be heard, at the time the server took those counts.
    static void timingArrived(pa_stream* stream, int success, void* self)
    {
        auto* output = static_cast<PulseAudioOutput*>(self);
        if (stream != output->m_stream)
            return;
        output->m_timingAsked = false;
        const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
        if (!timing)
            return;
        const qint64 frameBytes = qint64(sizeof(float)) * output->m_channels;
        const qint64 read = std::max<qint64>(timing->read_index, 0) / frameBytes;
        const qint64 waiting = qint64(timing->sink_usec) * output->m_rate / 1'000'000;
        timeval now;
        pa_gettimeofday(&now);
        const qint64 age = qint64(pa_timeval_load(&now)) - qint64(pa_timeval_load(&timing->timestamp));
        Heard heard;
        heard.read = read;
        heard.frames = std::max<qint64>(read - waiting, 0);
        heard.at = steadyNanoseconds() - std::max<qint64>(age, 0) * 1000;
        // Until the next report the sound goes on from what the server holds of the stream. That
        // report is due a period from now, but on a busy machine the server's answer, or this
        // loop's turn to take it, comes up to a hundred milliseconds and more late (up to 134 ms
        // measured with the test suite running beside it) while the sink plays on: moved on for
        // two periods only, the position fell up to 85 ms behind the sound then, and a Pause kept
        // it there. So a report is moved on for as long as the stream's buffer lasts. A server
        // that stopped outright plays nothing meanwhile: the position runs ahead of its sound, by
        // no more than that buffer, and holds when the server goes on (see latencyFrames) until
        // the sound is there. A stream the server no longer reads (run dry) is heard up to
        // what it read.
        const qint64 due = std::max(output->m_feed.bufferFrames.load(),
                                    2 * qint64(sampleMicroseconds) * output->m_rate / 1'000'000);
        heard.limit = timing->playing ? std::max(read, heard.frames + due) : read;
        std::lock_guard lock(output->m_feed.heardMutex);
        output->m_feed.heard = heard;
    }

    static void contextChanged(pa_context* context, void* self)
    {
        auto* output = static_cast<PulseAudioOutput*>(self);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            output->m_contextReady = true;
            if (!output->m_stream && (output->m_keepOpen || output->m_started))
                output->openStreamLocked();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            // The next prepare() or start() connects anew.
            if (output->m_contextReady) {
                qCWarning(lcAudioOutput, "The sound server went away");
                output->failLocked();
            } else {
                qCWarning(lcAudioOutput, "No sound server could be reached");
                output->unreachableLocked();
            }
            break;
        default:
            break;
        }
    }

    static void streamChanged(pa_stream* stream, void* self)
    {
        auto* output = static_cast<PulseAudioOutput*>(self);
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY: {
            const pa_buffer_attr* buffer = pa_stream_get_buffer_attr(stream);
            const qint64 frameBytes = qint64(sizeof(float)) * output->m_channels;
            output->m_feed.bufferFrames = buffer ? qint64(buffer->tlength) / frameBytes : 0;
            output->m_feed.leadFrames = buffer && output->m_leadSilence ? qint64(buffer->minreq) / frameBytes : 0;
            output->m_feed.open = true;
            pa_mainloop_api* api = pa_threaded_mainloop_get_api(output->m_loop);
            output->m_sampler = api->time_new(api, nullptr, &PulseAudioOutput::sampleDue, output);
            output->playLocked();
            break;
        }
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            qCWarning(lcAudioOutput, "The sound server dropped the stream");
            output->failLocked();
            break;
        default:
            break;
        }
    }

    static void streamWants(pa_stream*, size_t, void* self) { static_cast<PulseAudioOutput*>(self)->fillLocked(); }

    static void restartSampler(PulseAudioOutput* output)
    {
        timeval when;
        pa_timeval_add(pa_gettimeofday(&when), sampleMicroseconds);
        pa_threaded_mainloop_get_api(output->m_loop)->time_restart(output->m_sampler, &when);
    }

    static void sampleDue(pa_mainloop_api*, pa_time_event*, const timeval*, void* self)
    {
        auto* output = static_cast<PulseAudioOutput*>(self);
        if (!output->m_started)
            return;   // asked again by the next start
        output->askTimingLocked();
        restartSampler(output);
    }

    // The frames of a stream heard at a time, moving on from there in real time up to a limit.
    struct Heard {
        qint64 frames = 0;
        qint64 at = 0;   // steady clock, nanoseconds
        qint64 limit = 0;
        qint64 read = 0;   // the frames the server had taken of the stream then
    };

    // Shared with the loop's thread.
    struct Feed {
        mutable std::mutex renderMutex;   // held while rendering and counting what was rendered
        AudioRenderer* renderer = nullptr;
        std::atomic<qint64> rendered{0};       // frames handed to the current stream
        std::atomic<qint64> bufferFrames{0};   // what the current stream's buffer holds
        // The silence the current stream starts with. The server's sink takes the first request
        // of a stream that waited corked as soon as it plays and drops it unheard (measured on a
        // null sink: a Pause then Play skipped one request, 20 ms, of sound). What it drops is
        // this silence instead; counted as rendered, it keeps the position heard where it was. A
        // stream opened to play at once (a seek while playing) loses nothing: there the silence
        // would be heard, a gap at every seek.
        std::atomic<qint64> leadFrames{0};
        std::atomic<qint64> lastRead{0};       // steady clock, nanoseconds: when a renderer last gave frames
        std::atomic<bool> open{false};         // a stream is open and takes what it is given
        std::atomic<bool> failed{false};       // no stream could be opened, or the server dropped it
        std::atomic<bool> unreachable{false};  // failed because no server could be reached
        // What the current stream has played, as the server last said.
        mutable std::mutex heardMutex;
        Heard heard;
        mutable qint64 heardGiven = 0;   // the most of the current stream latencyFrames() counted as heard

        // Returns once a render by the previous renderer has ended.
        void setRenderer(AudioRenderer* next)
        {
            std::lock_guard lock(renderMutex);
            renderer = next;
        }
    };

    const int m_rate;
    const int m_channels;
    Feed m_feed;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_stream* m_outgoing = nullptr;   // left sounding by stopForRestart() until the next stream has its sound
    pa_time_event* m_sampler = nullptr;
    bool m_timingAsked = false;   // the server has been asked for the stream's timing, no answer yet
    bool m_leadSilence = false;   // the current stream waited corked: it starts with leadFrames of silence
    bool m_raised = false;   // the loop's thread asked for a higher priority (see raiseThisThread)
    std::atomic<bool> m_started{false};
    bool m_keepOpen = false;   // prepared: open across stops
    bool m_contextReady = false;   // the current connection was made (it reached a server)
    qint64 m_startedAt = 0;    // steady clock, nanoseconds
};

} // namespace

std::unique_ptr<AudioOutput> AudioOutput::createDefault(int preferredRate)
{
    // The server takes the stream as it is and converts it for its device.
    return std::make_unique<PulseAudioOutput>(preferredRate, 2);
}

} // namespace hf
