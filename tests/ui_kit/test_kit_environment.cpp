// The desktop settings the kit follows: the text-size ladder, the environment variables, and
// the XDG desktop portal read from a fake portal on a private session bus.

#include "support/test_support.h"

#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QAbstractItemView>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

using namespace hf::ui;

namespace {

// The portal's Settings interface, answering from a table.
class FakePortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    explicit FakePortal(const QDBusConnection& bus) : m_bus(bus) {}

    QHash<QString, QVariant> values; // "namespace key" -> value
    bool wrapTwice = false;

    void change(const QString& group, const QString& key, const QVariant& value)
    {
        values.insert(group + ' ' + key, value);
        QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(portal::path),
                                                         QString::fromLatin1(portal::interface),
                                                         QStringLiteral("SettingChanged"));
        signal << group << key << QVariant::fromValue(QDBusVariant(value));
        QVERIFY(m_bus.send(signal));
    }

public slots:
    QDBusVariant Read(const QString& group, const QString& key)
    {
        const auto it = values.constFind(group + ' ' + key);
        if (it == values.constEnd()) {
            sendErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"), QStringLiteral("no such key"));
            return {};
        }
        if (wrapTwice)
            return QDBusVariant(QVariant::fromValue(QDBusVariant(*it)));
        return QDBusVariant(*it);
    }

private:
    QDBusConnection m_bus;
};

// A private session bus for one test, stopped at the end.
class PrivateBus {
public:
    PrivateBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (m_daemon.waitForStarted() && m_daemon.waitForReadyRead(10000))
            address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        for (const QString& name : m_names)
            QDBusConnection::disconnectFromBus(name);
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
    QDBusConnection connect(const QString& name)
    {
        m_names.append(name);
        return QDBusConnection::connectToBus(address, name);
    }
    QString address;

private:
    QProcess m_daemon;
    QStringList m_names;
};

const QString gnome = QString::fromLatin1(portal::gnomeInterface);
const QString gnomeA11y = QString::fromLatin1(portal::gnomeA11yInterface);
const QString appearanceGroup = QString::fromLatin1(portal::appearance);

} // namespace

