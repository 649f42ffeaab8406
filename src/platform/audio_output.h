#pragma once

// The sound output: something that pulls interleaved 32-bit float frames from a renderer on its
// own thread. Two outputs share one interface:
//  - the device output plays through the desktop's sound server (PulseAudio, or PipeWire's
//    PulseAudio service), on its client library's own thread;
//  - the null output plays into nothing. It either paces itself at the speed of a real device
//    (so a machine without sound still moves the playhead) or is pulled by hand (tests).
// AudioOutput::createDefault() gives the device output.

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace hf {

// Fills output buffers; render() runs on the output's thread and must not block for long.
class AudioRenderer {
public:
    virtual ~AudioRenderer() = default;
    // Writes `frames` interleaved frames (the output's channel count) to `out`. Returns how many
    // of them, from the start, carry what the renderer played; the rest is silence because it
    // had nothing ready (an underrun) or is not playing.
    virtual qint64 render(float* out, qint64 frames) noexcept = 0;
};

class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;
    // Whether sound reaches a device (false for the null output).
    virtual bool isDevice() const = 0;

    // Opens the device ahead of the first start() and keeps it open, silent, across stop() until
    // release(), so that sound starts as soon as start() is called: opening an audio stream (and
    // waking a sound server's idle device) takes a good part of a second. Nothing to open here.
    // Neither this nor any other call waits for the sound server: a device output sends its
    // requests and takes the answers on a thread of its own.
    virtual void prepare() {}
    // Stops, and closes what prepare() or start() opened.
    virtual void release() { stop(); }

    // Starts pulling from `renderer`, which must outlive stop(). Starting again while started
    // replaces nothing and does nothing. A device whose stream broke (its sound server went
    // away while stopped, for however long, or was not there yet) is opened again.
    virtual void start(AudioRenderer* renderer) = 0;
    // Stops pulling; returns only once render() is no longer running and will not be called.
    // What was rendered but not heard is dropped.
    virtual void stop() = 0;
    virtual bool isStarted() const = 0;
    // Stops pulling as stop() does, for a start() that follows at once (a seek while playing):
    // what the device holds may sound on until that start's sound is there, which replaces it,
    // so that the sound goes on without a gap.
    virtual void stopForRestart() { stop(); }

    // Frames rendered but not yet heard (the device's buffer); readable from any thread.
    virtual qint64 latencyFrames() const = 0;
    // Calls `heard` with latencyFrames() while no render is under way and returns what it
    // returns: what `heard` reads of the renderer (where its next render starts) and the latency
    // then count the same frames. Read apart, a render between the two reads puts the position
    // one render off. Any thread; `heard` must not call the output.
    virtual qint64 withLatency(const std::function<qint64(qint64)>& heard) const { return heard(latencyFrames()); }
    // As withLatency(), for an output that has stalled (isStalled()): calls `heard` with the frames
    // rendered that will never be heard. A device that stopped taking but still holds what it was
    // given plays all of it once it goes on (none); one that dropped the stream played what it
    // had taken, however far the latency counted the rest as heard meanwhile. A Play after the
    // stall takes up from there. The latency while not stalled.
    virtual qint64 withUntaken(const std::function<qint64(qint64)>& heard) const { return withLatency(heard); }

    // Started, but nothing is heard: the device could not be opened (no sound server), its
    // sound server dropped it, or it has taken nothing from the renderer for longer than any
    // device waits between two reads (or than a server takes to open a stream and play it). The
    // playhead would stand still. Asked on the thread that starts and stops the output.
    virtual bool isStalled() const { return false; }
    // Stalled because no sound server could be reached at all: none runs, or the connection to it
    // failed before it was made (rather than a server that dropped the stream or stopped answering).
    virtual bool isUnreachable() const { return false; }

    // The device output, on the sound server's default device. Without a sound server it
    // reports every start as stalled until a server is there.
    static std::unique_ptr<AudioOutput> createDefault(int preferredRate = 48000);
};

// An output that plays into nothing.
class NullAudioOutput : public AudioOutput {
public:
    enum class Mode {
        paced,    // a thread pulls at the speed of a real device
        manual,   // nothing pulls until pull() is called
    };

    explicit NullAudioOutput(Mode mode = Mode::paced, int sampleRate = 48000, int channels = 2);
    ~NullAudioOutput() override;

    int sampleRate() const override { return m_rate; }
    int channels() const override { return m_channels; }
    bool isDevice() const override { return false; }
    void start(AudioRenderer* renderer) override;
    void stop() override;
    bool isStarted() const override;
    qint64 latencyFrames() const override { return 0; }

    // Renders `frames` frames by hand (interleaved); silence while stopped. Manual mode only.
    // `played` receives how many of them, from the start, the renderer played.
    std::vector<float> pull(qint64 frames, qint64* played = nullptr);
    // Frames rendered since construction.
    qint64 framesRendered() const { return m_rendered.load(); }
    // Of those, the frames the renderer played (not silence).
    qint64 framesPlayed() const { return m_played.load(); }

private:
    struct Pacer;
    qint64 renderLocked(float* out, qint64 frames);

    Mode m_mode;
    int m_rate;
    int m_channels;
    mutable std::mutex m_mutex;   // guards m_renderer against stop() during a render
    AudioRenderer* m_renderer = nullptr;
    std::atomic<qint64> m_rendered{0};
    std::atomic<qint64> m_played{0};
    std::unique_ptr<Pacer> m_pacer;
};

} // namespace hf
