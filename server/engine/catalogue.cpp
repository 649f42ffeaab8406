// The song check: a catalogue of reference fingerprints and the search of a soundtrack against it.
//
// The soundtrack's landmarks are looked up in the catalogue's index segment by segment (about five
// seconds each). Every hit votes for a song and the time offset between the song and the soundtrack
// (reference frame minus soundtrack frame). A song is heard in a segment when enough landmarks
// agree on one offset; chance hits scatter over many offsets and never gather. Neighbouring
// segments that agree on the song and its offset join into one stretch.

#include "engine/engine.h"
#include "engine/fingerprint.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <unordered_map>

namespace hf::engine {

namespace {

constexpr std::int64_t kSegmentFrames = 160; // 5.12 s
constexpr int kMinVotes = 8;                  // landmarks agreeing on one offset within a segment
constexpr int kOffsetTolerance = 1;           // frames: landmarks of the same moment may land one frame apart
constexpr std::int64_t kStretchGap = 94;      // frames (3 s) without an agreeing landmark end a stretch
constexpr char kCacheMagic[8] = {'H', 'F', 'F', 'P', 'R', 'I', 'N', 'T'};
constexpr const char* kCacheExtension = ".hffp";

struct Posting {
    std::uint32_t hash;
    std::uint32_t song;
    std::uint32_t frame;
};

struct SegmentHit {
    std::int64_t segment;
    std::int64_t offset; // reference frame minus soundtrack frame
    int votes;
    int landmarks;
};

std::string randomSuffix()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void logLine(const std::string& text) { std::fprintf(stderr, "hushframe-server: song catalogue: %s\n", text.c_str()); }

struct CacheHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t reserved;
    std::uint64_t sourceSize;
    std::int64_t sourceTime;
    std::uint64_t count;
};

std::int64_t fileTime(const std::filesystem::path& path)
{
    std::error_code ec;
    auto time = std::filesystem::last_write_time(path, ec);
    return ec ? 0 : std::int64_t(time.time_since_epoch().count());
}

bool readCache(const std::filesystem::path& cache, const std::filesystem::path& source, std::vector<Landmark>& out)
{
    std::ifstream in(cache, std::ios::binary);
    if (!in)
        return false;
    CacheHeader header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header))
        return false;
    std::error_code ec;
    if (std::memcmp(header.magic, kCacheMagic, 8) != 0 || header.version != kFingerprintVersion ||
        header.sourceSize != std::filesystem::file_size(source, ec) || header.sourceTime != fileTime(source) ||
        header.count > (1ull << 32))
        return false;
    out.resize(header.count);
    if (!in.read(reinterpret_cast<char*>(out.data()), std::streamsize(header.count * sizeof(Landmark))))
        return false;
    return in.peek() == std::char_traits<char>::eof();
}

void writeCache(const std::filesystem::path& cache, const std::filesystem::path& source, const std::vector<Landmark>& landmarks)
{
    CacheHeader header{};
    std::memcpy(header.magic, kCacheMagic, 8);
    header.version = kFingerprintVersion;
    std::error_code ec;
    header.sourceSize = std::filesystem::file_size(source, ec);
    header.sourceTime = fileTime(source);
    header.count = landmarks.size();
    const std::filesystem::path temporary = cache.string() + ".partial-" + randomSuffix();
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(&header), sizeof header);
        out.write(reinterpret_cast<const char*>(landmarks.data()), std::streamsize(landmarks.size() * sizeof(Landmark)));
        out.close();
        if (!out) {
            std::filesystem::remove(temporary, ec);
            logLine("cannot cache the fingerprint of \"" + source.filename().string() + "\"");
            return;
        }
    }
    std::filesystem::rename(temporary, cache, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        logLine("cannot cache the fingerprint of \"" + source.filename().string() + "\"");
    }
}

void checkStop(const std::stop_token& stop)
{
    if (stop.stop_requested())
        throw Cancelled();
}

} // namespace

struct Catalogue::Index {
    std::vector<Posting> postings; // sorted by hash

