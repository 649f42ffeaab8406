// The engine's band network against PyTorch's: a small network with random weights, run along
// random stereo spectra however the stream starts and ends, gives PyTorch's shares of every frame
// it knows; damaged weights are a clear error.

#include "engine/band_network.h"
#include "engine/engine.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>

using namespace hf::engine;

namespace {

template <typename T>
std::vector<T> readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    std::vector<T> out(std::size_t(data.size()) / sizeof(T));
    std::memcpy(out.data(), data.constData(), out.size() * sizeof(T));
    return out;
}

} // namespace

class TestEngineBandNetwork : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    bool m_made = false;

    // The reference, made once by PyTorch; false (and the test skipped) where it is missing.
    bool reference()
    {
        if (m_made)
            return true;
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(HF_BAND_REFERENCE_SCRIPT), m_dir.path()});
        if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() == 77)
            return false;
        if (python.exitCode() != 0)
            qFatal("the reference script failed: %s", python.readAllStandardError().constData());
        return m_made = true;
    }

private slots:
    void sameSharesAsPyTorch_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<bool>("ended");
        QTest::newRow("from the soundtrack's start to its end") << 0 << true;
        QTest::newRow("from a later frame") << 40 << true;
        QTest::newRow("before the end comes") << 0 << false;
    }

    void sameSharesAsPyTorch()
    {
        QFETCH(int, first);
        QFETCH(bool, ended);
        if (!reference())
            QSKIP("PyTorch (python3-torch) is missing");
        const auto bytes = readAll<std::byte>(m_dir.filePath("network.weights"));
        const BandNetwork network(bytes);
        const auto spectra = readAll<std::complex<float>>(m_dir.filePath("spectra.f32"));
        const auto expected = readAll<float>(m_dir.filePath("shares.f32"));
        const int bins = network.bins();
        const int frames = int(spectra.size() / std::size_t(2 * bins));
        QCOMPARE(expected.size(), std::size_t(frames) * 3 * std::size_t(bins));

        BandStream stream(network, first, frames);
        std::vector<float> x(std::size_t(3 * bins));
        for (int t = first; t < frames; ++t) {
            const std::complex<float>* frame = spectra.data() + std::size_t(t) * std::size_t(2 * bins);
            network.inputs({frame, frame + bins}, true, bins, 4096, x.data());
            stream.push(x.data());
        }
        if (ended)
            stream.end();
        // Known: from the first frame whose whole window lies in the stream, to the end or to the
        // last frame whose window is all pushed.
        const int from = first == 0 ? 0 : first + network.reach();
        const int to = ended ? frames : frames - network.reach();
        QVERIFY(stream.shares(from - 1) == nullptr || first == 0);
        QVERIFY(stream.shares(to) == nullptr);
        double largest = 0;
        for (int t = from; t < to; ++t) {
            const float* shares = stream.shares(t);
            QVERIFY2(shares, qPrintable(QStringLiteral("frame %1 unknown").arg(t)));
            for (int i = 0; i < 3 * bins; ++i) {
                const double difference = std::abs(shares[i] - expected[std::size_t(t) * 3 * std::size_t(bins) + std::size_t(i)]);
                largest = std::isnan(difference) ? INFINITY : std::max(largest, difference); // a NaN share fails too
            }
        }
        qInfo("largest difference from PyTorch: %.2g", largest);
        QVERIFY2(largest < 1e-4, qPrintable(QString::number(largest)));
    }

    // The built-in weights load; cut or altered weights are an EngineError, never a network.
    void damagedWeightsAreAnError_data()
    {
        QTest::addColumn<int>("cut");
        QTest::addColumn<int>("flipped");
        QTest::newRow("built in") << 0 << -1;
        QTest::newRow("cut short") << 1000 << -1;
        QTest::newRow("another kind") << 0 << 0;
        QTest::newRow("bands out of order") << 0 << 28;
    }

    void damagedWeightsAreAnError()
    {
        QFETCH(int, cut);
        QFETCH(int, flipped);
        const BandNetwork& builtIn = BandNetwork::builtIn();
        QVERIFY(builtIn.reach() > 100);
        QFile file(QStringLiteral(HF_BAND_NETWORK_WEIGHTS_FILE));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray data = file.readAll();
        data.chop(cut);
        if (flipped >= 0)
            data[flipped] = char(data[flipped] ^ 0x7f);
        const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data.constData()), std::size_t(data.size()));
        if (cut == 0 && flipped < 0) {
            QCOMPARE(BandNetwork(bytes).reach(), builtIn.reach());
            return;
        }
        QVERIFY_THROWS_EXCEPTION(EngineError, BandNetwork{bytes});
    }
};

QTEST_GUILESS_MAIN(TestEngineBandNetwork)
#include "test_engine_band_network.moc"
