#include "faces/qt/native_style.h"

#include <cstdlib>
#include <cstring>

namespace qks::qt {

namespace {
// The form font is the dialog font of the platform the window was designed
// on; where it is missing, Liberation Sans keeps Arial's widths, so captions
// measured for the designed geometry still fit.
constexpr const char* kFormFace = "MS Sans Serif";

struct FaceFallback {
    const char* face;
    const char* families;   // ';'-separated, best first
};
constexpr FaceFallback kFallbacks[] = {
    {"Arial", "Arial;Liberation Sans;Arimo;Nimbus Sans;Helvetica;DejaVu Sans"},
    {"MS Sans Serif",
     "MS Sans Serif;Microsoft Sans Serif;Liberation Sans;Arimo;Nimbus Sans;DejaVu Sans"},
};
}  // namespace

QStringList FamiliesFor(const char* face) {
    const char* name = face ? face : kFormFace;
    for (const FaceFallback& fallback : kFallbacks)
        if (std::strcmp(fallback.face, name) == 0)
            return QString::fromLatin1(fallback.families).split(u';');
    return {QString::fromLatin1(name)};
}

QFont FontFor(const FontSpec& wanted) {
    const FontSpec& effective = wanted.face ? wanted : kWindowDescription.font;
    QFont font;
    font.setFamilies(FamiliesFor(effective.face));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::abs(wanted.height != 0 ? wanted.height : effective.height));
    return font;
}

bool IsSystemColor(uint32_t bgr) { return (bgr & 0xFF000000u) != 0; }

QColor ColorFor(uint32_t bgr, const QPalette& palette) {
    if (bgr == kWindowText) return palette.color(QPalette::WindowText);
    if (bgr == kButtonFace) return palette.color(QPalette::Button);
    if (IsSystemColor(bgr)) return palette.color(QPalette::WindowText);
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

QString FileDialogFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(u'|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(u';', u' ');
        entries << parts[i] + QStringLiteral(" (") + patterns.simplified() + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

}  // namespace qks::qt
