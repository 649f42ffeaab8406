#include "ui_kit/text_styles.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLocale>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>
#include <QVariant>
#include <QWidget>

#include <mutex>

namespace hf::ui {

namespace {

// Sizes of each text style along the text-size ladder, xSmall .. accessibility5. Only their
// ratios to the `large` column are used: each style grows at its own pace, titles less than
// body text at the accessibility sizes.
constexpr double ladder[][12] = {
    /* largeTitle  */ {31, 32, 33, 34, 36, 38, 40, 44, 48, 52, 56, 60},
    /* title       */ {25, 26, 27, 28, 30, 32, 34, 38, 43, 48, 53, 58},
    /* title2      */ {19, 20, 21, 22, 24, 26, 28, 34, 39, 44, 50, 56},
    /* title3      */ {17, 18, 19, 20, 22, 24, 26, 31, 37, 43, 49, 55},
    /* headline    */ {14, 15, 16, 17, 19, 21, 23, 28, 33, 40, 47, 53},
    /* subheadline */ {12, 13, 14, 15, 17, 19, 21, 25, 30, 36, 42, 48},
    /* body        */ {14, 15, 16, 17, 19, 21, 23, 28, 33, 40, 47, 53},
    /* callout     */ {13, 14, 15, 16, 18, 20, 22, 26, 32, 38, 44, 51},
    /* footnote    */ {12, 12, 12, 13, 15, 17, 19, 23, 27, 33, 38, 44},
    /* caption     */ {11, 11, 11, 12, 14, 16, 18, 22, 26, 32, 37, 43},
    /* caption2    */ {11, 11, 11, 11, 13, 15, 17, 20, 24, 29, 34, 40},
};

// Desktop sizes of the styles at the default text size, in device-independent pixels.
constexpr double baseSizes[] = {26, 22, 17, 15, 13, 11, 13, 12, 10, 10, 10};

constexpr const char* styleProperty = "hfKitTextStyle";
constexpr const char* weightProperty = "hfKitFontWeight";
constexpr const char* headingProperty = "hfKitHeadingStyle";
constexpr const char* displayProperty = "hfKitDisplaySize";
constexpr const char* foregroundProperty = "hfKitForeground";
constexpr const char* backgroundProperty = "hfKitBackground";
constexpr const char* capProperty = "hfKitTextSizeCap";

TextSize currentSize()
{
    return Environment::instance().textSize();
}

} // namespace

QString fontFamily()
{
    static QString family;
    static std::once_flag once;
    std::call_once(once, [] {
        // One family everywhere, so screens look the same on every desktop and offscreen.
        const QString preferred = QStringLiteral("DejaVu Sans");
        family = QFontDatabase::hasFamily(preferred)
                     ? preferred
                     : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    });
    return family;
}

double baseFontSize(TextStyle style)
{
    return baseSizes[static_cast<int>(style)];
}

double textScale(TextStyle style, TextSize size)
{
    const auto& row = ladder[static_cast<int>(style)];
    return row[static_cast<int>(size)] / row[static_cast<int>(TextSize::large)];
}

double fontSize(TextStyle style, TextSize size)
{
    return baseFontSize(style) * textScale(style, size);
}

QFont fontOfSize(double pixelSize, QFont::Weight weight)
{
    QFont f(fontFamily());
    f.setPixelSize(std::max(1, qRound(pixelSize)));
    f.setWeight(weight);
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

QFont font(TextStyle style, QFont::Weight weight, TextSize size)
{
    return fontOfSize(fontSize(style, size), weight);
}

QFont font(TextStyle style, QFont::Weight weight)
{
    return font(style, weight, currentSize());
}

QFont cappedFont(TextStyle style, QFont::Weight weight, TextSize capAt)
{
    return font(style, weight, std::min(currentSize(), capAt));
}

TextSize textSizeFor(const QWidget* widget)
{
    const TextSize size = currentSize();
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        const QVariant cap = w->property(capProperty);
        if (cap.isValid())
            return std::min(size, static_cast<TextSize>(cap.toInt()));
        if (w->isWindow())
            break;
    }
    return size;
}

QFont font(const QWidget* widget, TextStyle style, QFont::Weight weight)
{
    return font(style, weight, textSizeFor(widget));
}

void setTextSizeCap(QWidget* root, std::optional<TextSize> cap)
{
    root->setProperty(capProperty, cap ? QVariant(static_cast<int>(*cap)) : QVariant());
    // Everything under the root takes its fonts again and asks for its new size.
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* widget : widgets)
        refreshStyledWidget(widget);
    for (QWidget* widget : widgets) {
        widget->updateGeometry();
        widget->update();
    }
}

