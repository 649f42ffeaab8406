// Stem separation by soft spectral masks.
//
// The soundtrack is cut into overlapping frames (about 90 ms, a quarter of a frame apart) and
// transformed. For every time-frequency bin three magnitude estimates are formed from the mix:
//   music    - the median of the bin over about half a second: what holds steady (sustained notes);
//   effects  - the median across about 400 Hz within the frame: what is broadband (noise, hits);
//   dialogue - what stands out over about 100 ms above the steady part, in the speech band,
//              weighted by how likely the bin comes from the dialogue's direction: one source in
//              both channels (alike up to a gain over those 100 ms), not far to one side.
// A bin from the dialogue's direction also lowers the music and effects estimates. The dialogue
// estimate then counts only while someone speaks: a frame's speech activity is the dialogue
// estimate's share of its speech band, averaged over 0.1 s and held for 0.4 s either side, so a
// centred bass or drum kit between lines stays out of the dialogue.
// In a surround layout the front-centre channel carries the dialogue: it gets masks of its own
// (every bin counts as the dialogue's direction there) and the other channels get no dialogue.
// Each stem takes the share estimate^2 / sum of estimates^2 of the bin (Wiener-style soft shares).
// A trained network (engine/mask_model.h) judges the same frame again from the bands of the frames
// about a second either side; each stem takes the product of the two judges' shares, scaled so
// that the three add up to one. The three shares of a bin add up to one, and the
// dialogue is formed as the input minus music and effects, so the stems add back to the input up
// to rounding. Frames are processed as they arrive with about a second of look-ahead, so memory
// does not grow with the length of the input. Every mask depends only on the frames within a
// bounded window around it.

#include "engine/audio_io.h"
#include "engine/dsp.h"
#include "engine/engine.h"
#include "engine/mask_model.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <malloc.h>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

namespace hf::engine {

namespace {

using Complex = std::complex<float>;

int oddAtLeast(double value, int minimum)
{
    int n = std::max(minimum, int(std::lround(value)));
    return n | 1;
}

// Channels of all the stretches in flight together, at most: eight stretches of stereo, five of
// 5.1, four of 7.1.
constexpr int kChannelsInFlight = 32;

// Frames the network judges at once: its weights are read once for all of them. Synthesis waits
// for the frames after them, so the stems do not depend on it.
constexpr int kJudgedTogether = 16;

// How much a centred bin lowers the music and effects estimates, and how much of the steady part
// is taken out of the dialogue estimate.
constexpr float kCentreLowersMusic = 0.5f;
constexpr float kCentreLowersEffects = 0.7f;
constexpr float kSteadyInDialogue = 0.75f;
// Below this, a bin's channels count as unrelated (no single source), and beyond this share of
// its power on one side it is too far out for dialogue, fading out over kSideFade.
constexpr double kCoherenceFloor = 0.5;
constexpr double kSideLimit = 0.85;
constexpr double kSideFade = 0.2;
// Speech activity: the dialogue estimate's share of the speech band, averaged over
// kSpeechAverageSeconds and held for kSpeechHoldSeconds; no dialogue below kSpeechFloor, all of
// it from kSpeechFull.
constexpr double kSpeechAverageSeconds = 0.1;
constexpr double kSpeechHoldSeconds = 0.4;
constexpr float kSpeechFloor = 0.2f;
constexpr float kSpeechFull = 0.35f;
// The network's dialogue share of a frame's speech band (weighted by power) below which the
// dialogue estimate does not count, fading in over kNetSpeechFade.
constexpr double kNetSpeechFloor = 0.4;
constexpr double kNetSpeechFade = 0.15;
constexpr double kSpeechLowHz = 60.0;
// The median of a window of values that comes and goes one value at a time.
class SlidingMedian {
public:
    // The windows hold a few dozen values at most: shifting them one by one beats a search and
    // a move of the block.
    void add(float value)
    {
        m_sorted.push_back(value);
        std::size_t i = m_sorted.size() - 1;
        for (; i > 0 && m_sorted[i - 1] > value; --i)
            m_sorted[i] = m_sorted[i - 1];
        m_sorted[i] = value;
    }
    void remove(float value)
    {
        const std::size_t size = m_sorted.size();
        std::size_t i = 0;
        while (i < size && m_sorted[i] < value)
            ++i;
        if (i == size)
            return;
        for (; i + 1 < size; ++i)
            m_sorted[i] = m_sorted[i + 1];
        m_sorted.pop_back();
    }
    float median() const { return m_sorted.empty() ? 0.0f : m_sorted[m_sorted.size() / 2]; }

private:
    std::vector<float> m_sorted;
};

// Frame length, hop and the reach of the time windows for a sample rate. Frame f covers the
// samples from f * hop - (n - hop) on; a frame's masks depend on the frames up to `context`
// before and after it, no further.
struct Geometry {
    int n = 0;
    int hop = 0;
    int longHalf = 0, shortHalf = 0, speechHalf = 0, holdHalf = 0;
    int modelReach = 0;
    // The spectral estimates reach longHalf frames on either side of the frames whose speech
    // activity a mask uses; the network's shares reach modelReach frames.
    int context() const { return std::max(longHalf + speechHalf + holdHalf, modelReach); }
    std::int64_t frameStart(std::int64_t frame) const { return frame * hop - (n - hop); }