    // Per segment of `landmarks` (sorted by frame), the songs heard in it. Only landmarks whose
    // frame lies in [from, to) take part, and only `song` when it is given.
    std::vector<std::pair<std::uint32_t, SegmentHit>> search(const std::vector<Landmark>& landmarks, std::int64_t from,
                                                             std::int64_t to, std::optional<std::uint32_t> song,
                                                             std::int64_t& segmentsChecked, const std::stop_token& stop) const
    {
        std::vector<std::pair<std::uint32_t, SegmentHit>> hits;
        auto begin = std::lower_bound(landmarks.begin(), landmarks.end(), from,
                                      [](const Landmark& l, std::int64_t f) { return std::int64_t(l.frame) < f; });
        std::unordered_map<std::uint64_t, int> votes;
        for (std::int64_t segmentStart = from; segmentStart < to; segmentStart += kSegmentFrames) {
            checkStop(stop);
            ++segmentsChecked;
            const std::int64_t segmentEnd = std::min(to, segmentStart + kSegmentFrames);
            auto end = begin;
            while (end != landmarks.end() && std::int64_t(end->frame) < segmentEnd)
                ++end;
            votes.clear();
            auto key = [](std::uint32_t s, std::int64_t offset) { return (std::uint64_t(s) << 32) | std::uint32_t(std::int32_t(offset)); };
            for (auto l = begin; l != end; ++l) {
                auto range = std::equal_range(postings.begin(), postings.end(), Posting{l->hash, 0, 0},
                                              [](const Posting& a, const Posting& b) { return a.hash < b.hash; });
                for (auto p = range.first; p != range.second; ++p)
                    if (!song || p->song == *song)
                        ++votes[key(p->song, std::int64_t(p->frame) - std::int64_t(l->frame))];
            }
            // Best offset per song, counting the neighbouring offsets too.
            std::map<std::uint32_t, std::pair<int, std::int64_t>> best;
            for (const auto& [k, count] : votes) {
                const std::uint32_t s = std::uint32_t(k >> 32);
                const std::int64_t offset = std::int32_t(std::uint32_t(k & 0xffffffffu));
                int total = 0;
                for (int d = -kOffsetTolerance; d <= kOffsetTolerance; ++d)
                    if (auto it = votes.find(key(s, offset + d)); it != votes.end())
                        total += it->second;
                auto& b = best[s];
                if (total > b.first || (total == b.first && offset < b.second))
                    b = {total, offset};
            }
            for (const auto& [s, b] : best) {
                if (b.first < kMinVotes)
                    continue;
                SegmentHit hit{segmentStart / kSegmentFrames, b.second, b.first, int(end - begin)};
                hits.push_back({s, hit});
            }
            begin = end;
        }
        return hits;
    }
};

Catalogue::Catalogue() : m_index(std::make_unique<Index>()) {}
Catalogue::~Catalogue() = default;

const std::vector<Catalogue::Entry>& Catalogue::entries() const { return m_entries; }

std::shared_ptr<const Catalogue> Catalogue::load(const std::filesystem::path& folder, std::stop_token stop)
{
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || endsWith(name, kCacheExtension) || name.find(".partial-") != std::string::npos)
            continue;
        if (it->is_regular_file(ec))
            files.push_back(it->path());
    }
    if (ec)
        throw EngineError(EngineError::Kind::unreadableInput, "Cannot read the song catalogue \"" + folder.string() + "\": " + ec.message());
    std::sort(files.begin(), files.end());

    std::shared_ptr<Catalogue> catalogue(new Catalogue());
    for (const auto& file : files) {
        checkStop(stop);
        const std::filesystem::path cache = file.string() + kCacheExtension;
        std::vector<Landmark> landmarks;
        if (!readCache(cache, file, landmarks)) {
            try {
                landmarks = fingerprintFile(file, stop);
            } catch (const EngineError& error) {
                logLine("skipping \"" + file.filename().string() + "\", not usable audio: " + error.what());
                continue;
            }
            writeCache(cache, file, landmarks);
        }
        Entry entry;
        entry.file = file;
        const std::string stem = file.stem().string();
        if (auto dash = stem.find(" - "); dash != std::string::npos) {
            entry.artist = stem.substr(0, dash);
            entry.title = stem.substr(dash + 3);
        } else {
            entry.title = stem;
        }
        const auto song = std::uint32_t(catalogue->m_entries.size());
        catalogue->m_entries.push_back(std::move(entry));
        for (const Landmark& l : landmarks)
            catalogue->m_index->postings.push_back({l.hash, song, l.frame});
    }
    std::sort(catalogue->m_index->postings.begin(), catalogue->m_index->postings.end(),
              [](const Posting& a, const Posting& b) { return a.hash < b.hash || (a.hash == b.hash && a.song < b.song); });
    return catalogue;
}

