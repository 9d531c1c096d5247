#include "statusitemcontroller.h"

#include "localization.h"
#include "logging.h"

#include <QCursor>
#include <QIconEngine>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QRawFont>
#include <QSystemTrayIcon>
#include <QTextLayout>

#include <cmath>

const QString StatusItemController::title = QStringLiteral("VANDiR");

namespace {

// The square image drawn for the rectangle it is painted into, so that a tray's slot of any size
// gets its pixels drawn rather than rescaled from the nearest listed size.
class SquareIconEngine : public QIconEngine
{
public:
    SquareIconEngine(std::optional<quint64> number, QFont font, MarkColors colors)
        : m_number(number), m_font(std::move(font)), m_colors(std::move(colors))
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(rect.width(), rect.height());
        if (side <= 0)
            return;
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QImage image = StatusItemController::drawSquareImageWithBadge(
            m_number, side, m_font, m_colors.glyph, ratio, m_colors.edge);
        // Whole pixels from the slot's corner: a half-pixel offset would blur every line.
        painter->drawImage(QRect(rect.x() + (rect.width() - side) / 2,
                                 rect.y() + (rect.height() - side) / 2, side, side),
                           image);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int ratio : {1, 2})
            for (const int side : StatusItemController::squareSizes)
                sizes.append(QSize(side, side) * ratio);
        return sizes;
    }

    QString key() const override { return QStringLiteral("newsbar-square"); }
    QIconEngine* clone() const override { return new SquareIconEngine(*this); }

private:
    std::optional<quint64> m_number;
    QFont m_font;
    MarkColors m_colors;
};

