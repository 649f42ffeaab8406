#pragma once

// The local server's audio engine: separation of a soundtrack into dialogue, music and effects
// stems, probing of uploaded audio, and the song check (fingerprint search against a folder of
// reference recordings). Plain C++ and FFmpeg; every function is safe to call from several
// threads at once, and a loaded Catalogue may be shared read-only between threads.
//
// Errors: every failure is an hf::engine::EngineError with a readable message (FFmpeg's own text
// where FFmpeg failed). A stopped operation throws hf::engine::Cancelled, which is deliberately not
// an EngineError, so `catch (const EngineError&)` never swallows a cancellation.

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace hf::engine {

class EngineError : public std::runtime_error {
public:
    enum class Kind {
        unreadableInput, // missing file, not audio, or a decoding error before the end
        emptyInput,      // an audio stream without a single sample
        outputFailed,    // a stem or cache file could not be written
        outOfSpace,      // as outputFailed, because the disk (or the process's file size limit) is full
    };
    EngineError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) {}
    Kind kind() const noexcept { return m_kind; }

private:
    Kind m_kind;
};

class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// Decoded facts about an audio file.
struct AudioInfo {
    double durationSeconds = 0; // frames / sampleRate
    std::int64_t frames = 0;    // samples per channel, as decoded
    int sampleRate = 0;
    int channels = 0;
};

// Decodes the first audio stream of `path` to its end and reports what it holds. Decoding the
// whole stream (rather than trusting the container's header) is what proves a truncated or
// damaged upload bad. Throws EngineError (unreadableInput, emptyInput) or Cancelled.
AudioInfo probeAudio(const std::filesystem::path& path, std::stop_token stop = {});

// The stems' file names inside the output folder, in stem order: dialogue, music, effects.
inline constexpr std::array<std::string_view, 3> kStemFileNames = {"dialogue.flac", "music.flac",
                                                                   "effects.flac"};

using ProgressCallback = std::function<void(double fraction)>; // 0...1, called from the working thread

// Separates `input` into "dialogue.flac", "music.flac" and "effects.flac" in `outputFolder`
// (created when missing): 24-bit FLAC at the input's sample rate and channel count, each exactly as
// long as the decoded input; the three stems add back to the input. Each stem is written under a
// temporary name and renamed into place only when all three are complete, so on failure or
// cancellation no file is left where a stem belongs (an older stem of the same name is removed
// first). Streams in bounded chunks whatever the input's length. Reports progress as a fraction
// (by decoded time against the container's duration, ending with 1). Throws EngineError or
// Cancelled (checked at every chunk).
AudioInfo separateStems(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                        const ProgressCallback& progress, std::stop_token stop);

struct SeparationOptions {
    // Threads that separate stretches of the soundtrack side by side. The stems are the same,
    // sample for sample, whatever the number.
    int threads = 1;
    // The length of a stretch; 0: about 10 s of stereo (as many samples across the channels),
    // at least 4 s. Memory grows with it times the threads.
    double stretchSeconds = 0;
};

// The same on `options.threads` threads: a few stretches in flight at a time, each separated
// with the frames around it that its estimates reach, joined without seams.
AudioInfo separateStems(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                        const ProgressCallback& progress, std::stop_token stop, const SeparationOptions& options);

// ---- Song check ----

struct Stretch {
    double start = 0; // seconds from the start of the checked audio
    double end = 0;
    double score = 0; // 0...1: share of the stretch's fingerprint hashes that matched the song in time
};

struct FoundSong {
    std::string artist; // empty when the file name carries none
    std::string title;
    std::vector<Stretch> stretches; // in time order, never empty
    double score = 0;               // the best stretch's score
};

struct Identification {
    std::vector<FoundSong> songs; // in order of first appearance
    std::int64_t checkedSegments = 0;
};

enum class Verdict { gone, ambienceZero, stillThere };
// "gone", "ambienceZero", "stillThere": the raw strings of the song check records.
std::string_view verdictName(Verdict verdict);

struct SongVerdict {
    FoundSong song;
    Verdict verdict = Verdict::gone;
};

struct VerdictReport {
    std::vector<SongVerdict> songs;     // the songs given, in their order
    bool clearWithoutAmbience = true;   // no song is detectable in the dialogue alone
    std::int64_t checkedSegments = 0;   // segments examined across the checked stems
};

// A folder of reference recordings named "Artist - Title.<ext>" (any FFmpeg-readable audio).
// Fingerprints are cached beside each recording as "<file name>.hffp" and rebuilt when the
// recording's size or time changes; an unwritable folder only costs the cache. A file that is not
// audio is skipped with a line on stderr. Immutable once loaded: share it between threads.
class Catalogue {
public:
    struct Entry {
        std::string artist;
        std::string title;
        std::filesystem::path file;
    };

    // Throws EngineError when the folder cannot be read, Cancelled when stopped.
    static std::shared_ptr<const Catalogue> load(const std::filesystem::path& folder,
                                                 std::stop_token stop = {});
    ~Catalogue();

    const std::vector<Entry>& entries() const;

    // The catalogue's songs heard in `original`, with the stretches where they play.
    // Throws EngineError for unreadable audio, Cancelled when stopped.
    Identification identify(const std::filesystem::path& original, std::stop_token stop = {}) const;

    // What became of `songs` (found in the original) after cleaning: each is looked for within its
    // own stretches in dialogue + effects (summed) and in dialogue alone. Not found in the sum:
    // gone; found in the sum only: ambienceZero; found in the dialogue: stillThere. A song this
    // catalogue does not hold cannot be shown gone and counts as stillThere. Throws EngineError
    // when a stem cannot be read (only when there are songs to check), Cancelled when stopped.
    VerdictReport verdicts(const std::vector<FoundSong>& songs, const std::filesystem::path& dialogue,
                           const std::filesystem::path& effects, std::stop_token stop = {}) const;

    struct Index;

private:
    Catalogue();
    std::vector<Entry> m_entries;
    std::unique_ptr<Index> m_index;
};

} // namespace hf::engine