    explicit Geometry(int sampleRate)
        : n(sampleRate >= 64000 ? 8192 : sampleRate >= 32000 ? 4096 : sampleRate >= 16000 ? 2048 : 1024)
        , hop(n / 4)
    {
        const double framesPerSecond = double(sampleRate) / hop;
        longHalf = oddAtLeast(0.5 * framesPerSecond, 5) / 2;
        shortHalf = oddAtLeast(0.1 * framesPerSecond, 3) / 2;
        speechHalf = oddAtLeast(kSpeechAverageSeconds * framesPerSecond, 3) / 2;
        holdHalf = oddAtLeast(kSpeechHoldSeconds * framesPerSecond, 3) / 2;
        modelReach = MaskModel::builtIn().reach();
    }
};

// Which part of the soundtrack a splitter works on: frames from `firstFrame` on (its input starts
// at that frame's first sample; frame 0 starts before the soundtrack, in silence), and the
// samples [emitFrom, emitTo) that it hands to its sink. A span that starts later than frame 0
// must be given `context` frames more than the frames it emits, so that every estimate sees the
// same frames as in a run over the whole soundtrack: its stems are then the same, sample for
// sample.
struct Span {
    std::int64_t firstFrame = 0;
    std::int64_t emitFrom = 0;
    std::int64_t emitTo = std::numeric_limits<std::int64_t>::max();
};

// Channels that share one set of masks.
struct ChannelGroup {
    std::vector<int> channels;
    int left = -1, right = -1; // -1: every bin counts as the dialogue's direction
    bool dialogue = true;
};

// A surround layout's front-centre channel, where the dialogue is mixed, forms a group of its own;
// so does each side or back pair, judged by its own two channels (what plays behind the listener
// is often another sound than what plays in front); the rest judge direction by their front left
// and right. Only the centre carries dialogue. Any other layout is one group.
std::vector<ChannelGroup> channelGroups(int channels, const SurroundChannels& surround)
{
    const int centre = surround.centre;
    if (channels < 3 || centre < 0 || centre >= channels) {
        ChannelGroup all;
        for (int c = 0; c < channels; ++c)
            all.channels.push_back(c);
        if (channels >= 2) {
            all.left = 0;
            all.right = 1;
        }
        return {all};
    }
    std::vector<ChannelGroup> groups{{{centre}}};
    std::vector<bool> taken(std::size_t(channels), false);
    taken[std::size_t(centre)] = true;
    for (const auto& [l, r] : surround.pairs) {
        if (l < 0 || r < 0 || l >= channels || r >= channels || l == r || taken[std::size_t(l)] || taken[std::size_t(r)])
            continue;
        taken[std::size_t(l)] = taken[std::size_t(r)] = true;
        groups.push_back({{l, r}, l, r, false});
    }
    ChannelGroup rest;
    rest.dialogue = false;
    for (int c = 0; c < channels; ++c)
        if (!taken[std::size_t(c)])
            rest.channels.push_back(c);
    if (rest.channels.size() >= 2) {
        rest.left = rest.channels[0];
        rest.right = rest.channels[1];
    }
    if (!rest.channels.empty())
        groups.insert(groups.begin() + 1, rest);
    return groups;
}

class StemSplitter {
public:
    using Sink = std::function<void(const std::array<Planes, 3>& stems, std::size_t count)>;

    // `surround`: where a surround layout's front centre and side or back pairs are.
    StemSplitter(int sampleRate, int channels, const SurroundChannels& surround, Sink sink, Span span);
    void push(const Planes& input);
    // The input has ended: the last frames are padded with silence.
    void finish();
    // The span's input is all there but the soundtrack goes on: emits what the span asked for.
    void drain();

private:
    using Group = ChannelGroup;
    // What the estimates read of a group's frame, kept while the windows around it are estimated.
    struct GroupMeasures {
        std::vector<float> magnitude;    // K
        std::vector<Complex> cross;      // K: L R*
        std::vector<float> leftPower;    // K: |L|^2
        std::vector<float> rightPower;   // K: |R|^2
    };
    // What a group's frame keeps until it is synthesised.
    struct GroupFrame {
        // The estimates of the bin's magnitude per stem, before the dialogue is gated by speech.
        std::vector<float> dialogue, music, effects;
        float speech = 0; // how much of the frame's speech band the dialogue estimate holds, 0...1
    };
    // The time windows of one group, one median per bin, sliding along with the frames.
    struct GroupWindows {
        std::vector<SlidingMedian> wide, narrow; // about 0.5 s and 0.1 s
        std::int64_t wideFirst = 0, wideLast = -1, narrowFirst = 0, narrowLast = -1;
    };
    // A frame waiting to be synthesised: its spectra are made again from the input then, which
    // is kept until then (a frame's samples and spectra would take far more memory over the
    // frames that wait).
    struct Frame {
        std::vector<GroupFrame> groups;
    };

    void analyze();
    // `all`: the input has ended and every frame is analysed; `flush`: the span's input is all
    // there, so frames no longer wait to be judged together with later ones.
    void advance(bool all, bool flush = false);
    void estimate(std::int64_t t, std::size_t group);
    void synthesize(std::int64_t t);
    void computeMasks(std::int64_t t, std::size_t group);
    void judgeByNetwork(std::int64_t t, std::size_t group);
    // `gate`: how far the dialogue estimate counts by the speech around the frame.
    void weighMasks(std::int64_t t, std::size_t group, float gate);
    void synthesizeChannel(std::int64_t t, int channel);
    void emitFrame(std::int64_t t);
    Frame& slot(std::int64_t frame) { return m_ring[std::size_t(frame % std::int64_t(m_ring.size()))]; }
    GroupMeasures& measured(std::int64_t frame, std::size_t group)
    {
        return m_measures[std::size_t(frame % std::int64_t(m_measures.size()))][group];
    }
    // The spectra of frame t (channels x K) into `bins`, from the input.
    void transform(std::int64_t t, std::vector<std::vector<Complex>>& bins);
    // What the network reads of a frame of a group, kept longer than the rest of the frame.
    MaskModel::FrameBands& bandsOf(std::int64_t frame, std::size_t group)
    {
        return m_bandsRing[std::size_t(frame % std::int64_t(m_bandsRing.size()))][group];
    }
    std::int64_t frameStart(std::int64_t frame) const { return frame * m_hop - (m_n - m_hop); }
    void emitUpTo(std::int64_t end);

    int m_channels;
    std::vector<Group> m_groups;
    int m_n;
    int m_hop;
    int m_bins;
    int m_longHalf;
    int m_shortHalf;
    int m_verticalHalf;
    int m_speechHalf;  // frames averaged into a frame's speech activity
    int m_holdHalf;    // frames over which speech activity holds
    int m_context;     // frames either side of a frame that its masks depend on
    Span m_span;
    int m_speechFrom, m_speechTo; // bins of the speech band used for activity
    Sink m_sink;
    RealFft m_forward;
    RealFft m_inverse;
    const MaskModel& m_model;
    ModelBands m_modelBands;
    MaskModel::FrameBands m_silence; // what the network reads before the soundtrack and after its end
    std::vector<float> m_window;
    std::vector<float> m_bandWeight;
    std::vector<Frame> m_ring;
    std::vector<std::vector<GroupMeasures>> m_measures;
    std::vector<std::vector<MaskModel::FrameBands>> m_bandsRing;

    Planes m_input;              // samples from m_inputStart on
    std::int64_t m_inputStart;   // sample index of m_input[c][0]
    std::int64_t m_received = 0; // the end of the samples pushed
    std::int64_t m_analyzed = 0; // frames analyzed
    std::int64_t m_estimated = 0;
    std::int64_t m_synthesized = 0;
    bool m_finishing = false;