namespace {

// The stretches where `song` plays: every landmark that agrees with the song at one of the offsets
// its segments were heard at counts, so a stretch reaches from the first agreeing landmark to the
// last one, also into segments too short or too drowned to be heard on their own. Agreeing
// landmarks more than kStretchGap apart start a new stretch; a stretch must hold a heard segment.
std::vector<Stretch> stretchesOf(const Catalogue::Index& index, std::uint32_t song, const std::vector<SegmentHit>& hits,
                                 const std::vector<Landmark>& landmarks)
{
    std::vector<std::int64_t> offsets;
    for (const auto& hit : hits)
        offsets.push_back(hit.offset);
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());

    struct Agreeing {
        std::int64_t offset;
        std::int64_t frame;
        std::int64_t end; // the landmark's target frame
    };
    std::vector<Agreeing> agreeing;
    for (const Landmark& l : landmarks) {
        auto range = std::equal_range(index.postings.begin(), index.postings.end(), Posting{l.hash, song, 0},
                                      [](const Posting& a, const Posting& b) { return a.hash < b.hash || (a.hash == b.hash && a.song < b.song); });
        for (auto p = range.first; p != range.second; ++p) {
            const std::int64_t offset = std::int64_t(p->frame) - std::int64_t(l.frame);
            auto near = std::lower_bound(offsets.begin(), offsets.end(), offset - kOffsetTolerance);
            if (near != offsets.end() && *near <= offset + kOffsetTolerance) {
                agreeing.push_back({*near, std::int64_t(l.frame), std::int64_t(l.frame) + std::int64_t(l.hash & 63u)});
                break;
            }
        }
    }
    std::sort(agreeing.begin(), agreeing.end(), [](const Agreeing& a, const Agreeing& b) {
        return a.offset < b.offset || (a.offset == b.offset && a.frame < b.frame);
    });

    auto countIn = [&](std::int64_t from, std::int64_t to) {
        auto lo = std::lower_bound(landmarks.begin(), landmarks.end(), from, [](const Landmark& l, std::int64_t f) { return std::int64_t(l.frame) < f; });
        auto hi = std::upper_bound(landmarks.begin(), landmarks.end(), to, [](std::int64_t f, const Landmark& l) { return f < std::int64_t(l.frame); });
        return std::max<std::ptrdiff_t>(1, hi - lo);
    };
    struct Run {
        std::int64_t first, last, end;
        int count;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < agreeing.size();) {
        std::size_t j = i + 1;
        while (j < agreeing.size() && agreeing[j].offset == agreeing[i].offset && agreeing[j].frame - agreeing[j - 1].frame <= kStretchGap)
            ++j;
        Run run{agreeing[i].frame, agreeing[j - 1].frame, 0, int(j - i)};
        for (std::size_t k = i; k < j; ++k)
            run.end = std::max(run.end, agreeing[k].end);
        const bool heard = std::any_of(hits.begin(), hits.end(), [&](const SegmentHit& h) {
            return h.offset == agreeing[i].offset && h.segment * kSegmentFrames <= run.last && (h.segment + 1) * kSegmentFrames > run.first;
        });
        if (heard)
            runs.push_back(run);
        i = j;
    }
    // Runs at different offsets (a phrase that repeats) may overlap: join them.
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.first < b.first; });
    std::vector<Run> joined;
    for (const Run& run : runs) {
        if (!joined.empty() && run.first <= joined.back().end + kStretchGap / 2) {
            joined.back().last = std::max(joined.back().last, run.last);
            joined.back().end = std::max(joined.back().end, run.end);
            joined.back().count += run.count;
        } else {
            joined.push_back(run);
        }
    }
    std::vector<Stretch> stretches;
    for (const Run& run : joined) {
        Stretch stretch;
        stretch.start = double(run.first) * kFingerprintFrameSeconds;
        stretch.end = double(run.end) * kFingerprintFrameSeconds + kFingerprintFrameLength;
        stretch.score = std::min(1.0, double(run.count) / double(countIn(run.first, run.last)));
        stretches.push_back(stretch);
    }
    return stretches;
}

} // namespace

