// The form's fonts and colours in Qt terms. The form names Windows faces and
// BGR colour values; here they become the nearest installed faces and QColor.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>
#include <QStringList>

#include "resources/form_description.h"

namespace qks::qt {

// Families to try for a face the form names, best first. "Arial" and
// "MS Sans Serif" fall back to metric-compatible faces where the originals
// are missing; a face the table does not know is tried as named.
QStringList FamiliesFor(const char* face);

// A control's font: the form font when the control has none of its own; the
// height is the character height in pixels, as the form gives it.
QFont FontFor(const FontSpec& wanted);

// BGR as the form stores it (0x0000FF is red). System-colour markers have no
// fixed value: they resolve against the palette.
QColor ColorFor(uint32_t bgr, const QPalette& palette);
bool IsSystemColor(uint32_t bgr);

// "BinaryFile|*.bin|All Files|*.*" -> "BinaryFile (*.bin);;All Files (*.*)".
// A trailing name without a pattern is dropped; patterns separated by ';'
// in one entry are kept together.
QString FileDialogFilter(const std::string& filter);

}  // namespace qks::qt
