#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <QVariant>

// The category column's cell: the category as a coloured label inside a capsule outline of the
// same colour; on a selected row both are white.
//
// The delegate keeps nothing between cells: paint builds a Cell for the one it draws.
class CategoryCellView : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // Background styles: 0 is a normal row; anything else is a selected (emphasised) row.
    static constexpr int BackgroundStyleNormal = 0;
    static constexpr int BackgroundStyleEmphasized = 1;

    // Room between the cell's edges and the capsule.
    static constexpr int cellPaddingX = 4;
    static constexpr int cellPaddingY = 1;

    // What one cell shows, set in the order a table cell receives it: object value, then
    // background style.
    class Cell
    {
    public:
        // Takes the record and the colour that InformationCategoryColorValueTransformer gives it.
        void setObjectValue(const QVariant& value);
        const QVariant& objectValue() const { return m_objectValue; }

        void setBackgroundStyle(int style);
        int backgroundStyle() const { return m_backgroundStyle; }

        // The category colour; the label shows it only on a normal background.
        void setTextColor(const QColor& color);
        const QColor& textColor() const { return m_textColor; }

        // The label's colour and text.
        const QColor& textFieldColor() const { return m_textFieldColor; }
        QString textFieldText() const;

        // The capsule outline on bounds inset by 0.5 horizontally and 2.5 vertically; paint
        // gives it the cell's rectangle less the cell padding.
        void drawRect(QPainter* painter, const QRectF& bounds) const;

    private:
        QVariant m_objectValue;
        int m_backgroundStyle = BackgroundStyleNormal;
        QColor m_textColor = Qt::black;
        QColor m_textFieldColor = Qt::black;
    };

    explicit CategoryCellView(QObject* parent = nullptr);

    // A column width that fits the feed's known categories in their capsules.
    static int preferredWidth(const QFont& font);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
