// The status item's image: layout arithmetic, pixels, the golden image and redrawing.
#include "apptestsupport.h"
#include "../tabletest.h"

#include "statusitemcontroller.h"

#include <QMenu>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <cmath>
#include <iterator>

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

// Empty when the two images have the same shapes: no pixel solid in one and clear in the other.
// Rasterisers (and scaling) differ in their anti-aliasing by a little, in at most the given
// share of the pixels.
QString shapeDifference(const QImage& actualImage, const QImage& expectedImage, double blurredShare)
{
    const QImage actual = actualImage.convertToFormat(QImage::Format_ARGB32);
    const QImage expected = expectedImage.convertToFormat(QImage::Format_ARGB32);
    if (actual.size() != expected.size())
        return QStringLiteral("sizes differ");
    int differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            const int difference = std::abs(qAlpha(actual.pixel(x, y)) - qAlpha(expected.pixel(x, y)));
            if (difference > 96)
                return QStringLiteral("pixel %1,%2 alpha %3 for %4").arg(x).arg(y)
                    .arg(qAlpha(actual.pixel(x, y))).arg(qAlpha(expected.pixel(x, y)));
            differing += difference > 16;
        }
    }
    return differing <= actual.width() * actual.height() * blurredShare
        ? QString() : QStringLiteral("%1 pixels differ").arg(differing);
}

} // namespace

class StatusItemTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // At a device pixel ratio the image is the 1x image's logical size in device pixels and,
    // brought back to 1x, has its shapes; the golden image pins the layout itself.
    void imageFollowsTheRatio_data() { addTableRows("statusitem_cases.tsv", "ratio", {"badge", "ratio"}); }
    void imageFollowsTheRatio()
    {
        const auto [count, factor] = tableRow<2>();
        const int badge = count.toInt();
        const qreal ratio = factor.toDouble();
        const std::optional<quint64> number = badge ? std::optional<quint64>(badge) : std::nullopt;
        const int width = StatusImageLayout::make(titleBox(), badgeBoxOf(number)).width;
        QCOMPARE(draw(number).size(), QSize(width, 18));
        const QImage image = draw(number, ratio);
        QCOMPARE(image.size(), QSize(int(std::ceil(width * ratio)), int(std::ceil(18 * ratio))));
        QCOMPARE(image.deviceIndependentSize(), QSizeF(image.size()) / ratio);
        const QString difference = shapeDifference(
            image.scaled(width, 18, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), draw(number), 1.0);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // Glyphs taller than the image keep it 18 high and are cut at both edges.
    void imageIsAlways18High()
    {
        QVERIFY(!CreatePathWithAttributedString(nullptr));
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
        const QString difference = shapeDifference(image, QImage(path), 0.02);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // The square image: every slot size at ratios 1 and 2; without unread items the mark alone,
    // whose outline reaches every edge.
    void squareImageSizes_data()
    {
        QTest::addColumn<int>("size");
        for (const int size : Item::squareSizes)
            QTest::newRow(qPrintable(QString::number(size))) << size;
    }
    void squareImageSizes()
    {
        QFETCH(int, size);
        QMenu menu;
        StatusItemController controller(&menu);
        QCOMPARE(controller.imageShape(), Item::ImageShape::Square);
        QVERIFY(controller.image().isMask());
        const QList<QSize> sizes = controller.image().availableSizes();
        QCOMPARE(sizes.size(), 2 * int(std::size(Item::squareSizes)));
        QVERIFY(sizes.contains(QSize(size, size)) && sizes.contains(QSize(size, size) * 2));
        const QImage image = Item::drawSquareImageWithBadge(std::nullopt, size, Item::badgeFont(), Qt::black, 2.0);
        QCOMPARE(image.size(), QSize(size, size) * 2);
        QCOMPARE(image.deviceIndependentSize(), QSizeF(size, size));
        QVERIFY(qAlpha(image.pixel(size, 1)) > 128 && qAlpha(image.pixel(1, size)) > 128);
    }

    // The count's glyphs, knocked out of the badge, are at least 7 pixels high and stay inside
    // it; counts above 99 show "99+".
    void squareBadgeIsLegible_data() { addTableRows("statusitem_cases.tsv", "legible", {"size", "count", "text"}); }
    void squareBadgeIsLegible()
    {
        const auto [side, number, text] = tableRow<3>();
        const int size = side.toInt(), count = number.toInt();
        QCOMPARE(Item::badgeText(quint64(count)), text);
        const QImage image = Item::drawSquareImageWithBadge(quint64(count), size, Item::badgeFont(), Qt::black, 1.0);
        const QRect badge = SquareImageLayout::make(size, pathOf(text, Item::badgeFont()).boundingRect()).badge;
        QVERIFY(QRect(0, 0, size, size).contains(badge));
        const auto opaque = [&](int x, int y) { return qAlpha(image.pixel(x, y)) >= 128; };
        // A hole is a clear pixel with badge on both sides of it, across and down.
        QRect holes;
        for (int y = badge.top(); y <= badge.bottom(); ++y) {
            for (int x = badge.left(); x <= badge.right(); ++x) {
                if (opaque(x, y))
                    continue;
                bool left = false, right = false, up = false, down = false;
                for (int i = badge.left(); i < x; ++i) left |= opaque(i, y);
                for (int i = x + 1; i <= badge.right(); ++i) right |= opaque(i, y);
                for (int j = badge.top(); j < y; ++j) up |= opaque(x, j);
                for (int j = y + 1; j <= badge.bottom(); ++j) down |= opaque(x, j);
                if (left && right && up && down)
                    holes |= QRect(x, y, 1, 1);
            }
        }
        QVERIFY2(holes.height() >= 7, qPrintable(QStringLiteral("digits %1 px high").arg(holes.height())));
        QVERIFY(holes.width() >= 2 * text.size());
        // The badge is parted from the mark: the row above it is clear over its middle.
        const int above = badge.top() - 1;
        QVERIFY(!opaque(badge.center().x(), above));
    }

    // The image is redrawn and the tooltip rewritten only when the count changes.
    void setBadgeRedrawsOnlyOnChange_data() { addTableRows("statusitem_cases.tsv", "shape", {}); }
    void setBadgeRedrawsOnlyOnChange()
    {
        const int shape = int(QTest::currentDataTag() == QLatin1String("capsule") ? Item::ImageShape::Capsule
                                                                                  : Item::ImageShape::Square);
        QMenu menu;
        StatusItemController controller(&menu);
        controller.setImageShape(Item::ImageShape(shape));
        QCOMPARE(controller.statusItem()->contextMenu(), &menu);
        QVERIFY(controller.image().isMask());
        QCOMPARE(controller.statusItem()->toolTip(), QStringLiteral("VANDiR News: 0 unread"));
        const auto key = [&] { return controller.image().cacheKey(); };
        const qint64 plain = key();
        const QSize plainSize = controller.image().availableSizes().value(0);
        controller.setBadge(0);
        QCOMPARE(key(), plain);
        controller.setBadge(3);
        const qint64 three = key();
        QVERIFY(three != plain);
        QCOMPARE(controller.statusItem()->toolTip(), QStringLiteral("VANDiR News: 3 unread"));
        // Only the capsule grows with its badge.
        QCOMPARE(controller.image().availableSizes().value(0).width() > plainSize.width(),
                 shape == int(Item::ImageShape::Capsule));
        controller.setBadge(3);
        QCOMPARE(key(), three);
        controller.setBadge(0);
        QCOMPARE(controller.image().availableSizes().value(0), plainSize);
        QCOMPARE(controller.statusItem()->toolTip(), QStringLiteral("VANDiR News: 0 unread"));
    }
};

NEWSBAR_APP_TEST_MAIN(StatusItemTest)
#include "app_statusitem_test.moc"
