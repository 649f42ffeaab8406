#pragma once

// Streaming audio decoding and FLAC encoding on FFmpeg's libraries, in bounded chunks.

#include "engine/engine.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace hf::engine {

// FFmpeg's text for an error code.
std::string ffmpegMessage(int code);

// Owners of FFmpeg objects.
// The channels of a surround layout that the separation judges on their own: the front centre
// (-1: none) and each side or back pair present whole, as left and right indices.
struct SurroundChannels {
    int centre = -1;
    std::vector<std::array<int, 2>> pairs;
};

struct InputFormatDeleter { void operator()(AVFormatContext* context) const; };
struct OutputFormatDeleter { void operator()(AVFormatContext* context) const; }; // closes its file too
struct CodecDeleter { void operator()(AVCodecContext* context) const; };
struct FrameDeleter { void operator()(AVFrame* frame) const; };
struct PacketDeleter { void operator()(AVPacket* packet) const; };
struct ResamplerDeleter { void operator()(SwrContext* context) const; };
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;

// Planar float samples: one vector per channel, all of the same length.
using Planes = std::vector<std::vector<float>>;

// Decodes the first audio stream of a file to planar float, either as it is (rate and channel
// count of the source) or resampled and mixed down to mono at a given rate.
class AudioReader {
public:
    struct Conversion {
        int sampleRate = 0; // 0: the source's
        bool mono = false;
    };
    explicit AudioReader(const std::filesystem::path& path) : AudioReader(path, Conversion{0, false}) {}
    AudioReader(const std::filesystem::path& path, Conversion conversion);
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int sampleRate() const { return m_outRate; }
    int channels() const { return m_outChannels; }
    // Where a layout of three channels or more puts its front centre and its surround pairs.
    const SurroundChannels& surround() const { return m_surround; }
    // The container's idea of the length in seconds, or 0 when it has none (for progress only).
    double durationHint() const { return m_durationHint; }

    // Appends the next decoded samples to `planes` (resized to channels()). Returns false at the
    // end of the stream. Throws EngineError when reading or decoding fails before the end.
    bool read(Planes& planes);

private:
    void openConverter(const AVFrame* frame);
    void convert(const AVFrame* frame, Planes& planes);

    std::filesystem::path m_path;
    Conversion m_conversion;
    InputFormatPtr m_format;
    CodecPtr m_codec;
    FramePtr m_frame;
    PacketPtr m_packet;
    ResamplerPtr m_swr;
    int m_stream = -1;
    int m_outRate = 0;
    int m_outChannels = 0;
    SurroundChannels m_surround;
    int m_swrInRate = 0;
    int m_swrInFormat = -1;
    double m_durationHint = 0;
    bool m_inputDone = false;
    bool m_decoderDone = false;
    bool m_finished = false;
    std::vector<float*> m_pointers;
};

// Writes planar float samples as a 24-bit FLAC file.
class FlacWriter {
public:
    FlacWriter(const std::filesystem::path& path, int sampleRate, int channels);
    ~FlacWriter();
    FlacWriter(const FlacWriter&) = delete;
    FlacWriter& operator=(const FlacWriter&) = delete;

    // Writes `frames` samples per channel, starting at `offset` in each plane.
    void write(const Planes& planes, std::size_t offset, std::size_t frames);
    // Flushes the encoder and closes the file. Throws EngineError on failure.
    void finish();

private:
    void encodeFrame(bool flush);
    void fail(const std::string& what, int code);

    std::filesystem::path m_path;
    OutputFormatPtr m_format;
    CodecPtr m_codec;
    FramePtr m_frame;
    PacketPtr m_packet;
    int m_channels = 0;
    int m_frameSize = 0;
    int m_filled = 0;
    std::int64_t m_pts = 0;
    bool m_headerWritten = false;
    bool m_finished = false;
};

} // namespace hf::engine
