// The song check: a catalogue of reference fingerprints and the search of a soundtrack against it.
//
// The soundtrack's landmarks are looked up in the catalogue's index segment by segment (about five
// seconds each). Every hit votes for a song and the time offset between the song and the soundtrack
// (reference frame minus soundtrack frame). A song is heard in a window of three segments when
// the landmarks agreeing on one offset stand out from what chance gathers in that very window for
// the catalogue's other songs, and from the song's own other offsets. Real music agrees by chance
// far more than random sounds do (shared tempi, keys and drum sounds), and the more songs the
// catalogue holds, the more such agreement one of them gathers; measuring chance beside the claim
// keeps the threshold in step with both. Windows that agree on the song and its offset join into
// one stretch.

#include "engine/engine.h"
#include "engine/fingerprint.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <random>

namespace hf::engine {

namespace {

constexpr std::int64_t kSegmentFrames = 160; // 5.12 s: the step of the search
constexpr int kWindowSegments = 3;            // a song is judged over the last three segments (15.36 s)
constexpr int kMinVotes = 10;                 // landmarks agreeing on one offset within a window...
constexpr int kOverChance = 3;                // ...at least three times what chance gathers for other songs,
constexpr int kChanceShare = 10;              //    read off the song ranked at a tenth of the catalogue...
constexpr int kChanceRank = 4;                //    (never above the 4th)...
constexpr double kOverLuckiest = 2.75;        // ...at least 2.75 times the window's 4th strongest song...
constexpr double kNearBest = 1.5;             // ...and at most kMaxNear other offsets of the song
constexpr int kMaxNear = 6;                   //    reach 1/kNearBest of it
constexpr int kOffsetTolerance = 1;           // frames: landmarks of the same moment may land one frame apart
constexpr std::int64_t kStretchGap = 94;      // frames (3 s) without an agreeing landmark end a stretch
constexpr std::int64_t kStretchReach = 1875;  // frames (60 s): how far a stretch is followed past a heard window
constexpr char kCacheMagic[8] = {'H', 'F', 'F', 'P', 'R', 'I', 'N', 'T'};
constexpr const char* kCacheExtension = ".hffp";

struct Posting {
    std::uint32_t hash;
    std::uint32_t song;
    std::uint32_t frame;
};

struct SegmentHit {
    std::int64_t from, to; // the window's frames
    std::int64_t offset;   // reference frame minus soundtrack frame
    int votes;
};

// Votes of one song at one offset: the key orders by song, then offset.
std::uint64_t voteKey(std::uint32_t song, std::int64_t offset)
{
    return (std::uint64_t(song) << 32) | std::uint32_t(offset + (std::int64_t(1) << 31));
}
std::uint32_t keySong(std::uint64_t key) { return std::uint32_t(key >> 32); }
std::int64_t keyOffset(std::uint64_t key) { return std::int64_t(key & 0xffffffffu) - (std::int64_t(1) << 31); }

using Votes = std::vector<std::pair<std::uint64_t, int>>; // sorted by key, each key once

// Sums sorted vote lists.
Votes merged(const std::deque<Votes>& lists)
{
    Votes out;
    for (const Votes& list : lists) {
        Votes next;
        next.reserve(out.size() + list.size());
        std::size_t i = 0, j = 0;
        while (i < out.size() || j < list.size()) {
            if (j == list.size() || (i < out.size() && out[i].first < list[j].first))
                next.push_back(out[i++]);
            else if (i == out.size() || list[j].first < out[i].first)
                next.push_back(list[j++]);
            else {
                next.push_back({out[i].first, out[i].second + list[j].second});
                ++i, ++j;
            }
        }
        out = std::move(next);
    }
    return out;
}

// A song's strongest alignment in a window.
struct Peak {
    std::uint32_t song = 0;
    int votes = 0;          // at the best offset, counting the offsets within the tolerance
    std::int64_t offset = 0;
    int near = 0;           // other offsets (more than twice the tolerance away) with at least 1/kNearBest of its votes
};

// Per song, from votes sorted by (song, offset).
std::vector<Peak> peaksOf(const Votes& votes)
{
    std::vector<Peak> peaks;
    for (std::size_t first = 0; first < votes.size();) {
        const std::uint32_t song = keySong(votes[first].first);
        std::size_t last = first;
        while (last < votes.size() && keySong(votes[last].first) == song)
            ++last;
        // Sum over [offset - tolerance, offset + tolerance] for each offset that has votes.
        std::vector<std::pair<std::int64_t, int>> around;
        std::size_t lo = first, hi = first;
        int sum = 0;
        for (std::size_t i = first; i < last; ++i) {
            const std::int64_t offset = keyOffset(votes[i].first);
            while (hi < last && keyOffset(votes[hi].first) <= offset + kOffsetTolerance)
                sum += votes[hi++].second;
            while (keyOffset(votes[lo].first) < offset - kOffsetTolerance)
                sum -= votes[lo++].second;
            around.push_back({offset, sum});
        }
        Peak peak{song};
        for (const auto& [offset, count] : around)
            if (count > peak.votes)
                peak.votes = count, peak.offset = offset;
        // Other offsets that come near the best one, each stretch of neighbouring offsets once.
        std::int64_t previous = std::numeric_limits<std::int64_t>::min() / 2;
        for (const auto& [offset, count] : around) {
            if (std::abs(offset - peak.offset) <= 2 * kOffsetTolerance || count * kNearBest < peak.votes)
                continue;
            if (offset - previous > 2 * kOffsetTolerance)
                ++peak.near;
            previous = offset;
        }
        peaks.push_back(peak);
        first = last;
    }
    return peaks;
}

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
    std::size_t songs = 0;