// The contrast ratio of two colours, from their relative luminances.
double contrastRatio(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

std::optional<QPainterPath> CreatePathWithAttributedString(const AttributedString* string)
{
    if (!string)
        return std::nullopt;
    QPainterPath path;
    // Glyph outlines may overlap within a glyph; they fill by the non-zero rule.
    path.setFillRule(Qt::WindingFill);
    QTextLayout layout(string->string, string->font);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    if (!line.isValid())
        return path;
    line.setPosition(QPointF(0, 0));
    // Glyph run positions put the baseline at the line's ascent; the path's origin is on it.
    const qreal baseline = line.ascent();
    const QList<QGlyphRun> runs = line.glyphRuns();
    for (const QGlyphRun& run : runs) {
        const QRawFont font = run.rawFont();
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> positions = run.positions();
        for (qsizetype i = 0; i < glyphs.size() && i < positions.size(); ++i) {
            const QPainterPath glyph = font.pathForGlyph(glyphs.at(i));
            path.addPath(glyph.translated(positions.at(i).x(), positions.at(i).y() - baseline));
        }
    }
    return path;
}

StatusImageLayout StatusImageLayout::make(const QRectF& titleBox, const std::optional<QRectF>& badgeBox)
{
    StatusImageLayout layout;
    const qreal titleWidth = titleBox.width();
    qreal width = titleWidth + margin + margin;
    if (badgeBox)
        width = width + badgeBox->width() + badgeSpacing;
    layout.width = static_cast<int>(std::ceil(width));
    layout.frame = QRectF(0, 0, layout.width, height).adjusted(0.5, 0.5, -0.5, -0.5);
    // The glyphs are centred by the height of their box with the baseline as the path's origin
    // (so a descender would hang below the centre line), counted from the image's bottom edge.
    layout.titleOrigin = QPointF(margin, height - (height - titleBox.height()) * 0.5);
    if (badgeBox) {
        const qreal areaWidth = std::ceil(badgeBox->width() + margin + badgeInset);
        layout.badgeArea = QRectF(layout.width - areaWidth, 0, areaWidth, height);
        layout.badgeOrigin = QPointF(titleWidth + margin + badgeSpacing,
                                     height - (height - badgeBox->height()) * 0.5);
    }
    return layout;
}

SquareImageLayout SquareImageLayout::make(int size, const std::optional<QRectF>& digitsBox)
{
    SquareImageLayout layout;
    layout.size = size;
    layout.stroke = std::max(1, qRound(size / 11.0));
    if (!digitsBox || digitsBox->isEmpty())
        return layout;
    // The count stays at least 7 pixels high, which is what makes it readable at 16 and 22.
    const int digitHeight = std::max(7, qRound(size * 0.36));
    const int padY = std::max(2, qRound(size * 0.1));
    const int height = std::min(size, digitHeight + 2 * padY);
    const int padX = std::max(2, qRound(height * 0.25));
    const qreal naturalWidth = digitsBox->width() * digitHeight / digitsBox->height();
    const int width = std::min(size, std::max(height, int(std::ceil(naturalWidth)) + 2 * padX));
    // Too wide a count ("99+" in a small slot) is narrowed rather than shrunk.
    const qreal digitWidth = std::min(naturalWidth, qreal(width - 2 * padX));
    layout.badge = QRect(size - width, size - height, width, height);
    layout.gap = std::max(1, qRound(size / 16.0));
    layout.digits = QRectF(layout.badge.left() + (width - digitWidth) / 2,
                           layout.badge.top() + (height - digitHeight) / 2, digitWidth, digitHeight);
    return layout;
}

StatusItemController::StatusItemController(QMenu* statusMenu, QObject* parent)
    : QObject(parent), m_statusMenu(statusMenu)
{
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setContextMenu(statusMenu);
    m_statusItem->setToolTip(toolTipText(0));
    connect(m_statusItem, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
    setImage(imageWithBadge(std::nullopt));
    // Shown in any case: a tray that starts later (the usual race at login) docks it.
    m_statusItem->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        qCWarning(lcApp) << "No system tray is available yet: the status item appears when one"
                            " does; the window and notifications work without it";
}

StatusItemController::~StatusItemController() = default;

void StatusItemController::activated(int reason)
{
    // A click on the item opens the menu, as the context-menu request does.
    if (reason == QSystemTrayIcon::Trigger && m_statusMenu)
        m_statusMenu->popup(QCursor::pos());
}

QString StatusItemController::toolTipText(quint64 unread)
{
    return localizedString(QT_TRID_NOOP("TRAY_TOOLTIP"), QStringLiteral("VANDiR News: %1 unread"))
        .arg(unread);
}

QString StatusItemController::badgeText(quint64 count, int pixels)
{
    // Three glyphs in a badge of a 22-pixel image are 3 pixels wide each: fewer, wider ones.
    const quint64 shown = pixels < smallBadgeLimit ? maximumShownCountSmall : maximumShownCount;
    return count > shown ? QString::number(shown) + u'+' : QString::number(count);
}

MarkColors StatusItemController::markColors(ColorScheme scheme, const QColor& trayForeground)
{
    const QColor light(0xf4, 0xf4, 0xf4);
    const QColor dark(0x1c, 0x1c, 0x1c);
    if (trayForeground.isValid()) {
        const QColor glyph = trayForeground.toRgb();
        const double onLight = contrastRatio(glyph, light), onDark = contrastRatio(glyph, dark);
        if (std::max(onLight, onDark) >= 7.0)
            return {glyph, QColor()};
        return {glyph, onDark > onLight ? dark : light};
    }
    switch (scheme) {
    case ColorScheme::Dark:
        return {light, QColor()};
    case ColorScheme::Light:
        return {dark, QColor()};
    case ColorScheme::NoPreference:
        break;
    }
    return {light, dark};
}

void StatusItemController::setColorScheme(ColorScheme scheme)
{
    if (scheme == m_colorScheme)
        return;
    m_colorScheme = scheme;
    setImage(imageWithBadge(m_badge != 0 ? std::optional<quint64>(m_badge) : std::nullopt));
}

void StatusItemController::setTrayForeground(const QColor& color)
{
    if (color == m_trayForeground)
        return;
    m_trayForeground = color;
    setImage(imageWithBadge(m_badge != 0 ? std::optional<quint64>(m_badge) : std::nullopt));
}

void StatusItemController::setImageShape(ImageShape shape)
{
    if (shape == m_imageShape)
        return;
    m_imageShape = shape;
    setImage(imageWithBadge(m_badge != 0 ? std::optional<quint64>(m_badge) : std::nullopt));
}

void StatusItemController::setBadge(quint64 count)
{
    if (count == m_badge)
        return;
    m_badge = count;
    if (m_statusItem)
        m_statusItem->setToolTip(toolTipText(count));
    setImage(imageWithBadge(count != 0 ? std::optional<quint64>(count) : std::nullopt));
}

QIcon StatusItemController::image() const
{
    return m_statusItem ? m_statusItem->icon() : QIcon();
}

void StatusItemController::setImage(const QIcon& image)
{
    if (m_statusItem)
        m_statusItem->setIcon(image);
}

QIcon StatusItemController::imageWithBadge(std::optional<quint64> number) const
{
    // Trays do not tint images on this platform; the mask flag lets platforms that tint do so.
    if (m_imageShape == ImageShape::Square) {
        const MarkColors colors = markColors(m_colorScheme, m_trayForeground);
        QIcon icon(new SquareIconEngine(number, badgeFont(), colors));
        icon.setIsMask(!colors.edge.isValid());
        return icon;
    }
    const QColor color = m_colorScheme == ColorScheme::NoPreference && !m_trayForeground.isValid()
        ? QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText)
        : markColors(m_colorScheme, m_trayForeground).glyph;
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(drawImageWithBadge(number, titleFont(), badgeFont(), color, ratio)));
    icon.setIsMask(true);
    return icon;
}

