#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPainterPath>
#include <QRectF>
#include <QString>

#include <optional>

class QMenu;
class QSystemTrayIcon;

// A text with the one attribute the status item needs: its font.
struct AttributedString
{
    QString string;
    QFont font;
};

// The glyph outlines of the string laid out on one line, in pixels, relative to the line's
// origin on the baseline (y grows downwards, so glyphs lie mostly above 0). Null for a null
// string.
std::optional<QPainterPath> CreatePathWithAttributedString(const AttributedString* string);

// Where the parts of the status image go, from the widths of the title's and the badge's glyph
// boxes. All lengths in device-independent pixels; the image is always 18 high.
struct StatusImageLayout
{
    static constexpr qreal height = 18.0;
    static constexpr qreal margin = 0.4 * 18.0;        // 7.2
    static constexpr qreal badgeSpacing = 0.6 * 18.0;  // 10.799999999999999
    static constexpr qreal badgeInset = 0.3 * 18.0;    // 5.3999999999999995

    int width = 0;          // W: the exact width rounded up
    QRectF frame;           // the capsule's rectangle: (0, 0, W, 18) inset by 0.5
    QRectF badgeArea;       // the filled right-hand end; empty without a badge
    QPointF titleOrigin;    // where the title path's origin goes
    QPointF badgeOrigin;    // where the badge path's origin goes

    // titleBox and badgeBox are the bounding boxes of the two glyph paths (no badge: null).
    static StatusImageLayout make(const QRectF& titleBox, const std::optional<QRectF>& badgeBox);
};

// The program's item in the system tray: the product word in a capsule, with the number of
// unread items knocked out of a filled right-hand end while there are any. Clicking it opens
// the status menu.
class StatusItemController : public QObject
{
    Q_OBJECT

public:
    // The text the image shows.
    static const QString title;

    // initWithStatusMenu:. Puts the item into the tray with the badge-less image; when the
    // desktop has no tray it says so in the log and the item stays hidden.
    explicit StatusItemController(QMenu* statusMenu, QObject* parent = nullptr);
    ~StatusItemController() override;

    QSystemTrayIcon* statusItem() const { return m_statusItem; }
    void setStatusItem(QSystemTrayIcon* statusItem) { m_statusItem = statusItem; }

    quint64 badge() const { return m_badge; }
    // Redraws the image only when the count changes; 0 shows no badge.
    void setBadge(quint64 count);

    // The item's current image.
    QIcon image() const;
    void setImage(const QIcon& image);

    // A new mask image for the tray, drawn at the screen's device pixel ratio in the tray's
    // text colour, with a badge showing number, or without one for nothing.
    QIcon imageWithBadge(std::optional<quint64> number) const;

    // The drawing itself, for any fonts, colour and pixel ratio. The image's size in device
    // pixels is the layout's W x 18 times devicePixelRatio, rounded up.
    static QImage drawImageWithBadge(std::optional<quint64> number, const QFont& titleFont,
                                     const QFont& badgeFont, const QColor& color,
                                     qreal devicePixelRatio);

    // The system font at 12 pixels, and its bold form for the badge.
    static QFont titleFont();
    static QFont badgeFont();

private:
    void activated(int reason);

    QSystemTrayIcon* m_statusItem = nullptr;
    QMenu* m_statusMenu = nullptr;
    quint64 m_badge = 0;
};
