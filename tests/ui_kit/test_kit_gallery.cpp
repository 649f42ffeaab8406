// Renders every element of the interface kit, in light and dark, at the default and the
// largest text size (and once at increased contrast), for a person to look at.

#include "support/test_support.h"

#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/layouts.h"
#include "ui_kit/marks.h"
#include "ui_kit/palette.h"
#include "ui_kit/provider_sign_in_button.h"
#include "ui_kit/sections.h"
#include "ui_kit/segmented_choice.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QTest>
#include <QVBoxLayout>

using namespace hf::ui;

namespace {

QLabel* textLabel(const QString& text, TextStyle style, ColorName colour = ColorName::Ink)
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    setTextStyle(label, style);
    setForeground(label, colour);
    return label;
}

// A row of the named colours as small swatches with their names.
class Swatches : public QWidget {
public:
    Swatches() { setFixedHeight(6 * 26); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setFont(fontOfSize(10));
        const int columns = 3;
        const double cellW = width() / double(columns);
        int i = 0;
        for (ColorName name : allColorNames) {
            const QRectF cell((i % columns) * cellW, (i / columns) * 26.0, cellW, 26.0);
            const QRectF chip(cell.left(), cell.top() + 3, 20, 20);
            p.fillPath(roundedRectPath(chip, 5), color(name));
            strokeInside(p, chip, 5, 1, color(ColorName::Rule));
            p.setPen(color(ColorName::Ink));
            p.drawText(cell.adjusted(26, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, colorNameText(name));
            ++i;
        }
    }
};

class Chip : public QLabel {
public:
    explicit Chip(const QString& text) : QLabel(text)
    {
        setTextStyle(this, TextStyle::callout);
        setForeground(this, ColorName::Ink);
        setContentsMargins(10, 4, 10, 4);
    }

protected:
    void paintEvent(QPaintEvent* e) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(roundedRectPath(rect(), height() / 2.0), color(ColorName::ControlFill));
        p.end();
        QLabel::paintEvent(e);
    }
};

// A plain black symbol, as an icon theme would give: the buttons tint it.
QIcon symbolIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(16, 5), QPointF(16, 22));
    p.drawLine(QPointF(8, 15), QPointF(16, 23));
    p.drawLine(QPointF(24, 15), QPointF(16, 23));
    p.drawLine(QPointF(6, 28), QPointF(26, 28));
    return QIcon(pixmap);
}

