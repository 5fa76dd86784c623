#include "app/Glyphs.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <initializer_list>

namespace kelvora {

namespace {

using Pts = std::initializer_list<QPointF>;

// The symbol drawn into a 16 x 16 grid.
void Symbol_(QPainter& p, int32_t kind) {
    const auto tri = [&](Pts pts) { p.drawPolygon(std::data(pts), static_cast<int>(pts.size())); };
    const auto bar = [&](qreal x) { p.drawRect(QRectF(x, 3, 2, 10)); };
    switch (kind) {
        case GLYPH_PLAY: tri({{5, 3}, {5, 13}, {12, 8}}); break;
        case GLYPH_PAUSE:
            p.drawRect(QRectF(4, 3, 3, 10));
            p.drawRect(QRectF(9, 3, 3, 10));
            break;
        case GLYPH_EJECT:
            tri({{2.5, 9.5}, {13.5, 9.5}, {8, 3.5}});
            p.drawRect(QRectF(2.5, 11, 11, 2));
            break;
        case GLYPH_TO_START:
            bar(3);
            tri({{13, 3}, {13, 13}, {6, 8}});
            break;
        case GLYPH_FAST_BACK:
            tri({{8, 3}, {8, 13}, {2, 8}});
            tri({{14, 3}, {14, 13}, {8, 8}});
            break;
        case GLYPH_ONE_BACK:
            tri({{9, 3}, {9, 13}, {3, 8}});
            bar(10.5);
            break;
        case GLYPH_ONE_FORWARD:
            bar(3.5);
            tri({{7, 3}, {7, 13}, {13, 8}});
            break;
        case GLYPH_FAST_FORWARD:
            tri({{2, 3}, {2, 13}, {8, 8}});
            tri({{8, 3}, {8, 13}, {14, 8}});
            break;
        case GLYPH_TO_END:
            tri({{3, 3}, {3, 13}, {10, 8}});
            bar(11);
            break;
        case GLYPH_INFO: {
            QPainterPath ring;
            ring.addEllipse(QPointF(8, 8), 6.5, 6.5);
            ring.addEllipse(QPointF(8, 8), 5, 5);
            p.drawPath(ring);
            p.drawEllipse(QPointF(8, 5), 1.1, 1.1);
            p.drawRect(QRectF(7.1, 7, 1.8, 5));
            break;
        }
        case GLYPH_OPTIONS: {
            // Three sliders.
            const qreal knobs[] = {5, 10, 7};
            for (int i = 0; i < 3; ++i) {
                const qreal y = 4 + 4 * i;
                p.drawRect(QRectF(2, y - 0.6, 12, 1.2));
                p.drawRect(QRectF(knobs[i] - 1.5, y - 1.5, 3, 3));
            }
            break;
        }
        default: break;
    }
}

}  // namespace

QImage GlyphImage(int32_t kind, int32_t state, int32_t size) {
    if (kind < 0 || kind >= GLYPH_KINDS || state < 0 || state >= GLYPH_STATES) return QImage();
    size = std::clamp(size, 8, 256);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const qreal scale = size / 16.0;
    // Pressed and held symbols sink by a pixel, as the button face does.
    const qreal shift = state == GLYPH_DOWN || state == GLYPH_HELD ? 1 : 0;
    const auto draw = [&](const QColor& colour, qreal offset) {
        p.save();
        p.translate(offset, offset);
        p.scale(scale, scale);
        p.setBrush(colour);
        Symbol_(p, kind);
        p.restore();
    };
    switch (state) {
        case GLYPH_DISABLED:
            draw(QColor(255, 255, 255), 1);  // engraved look
            draw(QColor(140, 140, 140), 0);
            break;
        case GLYPH_HELD: draw(QColor(0, 84, 160), shift); break;
        default: draw(QColor(24, 24, 24), shift); break;
    }
    return image;
}

QPixmap GlyphMake(int32_t kind, int32_t state, int32_t size) {
    return QPixmap::fromImage(GlyphImage(kind, state, size));
}

QIcon GlyphIcon(int32_t kind, int32_t size) {
    QIcon icon;
    icon.addPixmap(GlyphMake(kind, GLYPH_UP, size), QIcon::Normal, QIcon::Off);
    icon.addPixmap(GlyphMake(kind, GLYPH_DISABLED, size), QIcon::Disabled, QIcon::Off);
    icon.addPixmap(GlyphMake(kind, GLYPH_DOWN, size), QIcon::Active, QIcon::Off);
    icon.addPixmap(GlyphMake(kind, GLYPH_HELD, size), QIcon::Normal, QIcon::On);
    return icon;
}

}  // namespace kelvora