    std::array<Planes, 3> m_accumulator; // stems x channels x N, starting at frameStart(m_synthesized)
    std::array<Planes, 3> m_ready;       // complete samples waiting for the sink
    std::int64_t m_emitted = 0;

    // Scratch.
    std::vector<GroupWindows> m_windows;
    std::vector<float> m_long, m_short, m_vertical, m_maskMusic, m_maskEffects;
    std::vector<const MaskModel::FrameBands*> m_around;
    std::vector<float> m_modelScratch, m_netMusic, m_netEffects;
    // Per group: the network's shares of `count` frames from `from` on, judged together.
    struct Judged {
        std::vector<float> shares; // kJudgedTogether x 3 x bands
        std::int64_t from = 0;
        int count = 0;
    };
    std::vector<Judged> m_judged;
    std::int64_t m_judgeEnd = 0; // frames before it have every frame the network reads analysed
    std::vector<const Complex*> m_spectra;
    std::vector<float> m_timeBuffer;
    std::vector<Complex> m_binBuffer;
    std::vector<std::vector<Complex>> m_frameBins; // channels x K: the frame being analysed or synthesised
    std::vector<Complex> m_crossSum;
    std::vector<double> m_leftSum, m_rightSum;
};

StemSplitter::StemSplitter(int sampleRate, int channels, const SurroundChannels& surround, Sink sink, Span span)
    : m_channels(channels)
    , m_n(Geometry(sampleRate).n)
    , m_hop(m_n / 4)
    , m_bins(m_n / 2 + 1)
    , m_span(span)
    , m_sink(std::move(sink))
    , m_forward(m_n, false)
    , m_inverse(m_n, true)
    , m_model(MaskModel::builtIn())
    , m_modelBands(m_model, m_bins, double(sampleRate) / m_n, m_n)
    , m_window(hannWindow(m_n, true))
{
    const Geometry geometry(sampleRate);
    const double binHz = double(sampleRate) / m_n;
    m_longHalf = geometry.longHalf;
    m_shortHalf = geometry.shortHalf;
    m_verticalHalf = oddAtLeast(400.0 / binHz, 5) / 2;
    m_speechHalf = geometry.speechHalf;
    m_holdHalf = geometry.holdHalf;
    m_context = geometry.context();
    m_speechFrom = std::clamp(int(150 / binHz), 1, m_bins - 1);
    m_speechTo = std::clamp(int(4000 / binHz), m_speechFrom + 1, m_bins);

    // Speech lives between about 100 Hz and 6 kHz.
    m_bandWeight.resize(m_bins);
    for (int k = 0; k < m_bins; ++k) {
        const double hz = k * binHz;
        double w = 1.0;
        if (hz < kSpeechLowHz)
            w = 0.0;
        else if (hz < 2 * kSpeechLowHz)
            w = (hz - kSpeechLowHz) / kSpeechLowHz;
        else if (hz > 6000)
            w = std::max(0.3, 1.0 - (hz - 6000) / 6000);
        m_bandWeight[k] = float(w);
    }

    m_groups = channelGroups(channels, surround);

    // A frame's spectra wait for its synthesis, up to `m_context` frames behind the analysis; its
    // estimates serve the speech activity of the frames around it and the medians of the frames
    // after it. The network reads the frames up to its reach before and after the one synthesised.
    m_ring.resize(std::size_t(std::max(2 * m_longHalf, m_context + m_speechHalf + m_holdHalf) + kJudgedTogether + 4));
    m_measures.assign(std::size_t(2 * m_longHalf + kJudgedTogether + 4), std::vector<GroupMeasures>(m_groups.size()));
    for (auto& frame : m_measures)
        for (GroupMeasures& g : frame) {
            for (auto* v : {&g.magnitude, &g.leftPower, &g.rightPower})
                v->resize(m_bins);
            g.cross.resize(m_bins);
        }
    m_frameBins.assign(m_channels, std::vector<Complex>(m_bins));
    m_bandsRing.assign(std::size_t(2 * m_context + kJudgedTogether + 4), std::vector<MaskModel::FrameBands>(m_groups.size()));
    for (Frame& f : m_ring) {
        f.groups.resize(m_groups.size());
        for (GroupFrame& g : f.groups)
            for (auto* v : {&g.dialogue, &g.music, &g.effects})
                v->resize(m_bins);
    }
    // Frame 0 starts before the soundtrack, in silence; a later span starts at its first frame,
    // and its first estimate and synthesis wait for the frames their windows reach back to.
    const std::int64_t first = span.firstFrame;
    m_inputStart = frameStart(first);
    m_input.assign(m_channels, std::vector<float>(first == 0 ? std::size_t(m_n - m_hop) : 0, 0.0f));
    m_received = std::max<std::int64_t>(0, m_inputStart);
    m_analyzed = first;
    m_estimated = first == 0 ? 0 : first + m_longHalf;
    m_synthesized = first == 0 ? 0 : first + m_context;
    m_emitted = span.emitFrom;
    for (auto& stem : m_accumulator)
        stem.assign(m_channels, std::vector<float>(m_n, 0.0f));
    for (auto& stem : m_ready)
        stem.assign(m_channels, {});
    m_windows.resize(m_groups.size());
    for (auto& w : m_windows) {
        w.wideFirst = w.narrowFirst = first;
        w.wideLast = w.narrowLast = first - 1;
        w.wide.resize(std::size_t(m_bins));
        w.narrow.resize(std::size_t(m_bins));
    }
    for (auto* v : {&m_long, &m_short, &m_vertical, &m_maskMusic, &m_maskEffects})
        v->resize(m_bins);
    m_timeBuffer.resize(m_n);
    m_binBuffer.resize(m_bins);
    m_crossSum.resize(m_bins);
    m_leftSum.resize(m_bins);
    m_rightSum.resize(m_bins);
    m_model.silence(m_silence);
    m_around.resize(std::size_t(2 * m_model.reach() + kJudgedTogether));
    m_judged.resize(m_groups.size());
    for (Judged& judged : m_judged)
        judged.shares.resize(std::size_t(kJudgedTogether * 3 * m_model.bands()));
    m_netMusic.resize(m_bins);
    m_netEffects.resize(m_bins);
}

void StemSplitter::push(const Planes& input)
{
    const std::size_t count = input.empty() ? 0 : input[0].size();
    for (int c = 0; c < m_channels; ++c) {
        const std::size_t at = m_input[c].size();
        m_input[c].insert(m_input[c].end(), input[c].begin(), input[c].end());
        for (std::size_t i = at; i < m_input[c].size(); ++i)
            if (!std::isfinite(m_input[c][i]))
                m_input[c][i] = 0.0f; // a damaged float sample would spoil every mask it touches
    }
    m_received += std::int64_t(count);
    analyze();
}

void StemSplitter::finish()
{
    m_finishing = true;
    // Frames cover every sample: the last one starts before the end of the input.
    const std::int64_t total = (m_received + (m_n - m_hop) + m_hop - 1) / m_hop;
    const std::int64_t needed = frameStart(total - 1) + m_n;
    const std::int64_t have = m_inputStart + std::int64_t(m_input[0].size());
    if (needed > have)
        for (auto& plane : m_input)
            plane.resize(plane.size() + std::size_t(needed - have), 0.0f);
    analyze();
    advance(true);
    emitUpTo(std::min(m_received, m_span.emitTo));
}

void StemSplitter::drain()
{
    advance(false, true);
    emitUpTo(m_span.emitTo);
}

// Estimates every frame whose half second ahead is analysed, and synthesises every frame whose
// speech windows ahead are estimated (all of them once the input has ended).
void StemSplitter::advance(bool all, bool flush)
{
    const int wait = all || flush ? 0 : kJudgedTogether - 1;
    m_judgeEnd = all ? m_analyzed : m_analyzed - m_model.reach();
    while (m_estimated < m_analyzed && (all || m_estimated + m_longHalf < m_analyzed)) {
        for (std::size_t g = 0; g < m_groups.size(); ++g)
            estimate(m_estimated, g);
        ++m_estimated;
    }
    while (m_synthesized < m_estimated &&
           (all || (m_synthesized + m_speechHalf + m_holdHalf < m_estimated && m_synthesized + m_context + wait < m_analyzed)))
        synthesize(m_synthesized);
}

void StemSplitter::analyze()
{
    const std::int64_t totalFrames = m_finishing
        ? (m_received + (m_n - m_hop) + m_hop - 1) / m_hop
        : std::numeric_limits<std::int64_t>::max();
    while (m_analyzed < totalFrames) {
        const std::int64_t start = frameStart(m_analyzed);
        const std::int64_t offset = start - m_inputStart;
        if (offset + m_n > std::int64_t(m_input[0].size()))
            break;
        // Frames leave the rings only once no window needs them.
        advance(false);
        transform(m_analyzed, m_frameBins);
        const auto& bins = m_frameBins;
        for (std::size_t g = 0; g < m_groups.size(); ++g) {
            const Group& group = m_groups[g];
            GroupMeasures& gf = measured(m_analyzed, g);
            std::fill(gf.magnitude.begin(), gf.magnitude.end(), 0.0f);
            for (int c : group.channels)
                for (int k = 0; k < m_bins; ++k)
                    gf.magnitude[k] += std::norm(bins[c][k]);
            for (int k = 0; k < m_bins; ++k)
                gf.magnitude[k] = std::sqrt(gf.magnitude[k] / float(group.channels.size()));
            if (group.left >= 0) {
                const auto& l = bins[group.left];
                const auto& r = bins[group.right];
                for (int k = 0; k < m_bins; ++k) {
                    gf.cross[k] = l[k] * std::conj(r[k]);
                    gf.leftPower[k] = std::norm(l[k]);
                    gf.rightPower[k] = std::norm(r[k]);
                }
            }
            m_spectra.clear();
            for (int c : group.channels)
                m_spectra.push_back(bins[c].data());
            // The network judges direction by the group's first two channels.
            m_modelBands.measure(m_spectra, group.left >= 0, bandsOf(m_analyzed, g));
        }
        ++m_analyzed;

        // Drop input that no later frame reads, nor the synthesis of a frame analysed.
        const std::int64_t keepFrom = frameStart(std::min(m_analyzed, m_synthesized));
        if (keepFrom - m_inputStart > 1 << 16) {
            const std::size_t drop = std::size_t(keepFrom - m_inputStart);
            for (auto& plane : m_input)
                plane.erase(plane.begin(), plane.begin() + std::ptrdiff_t(drop));
            m_inputStart = keepFrom;
        }
    }
}

void StemSplitter::transform(std::int64_t t, std::vector<std::vector<Complex>>& bins)
{
    const std::int64_t offset = frameStart(t) - m_inputStart;
    for (int c = 0; c < m_channels; ++c) {
        const float* src = m_input[c].data() + offset;
        for (int i = 0; i < m_n; ++i)
            m_timeBuffer[i] = src[i] * m_window[i];
        m_forward.forward(m_timeBuffer.data(), bins[c].data());
    }
}

// The three magnitude estimates of frame t from the frames around it.
void StemSplitter::estimate(std::int64_t t, std::size_t group)
{
    const std::int64_t first = std::max<std::int64_t>(0, t - m_longHalf);
    const std::int64_t last = std::min<std::int64_t>(m_analyzed - 1, t + m_longHalf);
    const std::int64_t shortFirst = std::max<std::int64_t>(0, t - m_shortHalf);
    const std::int64_t shortLast = std::min<std::int64_t>(m_analyzed - 1, t + m_shortHalf);
    GroupFrame& frame = slot(t).groups[group];
    const GroupMeasures& measures = measured(t, group);
    const Group& g = m_groups[group];

    // Frames come in order, so each window only takes in new frames and lets go of old ones.
    GroupWindows& w = m_windows[group];
    auto slide = [&](std::vector<SlidingMedian>& medians, std::int64_t& from, std::int64_t& to, std::int64_t newFrom,
                     std::int64_t newTo) {
        while (to < newTo) {
            const auto& magnitude = measured(++to, group).magnitude;
            for (int k = 0; k < m_bins; ++k)
                medians[k].add(magnitude[k]);
        }
        while (from < newFrom) {
            const auto& magnitude = measured(from++, group).magnitude;
            for (int k = 0; k < m_bins; ++k)
                medians[k].remove(magnitude[k]);
        }
    };
    slide(w.wide, w.wideFirst, w.wideLast, first, last);
    for (int k = 0; k < m_bins; ++k)
        m_long[k] = w.wide[k].median();
    // The short median serves only the dialogue estimate.
    if (g.dialogue) {
        slide(w.narrow, w.narrowFirst, w.narrowLast, shortFirst, shortLast);
        for (int k = 0; k < m_bins; ++k)
            m_short[k] = w.narrow[k].median();
    }
    SlidingMedian across;
    for (int k = 0, from = 0, to = -1; k < m_bins; ++k) {
        while (to < std::min(m_bins - 1, k + m_verticalHalf))
            across.add(measures.magnitude[++to]);
        while (from < k - m_verticalHalf)
            across.remove(measures.magnitude[from++]);
        m_vertical[k] = across.median();
    }

    if (g.left >= 0) {
        // Frame by frame over the short window, each bin's sums in frame order.
        std::fill(m_crossSum.begin(), m_crossSum.end(), Complex(0));
        std::fill(m_leftSum.begin(), m_leftSum.end(), 0.0);
        std::fill(m_rightSum.begin(), m_rightSum.end(), 0.0);
        for (std::int64_t j = shortFirst; j <= shortLast; ++j) {
            const GroupMeasures& other = measured(j, group);
            for (int k = 0; k < m_bins; ++k) {
                m_crossSum[k] += other.cross[k];
                m_leftSum[k] += other.leftPower[k];
                m_rightSum[k] += other.rightPower[k];
            }
        }
    }
    double speech = 0, all = 0;
    for (int k = 0; k < m_bins; ++k) {
        // How likely the bin comes from the dialogue's direction: one source (the channels alike
        // up to a gain), not too far to one side.
        float direction = 1.0f;
        if (g.left >= 0) {
            const Complex cross = m_crossSum[k];
            const double left = m_leftSum[k], right = m_rightSum[k];
            const double power = left + right;
            const double coherence = power > 0 ? std::norm(cross) / std::max(left * right, 1e-30) : 0.0;
            const double side = power > 0 ? std::abs(left - right) / power : 0.0;
            const double c = std::clamp((coherence - kCoherenceFloor) / (1 - kCoherenceFloor), 0.0, 1.0);
            const double s = std::clamp((kSideLimit - side) / kSideFade, 0.0, 1.0);
            direction = float(c * c * s);
        }
        const float music = m_long[k] * (1 - kCentreLowersMusic * direction);
        const float effects = m_vertical[k] * (1 - kCentreLowersEffects * direction);
        const float dialogue = g.dialogue ? std::max(0.0f, m_short[k] - kSteadyInDialogue * m_long[k]) * direction * m_bandWeight[k] : 0.0f;
        frame.music[k] = music;
        frame.effects[k] = effects;
        frame.dialogue[k] = dialogue;
        if (k >= m_speechFrom && k < m_speechTo) {
            speech += double(dialogue) * dialogue;
            all += double(music) * music + double(effects) * effects + double(dialogue) * dialogue;
        }
    }
    frame.speech = all > 0 ? float(speech / all) : 0.0f;
}

// Soft masks of frame t: the dialogue estimate counts only where speech goes on around the frame;
// the estimates' shares are then weighed against the network's.
void StemSplitter::computeMasks(std::int64_t t, std::size_t group)
{
    const std::int64_t last = m_estimated - 1;
    float activity = 0;
    for (std::int64_t j = std::max<std::int64_t>(0, t - m_holdHalf); j <= std::min(last, t + m_holdHalf); ++j) {
        double sum = 0;
        int count = 0;
        for (std::int64_t i = std::max<std::int64_t>(0, j - m_speechHalf); i <= std::min(last, j + m_speechHalf); ++i, ++count)
            sum += slot(i).groups[group].speech;
        activity = std::max(activity, float(sum / std::max(count, 1)));
    }
    const float gate = std::clamp((activity - kSpeechFloor) / (kSpeechFull - kSpeechFloor), 0.0f, 1.0f);

    judgeByNetwork(t, group);
    weighMasks(t, group, gate);
}

// The network's shares of frame t, per bin.
void StemSplitter::judgeByNetwork(std::int64_t t, std::size_t group)
{
    const int nb = m_model.bands();
    Judged& judged = m_judged[group];
    if (t < judged.from || t >= judged.from + judged.count) {
        // This frame and those after it whose surroundings are analysed, up to a batch.
        const int reach = m_model.reach();
        const int count = int(std::clamp<std::int64_t>(m_judgeEnd - t, 1, kJudgedTogether));
        for (std::int64_t j = t - reach; j < t + count + reach; ++j)
            m_around[std::size_t(j - (t - reach))] = j < 0 || j >= m_analyzed ? &m_silence : &bandsOf(j, group);
        m_model.shares(std::span(m_around).first(std::size_t(2 * reach + count)), count, m_modelScratch,
                       judged.shares.data());
        judged.from = t;
        judged.count = count;
    }
    float* shares = judged.shares.data() + std::size_t(t - judged.from) * std::size_t(3 * nb);
    float* music = shares + nb;
    float* effects = shares + 2 * nb;
    if (!m_groups[group].dialogue)
        for (int b = 0; b < nb; ++b) {
            // Channels without dialogue: what the network heard as dialogue is shared out.
            const float both = music[b] + effects[b];
            music[b] = both > 1e-6f ? music[b] / both : 0.5f;
            effects[b] = 1.0f - music[b];
        }
    m_modelBands.toBins(music, m_netMusic.data());
    m_modelBands.toBins(effects, m_netEffects.data());
}

// The masks of frame t from the estimates' shares and the network's.
void StemSplitter::weighMasks(std::int64_t t, std::size_t group, float gate)
{
    const bool dialogueHere = m_groups[group].dialogue;

    // Each stem's share is the product of the two judges' shares, the three products scaled to add
    // up to one: a bin goes to a stem as far as both hear it there. (Giving music the larger of
    // its two shares sent every steady sound to music, since the estimates split a steady noise
    // about evenly between music and effects.)
    const GroupFrame& frame = slot(t).groups[group];
    // The dialogue estimate counts only as far as the network too hears speech in the frame's
    // speech band: a centred instrument playing alone passes the estimates' speech gate.
    float netGate = 1.0f;
    if (dialogueHere) {
        double speech = 0, all = 0;
        const std::vector<int>& channels = m_groups[group].channels;
        for (int k = m_speechFrom; k < m_speechTo; ++k) {
            // The group's magnitude, as the analysis measured it.
            float magnitude = 0.0f;
            for (int c : channels)
                magnitude += std::norm(m_frameBins[std::size_t(c)][std::size_t(k)]);
            magnitude = std::sqrt(magnitude / float(channels.size()));
            const double p = double(magnitude) * magnitude;
            speech += p * std::max(0.0f, 1.0f - m_netMusic[k] - m_netEffects[k]);
            all += p;
        }
        const double share = all > 0 ? speech / all : 0;
        netGate = float(std::clamp((share - kNetSpeechFloor) / kNetSpeechFade, 0.0, 1.0));
    }
    for (int k = 0; k < m_bins; ++k) {
        const float dialogue = frame.dialogue[k] * gate * netGate;
        const float m2 = frame.music[k] * frame.music[k], e2 = frame.effects[k] * frame.effects[k], d2 = dialogue * dialogue;
        const float total = m2 + e2 + d2;
        float music = 0, effectsShare = 1, dialogueShare = 0;
        if (total > 1e-20f) {
            music = m2 / total;
            effectsShare = e2 / total;
            dialogueShare = d2 / total;
        }
        const float netMusic = m_netMusic[k], netEffects = m_netEffects[k];
        const float m = music * netMusic, e = effectsShare * netEffects;
        const float d = dialogueHere ? dialogueShare * std::max(0.0f, 1.0f - netMusic - netEffects) : 0.0f;
        const float both = m + e + d;
        // Where the two judges share no stem, the network's shares stand.
        m_maskMusic[k] = both > 1e-12f ? m / both : netMusic;
        m_maskEffects[k] = both > 1e-12f ? e / both : netEffects;
    }
}

void StemSplitter::synthesize(std::int64_t t)
{
    transform(t, m_frameBins);
    for (std::size_t g = 0; g < m_groups.size(); ++g) {
        computeMasks(t, g);
        // Music and effects by their masks; dialogue is the rest of the frame, so the stems add up.
        for (int c : m_groups[g].channels)
            synthesizeChannel(t, c);
    }
    ++m_synthesized;
    emitFrame(t);
}

void StemSplitter::synthesizeChannel(std::int64_t t, int c)
{
    float* music = m_accumulator[1][c].data();
    float* effects = m_accumulator[2][c].data();
    float* dialogue = m_accumulator[0][c].data();
    const float* x = m_input[c].data() + (frameStart(t) - m_inputStart);
    for (int stem = 1; stem <= 2; ++stem) {
        const std::vector<float>& mask = stem == 1 ? m_maskMusic : m_maskEffects;
        for (int k = 0; k < m_bins; ++k)
            m_binBuffer[k] = m_frameBins[c][k] * mask[k];
        m_inverse.inverse(m_binBuffer.data(), m_timeBuffer.data());
        float* out = stem == 1 ? music : effects;
        for (int i = 0; i < m_n; ++i) {
            const float y = m_timeBuffer[i] * m_window[i] * 0.5f;
            out[i] += y;
            dialogue[i] -= y;
        }
    }
    for (int i = 0; i < m_n; ++i)
        dialogue[i] += x[i] * m_window[i] * m_window[i] * 0.5f;
}

void StemSplitter::emitFrame(std::int64_t t)
{
    // Samples before the next frame's start are complete (from the span's fourth frame on, when
    // every frame over them has been added); those the span asked for go to the sink.
    const std::int64_t start = frameStart(t);
    const std::int64_t from = std::max(start, m_emitted + std::int64_t(m_ready[0][0].size()));
    const std::int64_t to = std::min(start + m_hop, m_span.emitTo);
    for (int stem = 0; stem < 3; ++stem) {
        for (int c = 0; c < m_channels; ++c) {
            auto& acc = m_accumulator[stem][c];
            if (to > from)
                m_ready[stem][c].insert(m_ready[stem][c].end(), acc.begin() + std::ptrdiff_t(from - start),
                                        acc.begin() + std::ptrdiff_t(to - start));
            std::copy(acc.begin() + m_hop, acc.end(), acc.begin());
            std::fill(acc.end() - m_hop, acc.end(), 0.0f);
        }
    }
    if (m_ready[0][0].size() >= 16384)
        emitUpTo(m_emitted + std::int64_t(m_ready[0][0].size()));
}

void StemSplitter::emitUpTo(std::int64_t end)
{
    const std::int64_t available = std::int64_t(m_ready[0].empty() ? 0 : m_ready[0][0].size());
    const std::int64_t count = std::min(available, std::max<std::int64_t>(0, end - m_emitted));
    if (count <= 0)
        return;
    if (count < available)
        for (auto& stem : m_ready)
            for (auto& plane : stem)
                plane.resize(std::size_t(count));
    m_sink(m_ready, std::size_t(count));
    m_emitted += count;
    for (auto& stem : m_ready)
        for (auto& plane : stem)
            plane.clear();
}

// Removes the temporary files unless they were renamed into place.
struct TemporaryFiles {
    std::vector<std::filesystem::path> paths;
    ~TemporaryFiles()
    {
        std::error_code ec;
        for (const auto& path : paths)
            std::filesystem::remove(path, ec);
    }
};

std::string randomSuffix()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

constexpr std::int64_t kPiece = 1 << 15; // samples per channel handed to a splitter at a time

void checkStop(const std::stop_token& stop)
{
    if (stop.stop_requested())
        throw Cancelled();
}

} // namespace

AudioInfo probeAudio(const std::filesystem::path& path, std::stop_token stop)
{
    AudioReader reader(path);
    Planes planes;
    AudioInfo info;
    info.sampleRate = reader.sampleRate();
    info.channels = reader.channels();
    while (reader.read(planes)) {
        checkStop(stop);
        info.frames += std::int64_t(planes[0].size());
        for (auto& plane : planes)
            plane.clear();
    }
    if (info.frames == 0)
        throw EngineError(EngineError::Kind::emptyInput, "\"" + path.string() + "\" holds no audio samples");
    info.durationSeconds = double(info.frames) / info.sampleRate;
    return info;
}

AudioInfo separateStems(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                        const ProgressCallback& progress, std::stop_token stop)
{
    return separateStems(input, outputFolder, progress, stop, SeparationOptions{});
}

namespace {

// Separates stretches of the soundtrack on a few threads. Stretch k emits the samples
// [k * length, (k + 1) * length) and is given the frames its windows reach on either side, so
// each is separated exactly as in one pass over the whole soundtrack; the results are written
// in order. At most `threads + 1` stretches are in flight.
class StretchPool {
public:
    struct Result {
        std::array<Planes, 3> stems;
        std::exception_ptr error;
        bool done = false;
    };
    struct Task {
        std::deque<Planes> input; // in pieces, each let go of once the splitter has it
        Span span;
        bool last = false;
        std::shared_ptr<Result> result;
    };

