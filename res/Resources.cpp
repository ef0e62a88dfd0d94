#include "Resources.h"

#include "Artwork.h"

QIcon AppIcon()
{
    static const QIcon s_icon = [] {
        QIcon icon;
        for (int s : { 16, 24, 32, 48, 64, 128, 256 })
            icon.addPixmap(QPixmap::fromImage(PaintAppIcon(s)));
        return icon;
    }();
    return s_icon;
}

QPixmap BannerPixmap(QSize size) { return QPixmap::fromImage(PaintBanner(size)); }

const QCursor& SharedHandCursor()
{
    static const QCursor s_cursor(Qt::PointingHandCursor);
    return s_cursor;
}