QWidget* buildGallery()
{
    auto* root = new QWidget;
    root->setObjectName("kit.gallery");
    setBackground(root, ColorName::Paper);
    root->setFixedWidth(560);
    auto* column = new QVBoxLayout(root);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(12);

    auto* title = new QLabel("Interface kit");
    applyHeadingStyle(title, TextStyle::largeTitle);
    setForeground(title, ColorName::Ink);
    column->addWidget(title);
    auto* display = new QLabel("2:41");
    applyDisplayStyle(display, 32);
    setForeground(display, ColorName::Ink);
    column->addWidget(display);
    for (auto [style, name] : {std::pair{TextStyle::title, "Heading: title"}, {TextStyle::title3, "Heading: title 3"},
                               {TextStyle::headline, "Heading: headline"}}) {
        auto* heading = new QLabel(name);
        applyHeadingStyle(heading, style);
        setForeground(heading, ColorName::Ink);
        column->addWidget(heading);
    }
    column->addWidget(textLabel("Body text in Ink. Secondary text follows.", TextStyle::body));
    column->addWidget(textLabel("Secondary text in settings and help.", TextStyle::footnote, ColorName::SecondaryText));

    column->addWidget(new SectionLabel("Named colours"));
    column->addWidget(new Swatches);
    auto* stems = new QHBoxLayout;
    for (hf::Stem stem : hf::allStems) {
        auto* l = textLabel(stemDisplayName(stem), TextStyle::callout, stemColorName(stem));
        stems->addWidget(l);
    }
    column->addLayout(stems);
    column->addWidget(new Rule);

    column->addWidget(new SectionLabel("Buttons"));
    column->addWidget(new InkButton("Export video"));
    auto* inkDisabled = new InkButton("Export video (disabled)");
    inkDisabled->setEnabled(false);
    column->addWidget(inkDisabled);
    auto* inkPressed = new InkButton("Export video (pressed)");
    inkPressed->setDown(true);
    column->addWidget(inkPressed);
    column->addWidget(new QuietButton("Choose another video"));
    auto* quietRow = new AdaptiveStack(8);
    quietRow->addWidget(new QuietButton("Hugging"));
    auto* hug = new QuietButton("Hugging");
    hug->setFillsWidth(false);
    quietRow->addWidget(hug);
    auto* withIcon = new QuietButton("Save");
    withIcon->setIcon(symbolIcon());
    withIcon->setFillsWidth(false);
    quietRow->addWidget(withIcon);
    auto* quietPressed = new QuietButton("Pressed");
    quietPressed->setFillsWidth(false);
    quietPressed->setDown(true);
    quietRow->addWidget(quietPressed);
    auto* quietDisabled = new QuietButton("Disabled");
    quietDisabled->setFillsWidth(false);
    quietDisabled->setEnabled(false);
    quietRow->addWidget(quietDisabled);
    column->addWidget(quietRow);

    auto* roundRow = new QHBoxLayout;
    roundRow->setSpacing(10);
    auto* play = new RoundControl(false, 36);
    play->setText(QString::fromUtf8("\u25B6"));
    roundRow->addWidget(play);
    auto* pressed = new RoundControl(false, 36);
    pressed->setText(QString::fromUtf8("\u275A\u275A"));
    pressed->setDown(true);
    roundRow->addWidget(pressed);
    auto* iconRound = new RoundControl(false, 36);
    iconRound->setIcon(symbolIcon());
    roundRow->addWidget(iconRound);
    auto* picture = new QWidget;
    setBackground(picture, ColorName::Picture);
    picture->setFixedSize(120, 52);
    auto* floating = new RoundControl(true, 40, picture);
    floating->setText(QString::fromUtf8("\u21BA"));
    floating->move(40, 6);
    roundRow->addWidget(picture);
    roundRow->addStretch();
    column->addLayout(roundRow);

    column->addWidget(new SectionLabel("Segmented choice and marks"));
    auto* choice = new SegmentedChoice("Quality", {{1, "AAC"}, {2, "Lossless WAV"}, {3, "Same as the source video"}},
                                       "gallery.quality");
    choice->setSelection(2);
    column->addWidget(choice);

    auto* section = new FrameSection("Export options (mixed Case title)");
    const auto markRow = [](QWidget* mark, const QString& text) {
        auto* row = new QWidget;
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        h->addWidget(mark);
        auto* label = textLabel(text, TextStyle::body);
        h->addWidget(label, 1);
        return row;
    };
    section->addRow(markRow(new CheckMark(true), "Check on"));
    section->addRow(markRow(new CheckMark(false), "Check off"));
    auto* checkOffDisabled = new CheckMark(false);
    checkOffDisabled->setEnabled(false);
    section->addRow(markRow(checkOffDisabled, "Check off, disabled"));
    section->addRow(markRow(new RadioMark(true), "Radio on"));
    section->addRow(markRow(new RadioMark(false), "Radio off"));
    auto* radioOffDisabled = new RadioMark(false);
    radioOffDisabled->setEnabled(false);
    section->addRow(markRow(radioOffDisabled, "Radio off, disabled"));
    column->addWidget(section);
    auto* untitled = new FrameSection;
    untitled->addRow(textLabel("A section without a title", TextStyle::body));
    column->addWidget(untitled);

    column->addWidget(new SectionLabel("Flow layout and adaptive stack"));
    auto* flowHost = new QWidget;
    auto* flow = new FlowLayout(8, 6, flowHost);
    for (const char* word : {"Dialogue", "Music", "Effects and ambience", "Preview", "Full clean", "Song check",
                             "Export", "Batch", "Recent videos"})
        flow->addWidget(new Chip(word));
    column->addWidget(flowHost);
    auto* stack = new AdaptiveStack(8);
    stack->addWidget(new CheckMark(true));
    stack->addWidget(textLabel("Adaptive stack: a row, a column at accessibility sizes", TextStyle::body));
    column->addWidget(stack);

    column->addWidget(new SectionLabel("Provider sign-in"));
    column->addWidget(new ProviderSignInButton(SignInProvider::apple));
    column->addWidget(new ProviderSignInButton(SignInProvider::google));
    // Three abreast they are too narrow for the centred title and show the wrapping layout.
    auto* narrowRow = new AdaptiveStack(4);
    auto* narrowApple = new ProviderSignInButton(SignInProvider::apple);
    auto* narrowGoogle = new ProviderSignInButton(SignInProvider::google);
    narrowGoogle->setObjectName("gallery.focused");
    auto* disabledGoogle = new ProviderSignInButton(SignInProvider::google);
    disabledGoogle->setEnabled(false);
    for (auto* b : {narrowApple, narrowGoogle, disabledGoogle})
        narrowRow->addWidget(b, 1);
    column->addWidget(narrowRow);
    column->addStretch();
    return root;
}

} // namespace

