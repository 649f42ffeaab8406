// Dates, JSON record coding, localized texts and the settings store.

#include "platform/iso8601.h"
#include "platform/json.h"
#include "platform/settings_store.h"
#include "platform/texts.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hf;

namespace {

enum class Colour { red, green, unknown };
enum class Shape { round, square };

} // namespace

namespace hf::json {
template<>
struct EnumCoding<Colour> {
    static constexpr std::array values{std::pair{Colour::red, "red"}, std::pair{Colour::green, "green"},
                                       std::pair{Colour::unknown, "unknown"}};
    static constexpr std::optional<Colour> fallback = Colour::unknown;
};
template<>
struct EnumCoding<Shape> {
    static constexpr std::array values{std::pair{Shape::round, "round"}, std::pair{Shape::square, "square"}};
    static constexpr std::optional<Shape> fallback = std::nullopt;
};
} // namespace hf::json

namespace {

struct Inner {
    QString name;
    std::optional<QDateTime> when;
    static Inner fromJson(const json::ObjectReader& in)
    {
        return {in.required<QString>(QStringLiteral("name")), in.optional<QDateTime>(QStringLiteral("when"))};
    }
    void toJson(json::ObjectWriter& out) const
    {
        out.put(QStringLiteral("name"), name);
        out.put(QStringLiteral("when"), when);
    }
    bool operator==(const Inner&) const = default;
};

struct Outer {
    double size = 0;
    qint64 count = 0;
    Colour colour = Colour::red;
    std::optional<Shape> shape;
    QUrl link;
    std::vector<Inner> items;
    std::optional<QMap<QString, QString>> headers;
    static Outer fromJson(const json::ObjectReader& in)
    {
        return {in.required<double>(QStringLiteral("size")),
                in.required<qint64>(QStringLiteral("count")),
                in.required<Colour>(QStringLiteral("colour")),
                in.optional<Shape>(QStringLiteral("shape")),
                in.required<QUrl>(QStringLiteral("link")),
                in.required<std::vector<Inner>>(QStringLiteral("items")),
                in.optional<QMap<QString, QString>>(QStringLiteral("headers"))};
    }
    void toJson(json::ObjectWriter& out) const
    {
        out.put(QStringLiteral("size"), size);
        out.put(QStringLiteral("count"), count);
        out.put(QStringLiteral("colour"), colour);
        out.put(QStringLiteral("shape"), shape);
        out.put(QStringLiteral("link"), link);
        out.put(QStringLiteral("items"), items);
        out.put(QStringLiteral("headers"), headers);
    }
    bool operator==(const Outer&) const = default;
};

const QByteArray goodOuter = R"({"size":1.5,"count":3,"colour":"green","link":"https://x.test/a",)"
                              R"("items":[{"name":"a","when":"2026-12-07T08:15:30.250Z"},{"name":"b","when":null}],)"
                              R"("extra":true})";

} // namespace