    StretchPool(int threads, int sampleRate, int channels, SurroundChannels surround, std::stop_token stop)
        : m_sampleRate(sampleRate), m_channels(channels), m_surround(std::move(surround)), m_stop(stop)
    {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this](std::stop_token own) { work(own); });
    }
    ~StretchPool()
    {
        for (auto& thread : m_threads)
            thread.request_stop();
        m_wake.notify_all();
    }

    // Runs the task on a thread of the pool, or here when the pool has none.
    std::shared_ptr<Result> submit(Task task)
    {
        auto result = std::make_shared<Result>();
        task.result = result;
        if (m_threads.empty()) {
            run(task);
            result->done = true;
            return result;
        }
        {
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_one();
        return result;
    }

    void wait(const std::shared_ptr<Result>& result)
    {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [&] { return result->done; });
    }

    // A stretch's work, on any thread.
    void run(Task& task) const
    {
        Result& result = *task.result;
        try {
            std::size_t expected = std::size_t(task.span.emitTo - task.span.emitFrom);
            if (task.last) {
                expected = 0;
                for (const Planes& piece : task.input)
                    expected += piece[0].size();
            }
            for (auto& stem : result.stems) {
                stem.assign(std::size_t(m_channels), {});
                for (auto& plane : stem)
                    plane.reserve(expected);
            }
            StemSplitter splitter(m_sampleRate, m_channels, m_surround,
                                  [&](const std::array<Planes, 3>& stems, std::size_t count) {
                                      for (std::size_t s = 0; s < 3; ++s)
                                          for (int c = 0; c < m_channels; ++c)
                                              result.stems[s][c].insert(result.stems[s][c].end(), stems[s][c].begin(),
                                                                        stems[s][c].begin() + std::ptrdiff_t(count));
                                  },
                                  task.span);
            // Piece by piece, so that a cancellation is noticed within a fraction of a second.
            while (!task.input.empty()) {
                checkStop(m_stop);
                splitter.push(task.input.front());
                task.input.pop_front();
            }
            checkStop(m_stop);
            if (task.last)
                splitter.finish();
            else
                splitter.drain();
        } catch (...) {
            result.error = std::current_exception();
        }
    }

private:
    void work(std::stop_token own)
    {
        for (;;) {
            Task task;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, own, [&] { return !m_tasks.empty(); });
                if (own.stop_requested())
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            run(task);
            {
                std::lock_guard lock(m_mutex);
                task.result->done = true;
            }
            m_finished.notify_all();
        }
    }

    int m_sampleRate, m_channels;
    SurroundChannels m_surround;
    std::stop_token m_stop;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::condition_variable m_finished;
    std::deque<Task> m_tasks;
    std::vector<std::jthread> m_threads; // last: joined before the rest goes
};

