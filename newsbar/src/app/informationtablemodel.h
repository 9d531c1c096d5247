#pragma once

#include <QAbstractTableModel>
#include <QStringList>

class WindowController;

// The table's model: asks its data source for every value, holds nothing itself.
//
// Each column shows one value of the row's record, named by the column key ("category",
// "title", "date"). The record itself is available in every column under ObjectValueRole.
class InformationTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int ObjectValueRole = Qt::UserRole + 1;

    InformationTableModel(WindowController* dataSource, QStringList columnKeys,
                          QObject* parent = nullptr);

    const QStringList& columnKeys() const { return m_columnKeys; }
    // The name of the transformer whose false value makes a row's text bold, or empty.
    void setBoldUnlessValueTransformerName(const QString& name) { m_boldUnlessTransformer = name; }

    // Asks the data source again; keeps the selected row where the view keeps it.
    void reloadData();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    WindowController* m_dataSource;
    QStringList m_columnKeys;
    QString m_boldUnlessTransformer;
};
