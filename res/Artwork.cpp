#include "res/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace velmora {

namespace {

    const QColor kDeep(0x0b, 0x3a, 0x66);
    const QColor kMid(0x1f, 0x6f, 0xb2);
    const QColor kBright(0x2a, 0x8f, 0xd0);
    const QColor kCyan(0x8f, 0xe3, 0xff);

    // Three packets on their way to the wire, and the wire: the product's mark.
    void PaintMark(QPainter& p, const QRectF& r)
    {
        const qreal u = r.width() / 240.0;
        auto R = [&](qreal x, qreal y, qreal w, qreal h) {
            return QRectF(r.left() + x * u, r.top() + y * u, w * u, h * u);
        };
        p.setPen(Qt::NoPen);
        QColor c = kCyan;
        c.setAlphaF(0.45);
        p.setBrush(c);
        p.drawRoundedRect(R(28, 64, 46, 60), 8 * u, 8 * u);
        c.setAlphaF(0.75);
        p.setBrush(c);
        p.drawRoundedRect(R(86, 64, 46, 60), 8 * u, 8 * u);
        QLinearGradient g(R(144, 64, 46, 60).topLeft(), R(144, 64, 46, 60).topRight());
        g.setColorAt(0, kCyan);
        g.setColorAt(1, Qt::white);
        p.setBrush(g);
        p.drawRoundedRect(R(144, 64, 46, 60), 8 * u, 8 * u);
        QPainterPath arrow;
        arrow.moveTo(R(200, 56, 0, 0).topLeft());
        arrow.lineTo(R(226, 94, 0, 0).topLeft());
        arrow.lineTo(R(200, 132, 0, 0).topLeft());
        arrow.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(arrow);
        c.setAlphaF(0.6);
        p.setBrush(c);
        p.drawRoundedRect(R(24, 164, 192, 10), 5 * u, 5 * u);
        p.setBrush(Qt::white);
        for (qreal x : { 52.0, 120.0, 188.0 })
            p.drawEllipse(R(x - 12, 157, 24, 24));
    }

} // namespace

QImage PaintAppIcon(int iSize)
{
    QImage img(iSize, iSize, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = iSize / 256.0;
    const QRectF body(8 * s, 8 * s, 240 * s, 240 * s);
    QLinearGradient g(body.topLeft(), body.bottomLeft());
    g.setColorAt(0, kMid);
    g.setColorAt(1, kDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(body, 44 * s, 44 * s);
    p.setBrush(QColor(255, 255, 255, 18));
    p.drawRoundedRect(
        QRectF(body.left(), body.top(), body.width(), body.height() / 2), 44 * s, 44 * s);
    PaintMark(p, body.adjusted(8 * s, 8 * s, -8 * s, -8 * s));
    return img;
}

QImage PaintBanner(QSize size)
{
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const qreal w = size.width(), h = size.height();
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, kDeep);
    g.setColorAt(0.6, kMid);
    g.setColorAt(1, kBright);
    p.fillRect(img.rect(), g);

    // Faint frames marching towards the wire on the right.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 22));
    const qreal fh = h * 0.64, fw = fh * 0.62, top = h * 0.14;
    for (int i = 0; i < 4; ++i)
        p.drawRoundedRect(
            QRectF(w - (4 - i) * (fw * 1.3) - h * 0.1, top, fw, fh), fh * 0.1, fh * 0.1);
    p.setBrush(QColor(0x8f, 0xe3, 0xff, 90));
    p.drawRoundedRect(QRectF(w * 0.58, top + fh + h * 0.04, w * 0.4, h * 0.045), 2, 2);

    // The mark on a light tile, then the name and what it is for.
    const qreal tile = h * 0.72;
    const QRectF tileRect(h * 0.16, (h - tile) / 2, tile, tile);
    p.setBrush(QColor(255, 255, 255, 30));
    p.drawRoundedRect(tileRect, tile * 0.18, tile * 0.18);
    PaintMark(p, tileRect.adjusted(tile * 0.06, tile * 0.06, -tile * 0.06, -tile * 0.06));

    QFont name("DejaVu Sans");
    name.setBold(true);
    name.setPixelSize(qRound(h * 0.38));
    p.setFont(name);
    p.setPen(Qt::white);
    const qreal tx = tileRect.right() + h * 0.18;
    p.drawText(QPointF(tx, h * 0.54), QStringLiteral("Velmora"));
    QFont tag("DejaVu Sans");
    tag.setPixelSize(qMax(8, qRound(h * 0.15)));
    p.setFont(tag);
    p.setPen(QColor(0xcf, 0xea, 0xff));
    p.drawText(
        QPointF(tx + 2, h * 0.78), QStringLiteral("Capture replay for BACnet/Ethernet networks"));
    return img;
}

} // namespace velmora
