#include "app/CtlEx.h"

#include <QMouseEvent>

namespace kelvora {

QTrackBar2::QTrackBar2(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setTickPosition(QSlider::NoTicks);
    connect(this, &QSlider::valueChanged, this, [this](int) { Changed_(); });
}

void QTrackBar2::Changed_() {
    if (onChange_) onChange_(this);
}

void QTrackBar2::mousePressEvent(QMouseEvent* event) {
    released_ = false;
    QSlider::mousePressEvent(event);
}

void QTrackBar2::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    released_ = true;
    Changed_();
}

QTrackBar2* CloneTrackBar2(QSlider* bar, bool freeOld) {
    if (!bar) return nullptr;
    auto* clone = new QTrackBar2(bar->parentWidget());
    clone->setGeometry(bar->geometry());
    clone->setTickPosition(bar->tickPosition());
    clone->setTickInterval(bar->tickInterval());
    if (auto* old = dynamic_cast<QTrackBar2*>(bar)) clone->SetOnChange(old->OnChange());
    if (QWidget* parent = bar->parentWidget()) {
        clone->setVisible(bar->isVisibleTo(parent));
        clone->stackUnder(bar);
    }
    if (freeOld) delete bar;
    return clone;
}

}  // namespace kelvora
