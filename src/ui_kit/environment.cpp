#include "ui_kit/environment.h"

#include "platform/logging.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHash>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QPalette>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QStyleFactory>
#include <QWidget>

#include <cmath>

HF_LOGGING_CATEGORY(lcKitEnvironment, "KitEnvironment")

namespace hf::ui {

namespace {

constexpr const char* sizeNames[] = {
    "xSmall",         "small",          "medium",         "large",
    "xLarge",         "xxLarge",        "xxxLarge",       "accessibility1",
    "accessibility2", "accessibility3", "accessibility4", "accessibility5",
};

std::optional<bool> boolVariable(const char* name)
{
    const QByteArray value = qgetenv(name).trimmed().toLower();
    if (value.isEmpty())
        return std::nullopt;
    if (value == "1" || value == "true" || value == "yes" || value == "on")
        return true;
    if (value == "0" || value == "false" || value == "no" || value == "off")
        return false;
    qCWarning(lcKitEnvironment) << "ignoring" << name << "=" << value;
    return std::nullopt;
}

QVariant unwrap(QVariant value)
{
    // Older portals wrap the value of Read in a second variant.
    while (value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

struct Key {
    const char* group;
    const char* key;
};

constexpr Key portalKeys[] = {
    {portal::gnomeInterface, "text-scaling-factor"},
    {portal::gnomeInterface, "enable-animations"},
    {portal::gnomeA11yInterface, "high-contrast"},
    {portal::appearance, "contrast"},
    {portal::appearance, "color-scheme"},
};

template<class T>
T pick(const std::optional<T>& a, const std::optional<T>& b, const std::optional<T>& c, T fallback)
{
    if (a)
        return *a;
    if (b)
        return *b;
    if (c)
        return *c;
    return fallback;
}

// Windows fixed to an appearance (main thread only).
QHash<const QWidget*, Appearance>& fixedWindows()
{
    static QHash<const QWidget*, Appearance> windows;
    return windows;
}

// The appearance of the nearest fixed window `widget` lies in or was opened from.
std::optional<Appearance> fixedAppearanceOf(const QWidget* widget)
{
    const auto& fixed = fixedWindows();
    if (fixed.isEmpty())
        return std::nullopt;
    for (const QWidget* w = widget; w; w = w->parentWidget())
        if (const auto found = fixed.constFind(w); found != fixed.cend())
            return *found;
    return std::nullopt;
}

// Set while a widget of a fixed window handles an event; none means the desktop's.
thread_local std::optional<Appearance> inForce;

// Follows the widgets receiving events: whatever a widget paints or makes while it handles one
// takes its window's appearance. Kit-styled widgets made before they knew their window are
// styled again when first polished, and windows opened from a fixed window take its palette.
class AppearanceFollower : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (!object->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(object);
        inForce = fixedAppearanceOf(widget);
        if (event->type() == QEvent::Polish) {
            refreshStyledWidget(widget);
            if (inForce && widget->isWindow() && !fixedWindows().contains(widget))
                widget->setPalette(kitPalette(*inForce));
        } else if (event->type() == QEvent::Show && widget->windowType() == Qt::Popup) {
            // A pop-up (a menu, a choice's list) belongs to the window it is opened over, whether
            // it has no parent (a menu bar's menu) or took its colours from one that has none (a
            // choice's list is coloured like a menu made apart).
            if (!inForce)
                inForce = fixedAppearanceOf(QApplication::activeWindow());
            if (inForce) {
                widget->setPalette(kitPalette(*inForce));
                refreshStyledWidget(widget);
                // Set on each part too: a choice's list draws its entries as menu items in the
                // colours a menu has by default, except for those its own palette sets.
                for (QWidget* child : widget->findChildren<QWidget*>()) {
                    child->setPalette(kitPalette(*inForce));
                    refreshStyledWidget(child);
                }
            }
        } else if (event->type() == QEvent::ParentChange && !widget->isWindow()) {
            // Styled before it knew its window (a pane made apart and placed later): style it,
            // and what it holds, again in the appearance of the window it joined.
            refreshStyledWidget(widget);
            for (QWidget* child : widget->findChildren<QWidget*>())
                refreshStyledWidget(child);
        }
        return false;
    }
};

} // namespace

QPalette kitPalette(Appearance appearance)
{
    QPalette p;
    const auto color = [appearance](ColorName name) { return hf::ui::color(name, appearance); };
    const auto set = [&](QPalette::ColorRole role, ColorName name) {
        p.setColor(QPalette::All, role, color(name));
    };
    set(QPalette::Window, ColorName::Surface);
    set(QPalette::WindowText, ColorName::Ink);
    set(QPalette::Base, ColorName::Surface);
    set(QPalette::AlternateBase, ColorName::Paper);
    set(QPalette::Text, ColorName::Ink);
    set(QPalette::Button, ColorName::ControlFill);
    set(QPalette::ButtonText, ColorName::Ink);
    set(QPalette::BrightText, ColorName::InkOnInk);
    set(QPalette::Highlight, ColorName::Ink);
    set(QPalette::HighlightedText, ColorName::InkOnInk);
    set(QPalette::PlaceholderText, ColorName::Muted);
    set(QPalette::ToolTipBase, ColorName::Surface);
    set(QPalette::ToolTipText, ColorName::Ink);
    set(QPalette::Mid, ColorName::Rule);
    set(QPalette::Midlight, ColorName::ControlFill);
    set(QPalette::Dark, ColorName::ControlStroke);
    set(QPalette::Light, ColorName::Surface);
    set(QPalette::Shadow, ColorName::ControlStroke);
    set(QPalette::Link, ColorName::Dialogue);
    p.setColor(QPalette::Disabled, QPalette::WindowText, color(ColorName::DisabledText));
    p.setColor(QPalette::Disabled, QPalette::Text, color(ColorName::DisabledText));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, color(ColorName::DisabledText));
    return p;
}

namespace {

void refreshAllWidgets()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    const auto widgets = QApplication::allWidgets();
    for (QWidget* widget : widgets) {
        inForce = fixedAppearanceOf(widget);
        refreshStyledWidget(widget);
        if (inForce && widget->isWindow())
            widget->setPalette(kitPalette(*inForce));
    }
    inForce.reset();
    for (QWidget* widget : widgets) {
        widget->updateGeometry();
        widget->update();
    }
}

} // namespace

