#pragma once

#include "feed/information.h"

#include <QColor>
#include <QMetaType>
#include <QObject>
#include <QVariant>

// A record with its read state, as the table's snapshot has it.
struct InformationReadState
{
    Information information;
    bool read = false;
};
Q_DECLARE_METATYPE(InformationReadState)

// The record a value holds, or null when it holds anything else (a read state included).
const Information* informationIn(const QVariant& value);

// A named conversion of a record's value for display, used by the interface files' bindings and
// by the cells. Transformers are found by their class names only.
class ValueTransformer : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The type of what transformedValue returns.
    virtual QMetaType transformedValueClass() const = 0;
    virtual QVariant transformedValue(const QVariant& value) const = 0;

    // The one instance of the transformer class called name, or null for a name that is no
    // transformer class. Main thread only.
    static ValueTransformer* valueTransformerForName(const QString& name);
};

// Whether the record in the value has been read: a bool. The read state travels with the
// record in an InformationReadState (the table's snapshot); anything else, a bare record
// included, is false.
class InformationReadValueTransformer : public ValueTransformer
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit InformationReadValueTransformer(QObject* parent = nullptr);

    QMetaType transformedValueClass() const override;
    QVariant transformedValue(const QVariant& value) const override;
};

// The label colour of the record's category: a QColor, black for unknown categories and for
// anything but a record.
class InformationCategoryColorValueTransformer : public ValueTransformer
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit InformationCategoryColorValueTransformer(QObject* parent = nullptr);

    QMetaType transformedValueClass() const override;
    QVariant transformedValue(const QVariant& value) const override;
};