double headingTracking(TextStyle style)
{
    switch (style) {
    case TextStyle::largeTitle:
        return -0.8;
    case TextStyle::title:
    case TextStyle::title2:
        return -0.45;
    case TextStyle::title3:
        return -0.3;
    default:
        return -0.1;
    }
}

QFont headingFont(TextStyle style, TextSize size)
{
    QFont f = font(style, QFont::DemiBold, size);
    f.setLetterSpacing(QFont::AbsoluteSpacing, headingTracking(style));
    return f;
}

QFont headingFont(TextStyle style)
{
    return headingFont(style, currentSize());
}

double displaySize(double size, TextSize textSize)
{
    return size * textScale(TextStyle::largeTitle, textSize);
}

QFont displayFont(double size, TextSize textSize)
{
    const double s = displaySize(size, textSize);
    QFont f = fontOfSize(s, QFont::DemiBold);
    f.setLetterSpacing(QFont::AbsoluteSpacing, s * -0.035);
    return f;
}

QFont displayFont(double size)
{
    return displayFont(size, currentSize());
}

namespace {

bool isJoiningMark(QChar c)
{
    return c == u'@' || c == u'.' || c == u'/' || c == u'_' || c == u'-' || c == u':';
}

// A word wider than the whole line has to break inside; it may then break after the marks that
// join the parts of an address or a file name ("support@example.dev", "holiday_2024.mp4"),
// which reads better than a break between two letters. Other words are left alone, so a name
// that fits a line is never split.
QString withBreaksInLongWords(const QFont& font, const QString& text, double width)
{
    if (width < 0)
        return text;
    const QFontMetricsF metrics(font);
    QString out;
    out.reserve(text.size() + 8);
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && !text.at(end).isSpace())
            ++end;
        const QStringView word = QStringView(text).mid(start, end - start);
        if (metrics.horizontalAdvance(word.toString()) > width) {
            for (qsizetype i = 0; i < word.size(); ++i) {
                out.append(word.at(i));
                if (isJoiningMark(word.at(i)) && i + 1 < word.size() && word.at(i + 1).isLetterOrNumber())
                    out.append(QChar(0x200B));   // a break opportunity that draws nothing
            }
        } else {
            out.append(word);
        }
        while (end < text.size() && text.at(end).isSpace())
            out.append(text.at(end++));
        start = end;
    }
    return out;
}

// Lays `text` out in lines of `width`; returns the block's size.
QSizeF layOut(QTextLayout& layout, double width, Qt::Alignment alignment)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setAlignment(alignment & Qt::AlignHorizontal_Mask);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    const double lineWidth = width < 0 ? 1e6 : std::max(1.0, width);
    double height = 0;
    double widest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(lineWidth);
        line.setPosition(QPointF(0, height));
        height += line.height();
        widest = std::max(widest, line.naturalTextWidth());
    }
    layout.endLayout();
    return QSizeF(std::ceil(widest), std::ceil(height));
}

} // namespace

QSizeF wrappedTextSize(const QFont& font, const QString& text, double width)
{
    if (text.isEmpty())
        return {};
    QTextLayout layout(withBreaksInLongWords(font, text, width), font);
    return layOut(layout, width, Qt::AlignLeft);
}

