#include "res/Resources.h"

#include "res/Artwork.h"
#include "res/DialogTemplate.h"

#include <QLabel>

namespace velmora {

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

QPixmap BannerPixmap(QSize size)
{
    return QPixmap::fromImage(PaintBanner(size));
}

const QCursor& SharedHandCursor()
{
    static const QCursor s_cursor(Qt::PointingHandCursor);
    return s_cursor;
}

void SetUpDialogFrame(QDialog& dlg, const SDialogTemplate& tmpl)
{
    dlg.setWindowTitle(QString::fromLatin1(tmpl.szCaption));
    dlg.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dlg.setWindowIcon(AppIcon());
}

void SetUpBanner(QLabel& banner, QObject* pFilter)
{
    banner.setPixmap(BannerPixmap(banner.contentsRect().size()));
    banner.setCursor(SharedHandCursor());
    banner.installEventFilter(pFilter);
}

} // namespace velmora