void setWindowAppearance(QWidget* window, Appearance appearance)
{
    static QPointer<AppearanceFollower> follower;
    if (!follower && QCoreApplication::instance()) {
        follower = new AppearanceFollower(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(follower);
    }
    if (!fixedWindows().contains(window))
        QObject::connect(window, &QObject::destroyed, [window] { fixedWindows().remove(window); });
    fixedWindows().insert(window, appearance);
    window->setPalette(kitPalette(appearance));
    // Whatever the window already holds is styled again in its appearance.
    inForce = appearance;
    refreshStyledWidget(window);
    for (QWidget* child : window->findChildren<QWidget*>())
        refreshStyledWidget(child);
    inForce.reset();
    window->update();
}

Appearance appearanceOf(const QWidget* widget)
{
    return fixedAppearanceOf(widget).value_or(Environment::instance().appearance());
}

Appearance appearanceInForce()
{
    return inForce.value_or(Environment::instance().appearance());
}

bool isAccessibilitySize(TextSize size)
{
    return size >= TextSize::accessibility1;
}

QString textSizeName(TextSize size)
{
    return QString::fromLatin1(sizeNames[static_cast<int>(size)]);
}

std::optional<TextSize> textSizeFromName(QStringView name)
{
    for (TextSize size : allTextSizes)
        if (name.compare(QLatin1String(sizeNames[static_cast<int>(size)]), Qt::CaseInsensitive) == 0)
            return size;
    return std::nullopt;
}

TextSize textSizeForScalingFactor(double factor)
{
    if (!(factor > 0.0) || !std::isfinite(factor))
        return TextSize::large;
    TextSize best = TextSize::large;
    double bestDistance = INFINITY;
    for (TextSize size : allTextSizes) {
        const double distance = std::abs(std::log(textScale(TextStyle::body, size) / factor));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = size;
        }
    }
    return best;
}