class KitEnvironment : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        for (const char* name : {"HF_TEXT_SIZE", "HF_INCREASED_CONTRAST", "HF_REDUCE_MOTION", "HF_APPEARANCE"})
            qunsetenv(name);
    }

    void ladder()
    {
        QVERIFY(!isAccessibilitySize(TextSize::xxxLarge));
        QVERIFY(isAccessibilitySize(TextSize::accessibility1));
        QCOMPARE(textSizeForScalingFactor(1.0), TextSize::large);
        QCOMPARE(textSizeForScalingFactor(1.25), TextSize::xxLarge);
        QCOMPARE(textSizeForScalingFactor(0.5), TextSize::xSmall);
        QCOMPARE(textSizeForScalingFactor(10.0), TextSize::accessibility5);
        QCOMPARE(textSizeForScalingFactor(0.0), TextSize::large);
        QCOMPARE(textSizeForScalingFactor(std::nan("")), TextSize::large);
        // Sizes grow along the ladder for every style.
        for (int i = 1; i < int(allTextSizes.size()); ++i)
            QVERIFY(fontSize(TextStyle::caption2, allTextSizes[i]) >= fontSize(TextStyle::caption2, allTextSizes[i - 1]));
    }

    void variablesWhenNoPortalAnswers()
    {
        qputenv("HF_TEXT_SIZE", "accessibility2");
        qputenv("HF_INCREASED_CONTRAST", "1");
        qputenv("HF_REDUCE_MOTION", "yes");
        qputenv("HF_APPEARANCE", "dark");
        const QDBusConnection none(QStringLiteral("hf-not-connected"));
        Environment env(none);
        QCOMPARE(env.textSize(), TextSize::accessibility2);
        QVERIFY(env.isAccessibilitySize());
        QVERIFY(env.increasedContrast());
        QVERIFY(env.reduceMotion());
        QCOMPARE(env.appearance(), Appearance::dark);

        qputenv("HF_TEXT_SIZE", "gigantic");
        qputenv("HF_REDUCE_MOTION", "maybe");
        qunsetenv("HF_INCREASED_CONTRAST");
        qunsetenv("HF_APPEARANCE");
        Environment defaults(none);
        QCOMPARE(defaults.textSize(), TextSize::large);
        QVERIFY(!defaults.reduceMotion());
        QVERIFY(!defaults.increasedContrast());
        QCOMPARE(defaults.appearance(), Appearance::light);
        QCOMPARE(defaults.scaled(36), 36.0);
    }

    void readsAndFollowsThePortal()
    {
        if (!hf::test::haveProgram(QStringLiteral("dbus-daemon")))
            QSKIP("dbus-daemon is not installed");
        PrivateBus bus;
        QVERIFY(!bus.address.isEmpty());
        QDBusConnection service = bus.connect(QStringLiteral("hf-test-portal"));
        QVERIFY(service.isConnected());
        FakePortal fake(service);
        fake.values.insert(gnome + " text-scaling-factor", 1.25);
        fake.values.insert(gnome + " enable-animations", false);
        fake.values.insert(gnomeA11y + " high-contrast", false);
        fake.values.insert(appearanceGroup + " contrast", 1u);
        fake.values.insert(appearanceGroup + " color-scheme", 1u);
        fake.wrapTwice = true; // as older portals answer
        QVERIFY(service.registerObject(QString::fromLatin1(portal::path), &fake,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QString::fromLatin1(portal::service)));

        QDBusConnection client = bus.connect(QStringLiteral("hf-test-client"));
        Environment env(client);
        QSignalSpy read(&env, &Environment::portalRead);
        QVERIFY(read.wait(10000));
        QVERIFY(env.portalAnswered());
        QCOMPARE(env.textSize(), TextSize::xxLarge);
        QVERIFY(env.reduceMotion());
        QVERIFY(env.increasedContrast()); // from the appearance contrast key alone
        QCOMPARE(env.appearance(), Appearance::dark);

        // Live changes arrive as signals, each reported once.
        QSignalSpy sizes(&env, &Environment::textSizeChanged);
        QSignalSpy contrast(&env, &Environment::contrastChanged);
        QSignalSpy motion(&env, &Environment::reduceMotionChanged);
        QSignalSpy changed(&env, &Environment::changed);
        fake.change(gnome, "text-scaling-factor", 2.0);
        QVERIFY(sizes.wait(5000));
        QCOMPARE(env.textSize(), TextSize::accessibility2);
        fake.change(appearanceGroup, "contrast", 0u);
        QVERIFY(contrast.wait(5000));
        QVERIFY(!env.increasedContrast());
        fake.change(gnomeA11y, "high-contrast", true);
        QVERIFY(QTest::qWaitFor([&] { return env.increasedContrast(); }, 5000));
        fake.change(gnome, "enable-animations", true);
        QVERIFY(motion.wait(5000));
        QVERIFY(!env.reduceMotion());
        fake.change(gnome, "enable-animations", true); // unchanged: no signal
        fake.change(appearanceGroup, "color-scheme", 2u);
        QVERIFY(QTest::qWaitFor([&] { return env.appearance() == Appearance::light; }, 5000));
        QCOMPARE(sizes.count(), 1);
        QCOMPARE(motion.count(), 1);
        QCOMPARE(changed.count(), 5);

        // An override wins over the portal, and dropping it goes back to the portal's value.
        Environment observer(client);
        QVERIFY(QSignalSpy(&observer, &Environment::portalRead).wait(10000));
        env.setTextSize(TextSize::small);
        fake.change(gnome, "text-scaling-factor", 1.0);
        QVERIFY(QTest::qWaitFor([&] { return observer.textSize() == TextSize::large; }, 5000));
        QCOMPARE(env.textSize(), TextSize::small);
        env.clearOverrides();
        QCOMPARE(env.textSize(), TextSize::large);
    }

    void variablesWinOverThePortalAndMissingKeysKeepDefaults()
    {
        if (!hf::test::haveProgram(QStringLiteral("dbus-daemon")))
            QSKIP("dbus-daemon is not installed");
        PrivateBus bus;
        QDBusConnection service = bus.connect(QStringLiteral("hf-test-portal"));
        FakePortal fake(service);
        fake.values.insert(gnome + " enable-animations", false);
        fake.values.insert(gnome + " text-scaling-factor", 3.0);
        QVERIFY(service.registerObject(QString::fromLatin1(portal::path), &fake,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QString::fromLatin1(portal::service)));
        qputenv("HF_REDUCE_MOTION", "0");
        Environment env(bus.connect(QStringLiteral("hf-test-client")));
        QSignalSpy read(&env, &Environment::portalRead);
        QVERIFY(read.wait(10000));
        QVERIFY(!env.reduceMotion());
        QCOMPARE(env.textSize(), TextSize::accessibility5);
        QVERIFY(!env.increasedContrast());
        QCOMPARE(env.appearance(), Appearance::light);
    }

    void noPortalOnTheBus()
    {
        if (!hf::test::haveProgram(QStringLiteral("dbus-daemon")))
            QSKIP("dbus-daemon is not installed");
        PrivateBus bus;
        Environment env(bus.connect(QStringLiteral("hf-test-client")));
        QSignalSpy read(&env, &Environment::portalRead);
        QVERIFY(read.wait(10000));
        QVERIFY(!env.portalAnswered());
        QCOMPARE(env.textSize(), TextSize::large);
        QVERIFY(!env.reduceMotion());
    }

    // A change of the application-wide settings restyles and re-lays out open windows.
    void changeRelaysOutOpenWindows()
    {
        Environment& env = Environment::instance();
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* label = new QLabel(QStringLiteral("Callout text"));
        setTextStyle(label, TextStyle::callout);
        setForeground(label, ColorName::Muted);
        auto* button = new InkButton(QStringLiteral("Export"));
        layout->addWidget(label);
        layout->addWidget(button);
        layout->addStretch();
        window.resize(300, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int labelBefore = label->font().pixelSize();
        const int buttonBefore = button->height();
        QCOMPARE(label->palette().color(QPalette::WindowText), color(ColorName::Muted, Appearance::light));

        env.setTextSize(TextSize::accessibility3);
        env.setAppearance(Appearance::dark);
        QVERIFY(label->font().pixelSize() > labelBefore);
        QCOMPARE(label->palette().color(QPalette::WindowText), color(ColorName::Muted, Appearance::dark));
        QVERIFY(QTest::qWaitFor([&] { return button->height() > buttonBefore; }, 2000));
        env.clearOverrides();
        QCOMPARE(label->font().pixelSize(), labelBefore);
    }

    // A window fixed to dark keeps it whatever the desktop says, and so does what it opens; the
    // other windows follow the desktop. Kit colours, kit-styled texts and Qt's own widgets alike.
    void aFixedWindowKeepsItsAppearance()
    {
        Environment& env = Environment::instance();
        Environment::applyToApplication(*qApp);
        env.setAppearance(Appearance::light);
        struct Pane {
            QWidget window;
            Rule* rule;
            QLabel* label;
            explicit Pane()
            {
                auto* layout = new QVBoxLayout(&window);
                rule = new Rule;
                rule->setFixedHeight(6);
                layout->addWidget(rule);
                window.resize(200, 80);
            }
            QColor ruleColor() { return rule->grab().toImage().pixelColor(rule->width() / 2, 3); }
        };
        Pane fixed;
        Pane follower;
        setWindowAppearance(&fixed.window, Appearance::dark);
        // Texts made after the window was fixed, and before they knew their window.
        for (Pane* pane : {&fixed, &follower}) {
            pane->label = new QLabel(QStringLiteral("Ink text"));
            setForeground(pane->label, ColorName::Ink);
            pane->window.layout()->addWidget(pane->label);
            pane->window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&pane->window));
        }
        // A window the fixed one opens, made while the other window was handling an event.
        QWidget* opened = nullptr;
        QTimer::singleShot(0, &follower.window, [&] {
            QEvent poke(QEvent::User);
            QCoreApplication::sendEvent(&follower.window, &poke);
            opened = new QWidget(&fixed.window, Qt::Window);
            auto* text = new QLabel(QStringLiteral("Opened"), opened);
            text->setObjectName(QStringLiteral("opened.text"));
            setForeground(text, ColorName::Ink);
            opened->show();
        });
        QVERIFY(QTest::qWaitFor([&] { return opened && opened->isVisible(); }));

        for (const Appearance desktop : {Appearance::light, Appearance::dark, Appearance::light}) {
            env.setAppearance(desktop);
            QCoreApplication::processEvents();   // Qt hands a new application palette on by events
            QCOMPARE(appearanceOf(fixed.rule), Appearance::dark);
            QCOMPARE(appearanceOf(opened), Appearance::dark);
            QCOMPARE(appearanceOf(follower.rule), desktop);
            QCOMPARE(fixed.ruleColor(), color(ColorName::Rule, Appearance::dark));
            QCOMPARE(follower.ruleColor(), color(ColorName::Rule, desktop));
            QCOMPARE(fixed.label->palette().color(QPalette::WindowText), color(ColorName::Ink, Appearance::dark));
            QCOMPARE(follower.label->palette().color(QPalette::WindowText), color(ColorName::Ink, desktop));
            QCOMPARE(opened->findChild<QLabel*>(QStringLiteral("opened.text"))->palette().color(QPalette::WindowText),
                     color(ColorName::Ink, Appearance::dark));
            QCOMPARE(opened->palette().color(QPalette::Window), color(ColorName::Surface, Appearance::dark));
            QCOMPARE(fixed.window.palette().color(QPalette::Base), color(ColorName::Surface, Appearance::dark));
            QCOMPARE(follower.window.palette().color(QPalette::Base), color(ColorName::Surface, desktop));
        }
        delete opened;
        env.clearOverrides();
    }

    // A pop-up opened over a fixed window takes its appearance, whatever the desktop's: a menu of
    // the window, a menu bar's menu made without a parent, and a choice's list.
    void popupsTakeTheWindowTheyOpenOver()
    {
        Environment& env = Environment::instance();
        Environment::applyToApplication(*qApp);
        env.setAppearance(Appearance::light);
        QWidget window;
        auto* choice = new QComboBox;
        choice->addItems({QStringLiteral("Videos"), QStringLiteral("Desktop")});
        (new QVBoxLayout(&window))->addWidget(choice);
        choice->view();   // its list made (and coloured) before the window's appearance is fixed
        setWindowAppearance(&window, Appearance::dark);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        QMenu parented(&window);
        QMenu parentless;
        const auto takesTheWindows = [&](QWidget* shown) {
            return QTest::qWaitFor([&] { return shown->isVisible(); })
                   && shown->palette().color(QPalette::Window) == color(ColorName::Surface, Appearance::dark)
                   && shown->palette().color(QPalette::Text) == color(ColorName::Ink, Appearance::dark);
        };
        for (QMenu* menu : {&parented, &parentless}) {
            menu->addAction(QStringLiteral("Open Video..."));
            menu->popup(window.mapToGlobal(QPoint(10, 10)));
            QVERIFY2(takesTheWindows(menu), menu == &parented ? "menu of the window" : "menu without a parent");
            menu->close();
        }
        choice->showPopup();
        QVERIFY2(takesTheWindows(choice->view()->window()), "choice's list");
        choice->hidePopup();
        env.clearOverrides();
    }

    // A pane styled and polished apart, inside a holder that is placed in a fixed window later (as
    // an editor's inspector column is when a video opens), takes that window's appearance.
    void aPanePolishedApartTakesTheWindowItJoins()
    {
        Environment& env = Environment::instance();
        Environment::applyToApplication(*qApp);
        env.setAppearance(Appearance::light);
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        setWindowAppearance(&window, Appearance::dark);
        window.resize(200, 80);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        for (const bool holderPolished : {false, true}) {
            auto* holder = new QWidget;
            auto* pane = new QWidget(holder);
            setBackground(pane, ColorName::Surface);
            auto* label = new QLabel(QStringLiteral("Ink text"), pane);
            setForeground(label, ColorName::Ink);
            if (holderPolished)
                holder->ensurePolished();
            pane->ensurePolished();   // the pane and its label, not the holder
            QCOMPARE(label->palette().color(QPalette::WindowText), color(ColorName::Ink, Appearance::light));

            layout->addWidget(holder);
            QCoreApplication::processEvents();
            QCOMPARE(pane->palette().color(QPalette::Window), color(ColorName::Surface, Appearance::dark));
            QCOMPARE(label->palette().color(QPalette::WindowText), color(ColorName::Ink, Appearance::dark));
            delete holder;
        }
        env.clearOverrides();
    }
};

QTEST_MAIN(KitEnvironment)
#include "test_kit_environment.moc"
