#include "app/StripPaintStyle.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QWidget>
#include <unordered_map>
#include <utility>

namespace {

// Under the 96 rows from which the raster engine splits a fill.
constexpr int BAND = 64;

// Everything a bar's look depends on.
QString LookKey(const QStyleOptionSlider& bar, qreal ratio, QRgb background) {
    return QStringLiteral("%1x%2:%3:%4:%5:%6:%7:%8:%9:%10:%11:%12:%13:%14:%15")
        .arg(bar.rect.width())
        .arg(bar.rect.height())
        .arg(bar.orientation)
        .arg(bar.minimum)
        .arg(bar.maximum)
        .arg(bar.sliderPosition)
        .arg(bar.pageStep)
        .arg(bar.upsideDown)
        .arg(int(bar.state))
        .arg(int(bar.subControls))
        .arg(int(bar.activeSubControls))
        .arg(int(bar.direction))
        .arg(bar.palette.cacheKey())
        .arg(ratio)
        .arg(background);
}

class CStripPaintStyle : public QProxyStyle {
  public:
    // A style of the application style's kind: the proxy owns its base.
    CStripPaintStyle() : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {}

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
        if (control != CC_ScrollBar || bar == nullptr || bar->rect.isEmpty()) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const qreal ratio = painter->device()->devicePixelRatioF();
        const bool opaque = widget != nullptr && widget->autoFillBackground();
        const QRgb background =
            opaque ? widget->palette().color(widget->backgroundRole()).rgba() : 0;
        if (widget == nullptr) {
            painter->drawImage(bar->rect.topLeft(), Draw(*bar, widget, ratio, background));
            return;
        }
        // The last look of each bar, dropped with the bar.
        auto [it, added] = m_looks.try_emplace(widget);
        if (added)
            connect(widget, &QObject::destroyed, this, [this, widget] { m_looks.erase(widget); });
        Look& look = it->second;
        if (QString key = LookKey(*bar, ratio, background); look.key != key) {
            look.pixmap = QPixmap::fromImage(Draw(*bar, widget, ratio, background));
            look.key = std::move(key);
        }
        painter->drawPixmap(bar->rect.topLeft(), look.pixmap);
    }

  private:
    // The whole bar on an image of its own, band by band: each band is an
    // image on which the whole bar is drawn, moved up, since the style sets
    // clips of its own and a clip on the painter would not keep its fills
    // to the band.
    QImage Draw(const QStyleOptionSlider& bar, const QWidget* widget, qreal ratio,
                QRgb background) const {
        QStyleOptionSlider at = bar;
        at.rect.moveTo(0, 0);
        QImage whole(at.rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        whole.setDevicePixelRatio(ratio);
        QImage band(QSize(at.rect.width(), BAND) * ratio, QImage::Format_ARGB32_Premultiplied);
        band.setDevicePixelRatio(ratio);
        QPainter onWhole(&whole);
        onWhole.setCompositionMode(QPainter::CompositionMode_Source);
        for (int top = 0; top < at.rect.height(); top += BAND) {
            band.fill(QColor::fromRgba(background));
            {
                QPainter onBand(&band);
                onBand.translate(0, -top);
                QProxyStyle::drawComplexControl(CC_ScrollBar, &at, &onBand, widget);
            }
            onWhole.drawImage(QPoint(0, top), band);
        }
        return whole;
    }

    struct Look {
        QString key;
        QPixmap pixmap;
    };
    mutable std::unordered_map<const QWidget*, Look> m_looks;
};

} // namespace

QStyle* StripPaintStyle() {
    static CStripPaintStyle* style = new CStripPaintStyle;
    return style;
}
