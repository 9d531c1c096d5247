#pragma once

#include <QColor>
#include <QMetaType>
#include <QObject>
#include <QVariant>

class InformationManager;

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

// Whether the record in the value has been read: a bool, false for anything but a record.
class InformationReadValueTransformer : public ValueTransformer
{
    Q_OBJECT

public:
    Q_INVOKABLE explicit InformationReadValueTransformer(QObject* parent = nullptr);

    QMetaType transformedValueClass() const override;
    QVariant transformedValue(const QVariant& value) const override;

    // The manager asked about read state; the shared manager unless one is set (tests).
    static void setInformationManager(InformationManager* manager);
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