double leastTextWidth(const QFont& font, const QString& text)
{
    const QFontMetricsF metrics(font);
    double widest = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size() || text.at(i).isSpace();
        const bool afterJoiner = !end && isJoiningMark(text.at(i)) && i + 1 < text.size()
                                 && text.at(i + 1).isLetterOrNumber();
        if (!end && !afterJoiner)
            continue;
        const qsizetype stop = afterJoiner ? i + 1 : i;
        if (stop > start)
            widest = std::max(widest, metrics.horizontalAdvance(text.mid(start, stop - start)));
        start = stop + (afterJoiner ? 0 : 1);
        if (afterJoiner)
            continue;
    }
    return std::ceil(widest);
}

void drawWrappedText(QPainter& painter, const QRectF& box, const QFont& font, const QString& text,
                     Qt::Alignment alignment)
{
    if (text.isEmpty())
        return;
    QTextLayout layout(withBreaksInLongWords(font, text, box.width()), font);
    const QSizeF size = layOut(layout, box.width(), alignment);
    double top = box.top();
    if (alignment & Qt::AlignVCenter)
        top = box.top() + (box.height() - size.height()) / 2.0;
    else if (alignment & Qt::AlignBottom)
        top = box.bottom() - size.height();
    painter.save();
    painter.setFont(font);
    // Lines align within the box's width (the layout's own width), so draw from its left edge.
    layout.draw(&painter, QPointF(box.left(), top));
    painter.restore();
}

void refreshStyledWidget(QWidget* widget)
{
    const QVariant style = widget->property(styleProperty);
    const QVariant heading = widget->property(headingProperty);
    const QVariant display = widget->property(displayProperty);
    const TextSize size = style.isValid() || heading.isValid() || display.isValid() ? textSizeFor(widget)
                                                                                     : TextSize::large;
    if (style.isValid())
        widget->setFont(font(static_cast<TextStyle>(style.toInt()),
                             static_cast<QFont::Weight>(widget->property(weightProperty).toInt()), size));
    if (heading.isValid())
        widget->setFont(headingFont(static_cast<TextStyle>(heading.toInt()), size));
    if (display.isValid())
        widget->setFont(displayFont(display.toDouble(), size));
    const QVariant foreground = widget->property(foregroundProperty);
    const QVariant background = widget->property(backgroundProperty);
    if (foreground.isValid() || background.isValid()) {
        QPalette p = widget->palette();
        if (foreground.isValid()) {
            const QColor c = color(static_cast<ColorName>(foreground.toInt()));
            for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                p.setColor(role, c);
        }
        if (background.isValid()) {
            const QColor c = color(static_cast<ColorName>(background.toInt()));
            p.setColor(QPalette::Window, c);
            p.setColor(QPalette::Base, c);
        }
        widget->setPalette(p);
    }
}

void setTextStyle(QWidget* widget, TextStyle style, QFont::Weight weight)
{
    widget->setProperty(styleProperty, static_cast<int>(style));
    widget->setProperty(weightProperty, static_cast<int>(weight));
    refreshStyledWidget(widget);
}

void applyHeadingStyle(QWidget* widget, TextStyle style)
{
    widget->setProperty(headingProperty, static_cast<int>(style));
    refreshStyledWidget(widget);
}

void applyDisplayStyle(QWidget* widget, double size)
{
    widget->setProperty(displayProperty, size);
    refreshStyledWidget(widget);
}

void setForeground(QWidget* widget, ColorName name)
{
    widget->setProperty(foregroundProperty, static_cast<int>(name));
    refreshStyledWidget(widget);
}

void setBackground(QWidget* widget, ColorName name)
{
    widget->setProperty(backgroundProperty, static_cast<int>(name));
    widget->setAutoFillBackground(true);
    refreshStyledWidget(widget);
}

bool prefersEnglishTypesetting(const QStringList& preferredLanguages)
{
    if (preferredLanguages.isEmpty())
        return false;
    const QString first = preferredLanguages.first().left(2);
    return first == QLatin1String("ru") || first == QLatin1String("uk");
}

void localizedTypesetting(QWidget* root)
{
    // Qt shapes every script with the same line metrics whatever the language, so the choice
    // is recorded on the root for the views under it to read; nothing else changes.
    const bool english = prefersEnglishTypesetting(QLocale().uiLanguages());
    root->setProperty("typesettingLanguage", english ? QStringLiteral("en") : QVariant());
}

} // namespace hf::ui
