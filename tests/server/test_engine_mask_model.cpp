// The separation model: its built-in weights load, its shares are shares, and damaged weights are a
// clear error rather than garbage masks.

#include "engine/engine.h"
#include "engine/mask_model.h"

#include <QFile>
#include <QTest>

#include <algorithm>

#include <cmath>
#include <cstring>
#include <random>

using namespace hf::engine;

namespace {

std::vector<std::byte> builtInBytes()
{
    // The file the built-in model was made from.
    QFile file(QStringLiteral(HF_SEPARATION_WEIGHTS_FILE));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    std::vector<std::byte> bytes(std::size_t(data.size()));
    std::memcpy(bytes.data(), data.constData(), bytes.size());
    return bytes;
}

} // namespace

class TestEngineMaskModel : public QObject {
    Q_OBJECT

private slots:
    // Any frames, loud or silent, give three shares per band between 0 and 1 that add up to one;
    // a bin between two bands takes shares between theirs.
    void sharesAddUpToOne()
    {
        const MaskModel& model = MaskModel::builtIn();
        QVERIFY(model.bands() > 100);
        QVERIFY(model.reach() > 0);
        const int n = 4096, bins = n / 2 + 1;
        ModelBands bands(model, bins, 44100.0 / n, n);
        std::mt19937 random(3);
        std::normal_distribution<float> noise;
        std::vector<MaskModel::FrameBands> frames(std::size_t(2 * model.reach() + 1));
        std::vector<std::vector<std::complex<float>>> spectra(2, std::vector<std::complex<float>>(std::size_t(bins)));
        for (std::size_t j = 0; j < frames.size(); ++j) {
            if (j % 5 == 0) {
                model.silence(frames[j]);
                continue;
            }
            for (auto& spectrum : spectra)
                for (auto& bin : spectrum)
                    bin = {noise(random) * 30.0f * float(j), noise(random)};
            bands.measure({spectra[0].data(), spectra[1].data()}, true, frames[j]);
        }
        std::vector<const MaskModel::FrameBands*> around;
        for (const auto& f : frames)
            around.push_back(&f);
        std::vector<float> scratch, shares(std::size_t(3 * model.bands()));
        model.shares(around, 1, scratch, shares.data());
        const int nb = model.bands();
        for (int b = 0; b < nb; ++b) {
            const float d = shares[std::size_t(b)], m = shares[std::size_t(nb + b)], e = shares[std::size_t(2 * nb + b)];
            QVERIFY(d >= 0 && m >= 0 && e >= 0);
            QVERIFY2(std::abs(d + m + e - 1) < 1e-5f, qPrintable(QString::number(b)));
        }
        std::vector<float> perBin(static_cast<std::size_t>(bins));
        bands.toBins(shares.data() + nb, perBin.data());
        const float low = *std::min_element(shares.begin() + nb, shares.begin() + 2 * nb);
        const float high = *std::max_element(shares.begin() + nb, shares.begin() + 2 * nb);
        for (float v : perBin)
            QVERIFY(v >= low - 1e-6f && v <= high + 1e-6f);
    }

    // Frames judged together get exactly the shares each gets judged alone, whatever the batch,
    // so the stems cannot depend on how the frames were grouped.
    void framesJudgedTogetherAsAlone()
    {
        const MaskModel& model = MaskModel::builtIn();
        const int n = 4096, bins = n / 2 + 1, count = 7, reach = model.reach();
        ModelBands bands(model, bins, 44100.0 / n, n);
        std::mt19937 random(5);
        std::normal_distribution<float> noise;
        std::vector<MaskModel::FrameBands> frames(std::size_t(2 * reach + count));
        std::vector<std::vector<std::complex<float>>> spectra(2, std::vector<std::complex<float>>(std::size_t(bins)));
        for (std::size_t j = 0; j < frames.size(); ++j) {
            if (j % 11 == 3) {
                model.silence(frames[j]);
                continue;
            }
            const float level = 1.0f + float(j % 9) * 20.0f;
            for (auto& spectrum : spectra)
                for (std::size_t k = 0; k < spectrum.size(); ++k)
                    spectrum[k] = {noise(random) * level * (k % 40 == j % 40 ? 30.0f : 1.0f), noise(random)};
            bands.measure({spectra[0].data(), spectra[1].data()}, true, frames[j]);
        }
        std::vector<const MaskModel::FrameBands*> around;
        for (const auto& f : frames)
            around.push_back(&f);
        const std::size_t per = std::size_t(3 * model.bands());
        std::vector<float> scratch, together(per * count), alone(per);
        model.shares(around, count, scratch, together.data());
        for (int f = 0; f < count; ++f) {
            model.shares(std::span(around).subspan(std::size_t(f), std::size_t(2 * reach + 1)), 1, scratch, alone.data());
            QVERIFY2(std::equal(alone.begin(), alone.end(), together.begin() + std::ptrdiff_t(per * f)),
                     qPrintable(QString("frame %1").arg(f)));
        }
        // Frames that differ get shares that differ: the batch does not hand one frame's to all.
        QVERIFY(!std::equal(together.begin(), together.begin() + std::ptrdiff_t(per), together.begin() + std::ptrdiff_t(per)));
    }

