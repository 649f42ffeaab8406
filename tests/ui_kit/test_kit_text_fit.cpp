// Texts that must read whole at the largest text size: the geometry reading of a window catches
// cut, shortened, squeezed, overlapping and broken texts and passes a sound layout; words break
// only after their joining marks; a kit button is never narrower than its widest word; a part of
// a window can stop its texts growing; a scroll column scrolls only up and down; a wrapping label
// never forces its holder wider than its widest part.

#include "support/layout_audit.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/scroll_column.h"
#include "ui_kit/text_styles.h"
#include "ui_kit/wrapped_label.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

using namespace hf;
using namespace hf::ui;

namespace {

QStringList kinds(const QList<test::LayoutFault>& faults)
{
    QStringList out;
    for (const auto& fault : faults)
        if (!out.contains(fault.kind))
            out << fault.kind;
    out.sort();
    return out;
}

// A window of a fixed size with one row of widgets, laid out and shown.
struct Window {
    QWidget root;
    QHBoxLayout* row;
    explicit Window(QSize size)
    {
        row = new QHBoxLayout(&root);
        root.setFixedSize(size);
    }
    void show()
    {
        root.show();
        QVERIFY(QTest::qWaitForWindowExposed(&root));
        QCoreApplication::processEvents();
    }
};

// Paints a text wider than itself: a custom widget that does not fit its text.
class Overflowing : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.drawText(QPointF(0, 20), QStringLiteral("a text much wider than this little widget"));
    }
};

// Draws a name shortened in the middle to its width.
class Elided : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(QStringLiteral("Holiday at the lake.mp4"), Qt::ElideMiddle, width()));
    }
};

// Draws its text wrapped with the kit's rule.
class Wrapped : public QWidget {
public:
    Wrapped(QFont font, QString text) : m_font(std::move(font)), m_text(std::move(text)) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        drawWrappedText(p, QRectF(rect()), m_font, m_text, Qt::AlignLeft | Qt::AlignTop);
    }

private:
    QFont m_font;
    QString m_text;
};

} // namespace

