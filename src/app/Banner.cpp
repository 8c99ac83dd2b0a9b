#include "app/Banner.h"

#include <QConicalGradient>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

namespace {

// A compact disc seen from above: a rainbow sheen on silver, a clear hub and the hole.
void DrawDisc(QPainter& p, QPointF centre, qreal radius)
{
    QConicalGradient sheen(centre, 30);
    sheen.setColorAt(0.00, QColor(220, 224, 232));
    sheen.setColorAt(0.12, QColor(170, 210, 250));
    sheen.setColorAt(0.25, QColor(235, 235, 240));
    sheen.setColorAt(0.38, QColor(250, 210, 160));
    sheen.setColorAt(0.50, QColor(210, 214, 224));
    sheen.setColorAt(0.62, QColor(180, 240, 200));
    sheen.setColorAt(0.75, QColor(236, 236, 242));
    sheen.setColorAt(0.88, QColor(230, 190, 240));
    sheen.setColorAt(1.00, QColor(220, 224, 232));
    p.setPen(QPen(QColor(90, 100, 120), radius > 10 ? 1.2 : 0.8));
    p.setBrush(sheen);
    p.drawEllipse(centre, radius, radius);
    p.setBrush(QColor(245, 247, 250, 220));
    p.drawEllipse(centre, radius * 0.34, radius * 0.34);
    p.setBrush(Qt::white);
    p.drawEllipse(centre, radius * 0.12, radius * 0.12);
}

}  // namespace

QImage DrawBanner(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = size.width(), h = size.height();

    // Sky over sea: the rescue boat's colours.
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0.0, QColor(236, 244, 252));
    sky.setColorAt(0.55, QColor(178, 206, 236));
    sky.setColorAt(1.0, QColor(24, 60, 120));
    p.fillRect(image.rect(), sky);

    // Waves along the bottom.
    for (int band = 0; band < 3; ++band) {
        QPainterPath wave;
        const qreal base = h * (0.70 + 0.10 * band);
        wave.moveTo(0, h);
        wave.lineTo(0, base);
        for (qreal x = 0; x <= w; x += 24)
            wave.quadTo(x + 6, base - 5, x + 12, base), wave.quadTo(x + 18, base + 5, x + 24, base);
        wave.lineTo(w, h);
        wave.closeSubpath();
        p.fillPath(wave, QColor(20 + 10 * band, 70 + 12 * band, 140 - 20 * band, 150));
    }

    // A keel under a vane-shaped sail, beside the disc.
    const QPointF disc(w * 0.14, h * 0.46);
    DrawDisc(p, disc, h * 0.36);
    QPainterPath hull;
    hull.moveTo(w * 0.27, h * 0.60);
    hull.lineTo(w * 0.37, h * 0.60);
    hull.lineTo(w * 0.345, h * 0.70);
    hull.lineTo(w * 0.29, h * 0.70);
    hull.closeSubpath();
    p.fillPath(hull, QColor(150, 40, 30));
    QPainterPath sail;
    sail.moveTo(w * 0.32, h * 0.18);
    sail.lineTo(w * 0.32, h * 0.57);
    sail.lineTo(w * 0.365, h * 0.57);
    sail.closeSubpath();
    p.fillPath(sail, QColor(255, 255, 255, 235));
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawLine(QPointF(w * 0.32, h * 0.16), QPointF(w * 0.32, h * 0.60));

    // The name.
    QFont title(QStringLiteral("Sans Serif"));
    title.setPixelSize(qRound(h * 0.26));
    title.setBold(true);
    p.setFont(title);
    const QRectF titleBox(w * 0.40, h * 0.10, w * 0.58, h * 0.32);
    p.setPen(QColor(255, 255, 255, 200));
    p.drawText(titleBox.translated(1.5, 1.5), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("KeelVane"));
    p.setPen(QColor(16, 44, 96));
    p.drawText(titleBox, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("KeelVane"));
    QFont subtitle(QStringLiteral("Sans Serif"));
    subtitle.setPixelSize(qRound(h * 0.13));
    p.setFont(subtitle);
    p.setPen(QColor(16, 44, 96));
    p.drawText(QRectF(w * 0.40, h * 0.42, w * 0.58, h * 0.18), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Data Rescue CD"));
    return image;
}

QIcon BurnGlyph()
{
    QImage normal(16, 16, QImage::Format_ARGB32_Premultiplied);
    normal.fill(Qt::transparent);
    {
        QPainter p(&normal);
        p.setRenderHint(QPainter::Antialiasing);
        DrawDisc(p, QPointF(7.5, 8), 6.8);
        // A red dot: recording.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(210, 30, 30));
        p.drawEllipse(QPointF(12.5, 12.5), 3, 3);
    }
    QImage disabled = normal.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < disabled.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(disabled.scanLine(y));
        for (int x = 0; x < disabled.width(); ++x) {
            const int g = 128 + qGray(line[x]) / 3;
            line[x] = qRgba(g, g, g, qAlpha(line[x]) / 2);
        }
    }
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(normal), QIcon::Normal);
    icon.addPixmap(QPixmap::fromImage(disabled), QIcon::Disabled);
    return icon;
}