    // The inputs that tell music from noise: a band's flatness reads low for a partial and near
    // noise's for noise, a level that rises every 20 frames reads as a beat where steady noise
    // does not, and silence reads neither.
    void flatnessAndBeatInputs()
    {
        const MaskModel& model = MaskModel::builtIn();
        const int n = 4096, bins = n / 2 + 1, reach = model.reach(), nb = model.bands(), far = model.farBands();
        ModelBands bands(model, bins, 44100.0 / n, n);
        std::mt19937 random(7);
        std::normal_distribution<float> noise;
        // A partial: the first bin of every band, loud above quiet noise.
        std::vector<bool> partial(std::size_t(bins), false);
        for (std::size_t k = 0, b = 0; k < std::size_t(bins) && b < std::size_t(nb); ++k)
            if (k * 44100.0 / n >= model.edgesHz()[b]) {
                partial[k] = true;
                ++b;
            }
        enum Kind { Noise, Partials, Beat, Silence };
        auto inputsOf = [&](Kind kind) {
            std::vector<MaskModel::FrameBands> frames(std::size_t(2 * reach + 1));
            std::vector<std::vector<std::complex<float>>> spectra(2, std::vector<std::complex<float>>(std::size_t(bins)));
            for (std::size_t j = 0; j < frames.size(); ++j) {
                if (kind == Silence) {
                    model.silence(frames[j]);
                    continue;
                }
                const float level = kind == Beat && j % 20 == 0 ? 100.0f : 1.0f;
                for (auto& spectrum : spectra)
                    for (std::size_t k = 0; k < spectrum.size(); ++k) {
                        const float gain = kind == Partials ? (partial[k] ? 1000.0f : 0.01f) : level;
                        spectrum[k] = {noise(random) * gain, noise(random) * gain};
                    }
                bands.measure({spectra[0].data(), spectra[1].data()}, true, frames[j]);
            }
            std::vector<const MaskModel::FrameBands*> around;
            for (const auto& f : frames)
                around.push_back(&f);
            std::vector<float> x(std::size_t(model.inputSize())), window(std::size_t(2 * reach + 1));
            model.inputs(around, window.data(), x.data());
            return x;
        };
        const std::size_t flat = std::size_t(model.inputSize() - far - nb), beat = std::size_t(model.inputSize() - far);
        const std::vector<float> noisy = inputsOf(Noise), partials = inputsOf(Partials), beats = inputsOf(Beat),
                                 silent = inputsOf(Silence);
        double noiseFlatness = 0;
        for (std::size_t b = 0; b < std::size_t(nb); ++b) {
            QVERIFY2(noisy[flat + b] <= 0.0f && noisy[flat + b] > -1.5f, qPrintable(QString::number(b)));
            noiseFlatness += noisy[flat + b] / nb;
            QVERIFY2(partials[flat + b] < noisy[flat + b] - 1.0f, qPrintable(QString::number(b)));
            QCOMPARE(silent[flat + b], 0.0f);
        }
        QVERIFY(noiseFlatness < -0.1);
        for (std::size_t g = 0; g < std::size_t(far); ++g) {
            QVERIFY2(beats[beat + g] > 0.7f, qPrintable(QString::number(g)));
            QVERIFY2(noisy[beat + g] < 0.5f, qPrintable(QString::number(g)));
            QCOMPARE(silent[beat + g], 0.0f);
        }
    }

    void damagedWeightsAreAClearError_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("empty") << "empty";
        QTest::newRow("cut short") << "cut";
        QTest::newRow("other format") << "magic";
        QTest::newRow("bytes added") << "longer";
        QTest::newRow("weight not a number") << "nan";
        QTest::newRow("layer sizes") << "sizes";
    }

    void damagedWeightsAreAClearError()
    {
        QFETCH(QString, damage);
        std::vector<std::byte> bytes = builtInBytes();
        QVERIFY(bytes.size() > 1000);
        QVERIFY(MaskModel(bytes).bands() == MaskModel::builtIn().bands());
        const std::size_t header = 4 + 11 * 4 + std::size_t(MaskModel::builtIn().bands() + 1) * 4;
        if (damage == "empty")
            bytes.clear();
        else if (damage == "cut")
            bytes.resize(bytes.size() - 10);
        else if (damage == "magic")
            bytes[0] = std::byte{'X'};
        else if (damage == "longer")
            bytes.push_back(std::byte{0});
        else if (damage == "nan") {
            bytes[header + 8] = std::byte{0x00};
            bytes[header + 9] = std::byte{0x7e}; // a float16 NaN as the first weight
        } else if (damage == "sizes")
            bytes[header] = std::byte{0x07}; // the first layer's input count
        try {
            MaskModel model(bytes);
            QFAIL("damaged weights were taken");
        } catch (const EngineError& error) {
            QVERIFY(QString::fromUtf8(error.what()).contains("separation model"));
        }
    }
};

QTEST_GUILESS_MAIN(TestEngineMaskModel)
#include "test_engine_mask_model.moc"
