#pragma once

// The muted picture of the audition player: the first video stream of the source video, decoded
// on its own thread, turned upright (the stream's rotation applied), scaled to fit a maximum size
// and delivered as QImage. A shown time gets the exact frame on screen at that time; while
// following, each frame is delivered when the audio clock reaches it. At most two decoded frames
// wait ahead, whatever the length of the video.

#include "pipeline/ffmpeg_support.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <QUrl>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

struct SwsContext;

namespace hf {

struct SwsDeleter {
    void operator()(SwsContext* context) const;
};

class AuditionPicture {
public:
    // The time whose frame is due on the screen, in seconds: the time being heard, a little
    // ahead for the frame's way to the screen. Called on the picture thread.
    using Clock = std::function<double()>;
    // A frame for the time `seconds` of the video, for the request numbered `generation`;
    // called on the picture thread.
    using Deliver = std::function<void(const QImage& image, double seconds, uint64_t generation)>;

    // Opens the video and its decoder; throws media::FFmpegError when there is no readable video.
    // Times are seconds of the video's timeline, as the audition tracks count them: a picture that
    // starts after the sound starts that much later. The URL form keeps a file name's bytes.
    AuditionPicture(const QString& path, QSize maxSize, Clock clock, Deliver deliver);
    AuditionPicture(const QUrl& video, QSize maxSize, Clock clock, Deliver deliver);
    ~AuditionPicture();
    AuditionPicture(const AuditionPicture&) = delete;
    AuditionPicture& operator=(const AuditionPicture&) = delete;

    // The size of the delivered images (upright, scaled).
    QSize imageSize() const { return m_imageSize; }
    // Clockwise rotation applied to the stored picture, in degrees (0, 90, 180 or 270).
    int rotation() const { return m_rotation; }

    // Delivers the frame shown at `seconds`; returns the request's generation. Frames of earlier
    // requests still on their way carry a smaller generation.
    uint64_t show(double seconds);
    // While following, frames are delivered as the clock passes them.
    void follow(bool following);

private:
    void run();
    // The next decoded frame into `frame`; false at the end of the stream.
    bool decodeNext(AVFrame* frame);
    double frameTime(const AVFrame* frame) const;
    QImage convert(const AVFrame* frame);
    // Delivers the frame on screen at `seconds`: decoded on from the frame last delivered when
    // that one is at or before the time and not far from it, else after a seek.
    void showExactly(double seconds, uint64_t generation);
    void seekExactly(double seconds, uint64_t generation);
    // From m_next on, skips the frames `passed` says the time has passed and delivers the last of
    // them; m_next is then the frame after it. Needs m_hasNext.
    void deliverLatest(const std::function<bool(double)>& passed, uint64_t generation);
    void deliver(QImage image, double seconds, uint64_t generation);

    QString m_path;
    Clock m_clock;
    Deliver m_deliver;
    media::InputContext m_input;
    AVStream* m_stream = nullptr;
    int64_t m_origin = 0;   // the timestamp of the timeline's start
    media::CodecContext m_codec;
    media::Packet m_packet;
    media::Frame m_next;        // the decoded frame waiting for its time, when m_hasNext
    media::Frame m_work;        // the decoded frame after m_next, when m_hasAfter
    QImage m_nextImage;         // m_next made ready to show, or null
    bool m_hasNext = false;
    bool m_hasAfter = false;
    bool m_inputDone = false;
    bool m_eof = false;
    int m_rotation = 0;
    QSize m_scaledSize;         // before rotation
    QSize m_imageSize;          // after rotation
    std::unique_ptr<SwsContext, SwsDeleter> m_sws;
    // The frame delivered last, when the decoder stands right after it (m_next, if any, is the
    // frame that follows it).
    struct Delivered {
        QImage image;
        double seconds;
    };
    std::optional<Delivered> m_delivered;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<double> m_showRequest;
    uint64_t m_generation = 0;
    bool m_following = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace hf
