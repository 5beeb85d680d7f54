#include "app/PropertyList.h"

#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace hx::app {

namespace {
/// Settings files are tiny; anything larger is not ours and is not read.
constexpr qint64 kMaxSettingsBytes = 1 << 20;
} // namespace

/// Accepts exactly <plist><array><string>...</string>...</array></plist> (with any XML
/// declaration and document type); every other shape gives nothing.
std::optional<QStringList> readPropertyListArray(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxSettingsBytes) return std::nullopt;
    QXmlStreamReader xml(file.read(kMaxSettingsBytes));
    QStringList strings;
    enum { kTop, kPlist, kArray, kDone } level = kTop;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto name = xml.name();
            if (level == kTop && name == u"plist") {
                level = kPlist;
            } else if (level == kPlist && name == u"array") {
                level = kArray;
            } else if (level == kArray && name == u"string") {
                strings << xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            } else {
                return std::nullopt;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (level == kArray && xml.name() == u"array") level = kDone;
        }
    }
    if (xml.hasError() || level != kDone) return std::nullopt;
    return strings;
}

/// The document is made in memory first; a write that fails or falls short (a full disk) is
/// caught before the old file is replaced.
bool writePropertyListArray(const QString& path, const QStringList& strings) {
    QByteArray document;
    QXmlStreamWriter xml(&document);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement("plist");
    xml.writeAttribute("version", "1.0");
    xml.writeStartElement("array");
    for (const QString& s : strings) xml.writeTextElement("string", s);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    if (xml.hasError()) return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(document) != document.size() || !file.flush() ||
        file.error() != QFileDevice::NoError) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace hx::app
