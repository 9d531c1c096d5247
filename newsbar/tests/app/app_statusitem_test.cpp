// The status item's image: layout arithmetic, pixels, the golden image and redrawing.
#include "apptestsupport.h"
#include "../tabletest.h"

#include "statusitemcontroller.h"
#include "xembedtraycolors.h"

#include <QDBusVariant>
#include <QMenu>
#include <QPainter>
#include <QRegularExpression>
#include <QPainterPath>
#include <QSystemTrayIcon>

#include <cmath>
#include <iterator>
#include <vector>

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
        // One colour to tint only when it follows a known scheme; edged otherwise.
        QVERIFY(!controller.image().isMask());
        controller.setColorScheme(ColorScheme::Dark);
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
    // it; counts above 9 show "9+" under 32 pixels, above 99 "99+" from there.
    void squareBadgeIsLegible_data() { addTableRows("statusitem_cases.tsv", "legible", {"size", "count", "text"}); }
    void squareBadgeIsLegible()
    {
        const auto [side, number, text] = tableRow<3>();
        const int size = side.toInt(), count = number.toInt();
        QCOMPARE(Item::badgeText(quint64(count), size), text);
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
        QCOMPARE(controller.image().isMask(), shape == int(Item::ImageShape::Capsule));
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

    // On a light panel and on a dark one, a good part of the mark stands out (contrast 3:1 or
    // more against the panel), whether the desktop names its scheme or not; the badge's count
    // too.
    void legibleOnLightAndDarkPanels_data() { addTableRows("statusitem_cases.tsv", "panel", {"scheme", "tray", "panel"}); }
    void legibleOnLightAndDarkPanels()
    {
        const auto [scheme, tray, panelName] = tableRow<3>();
        const QColor trayForeground = tray == QLatin1String("-") ? QColor() : QColor(tray);
        const MarkColors colors = Item::markColors(ColorScheme(scheme.toInt()), trayForeground);
        // The tray's colour is the glyph's, whatever the scheme.
        if (trayForeground.isValid())
            QCOMPARE(colors.glyph, trayForeground);
        const QColor panel(panelName);
        for (const int size : {22, 24, 48}) {
            const QImage image = Item::drawSquareImageWithBadge(42, size, Item::badgeFont(), colors.glyph, 1.0, colors.edge)
                                     .convertToFormat(QImage::Format_ARGB32);
            QImage onPanel(image.size(), QImage::Format_ARGB32);
            onPanel.fill(panel);
            QPainter(&onPanel).drawImage(0, 0, image);
            int ink = 0, standingOut = 0;
            for (int y = 0; y < size; ++y) {
                for (int x = 0; x < size; ++x) {
                    if (qAlpha(image.pixel(x, y)) < 128)
                        continue;
                    ++ink;
                    standingOut += contrast(QColor(onPanel.pixel(x, y)), panel) >= 3.0;
                }
            }
            QVERIFY2(standingOut * 3 >= ink, qPrintable(QStringLiteral("%1 px: %2 of %3 pixels stand out")
                                                            .arg(size).arg(standingOut).arg(ink)));
            // The count: the badge holds two colours 3:1 apart, its own and its digits'.
            const int rim = colors.edge.isValid() ? std::max(1, qRound(size / 24.0)) : 0;
            const QRect badge = SquareImageLayout::make(size - 2 * rim, pathOf(Item::badgeText(42, size), Item::badgeFont()).boundingRect())
                                    .badge.translated(rim, rim);
            QVERIFY(!badge.isEmpty());
            QColor lightest(Qt::black), darkest(Qt::white);
            for (int y = badge.top(); y <= badge.bottom(); ++y) {
                for (int x = badge.left(); x <= badge.right(); ++x) {
                    const QColor c(onPanel.pixel(x, y));
                    if (c.lightnessF() > lightest.lightnessF())
                        lightest = c;
                    if (c.lightnessF() < darkest.lightnessF())
                        darkest = c;
                }
            }
            QVERIFY2(contrast(lightest, darkest) >= 3.0, qPrintable(QStringLiteral("%1 px badge").arg(size)));
        }
    }

    // The portal's value, wrapped in as many variants as the method wraps it; other values
    // are no scheme.
    void portalValues()
    {
        const auto wrapped = [](uint value, int depth) {
            QVariant v = QVariant::fromValue(value);
            for (int i = 0; i < depth; ++i)
                v = QVariant::fromValue(QDBusVariant(v));
            return v;
        };
        for (int depth = 0; depth <= 2; ++depth) {
            QCOMPARE(DesktopAppearance::fromPortalValue(wrapped(0, depth)), std::optional(ColorScheme::NoPreference));
            QCOMPARE(DesktopAppearance::fromPortalValue(wrapped(1, depth)), std::optional(ColorScheme::Dark));
            QCOMPARE(DesktopAppearance::fromPortalValue(wrapped(2, depth)), std::optional(ColorScheme::Light));
            QCOMPARE(DesktopAppearance::fromPortalValue(wrapped(7, depth)), std::optional(ColorScheme::NoPreference));
        }
        QCOMPARE(DesktopAppearance::fromPortalValue(QVariant(QStringLiteral("dark"))), std::nullopt);
        QCOMPARE(DesktopAppearance::fromPortalValue(QVariant()), std::nullopt);
    }

    // The foreground of the tray's colour property, and nothing for values that are not one.
    void trayColorProperty_data() { addTableRows("statusitem_cases.tsv", "traycolors", {"values", "foreground"}); }
    void trayColorProperty()
    {
        const auto [text, foreground] = tableRow<2>();
        std::vector<quint32> values;
        for (const QString& value : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            values.push_back(value.toUInt());
        const QColor color = XEmbedTrayColors::foregroundFromProperty(values.data(), int(values.size()));
        QCOMPARE(color.isValid() ? color.name() : QStringLiteral("-"), foreground);
    }

    // The tray's foreground goes before the desktop's scheme in both image shapes, and when
    // the tray withdraws it the scheme's colours come back.
    void trayForegroundBeforeScheme()
    {
        QMenu menu;
        StatusItemController controller(&menu);
        controller.setBadge(3);
        controller.setColorScheme(ColorScheme::Dark);
        const QColor orange(0xe0, 0x70, 0x20);
        const auto hasPixelsOf = [&controller](const QColor& color) {
            // At the image's own size: the capsule is not square.
            const QIcon icon = controller.image();
            const QImage image = icon.pixmap(icon.availableSizes().value(0)).toImage().convertToFormat(QImage::Format_ARGB32);
            int count = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    count += image.pixel(x, y) == color.rgba();
            return count >= 20;
        };
        const QColor light = Item::markColors(ColorScheme::Dark).glyph;
        QVERIFY(hasPixelsOf(light));
        controller.setTrayForeground(orange);
        QVERIFY(hasPixelsOf(orange));
        QVERIFY(!hasPixelsOf(light));
        controller.setImageShape(Item::ImageShape::Capsule);
        QVERIFY(hasPixelsOf(orange));
        controller.setImageShape(Item::ImageShape::Square);
        controller.setTrayForeground(QColor());
        QVERIFY(hasPixelsOf(light));
        QVERIFY(!hasPixelsOf(orange));
    }

    // Without an X server there is nothing to watch and no colour.
    void trayColorsWithoutADisplay()
    {
        const XEmbedTrayColors colors(QByteArrayLiteral(":4095"));  // a display no server runs
        QVERIFY(!colors.isWatching());
        QVERIFY(!colors.foreground().isValid());
    }

    // Drawn for the slot the tray gives: in a 22 x 20 slot the 20-pixel image, on whole pixels,
    // not the 22-pixel one scaled down.
    void drawnForTheSlot()
    {
        QMenu menu;
        StatusItemController controller(&menu);
        controller.setBadge(5);
        const MarkColors colors = Item::markColors(controller.colorScheme());
        const QImage slot = controller.image().pixmap(QSize(22, 20)).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(slot.size(), QSize(22, 20));
        const QImage square = Item::drawSquareImageWithBadge(5, 20, Item::badgeFont(), colors.glyph, 1.0, colors.edge)
                                  .convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(slot.copy(1, 0, 20, 20), square);
        for (int y = 0; y < 20; ++y)
            QVERIFY(qAlpha(slot.pixel(0, y)) == 0 && qAlpha(slot.pixel(21, y)) == 0);
    }

    // Shown even when no tray runs yet, so that a tray that starts later docks it.
    void shownWithoutATray()
    {
        QMenu menu;
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("a tray runs here");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No system tray is available yet"));
        StatusItemController controller(&menu);
        QVERIFY(controller.statusItem()->isVisible());
    }

private:
    // The contrast ratio of two colours, from their relative luminances.
    static double contrast(const QColor& a, const QColor& b)
    {
        const auto luminance = [](const QColor& c) {
            const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
        };
        const double la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    }
};

NEWSBAR_APP_TEST_MAIN(StatusItemTest)
#include "app_statusitem_test.moc"
