// The status item's image: layout arithmetic, pixels, the golden image and redrawing.
#include "apptestsupport.h"

#include "statusitemcontroller.h"

#include <QMenu>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <cmath>

namespace {

QRectF boxOf(const QString& text, const QFont& font)
{
    const AttributedString string{text, font};
    return CreatePathWithAttributedString(&string)->boundingRect();
}

std::optional<QRectF> badgeBoxOf(std::optional<quint64> number)
{
    if (!number)
        return std::nullopt;
    return boxOf(QString::number(*number), StatusItemController::badgeFont());
}

QImage draw(std::optional<quint64> number, qreal ratio = 1.0, QColor color = Qt::black)
{
    return StatusItemController::drawImageWithBadge(number, StatusItemController::titleFont(),
                                                    StatusItemController::badgeFont(), color,
                                                    ratio);
}

int alphaAt(const QImage& image, int x, int y)
{
    return qAlpha(image.pixel(x, y));
}

// Device pixels whose whole area, with half a pixel around it, lies inside (or outside) the
// path, at the given ratio: clear of the anti-aliased edges.
bool pixelInside(const QPainterPath& path, int x, int y, qreal ratio)
{
    for (qreal dy : {-0.5, 0.0, 0.5, 1.0, 1.5})
        for (qreal dx : {-0.5, 0.0, 0.5, 1.0, 1.5})
            if (!path.contains(QPointF((x + dx) / ratio, (y + dy) / ratio)))
                return false;
    return true;
}

bool pixelOutside(const QPainterPath& path, int x, int y, qreal ratio)
{
    const QRectF area((x - 0.5) / ratio, (y - 0.5) / ratio, 2 / ratio, 2 / ratio);
    return !path.intersects(area) && !path.contains(area.center());
}

} // namespace

class StatusItemTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_fontPinned = pinApplicationFont();
    }

    void nullStringHasNoPath()
    {
        QVERIFY(!CreatePathWithAttributedString(nullptr));
        const AttributedString empty{QString(), StatusItemController::titleFont()};
        const auto path = CreatePathWithAttributedString(&empty);
        QVERIFY(path);
        QVERIFY(path->isEmpty());
    }

    // The glyph runs land where Qt's own text path puts them: origin on the baseline.
    void pathMatchesTextLayout_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("descends");
        QTest::newRow("title") << StatusItemController::title << false << false;
        QTest::newRow("badge") << QStringLiteral("1000") << true << false;
        QTest::newRow("descender") << QStringLiteral("gjpqy") << false << true;
    }
    void pathMatchesTextLayout()
    {
        QFETCH(QString, text);
        QFETCH(bool, bold);
        QFETCH(bool, descends);
        const QFont font = bold ? StatusItemController::badgeFont() : StatusItemController::titleFont();
        QPainterPath reference;
        reference.addText(QPointF(0, 0), font, text);
        const QRectF expected = reference.boundingRect();
        const QRectF actual = boxOf(text, font);
        QVERIFY2(std::abs(actual.left() - expected.left()) < 0.5
                     && std::abs(actual.right() - expected.right()) < 0.5
                     && std::abs(actual.top() - expected.top()) < 0.5
                     && std::abs(actual.bottom() - expected.bottom()) < 0.5,
                 qPrintable(QStringLiteral("path box %1,%2 %3x%4, text box %5,%6 %7x%8")
                                .arg(actual.x()).arg(actual.y()).arg(actual.width()).arg(actual.height())
                                .arg(expected.x()).arg(expected.y()).arg(expected.width()).arg(expected.height())));
        // Outlines grow upwards from the baseline; only descenders go below it.
        QCOMPARE(actual.bottom() > 1.0, descends);
        QVERIFY(actual.top() < -4);
    }

    void layoutFollowsTheArithmetic_data()
    {
        QTest::addColumn<int>("badge");  // 0: no badge
        QTest::newRow("0") << 0;
        QTest::newRow("7") << 7;
        QTest::newRow("1000") << 1000;
    }
    void layoutFollowsTheArithmetic()
    {
        QFETCH(int, badge);
        const std::optional<quint64> number =
            badge ? std::optional<quint64>(quint64(badge)) : std::nullopt;
        const QRectF title = boxOf(StatusItemController::title, StatusItemController::titleFont());
        const std::optional<QRectF> badgeBox = badgeBoxOf(number);
        const StatusImageLayout layout = StatusImageLayout::make(title, badgeBox);

        double width = title.width() + 7.2 + 7.2;
        if (badgeBox)
            width = width + badgeBox->width() + 10.799999999999999;
        QCOMPARE(layout.width, int(std::ceil(width)));
        QCOMPARE(layout.frame, QRectF(0.5, 0.5, layout.width - 1, 17));
        QCOMPARE(layout.titleOrigin.x(), 7.2);
        // The baseline sits (18 - box height) / 2 above the image's bottom edge.
        QVERIFY(qFuzzyCompare(18.0 - layout.titleOrigin.y(), (18.0 - title.height()) * 0.5));
        if (badgeBox) {
            const int areaWidth = int(std::ceil(badgeBox->width() + 7.2 + 5.3999999999999995));
            QCOMPARE(layout.badgeArea, QRectF(layout.width - areaWidth, 0, areaWidth, 18));
            QCOMPARE(layout.badgeOrigin.x(), title.width() + 7.2 + 10.799999999999999);
        } else {
            QVERIFY(layout.badgeArea.isEmpty());
        }

        for (const qreal ratio : {1.0, 2.0, 1.5}) {
            const QImage image = draw(number, ratio);
            QCOMPARE(image.size(), QSize(int(std::ceil(layout.width * ratio)), int(std::ceil(18 * ratio))));
            QCOMPARE(image.devicePixelRatio(), ratio);
            QCOMPARE(image.deviceIndependentSize(), QSizeF(image.size()) / ratio);
        }
    }

    // A longer number widens the image by its extra glyph width; the title stays put.
    void widerBadgeKeepsTheTitle()
    {
        const QImage seven = draw(7);
        const QImage thousand = draw(1000);
        const qreal extra = badgeBoxOf(1000)->width() - badgeBoxOf(7)->width();
        QVERIFY(extra > 10);
        QVERIFY(std::abs((thousand.width() - seven.width()) - extra) <= 1.0);
        const QRectF title = boxOf(StatusItemController::title, StatusItemController::titleFont());
        const int titleEnd = int(7.2 + title.width());
        QCOMPARE(seven.copy(0, 0, titleEnd, 18), thousand.copy(0, 0, titleEnd, 18));
        // Without badge: the title's width plus 14.4, rounded up.
        QCOMPARE(draw(std::nullopt).width(), int(std::ceil(title.width() + 14.4)));
    }

    void imageIsAlways18High()
    {
        QFont huge = StatusItemController::titleFont();
        huge.setPixelSize(40);
        const QImage image = StatusItemController::drawImageWithBadge(42, huge, huge, Qt::black, 1.0);
        QCOMPARE(image.height(), 18);
        // The glyphs are taller than the image, so the offset is negative and they are cut: ink
        // reaches both the top and the bottom row.
        int topInk = 0, bottomInk = 0;
        for (int x = 10; x < image.width() - 10; ++x) {
            topInk += alphaAt(image, x, 0) > 0;
            bottomInk += alphaAt(image, x, 17) > 0;
        }
        QVERIFY(topInk > 0);
        QVERIFY(bottomInk > 0);
    }

    // Inside the badge area the capsule is solid and the digits are holes; the title is solid
    // glyphs inside an empty capsule.
    void digitsAreCutOutOfTheBadge()
    {
        const qreal ratio = 4.0;
        const std::optional<quint64> number = 808;
        const QImage image = draw(number, ratio, Qt::black);
        const QRectF titleBox = boxOf(StatusItemController::title, StatusItemController::titleFont());
        const std::optional<QRectF> badgeBox = badgeBoxOf(number);
        const StatusImageLayout layout = StatusImageLayout::make(titleBox, badgeBox);

        const AttributedString badgeString{QString::number(*number), StatusItemController::badgeFont()};
        const QPainterPath digits =
            CreatePathWithAttributedString(&badgeString)->translated(layout.badgeOrigin);
        const AttributedString titleString{StatusItemController::title, StatusItemController::titleFont()};
        const QPainterPath title =
            CreatePathWithAttributedString(&titleString)->translated(layout.titleOrigin);
        QPainterPath inner;
        const QRectF innerFrame = layout.frame.adjusted(1.0, 1.0, -1.0, -1.0);
        inner.addRoundedRect(innerFrame, innerFrame.height() / 2, innerFrame.height() / 2);

        int digitHoles = 0, badgeSolid = 0, titleSolid = 0, titleGaps = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QPointF logical((x + 0.5) / ratio, (y + 0.5) / ratio);
                // Clear of the clip edge, where pixels are partly covered.
                const bool inBadge = logical.x() >= layout.badgeArea.left() + 0.5;
                if (inBadge && pixelInside(digits, x, y, ratio)) {
                    QVERIFY2(alphaAt(image, x, y) <= 5, qPrintable(QStringLiteral("digit pixel %1,%2").arg(x).arg(y)));
                    ++digitHoles;
                } else if (inBadge && pixelInside(inner, x, y, ratio) && pixelOutside(digits, x, y, ratio)) {
                    QVERIFY2(alphaAt(image, x, y) >= 250, qPrintable(QStringLiteral("badge pixel %1,%2").arg(x).arg(y)));
                    ++badgeSolid;
                } else if (!inBadge && logical.x() < layout.badgeArea.left() - 1
                           && pixelInside(title, x, y, ratio)) {
                    // Qt's anti-aliasing may leave a covered pixel a trace short of opaque.
                    QVERIFY2(alphaAt(image, x, y) >= 250, qPrintable(QStringLiteral("title pixel %1,%2 %3").arg(x).arg(y).arg(alphaAt(image, x, y))));
                    ++titleSolid;
                } else if (!inBadge && logical.x() < layout.badgeArea.left() - 1
                           && pixelInside(inner, x, y, ratio) && pixelOutside(title, x, y, ratio)) {
                    QVERIFY2(alphaAt(image, x, y) <= 5, qPrintable(QStringLiteral("gap pixel %1,%2").arg(x).arg(y)));
                    ++titleGaps;
                }
            }
        }
        QVERIFY(digitHoles > 50);
        QVERIFY(badgeSolid > 50);
        QVERIFY(titleSolid > 50);
        QVERIFY(titleGaps > 50);
    }

    void matchesTheGoldenImage()
    {
        if (!m_fontPinned)
            QSKIP("the pinned font is not installed");
        const QImage image = draw(7, 1.0, Qt::black).convertToFormat(QImage::Format_ARGB32);
        const QString path = QStringLiteral(NEWSBAR_GOLDEN_DIR "/status-badge-7.png");
        if (qEnvironmentVariableIsSet("NEWSBAR_UPDATE_GOLDEN")) {
            QVERIFY(image.save(path));
            QSKIP("golden image written");
        }
        const QImage golden = QImage(path).convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!golden.isNull(), qPrintable(path));
        QCOMPARE(image.size(), golden.size());
        // Font rasterisers differ in their anti-aliasing by a little; shapes must not differ.
        int differing = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const int difference = std::abs(qAlpha(image.pixel(x, y)) - qAlpha(golden.pixel(x, y)));
                QVERIFY2(difference <= 96, qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
                differing += difference > 16;
            }
        }
        QVERIFY(differing <= image.width() * image.height() / 50);
    }

    void setBadgeRedrawsOnlyOnChange()
    {
        QMenu menu;
        StatusItemController controller(&menu);
        QCOMPARE(controller.badge(), quint64(0));
        QVERIFY(controller.image().isMask());
        const qint64 plain = controller.image().cacheKey();
        const QSize plainSize = controller.image().availableSizes().value(0);

        controller.setBadge(0);
        QCOMPARE(controller.image().cacheKey(), plain);
        controller.setBadge(3);
        const qint64 three = controller.image().cacheKey();
        QVERIFY(three != plain);
        QVERIFY(controller.image().availableSizes().value(0).width() > plainSize.width());
        controller.setBadge(3);
        QCOMPARE(controller.image().cacheKey(), three);
        controller.setBadge(0);
        QVERIFY(controller.image().cacheKey() != three);
        QCOMPARE(controller.image().availableSizes().value(0), plainSize);
        QCOMPARE(controller.statusItem()->contextMenu(), &menu);
    }

private:
    bool m_fontPinned = false;
};

NEWSBAR_APP_TEST_MAIN(StatusItemTest)
#include "app_statusitem_test.moc"
