// The flow layout's wrapping, the adaptive stack's direction, sections and rules, and the text
// looks that follow the text size.

#include "helpers_kit.h"
#include "support/test_support.h"

#include "ui_kit/environment.h"
#include "ui_kit/layouts.h"
#include "ui_kit/palette.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QTest>

using namespace hf::ui;
using hf::test::KitHost;

namespace {

QWidget* box(int width, int height)
{
    auto* w = new QWidget;
    w->setFixedSize(width, height);
    return w;
}

// A widget of a given size hint and policy.
class Hinted : public QWidget {
public:
    Hinted(QSize hint, QSizePolicy::Policy horizontal, QSizePolicy::Policy vertical) : m_hint(hint)
    {
        setSizePolicy(horizontal, vertical);
    }
    QSize sizeHint() const override { return m_hint; }

private:
    QSize m_hint;
};

// A container with a flow of fixed boxes.
struct Flow {
    explicit Flow(std::initializer_list<QSize> sizes, double spacing = 10, double lineSpacing = 5)
    {
        host = new QWidget;
        layout = new FlowLayout(spacing, lineSpacing, host);
        for (QSize s : sizes) {
            QWidget* b = box(s.width(), s.height());
            layout->addWidget(b);
            boxes.append(b);
        }
    }
    ~Flow() { delete host; }
    void placeIn(int width)
    {
        layout->setGeometry(QRect(0, 0, width, layout->heightForWidth(width)));
    }
    QWidget* host;
    FlowLayout* layout;
    QList<QWidget*> boxes;
};

} // namespace

