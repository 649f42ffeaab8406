#include "player/audio_player_service.h"

#include "player/audition_mixer.h"
#include "player/audition_picture.h"
#include "player/audition_track_decoder.h"
#include "pipeline/separation_result.h"
#include "platform/audio_output.h"
#include "platform/errors.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <cmath>

HF_LOGGING_CATEGORY(lcAudioPlayer, "AudioPlayerService")

namespace hf {

namespace {

constexpr int tickMilliseconds = 50;
// Playing this close to the end starts over from the beginning.
constexpr double restartMargin = 0.05;
// The clean mix counts as finished this close to its end.
constexpr double endMargin = 0.02;
const QSize pictureBounds(1920, 1080);
// A frame is handed over this long before its sound is heard: the time from its delivery to its
// pixels on the screen (the hop to the main thread, the paint, the display server's copy, and
// on average half a refresh of a 60 Hz screen).
constexpr double pictureLead = 0.010;

AuditionMixer::Slot slotFor(AuditionTrackMode mode)
{
    switch (mode) {
    case AuditionTrackMode::hushframed: return AuditionMixer::clean;
    case AuditionTrackMode::original: return AuditionMixer::original;
    case AuditionTrackMode::isolatedMusic: return AuditionMixer::music;
    case AuditionTrackMode::isolatedDialogue: return AuditionMixer::dialogue;
    case AuditionTrackMode::isolatedEffects: return AuditionMixer::effects;
    }
    return AuditionMixer::clean;
}

QString localPath(const QUrl& url) { return url.isLocalFile() ? url.toLocalFile() : url.toString(); }

} // namespace

AudioPlayerService::AudioPlayerService(std::unique_ptr<AudioOutput> output, QObject* parent)
    : QObject(parent), m_output(output ? std::move(output) : AudioOutput::createDefault())
{
    m_mixer = std::make_unique<AuditionMixer>(m_output->sampleRate(), m_output->channels());
    m_ticker.setInterval(tickMilliseconds);
    m_ticker.setTimerType(Qt::PreciseTimer);
    connect(&m_ticker, &QTimer::timeout, this, &AudioPlayerService::tick);
}

AudioPlayerService::~AudioPlayerService()
{
    m_ticker.stop();
    m_picture.reset();
    m_output->stop();
    m_mixer->clearTracks();
}

AudioPlayerService& AudioPlayerService::shared()
{
    // Never destroyed: it lives as long as the process.
    static auto* instance = new AudioPlayerService;
    return *instance;
}

// --- observed state

void AudioPlayerService::setPlaying(bool playing)
{
    if (m_isPlaying == playing)
        return;
    m_isPlaying = playing;
    emit isPlayingChanged(playing);
}

void AudioPlayerService::setCurrentTime(double seconds)
{
    if (m_currentTime == seconds)
        return;
    m_currentTime = seconds;
    emit currentTimeChanged(seconds);
}

void AudioPlayerService::setTotalDuration(double seconds)
{
    if (m_totalDuration == seconds)
        return;
    m_totalDuration = seconds;
    emit totalDurationChanged(seconds);
}

void AudioPlayerService::setSelectedTrackMode(AuditionTrackMode mode)
{
    if (m_selectedTrackMode == mode)
        return;
    m_selectedTrackMode = mode;
    emit selectedTrackModeChanged(mode);
}

void AudioPlayerService::setComparingFlag(bool comparing)
{
    if (m_isComparing == comparing)
        return;
    m_isComparing = comparing;
    emit isComparingChanged(comparing);
}

void AudioPlayerService::setLooping(bool looping)
{
    if (m_isLooping == looping)
        return;
    m_isLooping = looping;
    emit isLoopingChanged(looping);
}

void AudioPlayerService::setScrubbing(bool scrubbing)
{
    if (m_isScrubbing == scrubbing)
        return;
    m_isScrubbing = scrubbing;
    emit isScrubbingChanged(scrubbing);
}

void AudioPlayerService::setHasPicture(bool hasPicture)
{
    if (m_hasPicture == hasPicture)
        return;
    m_hasPicture = hasPicture;
    emit hasPictureChanged(hasPicture);
}

void AudioPlayerService::showFrame(const QImage& image, double seconds, uint64_t generation)
{
    m_currentFrameTime = seconds;
    m_currentFrameGeneration = generation;
    if (image.isNull() && m_currentFrame.isNull())
        return;
    m_currentFrame = image;
    emit currentFrameChanged(m_currentFrame);
}

// --- loading

void AudioPlayerService::dropEverything()
{
    if (m_picture) {
        m_picture.reset();
        ++m_pictureSerial;
    }
    setHasPicture(false);
    showFrame(QImage(), 0.0);
    m_mixer->clearTracks();
}

void AudioPlayerService::load(const AuditionFiles& files)
{
    stop();
    dropEverything();
    setComparingFlag(false);

    if (!files.video.isEmpty() || !files.videoURL.isEmpty()) {
        const uint64_t serial = ++m_pictureSerial;
        // The picture's thread ends before this object does, so `self` outlives every delivery;
        // a delivery still queued when this object goes is dropped with it.
        AudioPlayerService* self = this;
        AuditionMixer* mixer = m_mixer.get();
        AudioOutput* output = m_output.get();
        const int rate = m_mixer->sampleRate();
        try {
            const QUrl video = files.videoURL.isEmpty() ? QUrl::fromLocalFile(files.video) : files.videoURL;
            m_picture = std::make_unique<AuditionPicture>(
                video, pictureBounds,
                [mixer, output, rate] {
                    const qint64 frame =
                        output->withLatency([mixer](qint64 latency) { return mixer->audibleFrame(latency); });
                    return double(frame) / rate + pictureLead;
                },
                [self, serial](const QImage& image, double seconds, uint64_t generation) {
                    QMetaObject::invokeMethod(
                        self,
                        [self, serial, image, seconds, generation] {
                            if (self->m_pictureSerial == serial && generation >= self->m_pictureGeneration)
                                self->showFrame(image, seconds, generation);
                        },
                        Qt::QueuedConnection);
                });
            setHasPicture(true);
        } catch (const std::exception& error) {
            qCWarning(lcAudioPlayer, "No picture for %s: %s", qUtf8Printable(files.video),
                      qUtf8Printable(describe(error)));
        }
    }

    // Stems (and a clean mix made from them) that start at zero belong where the original
    // soundtrack starts on the video's timeline.
    m_unplacedStart = files.original.isEmpty() ? 0.0 : media::soundStart(QUrl::fromLocalFile(files.original));

    // Every track starts silent; volumes are applied once, after the last file.
    const std::pair<AuditionMixer::Slot, const QString*> order[] = {
        {AuditionMixer::original, &files.original}, {AuditionMixer::clean, &files.clean},
        {AuditionMixer::music, &files.music},       {AuditionMixer::dialogue, &files.dialogue},
        {AuditionMixer::effects, &files.effects},
    };
    for (const auto& [slot, path] : order) {
        if (path->isEmpty() && slot != AuditionMixer::clean)
            continue;
        try {
            m_mixer->setTrack(slot, std::make_unique<AuditionTrackDecoder>(*path, m_mixer->sampleRate(),
                                                                           m_mixer->channels(), 16384,
                                                                           m_unplacedStart));
        } catch (const std::exception& error) {
            qCCritical(lcAudioPlayer, "Error initializing audio players: %s", qUtf8Printable(describe(error)));
            break;
        }
    }

    // The length is the clean mix's; after a failure, that of the longest file that did load.
    double duration = m_mixer->trackDuration(AuditionMixer::clean);
    if (!m_mixer->hasTrack(AuditionMixer::clean)) {
        duration = std::nan("");
        for (int s = 0; s < AuditionMixer::slotCount; ++s) {
            const double d = m_mixer->trackDuration(AuditionMixer::Slot(s));
            if (std::isfinite(d) && !(d <= duration))
                duration = d;
        }
    } else if (!std::isfinite(duration) || duration <= 0) {
        duration = files.duration;
    }
    if (std::isfinite(duration) && duration > 0)
        setTotalDuration(duration);
    setCurrentTime(0.0);
    applyVolumes();
    if (m_picture)
        m_pictureGeneration = m_picture->show(0.0);
    // The decoders fill their rings from here on; with the device open too, Play is heard at once.
    if (m_mixer->hasTrack(AuditionMixer::clean))
        m_output->prepare();
}

void AudioPlayerService::load(const SeparationResult& result)
{
    AuditionFiles files;
    files.video = localPath(result.sourceVideoURL);
    files.videoURL = result.sourceVideoURL.isLocalFile() ? result.sourceVideoURL : QUrl();
    files.original = localPath(result.originalAudioURL);
    files.clean = localPath(result.cleanAudioURL);
    files.music = localPath(result.musicStemURL);
    files.dialogue = localPath(result.dialogueStemURL);
    files.effects = localPath(result.effectsStemURL);
    files.duration = result.duration;
    load(files);
}

bool AudioPlayerService::reloadCleanAudio(const QString& path)
{
    std::unique_ptr<AuditionTrackDecoder> track;
    try {
        track = std::make_unique<AuditionTrackDecoder>(path, m_mixer->sampleRate(), m_mixer->channels(), 16384,
                                                       m_unplacedStart);
    } catch (const std::exception& error) {
        qCCritical(lcAudioPlayer, "Could not load re-mixed audio: %s", qUtf8Printable(describe(error)));
        pause();
        return false;
    }
    const double duration = track->duration();
    if (m_isPlaying) {
        // The new mix takes over from the old one in the sound as it plays, at the frame the old
        // one reached: no stop, nothing dropped, nothing played twice.
        m_mixer->replaceTrack(AuditionMixer::clean, std::move(track));
    } else {
        // The previous decoder is stopped and its file closed before this returns.
        m_mixer->setTrack(AuditionMixer::clean, std::move(track));
    }
    if (std::isfinite(duration) && duration > 0)
        setTotalDuration(duration);
    applyVolumes();
    if (!m_isPlaying)
        moveTo(m_currentTime, pictureFloor());
    return true;
}

void AudioPlayerService::unload()
{
    stop();
    m_output->release();
    dropEverything();
    setComparingFlag(false);
}

// --- transport

void AudioPlayerService::stop()
{
    m_ticker.stop();
    if (m_picture)
        m_picture->follow(false);
    m_mixer->setPlaying(false);
    m_output->stop();
    m_mixer->seek(0);
    setPlaying(false);
    setCurrentTime(0.0);
}

int64_t AudioPlayerService::audibleFrame() const
{
    return m_output->withLatency([this](qint64 latency) { return m_mixer->audibleFrame(latency); });
}

double AudioPlayerService::audibleSeconds() const { return double(audibleFrame()) / m_mixer->sampleRate(); }

void AudioPlayerService::play()
{
    if (m_isPlaying || !m_mixer->hasTrack(AuditionMixer::clean))
        return;
    if (m_currentTime >= m_totalDuration - restartMargin)
        seek(0.0);
    m_mixer->setPlaying(true);
    m_output->start(m_mixer.get());
    if (m_picture)
        m_picture->follow(true);
    setPlaying(true);
    m_ticker.start();
}

void AudioPlayerService::pause()
{
    if (!m_isPlaying)
        return;
    m_ticker.stop();
    if (m_picture)
        m_picture->follow(false);
    // The playhead as heard right now, taken while the output still counts what it holds: what
    // was rendered but not heard is dropped with the stop and played again from here.
    const double heard = audibleSeconds();
    m_mixer->setPlaying(false);
    m_output->stop();
    if (!m_isScrubbing)
        setCurrentTime(std::clamp(heard, 0.0, m_totalDuration));
    setPlaying(false);
    moveTo(m_currentTime, pictureFloor());
}

double AudioPlayerService::pictureFloor() const
{
    // Frames are chosen a little ahead of the sound (pictureLead), so the frame on screen may
    // already be the one after the playhead's: a picture realigned to the playhead stays on it
    // rather than stepping back. A frame left from before the latest seek does not count.
    const bool frameIsCurrent = !m_currentFrame.isNull() && m_currentFrameGeneration == m_pictureGeneration;
    return frameIsCurrent && !m_isScrubbing ? m_currentFrameTime : 0.0;
}

void AudioPlayerService::seek(double seconds) { moveTo(seconds, 0.0); }

void AudioPlayerService::moveTo(double seconds, double pictureFloor)
{
    const double t = std::max(std::min(seconds, m_totalDuration), 0.0);
    setCurrentTime(t);
    // Playing, what the device holds of the old position is dropped, so that the new one is
    // heard (and its picture moves on) at once. Not while scrubbing: a new stream for every step
    // of a drag would never get to play.
    const bool playing = m_isPlaying && !m_isScrubbing && m_output->isStarted();
    if (playing)
        m_output->stopForRestart();
    m_mixer->seek(std::llround(t * m_mixer->sampleRate()));
    if (playing)
        m_output->start(m_mixer.get());
    if (m_picture)
        m_pictureGeneration = m_picture->show(std::max(t, pictureFloor));
}

void AudioPlayerService::goToBeginning()
{
    if (m_isPlaying) {
        pause();
        seek(0.0);
        play();
    } else {
        seek(0.0);
    }
}

void AudioPlayerService::togglePlayback()
{
    if (m_isPlaying)
        pause();
    else
        play();
}

void AudioPlayerService::tick()
{
    // A clean mix a re-mix replaced, once the new one is heard.
    m_mixer->releaseReplaced();
    if (!m_isPlaying || !m_mixer->hasTrack(AuditionMixer::clean))
        return;
    if (m_output->isStalled()) {
        // Nothing is heard and the playhead would stand still: stop where it is and say so.
        qCWarning(lcAudioPlayer, "The sound device took nothing for a while; playback paused");
        const bool unreachable = m_output->isUnreachable();
        // Play takes up after the last frame that is heard, or will be once the device goes on
        // (what it holds): neither lost nor heard twice. The picture keeps the frame shown, and
        // moves on once the sound passes it.
        const int64_t taken = m_output->withUntaken([this](qint64 untaken) { return m_mixer->audibleFrame(untaken); });
        pause();
        const double heard = std::max(double(taken) / m_mixer->sampleRate(), 0.0);
        if (!m_isScrubbing && heard != m_currentTime) {
            setCurrentTime(heard);
            m_mixer->seek(taken);
        }
        emit playbackFailed(unreachable ? text("error.player.noSoundDevice",
                                               "Hushframe couldn't play the sound: no sound device could be reached. "
                                               "Check your sound settings, then press Play again.")
                                        : text("error.player.noSound",
                                               "Hushframe couldn't play the sound: the sound device stopped "
                                               "responding. Check your sound settings, then press Play again."));
        return;
    }
    const int64_t frame = audibleFrame();
    const double position = double(frame) / m_mixer->sampleRate();
    if (!m_isScrubbing)
        setCurrentTime(std::min(position, m_totalDuration));
    const bool ended = m_mixer->trackEnded(AuditionMixer::clean, frame) || position >= m_totalDuration - endMargin;
    if (!ended)
        return;
    const bool looping = m_isLooping;
    pause();
    seek(0.0);
    if (looping)
        play();
}

// --- what is heard

void AudioPlayerService::toggleSolo(Stem stem)
{
    const AuditionTrackMode mode = soloMode(stem);
    setSelectedTrackMode(m_selectedTrackMode == mode ? AuditionTrackMode::hushframed : mode);
    applyVolumes();
}

void AudioPlayerService::setComparing(bool comparing)
{
    if (comparing == m_isComparing)
        return;
    setComparingFlag(comparing);
    applyVolumes();
}

void AudioPlayerService::applyVolumes()
{
    const AuditionMixer::Slot audible = slotFor(m_isComparing ? AuditionTrackMode::original : m_selectedTrackMode);
    for (AuditionMixer::Slot slot : {AuditionMixer::clean, AuditionMixer::original, AuditionMixer::music,
                                     AuditionMixer::dialogue, AuditionMixer::effects}) {
        if (m_mixer->hasTrack(slot))
            m_mixer->setGain(slot, slot == audible ? m_volume : 0.0f);
    }
}

bool AudioPlayerService::hasTrack(AuditionTrackMode mode) const { return m_mixer->hasTrack(slotFor(mode)); }

float AudioPlayerService::trackGain(AuditionTrackMode mode) const
{
    return m_mixer->hasTrack(slotFor(mode)) ? m_mixer->targetGain(slotFor(mode)) : 0.0f;
}

int AudioPlayerService::sampleRate() const { return m_mixer->sampleRate(); }

} // namespace hf
