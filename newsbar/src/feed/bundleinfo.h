#pragma once

#include <QString>

#include <optional>

// The program's bundle information: fixed texts such as "QZInformationFeedURL" and
// "QZWebsiteURL" that the program is built with.
//
// Values come from the JSON object in the Qt resource BundleInfo::resourcePath (strings only;
// the program compiles it in), unless setValue has overridden them for this run.
namespace BundleInfo {

inline constexpr char resourcePath[] = ":/newsbar/Info.json";

// The text under key, or nothing when neither an override nor the resource has a string there.
std::optional<QString> value(const QString& key);

// Overrides key for the rest of the run (a command-line option, a test). std::nullopt makes the
// key absent whatever the resource says. Thread-safe.
void setValue(const QString& key, const std::optional<QString>& value);

// Drops every override.
void clearOverrides();

} // namespace BundleInfo
