#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPainterPath>
#include <QRect>
#include <QRectF>
#include <QString>

#include "desktopappearance.h"

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

// Where the parts of the square tray image go, in device pixels. The mark (the program icon's
// shape: a rounded sheet with a capsule and two lines on it) fills the square; the badge, a
// filled capsule with the count knocked out of it, sits in the bottom-right corner with a clear
// gap around it.
struct SquareImageLayout
{
    int size = 0;        // the image's side in device pixels
    int stroke = 1;      // line width of the mark
    QRect badge;         // the filled badge; empty without a badge
    int gap = 0;         // clear space around the badge
    QRectF digits;       // the box the count's glyphs are fitted into

    // size: side in device pixels; digitsBox: the bounding box of the count's glyph path (no
    // badge: null).
    static SquareImageLayout make(int size, const std::optional<QRectF>& digitsBox);
};

// The colours of the square image: the mark and badge in glyph, and, where the panel's colour is
// not known, an edge around them (and the count) in a contrasting colour, so that the image
// stands out on light and dark panels alike.
struct MarkColors
{
    QColor glyph;
    QColor edge;  // invalid: none, the count is knocked out of the badge
};

// The program's item in the system tray. Where the tray gives each item a square slot (every
// Linux panel) it shows the square image: the program's mark with the number of unread items
// in a filled corner badge, drawn for the size of the slot the tray gives (the largest square
// that fits it, also in a slot that is not square). Where an item may be wide it shows the
// capsule image: the product word in a capsule, with the number knocked out of a filled
// right-hand end. Clicking it opens the status menu.
//
// The item is shown whether or not a tray runs at start: it docks when one appears.
class StatusItemController : public QObject
{
    Q_OBJECT

public:
    // The text the image shows.
    static const QString title;
    // The sides, in device-independent pixels, the square image is drawn at (each also at
    // device pixel ratio 2).
    static constexpr int squareSizes[] = {16, 22, 24, 32, 48};
    // Larger counts show as "99+"; in images under smallBadgeLimit pixels, above
    // maximumShownCountSmall as "9+" (the tooltip has the exact count).
    static constexpr quint64 maximumShownCount = 99;
    static constexpr quint64 maximumShownCountSmall = 9;
    static constexpr int smallBadgeLimit = 32;

    enum class ImageShape { Square, Capsule };

    // The tray item whose menu is statusMenu. Puts the item into the tray with the badge-less
    // image; when the desktop has no tray yet it says so in the log, and the item docks as soon
    // as one appears.
    explicit StatusItemController(QMenu* statusMenu, QObject* parent = nullptr);
    ~StatusItemController() override;

    QSystemTrayIcon* statusItem() const { return m_statusItem; }
    void setStatusItem(QSystemTrayIcon* statusItem) { m_statusItem = statusItem; }

    quint64 badge() const { return m_badge; }
    // Redraws the image only when the count changes; 0 shows no badge.
    void setBadge(quint64 count);

    // Which image the item shows; Square unless set.
    ImageShape imageShape() const { return m_imageShape; }
    void setImageShape(ImageShape shape);

    // "VANDiR News: 3 unread" (translated), for hover and screen readers.
    static QString toolTipText(quint64 unread);
    // The count as a square image of the given side in device pixels shows it: "99+" above
    // maximumShownCount, and "9+" above maximumShownCountSmall under smallBadgeLimit pixels.
    static QString badgeText(quint64 count, int pixels = smallBadgeLimit);

    // The desktop's colour scheme, which decides the square image's colours unless the tray
    // names a foreground.
    ColorScheme colorScheme() const { return m_colorScheme; }
    void setColorScheme(ColorScheme scheme);
    // The foreground colour the tray asks its icons to be drawn in; invalid: none.
    QColor trayForeground() const { return m_trayForeground; }
    void setTrayForeground(const QColor& color);
    // The tray's foreground where it names one, with an edge of the light or dark colour it
    // stands out most against when it is a middle tone (its contrast to both is under 7:1, so
    // the panel behind it may be close to it); otherwise a light glyph on a dark scheme, a dark
    // glyph on a light one, and without a known scheme a light glyph with a dark edge.
    //
    // The tray's colour comes first because the panel the icon sits on sets it for its own
    // background; the scheme is the desktop's wish, which a panel may not follow (a dark panel
    // in a light desktop is common); the edge is for when neither is known.
    static MarkColors markColors(ColorScheme scheme, const QColor& trayForeground = QColor());

    QIcon image() const;
    void setImage(const QIcon& image);

    // A new image for the tray with a badge showing number, or without one for nothing: the
    // capsule drawn in the tray's text colour at the screen's device pixel ratio, or the square
    // in markColors() drawn for whatever size is asked of it (available at every size of
    // squareSizes at ratios 1 and 2), as imageShape() says. A mask image (one colour, for
    // platforms that tint) unless the square has an edge.
    QIcon imageWithBadge(std::optional<quint64> number) const;

    // The square image of side size (device-independent pixels) at the pixel ratio; with a
    // valid edge colour the mark is drawn within it, grown by an edge of that colour, and the
    // count is written in it.
    static QImage drawSquareImageWithBadge(std::optional<quint64> number, int size,
                                           const QFont& badgeFont, const QColor& color,
                                           qreal devicePixelRatio, const QColor& edge = QColor());

    // The drawing itself, for any fonts, colour and pixel ratio. The image's size in device
    // pixels is the layout's W x 18 times devicePixelRatio, rounded up.
    static QImage drawImageWithBadge(std::optional<quint64> number, const QFont& titleFont,
                                     const QFont& badgeFont, const QColor& color,
                                     qreal devicePixelRatio);

    // The program's icon for its windows: the mark without a badge, with its edge, at the
    // usual sizes.
    static QIcon applicationIcon();

    // The system font at 12 pixels, and its bold form for the badge.
    static QFont titleFont();
    static QFont badgeFont();

private:
    void activated(int reason);

    QSystemTrayIcon* m_statusItem = nullptr;
    QMenu* m_statusMenu = nullptr;
    quint64 m_badge = 0;
    ImageShape m_imageShape = ImageShape::Square;
    ColorScheme m_colorScheme = ColorScheme::NoPreference;
    QColor m_trayForeground;
};
