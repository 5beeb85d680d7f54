// The settings file "PhotosPath.txt" from anywhere, through the application's property-list
// reader: refused, or read as strings that write back and read again unchanged.
#include <QString>
#include <QStringList>

#include "FuzzSupport.h"
#include "app/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = hxfuzz::scratchDir() + "PhotosPath.txt";
    const std::string out = hxfuzz::scratchDir() + "again.txt";
    hxfuzz::writeBytes(in, data, size);
    const auto strings = hx::app::readPropertyListArray(QString::fromStdString(in));
    if (!strings) return 0;
    // Texts that XML cannot carry (some control characters) may refuse to be written; what
    // is written must read back as it was.
    if (!hx::app::writePropertyListArray(QString::fromStdString(out), *strings)) return 0;
    const auto again = hx::app::readPropertyListArray(QString::fromStdString(out));
    hxfuzz::check(again.has_value(), "a written settings file does not read back");
    hxfuzz::check(*again == *strings, "settings changed in a round trip");
    return 0;
}

namespace {
std::vector<uint8_t> text(const std::string& s) {
    return {s.begin(), s.end()};
}
} // namespace

extern "C" int HalvexFuzzSeeds(const char* dir) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    bool ok = true;
    ok &= hxfuzz::seed(dir, "settings",
                       text(head + "<plist version=\"1.0\">\n<array>\n"
                                   "\t<string>/home/user/Pictures/</string>\n"
                                   "\t<string>Halvex</string>\n</array>\n</plist>\n"));
    ok &= hxfuzz::seed(dir, "escaped",
                       text("<plist><array><string>a &amp; b &lt;c&gt;</string>"
                            "<string><![CDATA[x]]></string><string/></array></plist>"));
    ok &= hxfuzz::seed(dir, "nested", text("<plist><array><array/></array></plist>"));
    ok &= hxfuzz::seed(dir, "dict", text("<plist><dict><key>k</key></dict></plist>"));
    ok &= hxfuzz::seed(dir, "utf8",
                       text("<plist><array><string>Bilder/\xc3\xa4\xe2\x82\xac"
                            "</string></array></plist>"));
    return ok ? 0 : 1;
}
