// Writes the application icon and the banner as PNG files:
//   velmora-art <out-dir>
#include "res/Artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

using namespace velmora;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora-art <out-dir>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = true;
    for (int s : { 16, 32, 48, 64, 128, 256 })
        ok &= PaintAppIcon(s).save(dir.filePath(QStringLiteral("velmora-%1.png").arg(s)));
    ok &= PaintBanner(QSize(850, 124)).save(dir.filePath(QStringLiteral("banner.png")));
    return ok ? 0 : 1;
}