Identification Catalogue::identify(const std::filesystem::path& original, std::stop_token stop) const
{
    std::int64_t frames = 0;
    const std::vector<Landmark> landmarks = fingerprintFile(original, stop, &frames);
    Identification result;
    const auto hits = m_index->search(landmarks, 0, frames, std::nullopt, result.checkedSegments, stop);
    std::map<std::uint32_t, std::vector<SegmentHit>> bySong;
    for (const auto& [song, hit] : hits)
        bySong[song].push_back(hit);
    for (auto& [song, songHits] : bySong) {
        FoundSong found;
        found.artist = m_entries[song].artist;
        found.title = m_entries[song].title;
        found.stretches = stretchesOf(*m_index, song, songHits, landmarks);
        if (found.stretches.empty())
            continue;
        for (const auto& s : found.stretches)
            found.score = std::max(found.score, s.score);
        result.songs.push_back(std::move(found));
    }
    std::sort(result.songs.begin(), result.songs.end(),
              [](const FoundSong& a, const FoundSong& b) { return a.stretches.front().start < b.stretches.front().start; });
    return result;
}

namespace {

// Fingerprints dialogue + effects and dialogue alone in one pass over both files.
void fingerprintStems(const std::filesystem::path& dialogue, const std::filesystem::path& effects, Fingerprinter& sum,
                      Fingerprinter& dialogueOnly, const std::stop_token& stop)
{
    AudioReader dialogueReader(dialogue, AudioReader::Conversion{kFingerprintRate, true});
    AudioReader effectsReader(effects, AudioReader::Conversion{kFingerprintRate, true});
    Planes d, e;
    bool dialogueMore = true, effectsMore = true;
    std::vector<float> mixed;
    while (dialogueMore || effectsMore) {
        checkStop(stop);
        if (dialogueMore && (d.empty() || d[0].size() < 4096))
            dialogueMore = dialogueReader.read(d);
        if (effectsMore && (e.empty() || e[0].size() < 4096))
            effectsMore = effectsReader.read(e);
        const std::size_t dn = d.empty() ? 0 : d[0].size();
        const std::size_t en = e.empty() ? 0 : e[0].size();
        // Mix what both have; once one has ended, the other goes on alone.
        std::size_t n = std::min(dn, en);
        if (!dialogueMore)
            n = std::max(n, en);
        if (!effectsMore)
            n = std::max(n, dn);
        if (n == 0)
            continue;
        mixed.assign(n, 0.0f);
        for (std::size_t i = 0; i < n; ++i)
            mixed[i] = (i < dn ? d[0][i] : 0.0f) + (i < en ? e[0][i] : 0.0f);
        sum.push(mixed.data(), n);
        if (dn > 0)
            dialogueOnly.push(d[0].data(), std::min(n, dn));
        if (dn > 0)
            d[0].erase(d[0].begin(), d[0].begin() + std::ptrdiff_t(std::min(n, dn)));
        if (en > 0)
            e[0].erase(e[0].begin(), e[0].begin() + std::ptrdiff_t(std::min(n, en)));
    }
    sum.finish();
    dialogueOnly.finish();
}

} // namespace

VerdictReport Catalogue::verdicts(const std::vector<FoundSong>& songs, const std::filesystem::path& dialogue,
                                  const std::filesystem::path& effects, std::stop_token stop) const
{
    VerdictReport report;
    if (songs.empty())
        return report;
    Fingerprinter sum, dialogueOnly;
    fingerprintStems(dialogue, effects, sum, dialogueOnly, stop);

    auto heard = [&](std::uint32_t song, const FoundSong& found, const std::vector<Landmark>& landmarks) {
        for (const Stretch& stretch : found.stretches) {
            const auto from = std::max<std::int64_t>(0, std::int64_t((stretch.start - 1.0) / kFingerprintFrameSeconds));
            const auto to = std::int64_t((stretch.end + 1.0) / kFingerprintFrameSeconds) + 1;
            if (!m_index->search(landmarks, from, to, song, report.checkedSegments, stop).empty())
                return true;
        }
        return false;
    };
    for (const FoundSong& found : songs) {
        SongVerdict verdict{found, Verdict::stillThere};
        auto entry = std::find_if(m_entries.begin(), m_entries.end(),
                                  [&](const Entry& e) { return e.artist == found.artist && e.title == found.title; });
        // A song the catalogue does not know cannot be shown to be gone.
        if (entry != m_entries.end()) {
            const auto song = std::uint32_t(entry - m_entries.begin());
            if (!heard(song, found, sum.landmarks()))
                verdict.verdict = Verdict::gone;
            else if (!heard(song, found, dialogueOnly.landmarks()))
                verdict.verdict = Verdict::ambienceZero;
        }
        if (verdict.verdict == Verdict::stillThere)
            report.clearWithoutAmbience = false;
        report.songs.push_back(std::move(verdict));
    }
    return report;
}

} // namespace hf::engine