class KitLayouts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { Environment::applyToApplication(*qApp); }
    void cleanup() { Environment::instance().clearOverrides(); }

    void flowWrapsLines()
    {
        Flow flow({{50, 20}, {50, 30}, {50, 10}});
        // Two boxes and their gap fill 110 exactly and stay on one line.
        QCOMPARE(flow.layout->sizeForWidth(110), QSize(110, 30 + 5 + 10));
        flow.placeIn(110);
        QCOMPARE(flow.boxes[0]->geometry(), QRect(0, 0, 50, 20));
        QCOMPARE(flow.boxes[1]->geometry(), QRect(60, 0, 50, 30)); // lines align at their top
        QCOMPARE(flow.boxes[2]->geometry(), QRect(0, 35, 50, 10)); // the line is as tall as its tallest box
        // One pixel less and the second box wraps too.
        QCOMPARE(flow.layout->sizeForWidth(109).height(), 20 + 5 + 30 + 5 + 10);
        // Without a width nothing wraps: the sum of widths and gaps, with no gap after the last.
        QCOMPARE(flow.layout->sizeForWidth(-1), QSize(170, 30));
        QCOMPARE(flow.layout->sizeHint(), QSize(170, 30));
        QCOMPARE(FlowLayout().sizeForWidth(80), QSize(80, 0));
    }

    void flowOverwideItemSitsAloneWithoutAnEmptyLine()
    {
        Flow flow({{200, 20}, {30, 20}});
        QCOMPARE(flow.layout->sizeForWidth(100).height(), 20 + 5 + 20);
        flow.placeIn(100);
        QCOMPARE(flow.boxes[0]->pos(), QPoint(0, 0));
        QCOMPARE(flow.boxes[1]->pos(), QPoint(0, 25));
    }

    // A parent layout gives the flow the height its width needs, and wrapped text narrows.
    void flowInAWindow()
    {
        KitHost host(220);
        auto* area = new QWidget;
        auto* flow = new FlowLayout(8, 6, area);
        auto* label = new QLabel(QStringLiteral("A label long enough to wrap onto more than one line"));
        label->setWordWrap(true);
        flow->addWidget(box(60, 24));
        flow->addWidget(label);
        host.add(area);
        host.settle();
        QCOMPARE(area->height(), flow->heightForWidth(area->width()));
        QVERIFY(label->width() <= area->width());
        QCOMPARE(label->y(), 24 + 6);
        QVERIFY(label->height() > QFontMetrics(label->font()).height());
    }

    void adaptiveStackTurnsIntoAColumn()
    {
        Environment& env = Environment::instance();
        KitHost host;
        auto* stack = host.add(new AdaptiveStack(8));
        QWidget* small = box(20, 20);
        auto* label = new QLabel(QStringLiteral("Beside the mark"));
        stack->addWidget(small);
        stack->addWidget(label);
        host.settle();
        QVERIFY(!stack->isColumn());
        QCOMPARE(label->x(), 20 + 8);
        QVERIFY(std::abs(small->geometry().center().y() - label->geometry().center().y()) <= 1);

        env.setTextSize(TextSize::accessibility1);
        host.settle();
        QVERIFY(stack->isColumn());
        QCOMPARE(small->parentWidget(), stack); // the same children, rearranged
        QCOMPARE(label->x(), 0);
        QCOMPARE(small->x(), 0);
        QCOMPARE(label->y(), 20 + 8);

        env.setTextSize(TextSize::xxxLarge);
        host.settle();
        QVERIFY(!stack->isColumn());
    }

    // What an item spreads over is read on the cross axis: in a column a wide item (a full-width
    // button) fills the width while a tall one keeps its own width at the left; in a row a tall
    // item fills the height while a wide one keeps its own height, centred.
    void adaptiveStackSpreadsAlongTheCrossAxis()
    {
        Environment& env = Environment::instance();
        QWidget host;
        host.resize(300, 200);
        auto* stack = new AdaptiveStack(8, &host);
        auto* wide = new Hinted(QSize(100, 30), QSizePolicy::Expanding, QSizePolicy::Fixed);
        auto* tall = new Hinted(QSize(60, 20), QSizePolicy::Fixed, QSizePolicy::Expanding);
        stack->addWidget(wide);
        stack->addWidget(tall);

        env.setTextSize(TextSize::accessibility2);
        stack->setGeometry(0, 0, 300, 200);
        stack->boxLayout()->activate();
        QVERIFY(stack->isColumn());
        QCOMPARE(wide->width(), 300);
        QCOMPARE(tall->x(), 0);
        QVERIFY(tall->width() < 300);

        env.setTextSize(TextSize::large);
        stack->setGeometry(0, 0, 300, 200);
        stack->boxLayout()->activate();
        QVERIFY(!stack->isColumn());
        QCOMPARE(tall->height(), 200);
        QVERIFY(wide->height() < 200);
        QVERIFY(std::abs(wide->geometry().center().y() - 100) <= 1);
    }

    void sectionsAndRules()
    {
        Environment& env = Environment::instance();
        KitHost host;
        auto* titled = host.add(new FrameSection(QStringLiteral("Export Options")));
        auto* row = new QLabel(QStringLiteral("A row"));
        titled->addRow(row);
        titled->addRow(new QLabel(QStringLiteral("Another row")));
        auto* untitled = host.add(new FrameSection);
        untitled->addRow(new QLabel(QStringLiteral("Only row")));
        auto* rule = host.add(new Rule);
        host.settle();

        QVERIFY(!untitled->header());
        QCOMPARE(untitled->panel()->y(), 0);
        QCOMPARE(titled->header()->text(), QStringLiteral("Export Options")); // never capitalised
        QCOMPARE(titled->header()->font().pixelSize(), qRound(fontSize(TextStyle::callout, TextSize::large)));
        QCOMPARE(titled->header()->palette().color(QPalette::WindowText), color(ColorName::Muted));
        HF_COMPARE_COLOR(host.pixel(titled->panel(), QPointF(titled->panel()->width() - 4, 4)), color(ColorName::Surface));
        // Rows are parted by a rule.
        const QWidget* second = titled->row(1)->parentWidget();
        HF_COMPARE_COLOR(host.pixel(titled->panel(), QPointF(titled->panel()->width() / 2.0, second->y())),
                         color(ColorName::Rule));

        QCOMPARE(rule->width(), host.width() - 20);
        HF_COMPARE_COLOR(host.pixel(rule, QPointF(5, 0)), color(ColorName::Rule));
        QAccessibleInterface* heading = QAccessible::queryAccessibleInterface(titled->header());
        QCOMPARE(heading->role(), QAccessible::Heading);
        QCOMPARE(heading->text(QAccessible::Name), QStringLiteral("Export Options"));
        QVERIFY(QAccessible::queryAccessibleInterface(rule)->state().invisible);

        env.setTextSize(TextSize::accessibility5);
        env.setAppearance(Appearance::dark);
        host.settle();
        QCOMPARE(rule->height(), 1);
        QVERIFY(titled->header()->font().pixelSize() > 30);
        // Plain labels take the application font and the rows grow with it.
        QCOMPARE(row->font().pixelSize(), qRound(fontSize(TextStyle::body, TextSize::accessibility5)));
        QCOMPARE(row->height(), row->sizeHint().height());
        HF_COMPARE_COLOR(host.pixel(titled->panel(), QPointF(titled->panel()->width() - 4, 4)),
                         color(ColorName::Surface, Appearance::dark));
        hf::test::saveScreenshot(host.picture(), "kit", "sections-dark-largest");
    }

    void displayAndHeadingLooksFollowTheTextSize()
    {
        QFont display = displayFont(32, TextSize::large);
        QCOMPARE(display.pixelSize(), 32);
        // Letter spacing is kept in 1/64 px.
        QVERIFY(std::abs(display.letterSpacing() - (-1.12)) <= 1 / 64.0);
        QCOMPARE(display.weight(), QFont::DemiBold);
        const double factor = textScale(TextStyle::largeTitle, TextSize::accessibility3);
        display = displayFont(32, TextSize::accessibility3);
        QCOMPARE(display.pixelSize(), qRound(32 * factor));
        QVERIFY(std::abs(display.letterSpacing() - (-0.035 * display.pixelSize())) <= 0.03);

        QVERIFY(headingFont(TextStyle::body, TextSize::accessibility5).pixelSize() >
                headingFont(TextStyle::body, TextSize::large).pixelSize());
        // Round controls stop growing at xxxLarge.
        Environment::instance().setTextSize(TextSize::accessibility4);
        QCOMPARE(cappedFont(TextStyle::body, QFont::DemiBold, TextSize::xxxLarge).pixelSize(),
                 font(TextStyle::body, QFont::DemiBold, TextSize::xxxLarge).pixelSize());
    }

    void englishTypesettingForRussianAndUkrainian()
    {
        QVERIFY(prefersEnglishTypesetting({QStringLiteral("ru")}));
        QVERIFY(prefersEnglishTypesetting({QStringLiteral("uk-UA"), QStringLiteral("en")}));
        QVERIFY(prefersEnglishTypesetting({QStringLiteral("ru_RU")}));
        QVERIFY(!prefersEnglishTypesetting({QStringLiteral("RU")}));
        QVERIFY(!prefersEnglishTypesetting({QStringLiteral("r")}));
        QVERIFY(!prefersEnglishTypesetting({QStringLiteral("en"), QStringLiteral("ru")}));
        QVERIFY(!prefersEnglishTypesetting({}));
    }

    void stemColoursStayApart()
    {
        // The stem colours stay apart from each other and from an unseparated lane.
        for (Appearance appearance : {Appearance::light, Appearance::dark}) {
            QList<QColor> lanes = {color(ColorName::Unseparated, appearance)};
            for (hf::Stem stem : hf::allStems)
                lanes.append(color(stemColorName(stem), appearance));
            for (int i = 0; i < lanes.size(); ++i)
                for (int j = i + 1; j < lanes.size(); ++j)
                    QVERIFY(!hf::test::near(lanes[i], lanes[j], 40));
            QVERIFY(!hf::test::near(color(ColorName::Ink, appearance), color(ColorName::InkOnInk, appearance), 150));
        }
    }
};

QTEST_MAIN(KitLayouts)
#include "test_kit_layouts.moc"
