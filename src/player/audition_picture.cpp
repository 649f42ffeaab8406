#include "player/audition_picture.h"

#include "platform/logging.h"

#include <QTransform>

extern "C" {
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cmath>

HF_DECLARE_LOGGING_CATEGORY(lcAudioPlayer)

namespace hf {

using media::check;
using media::FFmpegError;

void SwsDeleter::operator()(SwsContext* context) const { sws_freeContext(context); }

namespace {
// A frame whose time is this close after the requested time counts as on screen at it.
constexpr double timeEpsilon = 1e-6;
// The longest the thread sleeps before looking at the clock again.
constexpr double maxWait = 0.02;
// A shown time up to this far after the frame delivered last is reached by decoding on from it;
// farther, a seek to the key frame before it may decode less.
constexpr double maxDecodeOn = 1.0;
} // namespace

AuditionPicture::AuditionPicture(const QString& path, QSize maxSize, Clock clock, Deliver deliver)
    : AuditionPicture(QUrl::fromLocalFile(path), maxSize, std::move(clock), std::move(deliver))
{
}

AuditionPicture::AuditionPicture(const QUrl& video, QSize maxSize, Clock clock, Deliver deliver)
    : m_path(video.toLocalFile()), m_clock(std::move(clock)), m_deliver(std::move(deliver))
{
    m_input = media::openInput(video);
    const auto streams = media::videoStreams(m_input.get());
    if (streams.empty())
        throw FFmpegError(AVERROR_STREAM_NOT_FOUND);
    m_stream = streams.front();
    m_origin = media::secondsToStream(media::timelineOrigin(m_input.get()), m_stream);
    media::keepOnly(m_input.get(), m_stream);
    m_codec = media::openDecoder(m_stream, 0);
    if (m_codec->width <= 0 || m_codec->height <= 0)
        throw FFmpegError(AVERROR_INVALIDDATA);
    m_packet = media::makePacket();
    m_next = media::makeFrame();
    m_work = media::makeFrame();

    m_rotation = media::displayRotation(m_stream);

    // The display size: pixels stretched by their aspect ratio, turned upright, fitted (never
    // enlarged) into the maximum size.
    double width = m_codec->width;
    const AVRational sar = av_guess_sample_aspect_ratio(m_input.get(), m_stream, nullptr);
    if (sar.num > 0 && sar.den > 0)
        width = width * sar.num / sar.den;
    const bool sideways = m_rotation == 90 || m_rotation == 270;
    QSize upright = sideways ? QSize(m_codec->height, int(std::lround(width))) : QSize(int(std::lround(width)), m_codec->height);
    if (maxSize.isValid() && (upright.width() > maxSize.width() || upright.height() > maxSize.height()))
        upright = upright.scaled(maxSize, Qt::KeepAspectRatio);
    m_imageSize = upright.expandedTo(QSize(1, 1));
    m_scaledSize = sideways ? m_imageSize.transposed() : m_imageSize;

    m_thread = std::thread([this] { run(); });
}

AuditionPicture::~AuditionPicture()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

uint64_t AuditionPicture::show(double seconds)
{
    uint64_t generation;
    {
        std::lock_guard lock(m_mutex);
        m_showRequest = std::max(seconds, 0.0);
        generation = ++m_generation;
    }
    m_wake.notify_all();
    return generation;
}

void AuditionPicture::follow(bool following)
{
    {
        std::lock_guard lock(m_mutex);
        m_following = following;
    }
    m_wake.notify_all();
}

double AuditionPicture::frameTime(const AVFrame* frame) const
{
    const int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    if (pts == AV_NOPTS_VALUE)
        return 0.0;
    return double(pts - m_origin) * av_q2d(m_stream->time_base);
}

bool AuditionPicture::decodeNext(AVFrame* frame)
{
    if (m_eof)
        return false;
    for (;;) {
        av_frame_unref(frame);
        const int received = avcodec_receive_frame(m_codec.get(), frame);
        if (received == 0)
            return true;
        if (received == AVERROR_EOF) {
            m_eof = true;
            return false;
        }
        if (received != AVERROR(EAGAIN))
            throw FFmpegError(received);
        if (m_inputDone)
            continue;
        const int read = av_read_frame(m_input.get(), m_packet.get());
        if (read == AVERROR_EOF) {
            m_inputDone = true;
            check(avcodec_send_packet(m_codec.get(), nullptr));
            continue;
        }
        check(read);
        if (m_packet->stream_index == m_stream->index) {
            const int sent = avcodec_send_packet(m_codec.get(), m_packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
                av_packet_unref(m_packet.get());
                throw FFmpegError(sent);
            }
        }
        av_packet_unref(m_packet.get());
    }
}

QImage AuditionPicture::convert(const AVFrame* frame)
{
    m_sws.reset(sws_getCachedContext(m_sws.release(), frame->width, frame->height, AVPixelFormat(frame->format),
                                     m_scaledSize.width(), m_scaledSize.height(), AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr));
    if (!m_sws)
        throw FFmpegError(AVERROR(EINVAL), QStringLiteral("scaling"));
    QImage image(m_scaledSize, QImage::Format_RGB32);
    if (image.isNull())
        throw FFmpegError(AVERROR(ENOMEM));
    uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(m_sws.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    if (m_rotation != 0)
        image = image.transformed(QTransform().rotate(m_rotation));
    return image;
}

void AuditionPicture::deliver(QImage image, double seconds, uint64_t generation)
{
    m_delivered = Delivered{image, seconds};
    m_deliver(image, seconds, generation);
}

void AuditionPicture::deliverLatest(const std::function<bool(double)>& passed, uint64_t generation)
{
    const auto nextImage = [this] { return m_nextImage.isNull() ? convert(m_next.get()) : m_nextImage; };
    for (;;) {
        const bool more = std::exchange(m_hasAfter, false) || decodeNext(m_work.get());
        if (!more) {
            deliver(nextImage(), frameTime(m_next.get()), generation);
            m_nextImage = QImage();
            m_hasNext = false;
            return;
        }
        const bool skip = passed(frameTime(m_work.get()));
        if (!skip)
            deliver(nextImage(), frameTime(m_next.get()), generation);
        av_frame_unref(m_next.get());
        av_frame_move_ref(m_next.get(), m_work.get());
        m_nextImage = QImage();
        if (!skip)
            return;
    }
}

void AuditionPicture::showExactly(double seconds, uint64_t generation)
{
    // The decoder stands right after the frame delivered last (a Pause realigns the picture to
    // about where the sound stopped): the frame on screen is that one, or one decoded on from it,
    // with no seek back to a key frame and no frames decoded again.
    if (m_delivered && seconds + timeEpsilon >= m_delivered->seconds && seconds < m_delivered->seconds + maxDecodeOn) {
        if (m_hasNext && frameTime(m_next.get()) <= seconds + timeEpsilon)
            deliverLatest([seconds](double t) { return t <= seconds + timeEpsilon; }, generation);
        else
            deliver(m_delivered->image, m_delivered->seconds, generation);
        return;
    }
    seekExactly(seconds, generation);
}

void AuditionPicture::seekExactly(double seconds, uint64_t generation)
{
    const int64_t ts = m_origin + int64_t(std::floor(seconds / av_q2d(m_stream->time_base) + timeEpsilon));
    m_delivered.reset();
    if (avformat_seek_file(m_input.get(), m_stream->index, INT64_MIN, ts, ts, 0) < 0)
        check(avformat_seek_file(m_input.get(), m_stream->index, INT64_MIN, INT64_MIN, INT64_MIN, 0), "seek");
    avcodec_flush_buffers(m_codec.get());
    m_inputDone = false;
    m_eof = false;
    m_hasNext = false;
    m_hasAfter = false;
    m_nextImage = QImage();
    // The last frame that starts at or before the time is the one on screen; the first one
    // after it waits as the next.
    if (!decodeNext(m_next.get()))
        return;
    m_hasNext = true;
    deliverLatest([seconds](double t) { return t <= seconds + timeEpsilon; }, generation);
}

void AuditionPicture::run()
{
    std::unique_lock lock(m_mutex);
    const auto interrupted = [this] {
        std::lock_guard check(m_mutex);
        return m_stopping || m_showRequest || !m_following;
    };
    for (;;) {
        if (m_stopping)
            return;
        try {
            if (m_showRequest) {
                const double seconds = *m_showRequest;
                m_showRequest.reset();
                const uint64_t generation = m_generation;
                lock.unlock();
                showExactly(seconds, generation);
                lock.lock();
                continue;
            }
            if (m_following && (m_hasNext || !m_eof)) {
                const uint64_t generation = m_generation;
                lock.unlock();
                if (!m_hasNext)
                    m_hasNext = decodeNext(m_next.get());
                if (m_hasNext) {
                    const double wait = frameTime(m_next.get()) - m_clock();
                    if (wait > 0) {
                        // Before its time, the frame is made ready to show and the one after it
                        // decoded, one step at a time between looks at the clock: when it is
                        // due, it is handed over at once, even on a machine whose cores are busy.
                        bool ready = false;
                        if (m_nextImage.isNull())
                            m_nextImage = convert(m_next.get());
                        else if (!m_hasAfter && !m_eof)
                            m_hasAfter = decodeNext(m_work.get());
                        else
                            ready = true;
                        lock.lock();
                        if (ready)
                            m_wake.wait_for(lock, std::chrono::duration<double>(std::min(wait, maxWait)));
                        continue;
                    }
                    // Due: skip to the latest frame the clock has passed, then show it.
                    deliverLatest([&](double t) { return t <= m_clock() && !interrupted(); }, generation);
                }
                lock.lock();
                continue;
            }
        } catch (const std::exception& error) {
            if (!lock.owns_lock())
                lock.lock();
            qCWarning(lcAudioPlayer, "Decoding the picture of %s failed: %s", qUtf8Printable(m_path),
                      qUtf8Printable(describe(error)));
            m_eof = true;
            m_hasNext = false;
            m_hasAfter = false;
            m_nextImage = QImage();
            m_delivered.reset();
        }
        m_wake.wait(lock, [this] {
            return m_stopping || m_showRequest || (m_following && (m_hasNext || !m_eof));
        });
    }
}

} // namespace hf
