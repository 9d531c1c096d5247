#include "categorycellview.h"

#include "informationtablemodel.h"
#include "valuetransformers.h"

#include "feed/information.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <algorithm>

namespace {

// Room between the capsule's ends and the label.
constexpr int labelPadding = 8;

QColor selectedColor()
{
    return Qt::white;
}

} // namespace

CategoryCellView::CategoryCellView(QObject* parent) : QStyledItemDelegate(parent) {}

int CategoryCellView::preferredWidth(const QFont& font)
{
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const char* category : {"event", "info", "news", "topic", "update"})
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromLatin1(category)));
    return widest + 2 * labelPadding + 2 * cellPaddingX + 8;
}

void CategoryCellView::Cell::setObjectValue(const QVariant& value)
{
    m_objectValue = value;
    const ValueTransformer* transformer = ValueTransformer::valueTransformerForName(
        QStringLiteral("InformationCategoryColorValueTransformer"));
    setTextColor(transformer->transformedValue(value).value<QColor>());
}

void CategoryCellView::Cell::setBackgroundStyle(int style)
{
    m_backgroundStyle = style;
    m_textFieldColor = style != BackgroundStyleNormal ? selectedColor() : m_textColor;
}

void CategoryCellView::Cell::setTextColor(const QColor& color)
{
    m_textColor = color;
    if (m_backgroundStyle == BackgroundStyleNormal)
        m_textFieldColor = color;
}

QString CategoryCellView::Cell::textFieldText() const
{
    const Information* information = informationIn(m_objectValue);
    return information ? information->category().value_or(QString()) : QString();
}

void CategoryCellView::Cell::drawRect(QPainter* painter, const QRectF& bounds) const
{
    const QColor color = m_backgroundStyle != BackgroundStyleNormal ? selectedColor() : m_textColor;
    const QRectF frame = bounds.adjusted(0.5, 2.5, -0.5, -2.5);
    const qreal radius = frame.height() * 0.5;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(color, 1.0));
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(frame, radius, radius);
    painter->restore();
}

void CategoryCellView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    // The row's background (and its selection highlight) comes from the style, as for every
    // other cell of the row.
    QStyleOptionViewItem panel(option);
    initStyleOption(&panel, index);
    panel.text.clear();
    panel.icon = QIcon();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

    Cell cell;
    cell.setObjectValue(index.data(InformationTableModel::ObjectValueRole));
    cell.setBackgroundStyle(option.state & QStyle::State_Selected ? BackgroundStyleEmphasized
                                                                 : BackgroundStyleNormal);

    const QRect capsule =
        option.rect.adjusted(cellPaddingX, cellPaddingY, -cellPaddingX, -cellPaddingY);
    cell.drawRect(painter, capsule);
    const QString text = cell.textFieldText();
    if (text.isEmpty())
        return;
    // The label: centred in the capsule, cut short when the column is too narrow.
    const QFontMetrics metrics(option.font);
    const QRect labelRect = capsule.adjusted(labelPadding, 0, -labelPadding, 0);
    painter->save();
    painter->setFont(option.font);
    painter->setPen(cell.textFieldColor());
    painter->drawText(labelRect, Qt::AlignCenter,
                      metrics.elidedText(text, Qt::ElideRight, labelRect.width()));
    painter->restore();
}

QSize CategoryCellView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QFontMetrics metrics(option.font);
    Cell cell;
    cell.setObjectValue(index.data(InformationTableModel::ObjectValueRole));
    const QString text = cell.textFieldText();
    return {metrics.horizontalAdvance(text) + 2 * labelPadding + 2 * cellPaddingX + 4,
            metrics.height() + 9 + 2 * cellPaddingY};
}
