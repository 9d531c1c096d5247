#include "informationtablemodel.h"

#include "displayformat.h"
#include "localization.h"
#include "valuetransformers.h"

#include "feed/information.h"

#include <QFont>

InformationTableModel::InformationTableModel(QStringList columnKeys, QObject* parent)
    : QAbstractTableModel(parent), m_columnKeys(std::move(columnKeys))
{
}

void InformationTableModel::setColumnKeys(QStringList columnKeys)
{
    beginResetModel();
    m_columnKeys = std::move(columnKeys);
    endResetModel();
}

void InformationTableModel::reloadData(const InformationManager& manager)
{
    beginResetModel();
    m_informations = manager.informations();
    m_readIdentifiers.clear();
    if (m_informations && manager.readItems()) {
        for (const Information& information : *m_informations) {
            if (manager.isInformationRead(information))
                m_readIdentifiers.insert(information.identifier());
        }
    }
    endResetModel();
}

const Information* InformationTableModel::information(int row) const
{
    if (!m_informations || row < 0 || row >= m_informations->size())
        return nullptr;
    return &m_informations->at(row);
}

bool InformationTableModel::isRead(int row) const
{
    const Information* record = information(row);
    return record && m_readIdentifiers.contains(record->identifier());
}

int InformationTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !m_informations ? 0 : static_cast<int>(m_informations->size());
}

int InformationTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_columnKeys.size());
}

QVariant InformationTableModel::data(const QModelIndex& index, int role) const
{
    const Information* record = index.isValid() ? information(index.row()) : nullptr;
    if (!record || index.column() >= m_columnKeys.size())
        return {};
    if (role == ObjectValueRole)
        return QVariant::fromValue(*record);
    const QString& key = m_columnKeys.at(index.column());

    switch (role) {
    case Qt::DisplayRole:
        if (key == QLatin1String("category"))
            return record->category().value_or(QString());
        if (key == QLatin1String("title"))
            return record->title().value_or(QString());
        if (key == QLatin1String("date") && record->date())
            return shortDateTimeText(*record->date());
        return {};
    case Qt::ToolTipRole:
        if (key == QLatin1String("title") && record->link())
            return record->link()->absoluteString();
        if (key == QLatin1String("date") && record->date())
            return longDateTimeText(*record->date());
        return {};
    // Screen readers hear what the bold font shows, and the capsule's category by name.
    case Qt::AccessibleDescriptionRole:
        return isRead(index.row())
            ? localizedString(QT_TRID_NOOP("WINDOW_ITEM_READ"), QStringLiteral("Read"))
            : localizedString(QT_TRID_NOOP("WINDOW_ITEM_UNREAD"), QStringLiteral("Unread"));
    case Qt::AccessibleTextRole:
        if (key == QLatin1String("category"))
            return record->category() && !record->category()->isEmpty()
                ? localizedString(QT_TRID_NOOP("WINDOW_CATEGORY_NAMED"), QStringLiteral("Category: %1"))
                      .arg(*record->category())
                : localizedString(QT_TRID_NOOP("WINDOW_CATEGORY_NONE"), QStringLiteral("No category"));
        return data(index, Qt::DisplayRole);
    case Qt::FontRole:
        if (!m_boldUnlessTransformer.isEmpty()) {
            const ValueTransformer* transformer =
                ValueTransformer::valueTransformerForName(m_boldUnlessTransformer);
            const QVariant state =
                QVariant::fromValue(InformationReadState{*record, isRead(index.row())});
            if (transformer && !transformer->transformedValue(state).toBool()) {
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
    // The header's text is also the column's name for screen readers.
    if (orientation != Qt::Horizontal
        || (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) || section < 0
        || section >= m_columnKeys.size())
        return {};
    const QString& key = m_columnKeys.at(section);
    if (key == QLatin1String("category"))
        return localizedString(QT_TRID_NOOP("WINDOW_COLUMN_CATEGORY"), QStringLiteral("Category"));
    if (key == QLatin1String("title"))
        return localizedString(QT_TRID_NOOP("WINDOW_COLUMN_TITLE"), QStringLiteral("Title"));
    if (key == QLatin1String("date"))
        return localizedString(QT_TRID_NOOP("WINDOW_COLUMN_DATE"), QStringLiteral("Date"));
    return {};
}
