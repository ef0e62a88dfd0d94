#pragma once

#include <QCursor>
#include <QIcon>
#include <QPixmap>

// Icon 128.
QIcon AppIcon();
// Bitmap 135, the banner both windows show, painted for the given size.
QPixmap BannerPixmap(QSize size);
// The hand shown over the banners; one for the whole process.
const QCursor& SharedHandCursor();
