// The settings file's format: an XML property-list document whose root is an array of strings.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace hx::app {

/// Reads an array of strings; nothing when the file is missing, unreadable, not a property
/// list, or its root is not an array of strings.
std::optional<QStringList> readPropertyListArray(const QString& path);

/// Writes an array of strings atomically: to a temporary file that then replaces the old one.
bool writePropertyListArray(const QString& path, const QStringList& strings);

} // namespace hx::app