class KitGallery : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { Environment::applyToApplication(*qApp); }

    void gallery_data()
    {
        QTest::addColumn<Appearance>("appearance");
        QTest::addColumn<TextSize>("size");
        QTest::addColumn<bool>("contrast");
        QTest::newRow("light-default") << Appearance::light << TextSize::large << false;
        QTest::newRow("dark-default") << Appearance::dark << TextSize::large << false;
        QTest::newRow("light-largest") << Appearance::light << TextSize::accessibility5 << false;
        QTest::newRow("dark-largest") << Appearance::dark << TextSize::accessibility5 << false;
        QTest::newRow("light-contrast") << Appearance::light << TextSize::large << true;
        QTest::newRow("dark-contrast") << Appearance::dark << TextSize::large << true;
    }

    void gallery()
    {
        QFETCH(Appearance, appearance);
        QFETCH(TextSize, size);
        QFETCH(bool, contrast);
        Environment& env = Environment::instance();
        env.setAppearance(appearance);
        env.setTextSize(size);
        env.setIncreasedContrast(contrast);

        std::unique_ptr<QWidget> gallery(buildGallery());
        gallery->show();
        QApplication::setActiveWindow(gallery.get());
        auto* focused = gallery->findChild<QWidget*>("gallery.focused");
        focused->setFocus(Qt::TabFocusReason);
        gallery->resize(560, std::max(gallery->sizeHint().height(), gallery->heightForWidth(560)));
        QVERIFY(QTest::qWaitForWindowExposed(gallery.get()));
        QCoreApplication::processEvents();
        const QImage image = gallery->grab().toImage();
        QVERIFY(!image.isNull());
        hf::test::saveScreenshot(image, "kit", QString::fromLatin1(QTest::currentDataTag()));
        env.clearOverrides();
    }

    // The small pieces (marks, logos, corners, rings) rendered three times larger.
    void details()
    {
        for (Appearance appearance : {Appearance::light, Appearance::dark}) {
            Environment& env = Environment::instance();
            env.setAppearance(appearance);
            QWidget panel;
            setBackground(&panel, ColorName::Paper);
            auto* v = new QVBoxLayout(&panel);
            v->setContentsMargins(10, 10, 10, 10);
            auto* marks = new QHBoxLayout;
            marks->addWidget(new CheckMark(true));
            marks->addWidget(new CheckMark(false));
            auto* disabledCheck = new CheckMark(false);
            disabledCheck->setEnabled(false);
            marks->addWidget(disabledCheck);
            marks->addWidget(new RadioMark(true));
            marks->addWidget(new RadioMark(false));
            auto* disabledRadio = new RadioMark(false);
            disabledRadio->setEnabled(false);
            marks->addWidget(disabledRadio);
            auto* round = new RoundControl(false, 36);
            round->setText(QString::fromUtf8("\u25B6"));
            marks->addWidget(round);
            marks->addStretch();
            v->addLayout(marks);
            auto* apple = new ProviderSignInButton(SignInProvider::apple);
            auto* google = new ProviderSignInButton(SignInProvider::google);
            v->addWidget(apple);
            v->addWidget(google);
            panel.resize(300, panel.heightForWidth(300));
            panel.show();
            QApplication::setActiveWindow(&panel);
            google->setFocus(Qt::TabFocusReason);
            QVERIFY(QTest::qWaitForWindowExposed(&panel));
            QImage image(panel.size() * 3, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(3);
            image.fill(Qt::transparent);
            panel.render(&image);
            hf::test::saveScreenshot(image, "kit",
                                     appearance == Appearance::light ? "details-light" : "details-dark");
            env.clearOverrides();
        }
    }
};

QTEST_MAIN(KitGallery)
#include "test_kit_gallery.moc"
