#include "app/ctlpopup.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QThread>

#include <charconv>

#include "app/VCLUtils.h"
#include "runtime/Basic.h"

namespace kelvora {

namespace {

constexpr int64_t ID_OFFSET = 100;

}  // namespace

void PopupAddItem(std::string& description, const std::string& text, int32_t id) {
    for (char c : text)
        if (c != '|') description += c;
    description += "|" + std::to_string(int64_t{id} + ID_OFFSET) + "|";
}

std::vector<QPopupItem> PopupItems(const std::string& description) {
    std::vector<QPopupItem> items;
    size_t pos = 0;
    while (pos < description.size()) {
        const size_t bar = description.find('|', pos);
        if (bar == std::string::npos) break;
        const size_t next = description.find('|', bar + 1);
        const std::string number = description.substr(
            bar + 1, next == std::string::npos ? std::string::npos : next - bar - 1);
        const std::string text = description.substr(pos, bar - pos);
        pos = next == std::string::npos ? description.size() : next + 1;
        int64_t value = 0;
        const char* end = number.data() + number.size();
        const auto [stop, ec] = std::from_chars(number.data(), end, value);
        if (number.empty() || ec != std::errc() || stop != end) continue;
        value -= ID_OFFSET;
        if (value < INT32_MIN || value > INT32_MAX) continue;
        items.push_back({text, static_cast<int32_t>(value)});
    }
    return items;
}

int32_t PopupDisplay(int32_t x, int32_t y, const std::string& description) {
    const std::vector<QPopupItem> items = PopupItems(description);
    if (items.empty()) return BAD_HANDLE;
    QVclLogEntry entry{
        "popup",   AppTitle(), description, std::string(), static_cast<int32_t>(items.size()),
        BAD_HANDLE};
    int32_t chosen = BAD_HANDLE;
    int32_t scripted = BAD_HANDLE;
    QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (VclScriptTakeInt_(scripted)) {
        for (const QPopupItem& item : items)
            if (item.text != "-" && item.id == scripted) chosen = scripted;
    } else if (!VclHeadless_() && QThread::currentThread() == app->thread()) {
        const QPoint cursor = QCursor::pos();
        QMenu menu(QApplication::activeWindow());
        for (const QPopupItem& item : items) {
            if (item.text == "-") {
                menu.addSeparator();
            } else {
                QAction* action = menu.addAction(QString::fromStdString(item.text));
                action->setData(item.id);
            }
        }
        const QAction* picked = menu.exec(QPoint(x < 0 ? cursor.x() : x, y < 0 ? cursor.y() : y));
        if (picked) chosen = picked->data().toInt();
    }
    entry.answer = chosen;
    VclLogAdd_(entry);
    return chosen;
}

}  // namespace kelvora