Environment& Environment::instance()
{
    static QPointer<Environment> shared;
    if (!shared) {
        shared = new Environment(QCoreApplication::instance());
        shared->readVariables();
        // Offscreen (tests, screenshots) the desktop's own settings would make pictures differ
        // from machine to machine, so only the variables and setters count there.
        const QString platform = QGuiApplication::platformName();
        const bool headless = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
        if (!headless) {
            QDBusConnection bus = QDBusConnection::sessionBus();
            if (bus.isConnected())
                shared->connectPortal(bus);
        }
        shared->recompute();
        connect(shared, &Environment::changed, shared, [] { refreshAllWidgets(); });
    }
    return *shared;
}

Environment::Environment(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
{
    readVariables();
    if (bus.isConnected())
        connectPortal(bus);
    recompute();
}

Environment::Environment(QObject* parent)
    : QObject(parent)
{
}

Environment::~Environment() = default;

double Environment::scale() const
{
    return textScale(TextStyle::body, m_textSize);
}

double Environment::scaled(double length) const
{
    return length * scale();
}

void Environment::setTextSize(TextSize size)
{
    m_override.textSize = size;
    recompute();
}

void Environment::setIncreasedContrast(bool on)
{
    m_override.increasedContrast = on;
    recompute();
}

void Environment::setReduceMotion(bool on)
{
    m_override.reduceMotion = on;
    recompute();
}

void Environment::setAppearance(Appearance appearance)
{
    m_override.appearance = appearance;
    recompute();
}

void Environment::clearOverrides()
{
    m_override = {};
    recompute();
}

void Environment::readVariables()
{
    m_variables = {};
    const QString size = qEnvironmentVariable("HF_TEXT_SIZE").trimmed();
    if (!size.isEmpty()) {
        m_variables.textSize = textSizeFromName(size);
        if (!m_variables.textSize)
            qCWarning(lcKitEnvironment) << "ignoring HF_TEXT_SIZE =" << size;
    }
    m_variables.increasedContrast = boolVariable("HF_INCREASED_CONTRAST");
    m_variables.reduceMotion = boolVariable("HF_REDUCE_MOTION");
    const QString appearance = qEnvironmentVariable("HF_APPEARANCE").trimmed().toLower();
    if (appearance == QLatin1String("dark"))
        m_variables.appearance = Appearance::dark;
    else if (appearance == QLatin1String("light"))
        m_variables.appearance = Appearance::light;
}

void Environment::connectPortal(const QDBusConnection& bus)
{
    m_bus = bus;
    // The slot's argument type is looked up by name, so it must be known before connecting.
    qRegisterMetaType<QDBusVariant>();
    const bool subscribed = m_bus->connect(
        QString::fromLatin1(portal::service), QString::fromLatin1(portal::path), QString::fromLatin1(portal::interface),
        QStringLiteral("SettingChanged"), this, SLOT(onPortalSettingChanged(QString, QString, QDBusVariant)));
    if (!subscribed)
        qCWarning(lcKitEnvironment) << "cannot follow the desktop portal's setting changes";
    m_pendingReads = static_cast<int>(std::size(portalKeys));
    for (const Key& key : portalKeys) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromLatin1(portal::service), QString::fromLatin1(portal::path),
            QString::fromLatin1(portal::interface), QStringLiteral("Read"));
        message << QString::fromLatin1(key.group) << QString::fromLatin1(key.key);
        auto* watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(message, 5000), this);
        const QString group = QString::fromLatin1(key.group);
        const QString name = QString::fromLatin1(key.key);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, group, name](QDBusPendingCallWatcher* call) {
                    call->deleteLater();
                    const QDBusMessage reply = call->reply();
                    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                        m_portalAnswered = true;
                        applyPortalValue(group, name, unwrap(reply.arguments().first()));
                    }
                    if (--m_pendingReads == 0) {
                        recompute();
                        emit portalRead();
                    }
                });
    }
}

