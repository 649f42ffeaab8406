#pragma once

// The audition player: plays a result's original soundtrack, clean mix and three stems together,
// sample for sample, with exactly one of them audible, in step with the muted picture of the
// source video. Main thread only; the decoding and the mixing run on threads of their own.

#include "player/audition_track_mode.h"
#include "platform/audio_output.h"
#include "pipeline/stem.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QTimer>

#include <memory>

namespace hf {

class AuditionMixer;
class AuditionPicture;
struct SeparationResult;

// The files the player loads. Only `clean` is required; an empty path leaves its track out.
struct AuditionFiles {
    QString video;      // the source video, shown muted
    QString original;
    QString clean;
    QString music;
    QString dialogue;
    QString effects;
    double duration = 0;   // seconds; used when the clean file states no length of its own
    // The source video as a file URL, taken before `video` when set: it keeps a name that is not
    // valid UTF-8 as its bytes.
    QUrl videoURL;
};

class AudioPlayerService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(double currentTime READ currentTime NOTIFY currentTimeChanged)
    Q_PROPERTY(double totalDuration READ totalDuration NOTIFY totalDurationChanged)
    Q_PROPERTY(hf::AuditionTrackMode selectedTrackMode READ selectedTrackMode WRITE setSelectedTrackMode NOTIFY
                   selectedTrackModeChanged)
    Q_PROPERTY(bool isComparing READ isComparing NOTIFY isComparingChanged)
    Q_PROPERTY(float volume READ volume NOTIFY volumeChanged)
    Q_PROPERTY(bool isLooping READ isLooping WRITE setLooping NOTIFY isLoopingChanged)
    Q_PROPERTY(bool isScrubbing READ isScrubbing WRITE setScrubbing NOTIFY isScrubbingChanged)
    Q_PROPERTY(bool hasPicture READ hasPicture NOTIFY hasPictureChanged)
    Q_PROPERTY(QImage currentFrame READ currentFrame NOTIFY currentFrameChanged)

public:
    // Plays through `output`; without one, through the default audio device, or silently (at
    // the pace of a device) when there is none.
    explicit AudioPlayerService(std::unique_ptr<AudioOutput> output = nullptr, QObject* parent = nullptr);
    ~AudioPlayerService() override;

    // The one player of the application, created on first use.
    static AudioPlayerService& shared();

    bool isPlaying() const { return m_isPlaying; }
    double currentTime() const { return m_currentTime; }
    double totalDuration() const { return m_totalDuration; }
    AuditionTrackMode selectedTrackMode() const { return m_selectedTrackMode; }
    // Changes nothing audible by itself: callers call applyVolumes() after it.
    void setSelectedTrackMode(AuditionTrackMode mode);
    bool isComparing() const { return m_isComparing; }
    float volume() const { return m_volume; }
    bool isLooping() const { return m_isLooping; }
    void setLooping(bool looping);
    bool isScrubbing() const { return m_isScrubbing; }
    void setScrubbing(bool scrubbing);
    // Whether a picture is loaded; its frames arrive through currentFrameChanged.
    bool hasPicture() const { return m_hasPicture; }
    // The picture at the playhead: upright, scaled to fit 1920 by 1080; null without a picture.
    QImage currentFrame() const { return m_currentFrame; }
    // The time of the video at which currentFrame() is shown, in seconds.
    double currentFrameTime() const { return m_currentFrameTime; }

    // Replaces everything loaded with these files. Every track starts silent; the one selected
    // is made audible once loading ends, also when a file fails part-way (which is logged and
    // leaves that file and the ones after it out).
    void load(const AuditionFiles& files);
    // The result's source video, original soundtrack, clean mix and three stems.
    void load(const SeparationResult& result);
    // Swaps in a new clean mix (after a re-mix), keeping the position and the play state: while
    // playing, the sound goes on without a break into the new mix at the frame the old one
    // reached. Returns false, keeping the old clean mix loaded and playback paused, when the file
    // cannot be opened; only after true may the caller delete the previous clean file (while
    // playing it is read on, from the file already open, until the new mix is heard).
    bool reloadCleanAudio(const QString& path);
    // Stops and lets every file go.
    void unload();

    // Starts playback from currentTime (from 0 when within 0.05 s of the end).
    void play();
    // Pauses and realigns every track and the picture to the playhead; the picture keeps a frame
    // on screen that is after the playhead's (shown a little ahead while playing).
    void pause();
    // Moves the playhead, clamped to 0...totalDuration.
    void seek(double seconds);
    // Back to 0, playing on from there when it was playing.
    void goToBeginning();
    // Pauses when playing, else plays.
    void togglePlayback();
    // Hears `stem` alone, or the clean mix again when it already was.
    void toggleSolo(Stem stem);
    // Hold-to-compare: while on, the original is audible whatever the selection.
    void setComparing(bool comparing);
    // Makes the effective track's file audible at `volume` and the others silent.
    void applyVolumes();

    // What the engine does, for views and tests: whether the mode's file is loaded, and the gain
    // its track is set to.
    bool hasTrack(AuditionTrackMode mode) const;
    float trackGain(AuditionTrackMode mode) const;
    int sampleRate() const;

signals:
    void isPlayingChanged(bool isPlaying);
    void currentTimeChanged(double currentTime);
    void totalDurationChanged(double totalDuration);
    void selectedTrackModeChanged(hf::AuditionTrackMode mode);
    void isComparingChanged(bool isComparing);
    void volumeChanged(float volume);
    void isLoopingChanged(bool isLooping);
    void isScrubbingChanged(bool isScrubbing);
    void hasPictureChanged(bool hasPicture);
    void currentFrameChanged(const QImage& frame);
    // Playback stopped because the sound device took nothing: a message for the user.
    void playbackFailed(const QString& message);

private:
    void stop();
    void dropEverything();
    void tick();
    // The frame being heard.
    int64_t audibleFrame() const;
    double audibleSeconds() const;
    void setPlaying(bool playing);
    void setCurrentTime(double seconds);
    void setTotalDuration(double seconds);
    void setComparingFlag(bool comparing);
    void setHasPicture(bool hasPicture);
    void showFrame(const QImage& image, double seconds, uint64_t generation = 0);
    // Moves the playhead to `seconds` and the picture to the frame at `seconds`, or at
    // `pictureFloor` when that is later.
    void moveTo(double seconds, double pictureFloor);
    // The time of the frame on screen where a realigned picture keeps it, else 0.
    double pictureFloor() const;

    std::unique_ptr<AudioOutput> m_output;
    std::unique_ptr<AuditionMixer> m_mixer;
    std::unique_ptr<AuditionPicture> m_picture;
    QTimer m_ticker;
    uint64_t m_pictureSerial = 0;       // which loaded picture a delivered frame belongs to
    uint64_t m_pictureGeneration = 0;   // frames of older requests are stale

    bool m_isPlaying = false;
    double m_currentTime = 0.0;
    double m_unplacedStart = 0.0;        // where tracks that start at zero belong (the original's start)
    double m_totalDuration = 1.0;
    AuditionTrackMode m_selectedTrackMode = AuditionTrackMode::hushframed;
    bool m_isComparing = false;
    float m_volume = 1.0f;
    bool m_isLooping = false;
    bool m_isScrubbing = false;
    bool m_hasPicture = false;
    QImage m_currentFrame;
    double m_currentFrameTime = 0.0;
    uint64_t m_currentFrameGeneration = 0;   // the request currentFrame() was delivered for
};

} // namespace hf
