#pragma once

#include "feed/informationmanager.h"

#include <QAbstractTableModel>
#include <QSet>
#include <QStringList>

// The table's model. It owns a snapshot of what the table shows, the records and which of them
// are read, taken from a manager on every reload; between reloads the table never asks the
// manager, so a download that replaces the list cannot change a row under the user's click.
//
// Each column shows one value of the row's record, named by the column key ("category",
// "title", "date"). The record itself is available in every column under ObjectValueRole.
class InformationTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int ObjectValueRole = Qt::UserRole + 1;

    explicit InformationTableModel(QStringList columnKeys, QObject* parent = nullptr);

    const QStringList& columnKeys() const { return m_columnKeys; }
    void setColumnKeys(QStringList columnKeys);
    // The name of the transformer whose false value makes a row's text bold, or empty.
    void setBoldUnlessValueTransformerName(const QString& name) { m_boldUnlessTransformer = name; }

    // Takes a new snapshot of the manager's records and read state.
    void reloadData(const InformationManager& manager);

    // The snapshot: the record at row (null outside the rows) and whether it is read.
    const Information* information(int row) const;
    bool isRead(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    InformationList m_informations;
    QSet<QString> m_readIdentifiers;
    QStringList m_columnKeys;
    QString m_boldUnlessTransformer;
};
