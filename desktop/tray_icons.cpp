#include "desktop/tray_icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace {

// Darker than the usual system green so that the white check keeps a contrast of 3:1 against it.
const QColor connectedFill(0x2A, 0x9D, 0x4A);
const QColor attentionFill(0xFF, 0x95, 0x00);
const QColor offlineStroke(0x8E, 0x8E, 0x93);
const QColor lightMark(Qt::white);
// White on orange would read at barely 2:1; a near-black mark reads at about 9:1.
const QColor darkMark(0x1C, 0x1C, 0x1E);

/// Listed so that trays that pick from the listed sizes (the bus protocol sends those up to 64 px) find
/// one for dense panels too; any other size is drawn on request.
const QList<QSize> listedSizes = {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}};

/// A disc with a darker rim: the rim keeps the disc's edge visible on a light panel, the fill on a dark one.
void drawDisc(QPainter& painter, double side, const QColor& fill) {
    const double rim = std::max(1.0, side / 24);
    const double radius = side / 2 - side / 32 - rim / 2;
    painter.setPen(QPen(fill.darker(140), rim));
    painter.setBrush(fill);
    painter.drawEllipse(QPointF(side / 2, side / 2), radius, radius);
}

/// The area a line of `width` with round ends covers along `path`.
QPainterPath strokeOf(const QPainterPath& path, double width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(path);
}

/// Fills `mark` with `colour` after clearing a margin around it, so that the mark's shape survives in the
/// picture's transparency as well as in its colours.
void drawCutMark(QPainter& painter, double side, const QPainterPath& mark, const QColor& colour) {
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setPen(QPen(Qt::black, 2 * 0.05 * side, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::black);
    painter.drawPath(mark);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(mark);
}

QPainterPath checkMark(double side) {
    QPainterPath path(QPointF(0.29 * side, 0.52 * side));
    path.lineTo(0.44 * side, 0.67 * side);
    path.lineTo(0.72 * side, 0.37 * side);
    return strokeOf(path, 0.12 * side);
}

/// The bar and the dot stand far enough apart for some of the disc to show between their margins.
QPainterPath exclamationMark(double side) {
    QPainterPath bar(QPointF(0.5 * side, 0.23 * side));
    bar.lineTo(0.5 * side, 0.45 * side);
    QPainterPath mark = strokeOf(bar, 0.13 * side);
    mark.addEllipse(QPointF(0.5 * side, 0.74 * side), 0.07 * side, 0.07 * side);
    return mark;
}

/// A ring, not filled, crossed from top left to bottom right: nothing there to reach.
void drawOffline(QPainter& painter, double side) {
    const double width = side * 0.12;
    const double radius = side / 2 - side / 32 - width / 2;
    const QPointF centre(side / 2, side / 2);
    painter.setPen(QPen(offlineStroke, width));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, radius, radius);
    const double reach = radius * std::sqrt(0.5);
    painter.setPen(QPen(offlineStroke, width, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(centre - QPointF(reach, reach), centre + QPointF(reach, reach));
}

/// The picture in a transparent square of `pixels` device pixels.
QPixmap render(TraySymbol symbol, int pixels) {
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = pixels;
    switch (symbol) {
    case TraySymbol::connected:
        drawDisc(painter, side, connectedFill);
        drawCutMark(painter, side, checkMark(side), lightMark);
        break;
    case TraySymbol::attention:
        drawDisc(painter, side, attentionFill);
        drawCutMark(painter, side, exclamationMark(side), darkMark);
        break;
    case TraySymbol::offline:
        drawOffline(painter, side);
        break;
    }
    return pixmap;
}

/// Paints the picture afresh at each size asked for instead of scaling a few stored pixmaps.
class TrayIconEngine final : public QIconEngine {
  public:
    explicit TrayIconEngine(TraySymbol symbol) : symbol_(symbol) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        // Drawn into a pixmap of its own first: the margins are cleared, which on the painter's own device
        // would punch holes into whatever is below the picture.
        const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = std::min(rect.width(), rect.height());
        QPixmap pixmap = render(symbol_, static_cast<int>(std::lround(side * ratio)));
        pixmap.setDevicePixelRatio(ratio);
        painter->drawPixmap(
            QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0), pixmap);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        if (side <= 0) {
            return {};
        }
        if (size.width() == size.height()) {
            return render(symbol_, side);
        }
        QPixmap framed(size);
        framed.fill(Qt::transparent);
        QPainter painter(&framed);
        painter.drawPixmap((size.width() - side) / 2, (size.height() - side) / 2, render(symbol_, side));
        return framed;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return listedSizes; }
    QIconEngine* clone() const override { return new TrayIconEngine(symbol_); }
    QString key() const override { return QStringLiteral("tessaly-tray"); }

  private:
    TraySymbol symbol_;
};

} // namespace

QIcon trayIcon(TraySymbol symbol) {
    return QIcon(new TrayIconEngine(symbol));
}
