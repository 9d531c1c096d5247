#include "valuetransformers.h"

#include <array>
#include <map>
#include <memory>

const Information* informationIn(const QVariant& value)
{
    if (value.metaType() != QMetaType::fromType<Information>())
        return nullptr;
    return static_cast<const Information*>(value.constData());
}

ValueTransformer* ValueTransformer::valueTransformerForName(const QString& name)
{
    static const std::array<const QMetaObject*, 2> classes = {
        &InformationReadValueTransformer::staticMetaObject,
        &InformationCategoryColorValueTransformer::staticMetaObject,
    };
    // Made on first request and kept for the life of the process.
    static std::map<QString, std::unique_ptr<ValueTransformer>> instances;
    if (const auto it = instances.find(name); it != instances.end())
        return it->second.get();
    for (const QMetaObject* metaObject : classes) {
        if (name != QLatin1String(metaObject->className()))
            continue;
        std::unique_ptr<ValueTransformer> transformer(
            qobject_cast<ValueTransformer*>(metaObject->newInstance()));
        return instances.emplace(name, std::move(transformer)).first->second.get();
    }
    return nullptr;
}

InformationReadValueTransformer::InformationReadValueTransformer(QObject* parent)
    : ValueTransformer(parent)
{
}

QMetaType InformationReadValueTransformer::transformedValueClass() const
{
    return QMetaType::fromType<bool>();
}

QVariant InformationReadValueTransformer::transformedValue(const QVariant& value) const
{
    if (value.metaType() != QMetaType::fromType<InformationReadState>())
        return false;
    return static_cast<const InformationReadState*>(value.constData())->read;
}

InformationCategoryColorValueTransformer::InformationCategoryColorValueTransformer(QObject* parent)
    : ValueTransformer(parent)
{
}

QMetaType InformationCategoryColorValueTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QColor>();
}

QVariant InformationCategoryColorValueTransformer::transformedValue(const QVariant& value) const
{
    struct CategoryColor
    {
        const char* category;
        double red, green, blue;
    };
    // Compared without regard to case ("Event" is an event), in this order.
    static constexpr std::array<CategoryColor, 5> colors = {{
        {"event", 0.42, 0.79, 0.29},
        {"info", 0.81, 0.52, 0.81},
        {"news", 0.33, 0.72, 0.92},
        {"topic", 0.96, 0.64, 0.28},
        {"update", 0.93, 0.34, 0.27},
    }};
    const Information* information = informationIn(value);
    if (information && information->category()) {
        for (const CategoryColor& color : colors) {
            if (information->category()->compare(QLatin1String(color.category), Qt::CaseInsensitive) == 0)
                return QColor::fromRgbF(float(color.red), float(color.green), float(color.blue), 1.0f);
        }
    }
    return QColor(Qt::black);
}