// Three threads that encode the three stems of one stretch side by side. They live as long as
// the separation, so that their allocations stay in three heaps.
class StemWriters {
public:
    explicit StemWriters(std::array<std::unique_ptr<FlacWriter>, 3>& writers) : m_writers(writers)
    {
        for (int s = 0; s < 3; ++s)
            m_threads.emplace_back([this, s](std::stop_token stop) { work(s, stop); });
    }
    ~StemWriters()
    {
        for (auto& thread : m_threads)
            thread.request_stop();
        m_wake.notify_all();
    }

    void start(std::shared_ptr<StretchPool::Result> result, std::size_t count)
    {
        {
            std::lock_guard lock(m_mutex);
            m_result = std::move(result);
            m_count = count;
            m_done = 0;
            ++m_generation;
        }
        m_wake.notify_all();
    }

    // Waits for the three stems of the stretch last started; rethrows the first failure.
    void wait()
    {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [&] { return m_done == 3; });
        m_result.reset();
        if (auto error = std::exchange(m_error, nullptr))
            std::rethrow_exception(error);
    }

private:
    void work(int stem, std::stop_token stop)
    {
        std::uint64_t seen = 0;
        for (;;) {
            std::shared_ptr<StretchPool::Result> result;
            std::size_t count = 0;
            {
                std::unique_lock lock(m_mutex);
                if (!m_wake.wait(lock, stop, [&] { return m_generation != seen; }))
                    return;
                seen = m_generation;
                result = m_result;
                count = m_count;
            }
            std::exception_ptr error;
            try {
                m_writers[std::size_t(stem)]->write(result->stems[std::size_t(stem)], 0, count);
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard lock(m_mutex);
                if (error && !m_error)
                    m_error = error;
                ++m_done;
            }
            m_finished.notify_all();
        }
    }

    std::array<std::unique_ptr<FlacWriter>, 3>& m_writers;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::condition_variable m_finished;
    std::shared_ptr<StretchPool::Result> m_result;
    std::size_t m_count = 0;
    int m_done = 3;
    std::uint64_t m_generation = 0;
    std::exception_ptr m_error;
    std::vector<std::jthread> m_threads; // last: joined before the rest goes
};

} // namespace