QImage StatusItemController::drawSquareImageWithBadge(std::optional<quint64> number, int size,
                                                      const QFont& badgeFont, const QColor& color,
                                                      qreal devicePixelRatio, const QColor& edge)
{
    const int outer = qRound(size * devicePixelRatio);
    // The edge grows with the image: one pixel up to 33, two from 34.
    const int rim = edge.isValid() ? std::max(1, qRound(outer / 24.0)) : 0;
    const int pixels = outer - 2 * rim;
    std::optional<QPainterPath> digitsPath;
    if (number) {
        const AttributedString text{badgeText(*number, outer), badgeFont};
        digitsPath = CreatePathWithAttributedString(&text);
    }
    const SquareImageLayout layout = SquareImageLayout::make(
        pixels, digitsPath ? std::optional<QRectF>(digitsPath->boundingRect()) : std::nullopt);

    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // The mark: the sheet's outline, the capsule on it with its filled end, two text lines.
    const qreal n = pixels;
    const qreal stroke = layout.stroke;
    const QRectF sheet = QRectF(0, 0, n, n).adjusted(stroke / 2, stroke / 2, -stroke / 2, -stroke / 2);
    painter.setPen(QPen(color, stroke));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(sheet, n * 0.2, n * 0.2);
    const qreal left = std::round(n * 0.22), right = n - left;
    const QRectF capsule(left + stroke / 2, std::round(n * 0.22) + stroke / 2, right - left - stroke,
                         std::max(stroke * 2, std::round(n * 0.24)));
    painter.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    QPainterPath capsuleEnd;
    capsuleEnd.addRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    painter.save();
    painter.setClipRect(QRectF(capsule.left() + capsule.width() * 0.6, 0, n, n));
    painter.fillPath(capsuleEnd, color);
    painter.restore();
    const qreal lineTop = std::round(capsule.bottom() + n * 0.12);
    painter.fillRect(QRectF(left, lineTop, right - left, stroke), color);
    painter.fillRect(QRectF(left, std::round(lineTop + n * 0.16), (right - left) * 0.65, stroke), color);

    if (!layout.badge.isEmpty()) {
        // A clear ring parts the badge from the mark; the count is cut out of the filled badge.
        const QRectF badge(layout.badge);
        const QRectF ring = badge.adjusted(-layout.gap, -layout.gap, layout.gap, layout.gap);
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawRoundedRect(ring, ring.height() / 2, ring.height() / 2);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setBrush(color);
        painter.drawRoundedRect(badge, badge.height() / 2, badge.height() / 2);
        const QRectF box = digitsPath->boundingRect();
        QTransform fit;
        fit.translate(layout.digits.left(), layout.digits.top());
        fit.scale(layout.digits.width() / box.width(), layout.digits.height() / box.height());
        fit.translate(-box.left(), -box.top());
        // Knocked out, or written in the edge colour where there is one.
        painter.setCompositionMode(rim ? QPainter::CompositionMode_SourceOver : QPainter::CompositionMode_Clear);
        painter.fillPath(fit.map(*digitsPath), rim ? edge : QColor(Qt::black));
    }
    painter.end();
    if (rim) {
        // The edge: the mark's shape in the edge colour, spread by rim pixels, under the mark.
        QImage shape = image;
        QPainter tint(&shape);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(shape.rect(), edge);
        tint.end();
        QImage framed(outer, outer, QImage::Format_ARGB32_Premultiplied);
        framed.fill(Qt::transparent);
        QPainter compose(&framed);
        for (int dy = -rim; dy <= rim; ++dy)
            for (int dx = -rim; dx <= rim; ++dx)
                if (dx * dx + dy * dy <= rim * rim + 1)
                    compose.drawImage(rim + dx, rim + dy, shape);
        compose.drawImage(rim, rim, image);
        compose.end();
        image = framed;
    }
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

QImage StatusItemController::drawImageWithBadge(std::optional<quint64> number,
                                                const QFont& titleFont, const QFont& badgeFont,
                                                const QColor& color, qreal devicePixelRatio)
{
    const AttributedString titleString{title, titleFont};
    std::optional<AttributedString> badgeString;
    if (number)
        badgeString = AttributedString{QString::number(*number), badgeFont};

    const QPainterPath titlePath = *CreatePathWithAttributedString(&titleString);
    const std::optional<QPainterPath> badgePath =
        CreatePathWithAttributedString(badgeString ? &*badgeString : nullptr);
    const StatusImageLayout layout = StatusImageLayout::make(
        titlePath.boundingRect(),
        badgePath ? std::optional<QRectF>(badgePath->boundingRect()) : std::nullopt);

    const QSize pixels(static_cast<int>(std::ceil(layout.width * devicePixelRatio)),
                       static_cast<int>(std::ceil(StatusImageLayout::height * devicePixelRatio)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath capsule;
    const qreal radius = layout.frame.height() * 0.5;
    capsule.addRoundedRect(layout.frame, radius, radius);
    painter.setPen(QPen(color, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(capsule);
    painter.fillPath(titlePath.translated(layout.titleOrigin), color);

    if (badgePath) {
        // Inside the badge area the capsule is filled and the digits are cut out of it.
        painter.setClipRect(layout.badgeArea);
        QPainterPath knockout = capsule;
        knockout.addPath(badgePath->translated(layout.badgeOrigin));
        knockout.setFillRule(Qt::OddEvenFill);
        painter.fillPath(knockout, color);
    }
    painter.end();
    return image;
}

QIcon StatusItemController::applicationIcon()
{
    const MarkColors colors = markColors(ColorScheme::NoPreference);
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(
            drawSquareImageWithBadge(std::nullopt, size, badgeFont(), colors.glyph, 1.0, colors.edge)));
    return icon;
}

QFont StatusItemController::titleFont()
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(12);
    font.setBold(false);
    font.setItalic(false);
    // Outlines at their designed shapes and advances, as the image is scaled for the screen.
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QFont StatusItemController::badgeFont()
{
    QFont font = titleFont();
    font.setBold(true);
    return font;
}