class TestKitTextFit : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Environment::instance().setTextSize(TextSize::large); }
    void cleanup() { Environment::instance().setTextSize(TextSize::large); }

    // The reading finds each kind of fault, and nothing in a layout that fits.
    void auditFindsWhatAPersonWouldSee()
    {
        {
            Window sound(QSize(400, 120));
            auto* label = new QLabel(QStringLiteral("Drop a video anywhere here."));
            label->setWordWrap(true);
            sound.row->addWidget(label);
            sound.row->addWidget(new QuietButton(QStringLiteral("Open")));
            sound.show();
            const auto faults = test::auditLayout(&sound.root);
            QVERIFY2(faults.isEmpty(), qPrintable(test::describe(faults)));
        }
        {
            // A label given less height than its lines: cut and squeezed.
            Window cramped(QSize(120, 30));
            auto* label = new QLabel(QStringLiteral("Only the soundtrack is uploaded and nothing else"));
            label->setWordWrap(true);
            label->setFixedHeight(20);
            cramped.row->addWidget(label);
            cramped.show();
            const QStringList found = kinds(test::auditLayout(&cramped.root));
            QVERIFY2(found.contains("text cut"), qPrintable(found.join(", ")));
        }
        {
            // A widget painting past its edge.
            Window wide(QSize(300, 60));
            auto* widget = new Overflowing;
            widget->setFixedSize(60, 30);
            wide.row->addWidget(widget);
            wide.show();
            QVERIFY(kinds(test::auditLayout(&wide.root)).contains("text cut"));
        }
        {
            // Two widgets placed on top of each other, one of them shortened.
            Window stacked(QSize(300, 60));
            auto* a = new QLabel(QStringLiteral("first"));
            auto* b = new Elided;
            b->setFixedSize(60, 30);
            stacked.row->addWidget(a);
            stacked.row->addWidget(b);
            stacked.show();
            b->setGeometry(a->geometry().translated(5, 0));
            const QStringList found = kinds(test::auditLayout(&stacked.root));
            QVERIFY2(found.contains("overlap"), qPrintable(found.join(", ")));
            QVERIFY2(found.contains("shortened"), qPrintable(found.join(", ")));
        }
        {
            // A button whose label had to break inside a word.
            Window narrow(QSize(300, 200));
            auto* button = new QuietButton(QStringLiteral("Check for Updates..."));
            narrow.row->addWidget(button);
            narrow.row->addStretch(1);
            narrow.show();
            button->setGeometry(0, 0, 60, 180);
            const QStringList found = kinds(test::auditLayout(&narrow.root));
            QVERIFY2(found.contains("broken word"), qPrintable(found.join(", ")));
        }
    }

    // A word wider than the line breaks after its joining marks, not between two letters; its
    // least width is its widest part; a word that fits is never split.
    void longWordsBreakAfterTheirMarks()
    {
        const QFont f = font(TextStyle::body, QFont::Normal, TextSize::accessibility5);
        const QFontMetricsF metrics(f);
        const QString text = QStringLiteral("Email support@lanternworkshop.dev");
        const double least = leastTextWidth(f, text);
        QCOMPARE(least, std::ceil(metrics.horizontalAdvance(QStringLiteral("lanternworkshop."))));
        QCOMPARE(leastTextWidth(f, QStringLiteral("Holiday at the lake")),
                 std::ceil(metrics.horizontalAdvance(QStringLiteral("Holiday"))));

        // Laid out at its least width, each line is whole parts of the address.
        const QSizeF size = wrappedTextSize(f, text, least);
        QVERIFY(size.width() <= least);
        Wrapped block(f, text);
        block.resize(int(least), int(size.height()));
        QStringList lines;
        for (const test::DrawnText& line : test::recordPainting(&block).texts)
            lines << line.text;
        QCOMPARE(lines, QStringList({"Email support@", "lanternworkshop.", "dev"}));

        // A name that fits a line keeps its dot: "Holiday.mp4" stays whole.
        const QString name = QStringLiteral("Holiday.mp4 is here");
        Wrapped named(f, name);
        named.resize(int(metrics.horizontalAdvance(QStringLiteral("Holiday.mp4"))) + 2, 400);
        QCOMPARE(test::recordPainting(&named).texts.value(0).text, QStringLiteral("Holiday.mp4"));
    }

    // A kit button that hugs its label wraps at word boundaries and stops at its widest word.
    void buttonsNeverBreakAWord()
    {
        Environment::instance().setTextSize(TextSize::accessibility5);
        auto* button = new QuietButton(QStringLiteral("Check for Updates..."));
        button->setFillsWidth(false);
        const QFont f = font(TextStyle::body, QFont::DemiBold, TextSize::accessibility5);
        QVERIFY(button->minimumSizeHint().width()
                >= QFontMetricsF(f).horizontalAdvance(QStringLiteral("Updates...")) + 28);
        Window narrow(QSize(320, 300));
        narrow.row->addWidget(button);
        narrow.show();
        const auto faults = test::auditLayout(&narrow.root);
        QVERIFY2(faults.isEmpty(), qPrintable(test::describe(faults)));
        QVERIFY(button->height() > QFontMetrics(f).height() * 2);   // on two lines
    }

    // Under a capped part of a window, styled widgets and kit buttons stop growing at the cap;
    // outside it they follow the desktop; taking the cap off lets them grow again.
    void aCapStopsTheTextSize()
    {
        Environment::instance().setTextSize(TextSize::accessibility5);
        QWidget window;
        auto* column = new QVBoxLayout(&window);
        auto* bar = new QWidget;
        auto* barRow = new QHBoxLayout(bar);
        auto* title = new QLabel(QStringLiteral("Hushframe"));
        setTextStyle(title, TextStyle::headline, QFont::DemiBold);
        auto* open = new QuietButton(QStringLiteral("Open Video..."));
        barRow->addWidget(title);
        barRow->addWidget(open);
        auto* outside = new QLabel(QStringLiteral("Body"));
        setTextStyle(outside, TextStyle::body);
        column->addWidget(bar);
        column->addWidget(outside);
        const int uncappedButton = open->sizeHint().width();

        setTextSizeCap(bar, TextSize::xxxLarge);
        QCOMPARE(textSizeFor(open), TextSize::xxxLarge);
        QCOMPARE(textSizeFor(outside), TextSize::accessibility5);
        QCOMPARE(title->font().pixelSize(), qRound(fontSize(TextStyle::headline, TextSize::xxxLarge)));
        QCOMPARE(outside->font().pixelSize(), qRound(fontSize(TextStyle::body, TextSize::accessibility5)));
        QVERIFY(open->sizeHint().width() < uncappedButton);
        // Below the cap the desktop's size holds.
        Environment::instance().setTextSize(TextSize::small);
        QCOMPARE(title->font().pixelSize(), qRound(fontSize(TextStyle::headline, TextSize::small)));
        Environment::instance().setTextSize(TextSize::accessibility5);
        setTextSizeCap(bar, std::nullopt);
        QCOMPARE(title->font().pixelSize(), qRound(fontSize(TextStyle::headline, TextSize::accessibility5)));
        QCOMPARE(open->sizeHint().width(), uncappedButton);
    }

    // A scroll column scrolls up and down to its whole content, never sideways; a wrapping
    // label in it takes the column's width, breaking an address after its marks.
    void scrollColumnsAndWrappedLabels()
    {
        Environment::instance().setTextSize(TextSize::accessibility5);
        auto* content = new QWidget;
        auto* column = new QVBoxLayout(content);
        auto* label = new WrappedLabel(QStringLiteral("The help content did not load. Please email "
                                                      "support@lanternworkshop.dev for help."));
        setTextStyle(label, TextStyle::body);
        column->addWidget(label);
        const int least = int(leastTextWidth(label->font(), label->text()));
        QCOMPARE(label->minimumSizeHint().width(), least);
        QVERIFY(label->heightForWidth(least) > label->heightForWidth(3 * least));

        Window window(QSize(420, 300));
        auto* scroll = new ScrollColumn(content);
        window.row->addWidget(scroll);
        window.show();
        QVERIFY(scroll->contentHeight(scroll->viewport()->width()) > 300);
        QVERIFY(scroll->verticalScrollBar()->maximum() > 0);
        QCOMPARE(scroll->horizontalScrollBar()->maximum(), 0);
        QVERIFY(content->width() <= scroll->viewport()->width());
        const auto faults = test::auditLayout(&window.root);
        QVERIFY2(faults.isEmpty(), qPrintable(test::describe(faults)));
    }
};

QTEST_MAIN(TestKitTextFit)
#include "test_kit_text_fit.moc"
