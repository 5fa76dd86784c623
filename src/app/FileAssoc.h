#pragma once
// The list of extensions the player can take over, and the association logic with a backup of
// each extension's previous owner: associating keeps the first owner in the backup key,
// un-associating gives the extension back to it, but only while the extension is still ours.
//
// The list and its items are plain records in tracked blocks (Basic); texts are
// length-prefixed and cut to their room.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace kelvora {

constexpr int32_t FAS_MAX_ITEMS = 1024;

// Item states.
constexpr int32_t FAS_NOT_ASSOCIATED = 0;
constexpr int32_t FAS_ASSOCIATED = 1;

// A length-prefixed text of at most N characters.
template <size_t N>
struct QFasStr {
    static_assert(N <= 255);
    uint8_t length;
    char text[N];

    std::string Get() const { return std::string(text, std::min<size_t>(length, N)); }
    void Set(const std::string& s) {
        length = static_cast<uint8_t>(std::min(s.size(), N));
        std::memcpy(text, s.data(), length);
    }
};

struct QFasItem {
    QFasStr<8> ext;            // with its leading dot, as in the format table
    int32_t flags;             // the format table's flags
    QFasStr<128> description;  // the format's long name + ", " + the extension in upper case
    QFasStr<128> formatName;   // the format table's description: the sort key
    int32_t type;              // the format type of a file with this extension
    int32_t state;             // FAS_ASSOCIATED, FAS_NOT_ASSOCIATED or BAD_HANDLE (not yet known)
};

struct QFasList {
    int32_t count;
    QFasStr<255> backupKey;  // empty: no backup key, so nothing is associated or restored
    QFasItem* items[FAS_MAX_ITEMS];
};

// An empty list without a backup key.
QFasList* Fas_Create();
// Frees the items and the list, and clears the variable.
void Fas_Free(QFasList*& list);
// Adds one item per extension of every format of the table (FF_TABLE_OUTPUT, else the load
// table) whose flags share a bit with a non-zero `flagFilter`, ordered by format name
// (case-insensitive; a format goes before existing items of an equal name), extensions of
// one format together in table order. Stops once the list holds more than 999 items.
void Fas_AddAllFormats(QFasList* list, int32_t table, int32_t flagFilter);
// The item, or null outside 0 .. count - 1.
QFasItem* Fas_GetItemPtr(QFasList* list, int32_t index);
void Fas_SetAssoc(QFasList* list, int32_t index, int32_t state);
// The backup key becomes "Tarnwel_Backup\" + name; an empty name clears it.
void Fas_RegDefineBackupKey(QFasList* list, const std::string& name);
// Points the item's extension at the file type, first keeping its current owner in the backup
// key unless a backup of it is already there.
void Fas_RegSetAssoc(QFasList* list, int32_t index, const std::string& fileType);
// Gives the item's extension back to its backed-up owner (none when the backup is empty or
// missing) if it still belongs to the file type (case-insensitive); the backup stays.
void Fas_RegRestoreAssoc(QFasList* list, int32_t index, const std::string& fileType);
bool Fas_RegIsAssoc(QFasList* list, int32_t index, const std::string& fileType);

// The number of extensions in a list such as ".bmp.dib.rle" (its dots).
int32_t _ExtGetCount(const std::string& exts);
// The first extension of the list, without its dot; taken off the list when `remove` is set.
void _ExtGetNext(std::string& exts, bool remove, std::string& ext);

}  // namespace kelvora
