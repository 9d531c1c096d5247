#include "feed/bundleinfo.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <mutex>

namespace {

struct Store
{
    std::mutex mutex;
    QHash<QString, std::optional<QString>> overrides;
    std::optional<QJsonObject> resource;  // read on first use
};

Store& store()
{
    static Store instance;
    return instance;
}

QJsonObject readResource()
{
    QFile file(QString::fromLatin1(BundleInfo::resourcePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

std::optional<QString> BundleInfo::value(const QString& key)
{
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (const auto it = s.overrides.constFind(key); it != s.overrides.cend())
        return *it;
    if (!s.resource)
        s.resource = readResource();
    const QJsonValue value = s.resource->value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

void BundleInfo::setValue(const QString& key, const std::optional<QString>& value)
{
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.overrides.insert(key, value);
}

void BundleInfo::clearOverrides()
{
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.overrides.clear();
}
