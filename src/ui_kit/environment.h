#pragma once

// The desktop settings every kit view follows: text size, contrast, motion and appearance.
//
//     auto& env = hf::ui::Environment::instance();
//     if (env.isAccessibilitySize()) ...;            // lay side-by-side items out as a column
//     double h = env.scaled(36);                      // a length that follows the text size
//     connect(&env, &hf::ui::Environment::changed, this, [this] { updateGeometry(); update(); });
//
// Values come, in this order of precedence, from a setter call (tests, the app), the
// environment variables HF_TEXT_SIZE ("xSmall" .. "xxxLarge", "accessibility1" ..
// "accessibility5"), HF_INCREASED_CONTRAST, HF_REDUCE_MOTION ("1"/"0") and HF_APPEARANCE
// ("light"/"dark"), the XDG desktop portal's Settings interface on the session bus (followed
// live; not on the offscreen platform, so tests and screenshots are the same everywhere), and
// finally the defaults (large, standard contrast, motion, light).
// When a value changes, kit widgets and every open window are laid out again.

#include "ui_kit/palette.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QVariant>

#include <array>
#include <memory>
#include <optional>

class QApplication;
class QPalette;
class QWidget;

namespace hf::ui {

// The text-size ladder; `large` is the default, the last five are the accessibility sizes.
enum class TextSize {
    xSmall,
    small,
    medium,
    large,
    xLarge,
    xxLarge,
    xxxLarge,
    accessibility1,
    accessibility2,
    accessibility3,
    accessibility4,
    accessibility5,
};

inline constexpr std::array allTextSizes{
    TextSize::xSmall,         TextSize::small,          TextSize::medium,
    TextSize::large,          TextSize::xLarge,         TextSize::xxLarge,
    TextSize::xxxLarge,       TextSize::accessibility1, TextSize::accessibility2,
    TextSize::accessibility3, TextSize::accessibility4, TextSize::accessibility5,
};

bool isAccessibilitySize(TextSize size);
QString textSizeName(TextSize size);
std::optional<TextSize> textSizeFromName(QStringView name);
// The ladder step nearest to a desktop text-scaling factor (1.0 is `large`).
TextSize textSizeForScalingFactor(double factor);

enum class Contrast { standard, increased };

// Names of the portal's namespaces and keys the environment reads.
namespace portal {
inline constexpr auto service = "org.freedesktop.portal.Desktop";
inline constexpr auto path = "/org/freedesktop/portal/desktop";
inline constexpr auto interface = "org.freedesktop.portal.Settings";
inline constexpr auto gnomeInterface = "org.gnome.desktop.interface";
inline constexpr auto gnomeA11yInterface = "org.gnome.desktop.a11y.interface";
inline constexpr auto appearance = "org.freedesktop.appearance";
} // namespace portal

class Environment : public QObject {
    Q_OBJECT
    Q_PROPERTY(TextSize textSize READ textSize WRITE setTextSize NOTIFY textSizeChanged)
    Q_PROPERTY(bool increasedContrast READ increasedContrast WRITE setIncreasedContrast NOTIFY contrastChanged)
    Q_PROPERTY(bool reduceMotion READ reduceMotion WRITE setReduceMotion NOTIFY reduceMotionChanged)
    Q_PROPERTY(Appearance appearance READ appearance WRITE setAppearance NOTIFY appearanceChanged)

public:
    // The application-wide environment. Created on first use; it reads the environment
    // variables at once and asks the portal on the session bus without waiting for it.
    static Environment& instance();

    // A separate environment reading the portal on `bus` (tests use a private bus).
    explicit Environment(const QDBusConnection& bus, QObject* parent = nullptr);
    // An environment that reads no portal and no environment variables.
    explicit Environment(QObject* parent = nullptr);
    ~Environment() override;

    TextSize textSize() const { return m_textSize; }
    bool isAccessibilitySize() const { return hf::ui::isAccessibilitySize(m_textSize); }
    bool increasedContrast() const { return m_increasedContrast; }
    Contrast contrast() const { return m_increasedContrast ? Contrast::increased : Contrast::standard; }
    bool reduceMotion() const { return m_reduceMotion; }
    Appearance appearance() const { return m_appearance; }

    // The body text style's scale factor at the current size (1.0 at `large`).
    double scale() const;
    // A length given at the default text size, scaled like the body text style.
    double scaled(double length) const;

    // Overrides that win over the portal and the environment variables.
    void setTextSize(TextSize size);
    void setIncreasedContrast(bool on);
    void setReduceMotion(bool on);
    void setAppearance(Appearance appearance);
    // Drops every override made by a setter, going back to the variables, portal and defaults.
    void clearOverrides();

    // True once the portal answered at least one read.
    bool portalAnswered() const { return m_portalAnswered; }

    // Gives the application the kit's look: the kit's font at the body size, a palette of the
    // named colours and the Fusion style, kept up to date as the settings change. Call once,
    // after creating the QApplication.
    static void applyToApplication(QApplication& app);

signals:
    void textSizeChanged(hf::ui::TextSize size);
    void contrastChanged(bool increased);
    void reduceMotionChanged(bool on);
    void appearanceChanged(hf::ui::Appearance appearance);
    // After any of the above.
    void changed();
    // The first reads from the portal finished, answered or not.
    void portalRead();

private slots:
    void onPortalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    struct Source {
        std::optional<TextSize> textSize;
        std::optional<bool> increasedContrast;
        std::optional<bool> reduceMotion;
        std::optional<Appearance> appearance;
    };

    void readVariables();
    void connectPortal(const QDBusConnection& bus);
    void applyPortalValue(const QString& group, const QString& key, const QVariant& value);
    void recompute();

    Source m_override;
    Source m_variables;
    Source m_portal;
    bool m_portalHighContrast = false;
    bool m_portalContrastKey = false;
    bool m_portalAnswered = false;
    int m_pendingReads = 0;
    std::optional<QDBusConnection> m_bus;

    TextSize m_textSize = TextSize::large;
    bool m_increasedContrast = false;
    bool m_reduceMotion = false;
    Appearance m_appearance = Appearance::light;
};

// ---- Windows with an appearance of their own
//
// Every window follows the desktop's appearance, except a window fixed to one (the main window is
// always dark) and the windows it opens (its menus, pop-ups and dialogs):
//     hf::ui::setWindowAppearance(mainWindow, hf::ui::Appearance::dark);
// While a widget of such a window paints or handles an event, color(name) answers in that
// appearance, and the window's palette is the kit's palette in it.

void setWindowAppearance(QWidget* window, Appearance appearance);
// The appearance `widget` is drawn in: that of the nearest fixed window it belongs to or was
// opened from, else the desktop's.
Appearance appearanceOf(const QWidget* widget);
// The appearance color(name) answers in right now.
Appearance appearanceInForce();
// The kit's colours as a palette for Qt's own widgets.
QPalette kitPalette(Appearance appearance);

} // namespace hf::ui