void Environment::onPortalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    applyPortalValue(group, key, unwrap(value.variant()));
    recompute();
}

void Environment::applyPortalValue(const QString& group, const QString& key, const QVariant& value)
{
    bool ok = false;
    if (group == QLatin1String(portal::gnomeInterface) && key == QLatin1String("text-scaling-factor")) {
        const double factor = value.toDouble(&ok);
        if (ok)
            m_portal.textSize = textSizeForScalingFactor(factor);
    } else if (group == QLatin1String(portal::gnomeInterface) && key == QLatin1String("enable-animations")) {
        if (value.canConvert<bool>())
            m_portal.reduceMotion = !value.toBool();
    } else if (group == QLatin1String(portal::gnomeA11yInterface) && key == QLatin1String("high-contrast")) {
        if (value.canConvert<bool>()) {
            m_portalHighContrast = value.toBool();
            m_portal.increasedContrast = m_portalHighContrast || m_portalContrastKey;
        }
    } else if (group == QLatin1String(portal::appearance) && key == QLatin1String("contrast")) {
        const uint contrast = value.toUInt(&ok);
        if (ok) {
            m_portalContrastKey = contrast == 1;
            m_portal.increasedContrast = m_portalHighContrast || m_portalContrastKey;
        }
    } else if (group == QLatin1String(portal::appearance) && key == QLatin1String("color-scheme")) {
        const uint scheme = value.toUInt(&ok);
        if (ok)
            m_portal.appearance = scheme == 1 ? Appearance::dark : Appearance::light;
    }
}

void Environment::recompute()
{
    const TextSize size = pick(m_override.textSize, m_variables.textSize, m_portal.textSize, TextSize::large);
    const bool contrast = pick(m_override.increasedContrast, m_variables.increasedContrast,
                               m_portal.increasedContrast, false);
    const bool motion = pick(m_override.reduceMotion, m_variables.reduceMotion, m_portal.reduceMotion, false);
    const Appearance appearance =
        pick(m_override.appearance, m_variables.appearance, m_portal.appearance, Appearance::light);

    bool any = false;
    if (size != m_textSize) {
        m_textSize = size;
        any = true;
        emit textSizeChanged(size);
    }
    if (contrast != m_increasedContrast) {
        m_increasedContrast = contrast;
        any = true;
        emit contrastChanged(contrast);
    }
    if (motion != m_reduceMotion) {
        m_reduceMotion = motion;
        any = true;
        emit reduceMotionChanged(motion);
    }
    if (appearance != m_appearance) {
        m_appearance = appearance;
        any = true;
        emit appearanceChanged(appearance);
    }
    if (any)
        emit changed();
}

namespace {

// Fusion, its menu items measured as wide as it draws them: at large text sizes it draws an
// item's check column 0.79 of the item's height wide but measures the item with a column of the
// icons' width, so the widest item's title came out shortened in its middle.
class KitStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                           const QWidget* widget) const override
    {
        QSize size = QProxyStyle::sizeFromContents(type, option, contents, widget);
        if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option); item && type == CT_MenuItem) {
            const int measured = std::max(item->maxIconWidth, 21);
            size.rwidth() += std::max(0, int(size.height() * 0.79) - measured);
        }
        return size;
    }
};

} // namespace

void Environment::applyToApplication(QApplication& app)
{
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(new KitStyle(fusion));
    const auto apply = [] {
        QApplication::setFont(font(TextStyle::body));
        // Windows follow the desktop unless fixed to an appearance of their own.
        QApplication::setPalette(kitPalette(instance().appearance()));
    };
    apply();
    Environment& env = instance();
    connect(&env, &Environment::changed, &app, apply);
}

} // namespace hf::ui