AudioInfo separateStems(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                        const ProgressCallback& progress, std::stop_token stop, const SeparationOptions& options)
{
    checkStop(stop);
    // Stretches come and go on several threads; without a fixed threshold (128 KB, glibc's own
    // starting value), glibc raises the size from which it maps blocks of their own (up to 32 MB)
    // as they are freed, and keeps freed stretches in each thread's heap instead of returning them.
    static std::once_flag mapLargeBlocks;
    std::call_once(mapLargeBlocks, [] { mallopt(M_MMAP_THRESHOLD, 1 << 17); });
    std::error_code ec;
    std::array<std::filesystem::path, 3> finals;
    for (std::size_t s = 0; s < 3; ++s) {
        finals[s] = outputFolder / std::string(kStemFileNames[s]);
        std::filesystem::remove(finals[s], ec); // a stale stem must not pass for this run's
    }
    AudioReader reader(input);
    AudioInfo info;
    info.sampleRate = reader.sampleRate();
    info.channels = reader.channels();

    std::filesystem::create_directories(outputFolder, ec);
    if (ec)
        throw EngineError(EngineError::Kind::outputFailed,
                          "Cannot create the folder \"" + outputFolder.string() + "\": " + ec.message());
    TemporaryFiles temporaries;
    const std::string suffix = ".partial-" + randomSuffix();
    for (std::size_t s = 0; s < 3; ++s)
        temporaries.paths.push_back(outputFolder / (std::string(kStemFileNames[s]) + suffix));

    std::array<std::unique_ptr<FlacWriter>, 3> writers;
    for (std::size_t s = 0; s < 3; ++s)
        writers[s] = std::make_unique<FlacWriter>(temporaries.paths[s], info.sampleRate, info.channels);

    // Stretches of about 10 s of stereo (as many samples across the channels, at least 4 s), whole
    // hops long.
    const Geometry geometry(info.sampleRate);
    const double seconds = options.stretchSeconds > 0 ? options.stretchSeconds
                                                       : std::max(4.0, 20.0 / std::max(2, info.channels));
    const std::int64_t length = std::max<std::int64_t>(1, std::llround(seconds * info.sampleRate / geometry.hop)) * geometry.hop;
    // Every stretch in flight holds its input, its frames (channels x bins each) and its three
    // stems, all growing with the channel count: a wide layout keeps fewer stretches in flight,
    // so that memory stays within what eight stretches of stereo take (5.1 on eight threads
    // peaked at 613 MB, 150 MB on one).
    const int threads = std::clamp(kChannelsInFlight / std::max(1, info.channels), 1, std::max(1, options.threads));
    StretchPool pool(threads > 1 ? threads : 0, info.sampleRate, info.channels, reader.surround(), stop);

    // Stretch k: its first frame and the end of the input it needs unless the soundtrack ends first.
    auto spanOf = [&](std::int64_t k) {
        const std::int64_t firstSynthesised = k * length / geometry.hop;
        std::int64_t first = firstSynthesised - geometry.context();
        if (first < 3)
            first = 0; // the soundtrack's start, where frames begin in silence
        return Span{first, k * length, (k + 1) * length};
    };
    auto inputEnd = [&](std::int64_t k) {
        const std::int64_t lastFrame = ((k + 1) * length - 1 + (geometry.n - geometry.hop)) / geometry.hop;
        return geometry.frameStart(lastFrame + geometry.context()) + geometry.n;
    };
    auto inputStart = [&](std::int64_t k) { return std::max<std::int64_t>(0, geometry.frameStart(spanOf(k).firstFrame)); };

    const double expectedFrames = reader.durationHint() * info.sampleRate;
    double reported = -1;
    std::int64_t written = 0;
    std::deque<std::shared_ptr<StretchPool::Result>> inFlight;
    // The stems of one stretch are encoded side by side, while the next stretches are decoded and
    // separated; a stretch is written only once the one before it is.
    StemWriters crew(writers);
    bool writing = false;
    std::int64_t writingCount = 0;
    auto finishWriting = [&] {
        if (!writing)
            return;
        writing = false;
        crew.wait();
        written += writingCount;
        if (progress && expectedFrames > 0) {
            const double fraction = std::min(0.99, double(written) / expectedFrames);
            if (fraction - reported >= 0.01) {
                reported = fraction;
                progress(fraction);
            }
        }
    };
    auto writeOldest = [&] {
        auto result = inFlight.front();
        inFlight.pop_front();
        pool.wait(result);
        if (result->error)
            std::rethrow_exception(result->error);
        checkStop(stop);
        const std::size_t count = result->stems[0].empty() ? 0 : result->stems[0][0].size();
        if (!inFlight.empty() && std::int64_t(count) != length) // a stretch before the last one fell short
            throw EngineError(EngineError::Kind::outputFailed, "A stretch of the separation came out " +
                                                                   std::to_string(count) + " samples long instead of " +
                                                                   std::to_string(length));
        finishWriting();
        writingCount = std::int64_t(count);
        crew.start(std::move(result), count);
        writing = true;
    };
    auto dispatch = [&](std::int64_t k, std::deque<Planes> slice, bool last) {
        while (std::int64_t(inFlight.size()) >= threads)
            writeOldest();
        Span span = spanOf(k);
        if (last)
            span.emitTo = std::numeric_limits<std::int64_t>::max();
        inFlight.push_back(pool.submit(StretchPool::Task{std::move(slice), span, last, nullptr}));
    };

    // Decoded input from `bufferStart` on; stretch k waits until its input is all there.
    Planes buffer(static_cast<std::size_t>(info.channels));
    std::int64_t bufferStart = 0;
    std::int64_t k = 0;
    Planes chunk;
    bool more = true;
    while (more) {
        more = reader.read(chunk);
        checkStop(stop);
        if (more && chunk[0].size() < 8192)
            continue; // gather a few decoded frames before working on them
        for (int c = 0; c < info.channels; ++c) {
            for (float& v : chunk[c])
                if (!std::isfinite(v))
                    v = 0.0f; // a damaged float sample would spoil every mask it touches
            buffer[c].insert(buffer[c].end(), chunk[c].begin(), chunk[c].end());
            chunk[c].clear();
        }
        const std::int64_t have = bufferStart + std::int64_t(buffer[0].size());
        info.frames = have;
        while (have >= inputEnd(k) || (!more && have > 0)) {
            const bool last = !more && have < inputEnd(k);
            const std::int64_t from = inputStart(k) - bufferStart;
            const std::int64_t to = last ? std::int64_t(buffer[0].size()) : inputEnd(k) - bufferStart;
            std::deque<Planes> slice;
            for (std::int64_t at = from; at < to; at += kPiece) {
                Planes& piece = slice.emplace_back(static_cast<std::size_t>(info.channels));
                const std::int64_t end = std::min(to, at + kPiece);
                for (int c = 0; c < info.channels; ++c)
                    piece[c].assign(buffer[c].begin() + std::ptrdiff_t(at), buffer[c].begin() + std::ptrdiff_t(end));
            }
            dispatch(k, std::move(slice), last);
            if (last)
                break;
            // The next stretch reads from its own first frame on.
            ++k;
            const std::int64_t drop = inputStart(k) - bufferStart;
            if (drop > 0) {
                for (auto& plane : buffer)
                    plane.erase(plane.begin(), plane.begin() + std::ptrdiff_t(drop));
                bufferStart += drop;
            }
            if (!more && have <= k * length)
                break; // the soundtrack ended exactly where the previous stretch stopped
        }
    }
    if (info.frames == 0)
        throw EngineError(EngineError::Kind::emptyInput, "\"" + input.string() + "\" holds no audio samples");
    while (!inFlight.empty())
        writeOldest();
    finishWriting();
    for (auto& writer : writers)
        writer->finish();
    checkStop(stop);
    for (std::size_t s = 0; s < 3; ++s) {
        std::filesystem::rename(temporaries.paths[s], finals[s], ec);
        if (ec) {
            for (std::size_t r = 0; r < s; ++r)
                std::filesystem::remove(finals[r], ec);
            throw EngineError(EngineError::Kind::outputFailed, "Cannot move the " + std::string(kStemFileNames[s]) +
                                                                   " stem into place: " + ec.message());
        }
    }
    temporaries.paths.clear();
    info.durationSeconds = double(info.frames) / info.sampleRate;
    if (progress)
        progress(1.0);
    return info;
}

} // namespace hf::engine
