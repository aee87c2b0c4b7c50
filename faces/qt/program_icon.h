// The program's own icon, drawn rather than shipped so every size is sharp.
#pragma once

#include <QIcon>
#include <QImage>

namespace qks::qt {

// A bridge chip on a disk enclosure with a green arrow into it.
QImage ProgramIconImage(int size);
QIcon ProgramIcon();

}  // namespace qks::qt
