#include "platform/PostedMessage.h"

#include <QCoreApplication>

namespace kelvora {

PostedMessage::PostedMessage(uint32_t msg, uint32_t wp, int32_t lp)
    : QEvent(EventType()), message(msg), wParam(wp), lParam(lp) {}

QEvent::Type PostedMessage::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool PostMessageTo(QObject* window, uint32_t message, uint32_t wParam, int32_t lParam) {
    if (window == nullptr) return false;
    // The event queue takes ownership of the event.
    QCoreApplication::postEvent(window, new PostedMessage(message, wParam, lParam));
    return true;
}

}  // namespace kelvora
