#pragma once
// Posted window messages: an event carrying (message, wParam, lParam), queued to a window
// object and handled later on that object's thread.

#include <cstdint>

#include <QEvent>

class QObject;

namespace kelvora {

class PostedMessage : public QEvent {
public:
    PostedMessage(uint32_t message, uint32_t wParam, int32_t lParam);
    // The event type, registered with Qt on first use.
    static QEvent::Type EventType();

    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
};

// Queues the message to `window` (safe from any thread); false when there is no window.
bool PostMessageTo(QObject* window, uint32_t message, uint32_t wParam, int32_t lParam);

}  // namespace kelvora
