#include "pipeline/formatting.h"
#include "pipeline/processing.h"
#include "pipeline/separation_settings.h"
#include "pipeline/stem.h"
#include "platform/settings_store.h"

#include <QTest>

#include <limits>

using namespace hf;

class RecordsFormattingTest : public QObject {
    Q_OBJECT

private slots:
    void stems()
    {
        QCOMPARE(allStems.size(), 3u);
        QCOMPARE(rawValue(allStems[0]), QString("dialogue"));
        QCOMPARE(rawValue(allStems[2]), QString("effects"));
        QCOMPARE(stemFromRawValue(u"music"), std::optional(Stem::music));
        QVERIFY(!stemFromRawValue(u"Dialogue"));
        QVERIFY(!stemFromRawValue(u""));
    }

    void stagesAndProgress()
    {
        using K = ProcessingStage::Kind;
        QCOMPARE(ProcessingStage(K::mixing).shortStatus(), QString("finishing"));
        QCOMPARE(ProcessingStage(K::remuxingVideo).shortStatus(), QString("finishing"));
        QCOMPARE(ProcessingStage(K::queued).shortStatus(), QString("waiting for a server"));
        QCOMPARE(ProcessingStage(K::extractingAudio).shortStatus(), QString("reading audio"));
        QCOMPARE(ProcessingStage::failed("a").shortStatus(), QString("failed"));
        QVERIFY(ProcessingStage::failed("a") == ProcessingStage::failed("a"));
        QVERIFY(ProcessingStage::failed("a") != ProcessingStage::failed("b"));
        QVERIFY(ProcessingStage(K::mixing) != ProcessingStage(K::remuxingVideo));
        const ProcessingProgress p{K::uploading, 0.5, "Uploading"};
        QVERIFY(p == (ProcessingProgress{K::uploading, 0.5, "Uploading"}));
        QVERIFY(p != (ProcessingProgress{K::uploading, 0.5000001, "Uploading"}));
    }

    void settingsLoading_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<double>("ambience");
        QTest::addColumn<int>("quality");
        QTest::addColumn<bool>("check");
        const int aac = int(AudioQuality::aac), pcm = int(AudioQuality::losslessPCM);
        QTest::newRow("absent") << QVariant() << 0.75 << aac << true;
        QTest::newRow("one key") << QVariant(R"({"ambience":0.3})") << 0.3 << aac << true;
        QTest::newRow("all keys") << QVariant(R"({"ambience":0,"audioQuality":"losslessPCM","checkSongsAutomatically":false,"extra":1})")
                                  << 0.0 << pcm << false;
        QTest::newRow("nulls") << QVariant(R"({"ambience":null,"audioQuality":null})") << 0.75 << aac << true;
        QTest::newRow("unknown quality") << QVariant(R"({"ambience":0.2,"audioQuality":"flac"})") << 0.75 << aac << true;
        QTest::newRow("wrong type") << QVariant(R"({"ambience":"0.2"})") << 0.75 << aac << true;
        QTest::newRow("bool as number") << QVariant(R"({"ambience":0.2,"checkSongsAutomatically":1})") << 0.75 << aac << true;
        QTest::newRow("not json") << QVariant("ambience=0.2") << 0.75 << aac << true;
        QTest::newRow("array") << QVariant("[0.2]") << 0.75 << aac << true;
        QTest::newRow("not text") << QVariant(42) << 0.75 << aac << true;
    }

    void settingsLoading()
    {
        QFETCH(QVariant, stored);
        QFETCH(double, ambience);
        QFETCH(int, quality);
        QFETCH(bool, check);
        MemorySettingsStore store;
        if (stored.isValid())
            store.setValue("hf_separation_settings", stored);
        const auto s = SeparationSettings::load(store);
        QCOMPARE(s.ambience, ambience);
        QCOMPARE(int(s.audioQuality), quality);
        QCOMPARE(s.checkSongsAutomatically, check);
    }

    void settingsRoundTrip()
    {
        MemorySettingsStore store;
        const SeparationSettings s{0.4, AudioQuality::losslessPCM, false};
        s.save(store);
        QCOMPARE(SeparationSettings::load(store), s);
        QVERIFY(store.value("hf_separation_settings").toString().contains("\"audioQuality\":\"losslessPCM\""));
    }

    void formatting_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("expected");
        const double inf = std::numeric_limits<double>::infinity();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("d 0") << "duration" << 0.0 << "0 sec";
        QTest::newRow("d 0.5") << "duration" << 0.5 << "30 sec";
        QTest::newRow("d 1") << "duration" << 1.0 << "1 min";
        QTest::newRow("d 1.25") << "duration" << 1.25 << "1 min 15 sec";
        QTest::newRow("d 123s") << "duration" << 123.0 / 60.0 << "2 min 3 sec";
        QTest::newRow("d 60") << "duration" << 60.0 << "1 hr";
        QTest::newRow("d 62.9") << "duration" << 62.9 << "1 hr 2 min";
        QTest::newRow("d negative") << "duration" << -4.0 << "0 sec";
        QTest::newRow("d nan") << "duration" << nan << "0 sec";
        QTest::newRow("d inf") << "duration" << inf << "0 sec";
        QTest::newRow("p 0.756") << "percent" << 0.756 << "75%";
        QTest::newRow("p 0.999") << "percent" << 0.999 << "99%";
        QTest::newRow("p 1") << "percent" << 1.0 << "100%";
        QTest::newRow("p 1.5") << "percent" << 1.5 << "150%";
        QTest::newRow("p 0.29") << "percent" << 0.29 << "29%";
        QTest::newRow("p 0.57") << "percent" << 0.57 << "57%";
        QTest::newRow("p -0.2") << "percent" << -0.2 << "0%";
        QTest::newRow("p inf") << "percent" << inf << "0%";
        QTest::newRow("p nan") << "percent" << nan << "0%";
        QTest::newRow("c 75") << "clock" << 75.0 << "1:15";
        QTest::newRow("c 0") << "clock" << 0.0 << "0:00";
        QTest::newRow("c 59.5") << "clock" << 59.5 << "1:00";
        QTest::newRow("c 3599.4") << "clock" << 3599.4 << "59:59";
        QTest::newRow("c 3599.5") << "clock" << 3599.5 << "1:00:00";
        QTest::newRow("c 3725") << "clock" << 3725.0 << "1:02:05";
        QTest::newRow("c -3") << "clock" << -3.0 << "0:00";
        QTest::newRow("c inf") << "clock" << inf << "0:00";
    }

    void formatting()
    {
        QFETCH(QString, kind);
        QFETCH(double, value);
        QFETCH(QString, expected);
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        if (kind == "duration")
            QCOMPARE(durationText(value, english), expected);
        else if (kind == "percent")
            QCOMPARE(percentText(value, english), expected);
        else
            QCOMPARE(clockText(value, english), expected);
    }

    void durationParts()
    {
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QCOMPARE(durationPart(1.5, DurationUnit::hours, english), QString("1.5 hr"));
        QCOMPARE(durationPart(2, DurationUnit::minutes, english), QString("2 min"));
        QCOMPARE(durationPart(15, DurationUnit::seconds, english), QString("15 sec"));
    }
};

QTEST_GUILESS_MAIN(RecordsFormattingTest)
#include "test_records_formatting.moc"
