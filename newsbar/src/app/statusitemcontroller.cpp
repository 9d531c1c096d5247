#include "statusitemcontroller.h"

#include "logging.h"

#include <QCursor>
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

StatusItemController::StatusItemController(QMenu* statusMenu, QObject* parent)
    : QObject(parent), m_statusMenu(statusMenu)
{
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setContextMenu(statusMenu);
    m_statusItem->setToolTip(title);
    connect(m_statusItem, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
    setImage(imageWithBadge(std::nullopt));
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_statusItem->show();
    else
        qCWarning(lcApp) << "No system tray is available: the status item is not shown;"
                            " the window and notifications still work";
}

StatusItemController::~StatusItemController() = default;

void StatusItemController::activated(int reason)
{
    // A click on the item opens the menu, as the context-menu request does.
    if (reason == QSystemTrayIcon::Trigger && m_statusMenu)
        m_statusMenu->popup(QCursor::pos());
}

void StatusItemController::setBadge(quint64 count)
{
    if (count == m_badge)
        return;
    m_badge = count;
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
    // Trays do not tint images on this platform, so the image is drawn in the text colour the
    // desktop's palette gives panels; the mask flag lets platforms that tint do so.
    const QColor color = QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QIcon icon(QPixmap::fromImage(
        drawImageWithBadge(number, titleFont(), badgeFont(), color, ratio)));
    icon.setIsMask(true);
    return icon;
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
