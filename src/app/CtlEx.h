#pragma once
// The position bar: a horizontal slider without ticks that knows whether the mouse button is
// held on it. Its change handler is called on every change of the position, the program's
// own included, and once more when the mouse button is released, so a handler that ignores
// changes while the button is held still sees where a drag ended.

#include <QSlider>

#include <functional>

namespace kelvora {

class QTrackBar2;
using TrackBarChange = std::function<void(QTrackBar2* bar)>;

class QTrackBar2 : public QSlider {
public:
    explicit QTrackBar2(QWidget* parent = nullptr);
    // False while a mouse button is held on the bar.
    bool Released() const { return released_; }
    void SetOnChange(TrackBarChange handler) { onChange_ = std::move(handler); }
    const TrackBarChange& OnChange() const { return onChange_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void Changed_();
    bool released_ = true;
    TrackBarChange onChange_;
};

// A new bar with the parent, bounds, visibility (inside a parent), tick marks and tick interval
// of `bar`, and its change handler when it is a QTrackBar2; `bar` is deleted when `freeOld` is
// set.
QTrackBar2* CloneTrackBar2(QSlider* bar, bool freeOld);

}  // namespace kelvora
