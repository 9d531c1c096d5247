// The status item's image: layout arithmetic, pixels, the golden image and redrawing.
#include "apptestsupport.h"

#include "statusitemcontroller.h"

#include <QMenu>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <cmath>

using Item = StatusItemController;

namespace {

QPainterPath pathOf(const QString& text, const QFont& font)
{
    const AttributedString string{text, font};
    return *CreatePathWithAttributedString(&string);
}

QRectF titleBox()
{
    return pathOf(Item::title, Item::titleFont()).boundingRect();
}

std::optional<QRectF> badgeBoxOf(std::optional<quint64> number)
{
    if (!number)
        return std::nullopt;
    return pathOf(QString::number(*number), Item::badgeFont()).boundingRect();
}

QImage draw(std::optional<quint64> number, qreal ratio = 1.0)
{
    return Item::drawImageWithBadge(number, Item::titleFont(), Item::badgeFont(), Qt::black, ratio);
}

// 1: the device pixel, with half a pixel around it, lies inside the path; -1: outside; 0: on
// the anti-aliased edge.
int coverage(const QPainterPath& path, int x, int y, qreal ratio)
{
    const QRectF area((x - 0.5) / ratio, (y - 0.5) / ratio, 2 / ratio, 2 / ratio);
    if (!path.intersects(area) && !path.contains(area.center()))
        return -1;
    for (qreal dy : {0.0, 0.5, 1.0, 1.5, 2.0})
        for (qreal dx : {0.0, 0.5, 1.0, 1.5, 2.0})
            if (!path.contains(area.topLeft() + QPointF(dx, dy) / ratio))
                return 0;
    return 1;
}

} // namespace

class StatusItemTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
        QVERIFY(!CreatePathWithAttributedString(nullptr));
        const std::optional<quint64> number = badge ? std::optional<quint64>(badge) : std::nullopt;
        const QRectF title = titleBox();
        const std::optional<QRectF> badgeBox = badgeBoxOf(number);
        const StatusImageLayout layout = StatusImageLayout::make(title, badgeBox);

        const double width =
            title.width() + 7.2 + 7.2 + (badgeBox ? badgeBox->width() + 10.799999999999999 : 0.0);
        QCOMPARE(layout.width, int(std::ceil(width)));
        QCOMPARE(layout.frame, QRectF(0.5, 0.5, layout.width - 1, 17));
        QCOMPARE(layout.titleOrigin.x(), 7.2);
        // The baseline sits (18 - box height) / 2 above the image's bottom edge.
        QVERIFY(qFuzzyCompare(18.0 - layout.titleOrigin.y(), (18.0 - title.height()) * 0.5));
        if (badgeBox) {
            const int areaWidth = int(std::ceil(badgeBox->width() + 7.2 + 5.3999999999999995));
            QCOMPARE(layout.badgeArea, QRectF(layout.width - areaWidth, 0, areaWidth, 18));
            QCOMPARE(layout.badgeOrigin.x(), title.width() + 7.2 + 10.799999999999999);
            QVERIFY(qFuzzyCompare(18.0 - layout.badgeOrigin.y(), (18.0 - badgeBox->height()) * 0.5));
        } else {
            QVERIFY(layout.badgeArea.isEmpty());
        }
        for (const qreal ratio : {1.0, 2.0, 1.5}) {
            const QImage image = draw(number, ratio);
            QCOMPARE(image.size(), QSize(int(std::ceil(layout.width * ratio)), int(std::ceil(18 * ratio))));
            QCOMPARE(image.deviceIndependentSize(), QSizeF(image.size()) / ratio);
        }
    }

    // Glyphs taller than the image keep it 18 high and are cut at both edges.
    void imageIsAlways18High()
    {
        QFont huge = Item::titleFont();
        huge.setPixelSize(40);
        const QImage image = Item::drawImageWithBadge(42, huge, huge, Qt::black, 1.0);
        QCOMPARE(image.height(), 18);
        int topInk = 0, bottomInk = 0;
        for (int x = 10; x < image.width() - 10; ++x) {
            topInk += qAlpha(image.pixel(x, 0)) > 0;
            bottomInk += qAlpha(image.pixel(x, 17)) > 0;
        }
        QVERIFY(topInk > 0 && bottomInk > 0);
    }

    // In the badge area the capsule is solid and the digits are holes; the title is solid
    // glyphs inside an empty capsule.
    void digitsAreCutOutOfTheBadge()
    {
        const qreal ratio = 4.0;
        const QImage image = draw(808, ratio);
        const StatusImageLayout layout = StatusImageLayout::make(titleBox(), badgeBoxOf(808));
        const QPainterPath digits =
            pathOf(QStringLiteral("808"), Item::badgeFont()).translated(layout.badgeOrigin);
        const QPainterPath title = pathOf(Item::title, Item::titleFont()).translated(layout.titleOrigin);
        QPainterPath inner;
        const QRectF innerFrame = layout.frame.adjusted(1.0, 1.0, -1.0, -1.0);
        inner.addRoundedRect(innerFrame, innerFrame.height() / 2, innerFrame.height() / 2);

        int counts[4] = {};  // digit holes, solid badge, solid title, title gaps
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const qreal logicalX = (x + 0.5) / ratio;
                // Clear of the clip edge, where pixels are partly covered.
                const bool inBadge = logicalX >= layout.badgeArea.left() + 0.5;
                if (!inBadge && logicalX >= layout.badgeArea.left() - 1)
                    continue;
                const QPainterPath& glyphs = inBadge ? digits : title;
                const int glyph = coverage(glyphs, x, y, ratio);
                const int kind = glyph == 1 ? 0 : (glyph == -1 && coverage(inner, x, y, ratio) == 1) ? 1 : -1;
                if (kind < 0)
                    continue;
                // Solid where the badge is filled or a title glyph is; Qt's anti-aliasing may
                // leave a covered pixel a trace short of opaque.
                const bool solid = inBadge != (kind == 0);
                const int alpha = qAlpha(image.pixel(x, y));
                QVERIFY2(solid ? alpha >= 250 : alpha <= 5,
                         qPrintable(QStringLiteral("pixel %1,%2 alpha %3").arg(x).arg(y).arg(alpha)));
                ++counts[(inBadge ? 0 : 2) + kind];
            }
        }
        for (const int count : counts)
            QVERIFY(count > 50);
    }

    void matchesTheGoldenImage()
    {
        if (!pinApplicationFont())
            QSKIP("the pinned font is not installed");
        const QImage image = draw(7).convertToFormat(QImage::Format_ARGB32);
        const QString path = QStringLiteral(NEWSBAR_GOLDEN_DIR "/status-badge-7.png");
        if (qEnvironmentVariableIsSet("NEWSBAR_UPDATE_GOLDEN")) {
            QVERIFY(image.save(path));
            QSKIP("golden image written");
        }
        const QImage golden = QImage(path).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), golden.size());
        // Rasterisers differ in their anti-aliasing by a little; shapes must not differ.
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
        QCOMPARE(controller.statusItem()->contextMenu(), &menu);
        QVERIFY(controller.image().isMask());
        const auto key = [&] { return controller.image().cacheKey(); };
        const qint64 plain = key();
        const QSize plainSize = controller.image().availableSizes().value(0);
        controller.setBadge(0);
        QCOMPARE(key(), plain);
        controller.setBadge(3);
        const qint64 three = key();
        QVERIFY(three != plain);
        QVERIFY(controller.image().availableSizes().value(0).width() > plainSize.width());
        controller.setBadge(3);
        QCOMPARE(key(), three);
        controller.setBadge(0);
        QCOMPARE(controller.image().availableSizes().value(0), plainSize);
    }
};

NEWSBAR_APP_TEST_MAIN(StatusItemTest)
#include "app_statusitem_test.moc"
