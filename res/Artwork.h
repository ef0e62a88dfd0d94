#pragma once

#include <QImage>
#include <QSize>

namespace velmora {

// Our banner and icon are painted in code, so they stay sharp at any size and
// the installed PNGs come from the same drawing.
QImage PaintBanner(QSize size);
QImage PaintAppIcon(int iSize);

} // namespace velmora