class TestCoding : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesInternetDates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("utc"); // empty: refused
        QTest::newRow("Z") << "2026-12-07T08:15:30Z" << "2026-12-07T08:15:30.000";
        QTest::newRow("fraction") << "2026-12-07T08:15:30.250Z" << "2026-12-07T08:15:30.250";
        QTest::newRow("long fraction") << "2026-12-07T08:15:30.123456Z" << "2026-12-07T08:15:30.123";
        QTest::newRow("offset") << "2026-12-07T10:15:30+0200" << "2026-12-07T08:15:30.000";
        QTest::newRow("offset colon") << "2026-12-07T03:15:30-05:00" << "2026-12-07T08:15:30.000";
        QTest::newRow("bare date") << "2026-12-07" << "";
        QTest::newRow("no zone") << "2026-12-07T08:15:30" << "";
        QTest::newRow("space") << "2026-12-07 08:15:30Z" << "";
        QTest::newRow("bad month") << "2026-13-07T08:15:30Z" << "";
        QTest::newRow("word") << "tomorrow" << "";
        QTest::newRow("empty") << "" << "";
    }

    void parsesInternetDates()
    {
        QFETCH(QString, text);
        QFETCH(QString, utc);
        const auto parsed = iso8601::parse(text);
        if (utc.isEmpty()) {
            QVERIFY(!parsed);
            try {
                iso8601::parseOrThrow(text);
                QFAIL("accepted");
            } catch (const DecodingError& e) {
                QCOMPARE(e.localizedDescription(), QStringLiteral("Invalid ISO 8601 date: ") + text);
            }
            return;
        }
        QVERIFY(parsed);
        QCOMPARE(parsed->toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")), utc);
        QCOMPARE(parsed->timeSpec(), Qt::UTC);
    }

    void writesDatesWithoutFraction()
    {
        const auto when = *iso8601::parse(QStringLiteral("2026-12-07T10:15:30.999+0200"));
        QCOMPARE(iso8601::format(when), QStringLiteral("2026-12-07T08:15:30Z"));
    }

    void decodesAndEncodesRecords()
    {
        const auto outer = json::decodeDocument<Outer>(goodOuter);
        QCOMPARE(outer.colour, Colour::green);
        QVERIFY(!outer.shape);
        QCOMPARE(outer.items.size(), size_t(2));
        QVERIFY(outer.items[0].when);
        QVERIFY(!outer.items[1].when); // null is none
        // Encoding leaves empty optionals out and never writes null.
        const QJsonObject encoded = json::encode(outer).toObject();
        QVERIFY(!encoded.contains(QStringLiteral("shape")));
        QVERIFY(!encoded.contains(QStringLiteral("headers")));
        QVERIFY(!encoded.value(QStringLiteral("items")).toArray().at(1).toObject().contains(QStringLiteral("when")));
        QCOMPARE(encoded.value(QStringLiteral("items")).toArray().at(0).toObject().value(QStringLiteral("when")).toString(),
                 QStringLiteral("2026-12-07T08:15:30Z"));
        QCOMPARE(json::decode<Outer>(QJsonValue(encoded)).colour, Colour::green);
        // An unknown raw value falls back where the enumeration has a fallback.
        QByteArray other = goodOuter;
        other.replace("\"green\"", "\"purple\"");
        QCOMPARE(json::decodeDocument<Outer>(other).colour, Colour::unknown);
    }

    void failuresNameTheKeyPath_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("kind");
        using K = DecodingError::Kind;
        QTest::newRow("missing") << QByteArray("\"count\":3,") << QByteArray() << "count" << int(K::keyNotFound);
        QTest::newRow("null required") << QByteArray("\"count\":3") << QByteArray("\"count\":null") << "count"
                                       << int(K::valueNotFound);
        QTest::newRow("string for number") << QByteArray("\"size\":1.5") << QByteArray("\"size\":\"1.5\"") << "size"
                                           << int(K::typeMismatch);
        QTest::newRow("fraction for integer") << QByteArray("\"count\":3") << QByteArray("\"count\":3.5") << "count"
                                              << int(K::dataCorrupted);
        QTest::newRow("no fallback") << QByteArray("\"link\"") << QByteArray("\"shape\":\"oval\",\"link\"") << "shape"
                                     << int(K::dataCorrupted);
        QTest::newRow("nested type") << QByteArray("{\"name\":\"b\"") << QByteArray("{\"name\":7") << "items[1].name"
                                     << int(K::typeMismatch);
        QTest::newRow("nested date") << QByteArray("\"when\":null") << QByteArray("\"when\":\"soon\"") << "items[1].when"
                                     << int(K::dataCorrupted);
        QTest::newRow("bad url") << QByteArray("https://x.test/a") << QByteArray("not a url") << "link"
                                 << int(K::dataCorrupted);
        QTest::newRow("header value") << QByteArray("\"extra\":true") << QByteArray("\"headers\":{\"a\":1}")
                                      << "headers.a" << int(K::typeMismatch);
    }

    void failuresNameTheKeyPath()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, path);
        QFETCH(int, kind);
        QByteArray body = goodOuter;
        QVERIFY(body.contains(from));
        body.replace(from, to);
        try {
            json::decodeDocument<Outer>(body);
            QFAIL("decoded");
        } catch (const DecodingError& e) {
            QCOMPARE(e.path(), path);
            QCOMPARE(int(e.kind()), kind);
            QVERIFY(e.localizedDescription().contains(path));
        }
    }

    void nestedDateKeepsItsMessage()
    {
        try {
            json::decodeDocument<Inner>(R"({"name":"a","when":"2026-12-07"})");
            QFAIL("decoded");
        } catch (const DecodingError& e) {
            QCOMPARE(e.message(), QStringLiteral("Invalid ISO 8601 date: 2026-12-07"));
            QCOMPARE(e.path(), QStringLiteral("when"));
        }
    }

    void fillsTextArguments()
    {
        QCOMPARE(fillText(QStringLiteral("Poll failed (%lld): %@"), {3, QStringLiteral("gone")}),
                 QStringLiteral("Poll failed (3): gone"));
        QCOMPARE(fillText(QStringLiteral("100%% of %@"), {"it"}), QStringLiteral("100% of it"));
        QCOMPARE(fillText(QStringLiteral("%@ and %@"), {"one"}), QStringLiteral("one and "));
        QCOMPARE(text("ui.stem.effects", "Effects and ambience"), QStringLiteral("Effects and ambience"));
        TextCatalog::install(TextTable::Direct, {{QStringLiteral("k"), QStringLiteral("Direkt %@")}});
        QCOMPARE(text("k", "Direct %@", {"x"}, TextTable::Direct), QStringLiteral("Direkt x"));
        QCOMPARE(text("k", "Main"), QStringLiteral("Main")); // tables are separate
        TextCatalog::clear();
        QCOMPARE(text("k", "Direct %@", {"x"}, TextTable::Direct), QStringLiteral("Direct x"));
    }

    // A counted text takes the form its language gives the count; a table without that form
    // falls back to "other", then to one text for every count.
    void pluralFormsFollowTheCount()
    {
        const QHash<QString, QString> ru{{"q#one", "%lld one"}, {"q#few", "%lld few"}, {"q#many", "%lld many"}};
        const struct { QHash<QString, QString> table; QLocale::Language language; qint64 n; const char* expected; } cases[] = {
            {{}, QLocale::English, 1, "1 video"}, {{}, QLocale::English, 0, "0 videos"}, {ru, QLocale::Russian, 21, "21 one"},
            {ru, QLocale::Russian, 11, "11 many"}, {ru, QLocale::Russian, 3, "3 few"}, {ru, QLocale::Russian, 13, "13 many"},
            {{{"q#other", "%lld Videos"}}, QLocale::German, 1, "1 Videos"}, {{{"q", "%lld vid\u00e9os"}}, QLocale::French, 0, "0 vid\u00e9os"},
        };
        for (const auto& k : cases) {
            TextCatalog::install(TextTable::Main, k.table, k.language);
            QCOMPARE(pluralText("q", "%lld video", "%lld videos", k.n, {k.n}), QString::fromUtf8(k.expected));
        }
        TextCatalog::clear();
    }

    void settingsPersistAcrossStores()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.ini"));
        {
            QSettingsStore store(path);
            store.setValue(QStringLiteral("hf_flag"), true);
            store.setValue(QStringLiteral("review.successCount"), 4);
            store.setJson(QStringLiteral("hf_separation_settings"), QJsonObject{{QStringLiteral("ambience"), 0.5}});
        }
        QSettingsStore store(path);
        QCOMPARE(store.boolean(QStringLiteral("hf_flag")), std::optional<bool>(true));
        QCOMPARE(store.integer(QStringLiteral("review.successCount")), std::optional<qint64>(4));
        QCOMPARE(store.json(QStringLiteral("hf_separation_settings"))->toObject().value(QStringLiteral("ambience")).toDouble(), 0.5);
        QVERIFY(!store.json(QStringLiteral("missing")));
        store.setValue(QStringLiteral("broken"), QStringLiteral("{not json"));
        QVERIFY(!store.json(QStringLiteral("broken")));
        store.remove(QStringLiteral("hf_flag"));
        QVERIFY(!store.contains(QStringLiteral("hf_flag")));
        QVERIFY(!store.integer(QStringLiteral("hf_flag")));
    }

    // An observer hears every write and removal of its key, from whoever makes it, and nothing
    // once it is gone.
    void observersHearTheirKey()
    {
        MemorySettingsStore store;
        QStringList heard;
        auto observer = std::make_unique<QObject>();
        store.observe(QStringLiteral("hf_export_include_stems"), observer.get(),
                      [&] { heard << store.value(QStringLiteral("hf_export_include_stems")).toString(); });
        store.setValue(QStringLiteral("hf_export_include_stems"), true);
        store.setValue(QStringLiteral("hf_export_folder"), QStringLiteral("desktop"));
        store.setValue(QStringLiteral("hf_export_include_stems"), true);
        store.remove(QStringLiteral("hf_export_include_stems"));
        QCOMPARE(heard, (QStringList{"true", "true", ""}));
        observer.reset();
        store.setValue(QStringLiteral("hf_export_include_stems"), false);
        QCOMPARE(heard.size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestCoding)
#include "test_coding.moc"