    // Whether landmark `l` agrees with `song` at `offset` (within the tolerance).
    bool agrees(const Landmark& l, std::uint32_t song, std::int64_t offset) const
    {
        auto range = std::equal_range(postings.begin(), postings.end(), Posting{l.hash, song, 0}, bySongWithinHash);
        for (auto p = range.first; p != range.second; ++p)
            if (std::abs(std::int64_t(p->frame) - std::int64_t(l.frame) - offset) <= kOffsetTolerance)
                return true;
        return false;
    }

    static bool bySongWithinHash(const Posting& a, const Posting& b) { return a.hash < b.hash || (a.hash == b.hash && a.song < b.song); }

    // The songs heard in `landmarks` (sorted by frame), window by window: each window spans
    // kWindowSegments segments and moves on by one. Only landmarks whose frame lies in
    // [from, to) take part. Every song votes, so that chance is judged alike everywhere; only
    // `song`'s hits are returned when it is given.
    //
    // A song is heard in a window at the offset where most of its landmarks agree, when that
    // count stands out from chance four ways: it reaches kMinVotes; it is kOverChance times the
    // count of the song ranked at a kChanceShare-th of the catalogue (what songs that do not
    // play typically gather there by chance: repeated drum sounds, shared tempi and keys; the
    // kChanceRank-th at least, leaving room for the song itself and versions of it); it is
    // kOverLuckiest times the kChanceRank-th strongest song's (the luckiest chance, which grows
    // with the catalogue); and no more than kMaxNear of the song's other offsets come
    // within kNearBest of it (a beat and drum kit shared with the soundtrack agree wherever the
    // bars line up, a recording where it plays and at the few places it repeats itself). A
    // weaker song heard beside a stronger one counts only the landmarks the stronger one does
    // not explain, and they must be most of its own: sounds the two recordings share are the
    // stronger one's.
    std::vector<std::pair<std::uint32_t, SegmentHit>> search(const std::vector<Landmark>& landmarks, std::int64_t from,
                                                             std::int64_t to, std::optional<std::uint32_t> song,
                                                             std::int64_t& segmentsChecked, const std::stop_token& stop) const
    {
        std::vector<std::pair<std::uint32_t, SegmentHit>> hits;
        auto frameBound = [&](std::int64_t frame) {
            return std::lower_bound(landmarks.begin(), landmarks.end(), frame,
                                    [](const Landmark& l, std::int64_t f) { return std::int64_t(l.frame) < f; });
        };
        auto begin = frameBound(from);
        std::deque<Votes> window;
        std::vector<std::uint64_t> keys;
        for (std::int64_t segmentStart = from; segmentStart < to; segmentStart += kSegmentFrames) {
            checkStop(stop);
            ++segmentsChecked;
            const std::int64_t segmentEnd = std::min(to, segmentStart + kSegmentFrames);
            auto end = begin;
            while (end != landmarks.end() && std::int64_t(end->frame) < segmentEnd)
                ++end;
            keys.clear();
            for (auto l = begin; l != end; ++l) {
                auto range = std::equal_range(postings.begin(), postings.end(), Posting{l->hash, 0, 0},
                                              [](const Posting& a, const Posting& b) { return a.hash < b.hash; });
                for (auto p = range.first; p != range.second; ++p)
                    keys.push_back(voteKey(p->song, std::int64_t(p->frame) - std::int64_t(l->frame)));
            }
            std::sort(keys.begin(), keys.end());
            Votes votes;
            for (const std::uint64_t key : keys) {
                if (!votes.empty() && votes.back().first == key)
                    ++votes.back().second;
                else
                    votes.push_back({key, 1});
            }
            window.push_back(std::move(votes));
            if (int(window.size()) > kWindowSegments)
                window.pop_front();
            const std::int64_t windowStart = std::max(from, segmentStart - (std::int64_t(window.size()) - 1) * kSegmentFrames);
            begin = end;

            std::vector<Peak> peaks = peaksOf(window.size() == 1 ? window.front() : merged(window));
            std::sort(peaks.begin(), peaks.end(),
                      [](const Peak& a, const Peak& b) { return a.votes > b.votes || (a.votes == b.votes && a.song < b.song); });
            auto countAt = [&](std::size_t rank) { return peaks.size() >= rank ? peaks[rank - 1].votes : 0; };
            const int chance = countAt(std::max<std::size_t>(kChanceRank, songs / kChanceShare));
            const int luckiest = countAt(kChanceRank);
            auto standsOut = [&](const Peak& p, int votes) {
                return votes >= kMinVotes && votes >= kOverChance * chance && votes >= kOverLuckiest * luckiest && p.near <= kMaxNear;
            };
            std::vector<const Peak*> heard;
            for (const Peak& p : peaks) {
                if (p.votes < kMinVotes || p.votes < kOverChance * chance || p.votes < kOverLuckiest * luckiest)
                    break; // sorted: no weaker song stands out
                if (!standsOut(p, p.votes))
                    continue;
                if (!heard.empty()) {
                    int unexplained = 0;
                    for (auto l = frameBound(windowStart); l != end; ++l)
                        if (agrees(*l, p.song, p.offset) &&
                            std::none_of(heard.begin(), heard.end(), [&](const Peak* h) { return agrees(*l, h->song, h->offset); }))
                            ++unexplained;
                    if (!standsOut(p, unexplained) || unexplained * 2 < p.votes)
                        continue;
                }
                heard.push_back(&p);
                if (!song || p.song == *song)
                    hits.push_back({p.song, SegmentHit{windowStart, segmentEnd, p.offset, p.votes}});
            }
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
    catalogue->m_index->songs = catalogue->m_entries.size();
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
    // Only the frames within kStretchReach of a heard window are followed.
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (const auto& hit : hits)
        spans.push_back({hit.from - kStretchReach, hit.to + kStretchReach});
    std::sort(spans.begin(), spans.end());
    std::vector<const Landmark*> followed;
    auto next = landmarks.begin();
    for (std::size_t i = 0; i < spans.size();) {
        std::int64_t last = spans[i].second;
        std::size_t j = i + 1;
        while (j < spans.size() && spans[j].first <= last)
            last = std::max(last, spans[j++].second);
        next = std::max(next, std::lower_bound(landmarks.begin(), landmarks.end(), spans[i].first,
                                               [](const Landmark& l, std::int64_t f) { return std::int64_t(l.frame) < f; }));
        for (; next != landmarks.end() && std::int64_t(next->frame) < last; ++next)
            followed.push_back(&*next);
        i = j;
    }
    std::vector<Agreeing> agreeing;
    for (const Landmark* each : followed) {
        const Landmark& l = *each;
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
            return h.offset == agreeing[i].offset && h.from <= run.last && h.to > run.first;
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
