#pragma once
// Popup menus described by a string: "text|number|text|number|...", where the number is the
// command's id + 100 and a text "-" stands for a separator. The menu is built, shown and
// destroyed by one call, which returns the chosen id.

#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {

// Appends the item: the text without any "|", then id + 100.
void PopupAddItem(std::string& description, const std::string& text, int32_t id);

// Shows the menu at (x, y) in screen coordinates (a negative coordinate is the cursor's) and
// returns the chosen id, or BAD_HANDLE when nothing was chosen or there is no item. Scripted
// answers (VclScriptPush) name the id the user picks; an id the menu does not offer as a
// command chooses nothing.
int32_t PopupDisplay(int32_t x, int32_t y, const std::string& description);

// The items of a description in order; separators have the text "-". Pairs whose number is
// not a whole number are left out.
struct QPopupItem {
    std::string text;
    int32_t id;
};
std::vector<QPopupItem> PopupItems(const std::string& description);

}  // namespace kelvora
