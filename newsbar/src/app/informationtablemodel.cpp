#include "informationtablemodel.h"

#include "localization.h"
#include "valuetransformers.h"
#include "windowcontroller.h"

#include "feed/information.h"

#include <QFont>
#include <QLocale>

InformationTableModel::InformationTableModel(WindowController* dataSource, QStringList columnKeys,
                                             QObject* parent)
    : QAbstractTableModel(parent), m_dataSource(dataSource), m_columnKeys(std::move(columnKeys))
{
}

void InformationTableModel::reloadData()
{
    beginResetModel();
    endResetModel();
}

int InformationTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_dataSource->numberOfRowsInTableView(nullptr);
}

int InformationTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_columnKeys.size());
}

QVariant InformationTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() >= m_columnKeys.size())
        return {};
    const QVariant object = m_dataSource->tableViewObjectValue(nullptr, index.column(), index.row());
    if (role == ObjectValueRole)
        return object;
    if (object.metaType() != QMetaType::fromType<Information>())
        return {};
    const Information information = object.value<Information>();
    const QString& key = m_columnKeys.at(index.column());

    switch (role) {
    case Qt::DisplayRole:
        if (key == QLatin1String("category"))
            return information.category().value_or(QString());
        if (key == QLatin1String("title"))
            return information.title().value_or(QString());
        if (key == QLatin1String("date") && information.date())
            return QLocale().toString(information.date()->toLocalTime(), QLocale::ShortFormat);
        return {};
    case Qt::ToolTipRole:
        if (key == QLatin1String("title") && information.link())
            return information.link()->absoluteString();
        return {};
    case Qt::FontRole:
        if (!m_boldUnlessTransformer.isEmpty()) {
            const ValueTransformer* transformer =
                ValueTransformer::valueTransformerForName(m_boldUnlessTransformer);
            if (transformer && !transformer->transformedValue(object).toBool()) {
                QFont font;
                font.setBold(true);
                return font;
            }
        }
        return {};
    default:
        return {};
    }
}

QVariant InformationTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= m_columnKeys.size())
        return {};
    const QString& key = m_columnKeys.at(section);
    if (key == QLatin1String("category"))
        return localizedString(QT_TRID_NOOP("WINDOW_COLUMN_CATEGORY"));
    if (key == QLatin1String("title"))
        return localizedString(QT_TRID_NOOP("WINDOW_COLUMN_TITLE"));
    if (key == QLatin1String("date"))
        return localizedString(QT_TRID_NOOP("WINDOW_COLUMN_DATE"));
    return {};
}
