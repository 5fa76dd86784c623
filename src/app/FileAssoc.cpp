#include "app/FileAssoc.h"

#include <exception>
#include <type_traits>

#include "app/regwrap.h"
#include "formats/FileFmtDef.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

static_assert(std::is_trivially_copyable_v<QFasList> && std::is_trivially_copyable_v<QFasItem>,
              "the list and its items live in tracked blocks");

constexpr const char* BACKUP_ROOT = "Tarnwel_Backup\\";

char Lower_(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares without regard to ASCII case: < 0, 0 or > 0.
int CompareText_(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int d = static_cast<unsigned char>(Lower_(a[i])) -
                      static_cast<unsigned char>(Lower_(b[i]));
        if (d != 0) return d;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::string Upper_(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool InRange_(const QFasList* list, int32_t index) {
    return list && index >= 0 && index < list->count;
}

// Whether the backup key holds a value for the extension, even an empty one: an extension that
// had no owner keeps that empty backup, so a second association cannot record us instead.
bool BackupExists_(const std::string& key, const std::string& ext) {
    try {
        QRegistry reg(HKEY_CLASSES_ROOT);
        return reg.OpenKeyReadOnly(key) && reg.ValueExists(ext);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

QFasList* Fas_Create() {
    QFasList* list = nullptr;
    Monitored([&] {
        _memalloc_(list, sizeof(QFasList), __LINE__, MEM_KIND_N, "FileAssoc.Fas_Create.list");
    });
    return list;
}

void Fas_Free(QFasList*& list) {
    if (!list) return;
    for (int32_t i = 0; i < std::min(list->count, FAS_MAX_ITEMS); ++i) MemFree(list->items[i]);
    MemFree(list);
    list = nullptr;
}

void Fas_AddAllFormats(QFasList* list, int32_t table, int32_t flagFilter) {
    if (!list) return;
    // The new order is built aside and stored at the end, so a failed allocation (whose blocks
    // the frame releases) leaves the list as it was.
    QFasItem* work[FAS_MAX_ITEMS];
    int32_t count = std::clamp(list->count, 0, FAS_MAX_ITEMS);
    std::copy(list->items, list->items + count, work);
    Monitored([&] {
        QffDesc row;
        for (int32_t n = 0; count <= 999 && FFGetDesc(row, n, table); ++n) {
            if (flagFilter != 0 && (flagFilter & row.flags) == 0) continue;
            const int32_t m = _ExtGetCount(row.extensions);
            if (m <= 0 || count + m > FAS_MAX_ITEMS) continue;
            int32_t k = 0;
            while (k < count && CompareText_(work[k]->formatName.Get(), row.description) < 0) ++k;
            std::copy_backward(work + k, work + count, work + count + m);
            std::string exts = row.extensions;
            for (int32_t j = 0; j < m; ++j) {
                std::string ext;
                _ExtGetNext(exts, true, ext);
                QFasItem* item = nullptr;
                _memalloc_(item, sizeof(QFasItem), __LINE__, MEM_KIND_N,
                           "FileAssoc.Fas_AddAllFormats.item");
                item->ext.Set("." + ext);
                item->flags = row.flags;
                item->description.Set(row.longName + ", " + Upper_(ext));
                item->formatName.Set(row.description);
                item->type = FFTypeByExt("a." + ext, table);
                item->state = BAD_HANDLE;
                work[k + j] = item;
            }
            count += m;
        }
        std::copy(work, work + count, list->items);
        list->count = count;
    });
}

QFasItem* Fas_GetItemPtr(QFasList* list, int32_t index) {
    return InRange_(list, index) ? list->items[index] : nullptr;
}

void Fas_SetAssoc(QFasList* list, int32_t index, int32_t state) {
    if (InRange_(list, index)) list->items[index]->state = state;
}

void Fas_RegDefineBackupKey(QFasList* list, const std::string& name) {
    if (list) list->backupKey.Set(name.empty() ? std::string() : BACKUP_ROOT + name);
}

void Fas_RegSetAssoc(QFasList* list, int32_t index, const std::string& fileType) {
    if (!InRange_(list, index) || list->backupKey.length == 0) return;
    const std::string key = list->backupKey.Get();
    const std::string ext = list->items[index]->ext.Get();
    if (!BackupExists_(key, ext)) {
        // An extension that is ours already has no other owner to remember.
        const std::string current = RegFileTypeGet(ext);
        RegPutString(HKEY_CLASSES_ROOT, key, ext,
                     CompareText_(current, fileType) == 0 ? std::string() : current);
    }
    RegAssociateFileExt(ext, fileType);
}

void Fas_RegRestoreAssoc(QFasList* list, int32_t index, const std::string& fileType) {
    if (!InRange_(list, index) || list->backupKey.length == 0 || fileType.empty()) return;
    const std::string ext = list->items[index]->ext.Get();
    if (CompareText_(RegFileTypeGet(ext), fileType) != 0) return;  // someone else's now
    RegAssociateFileExt(ext, RegGetString(HKEY_CLASSES_ROOT, list->backupKey.Get(), ext));
}

bool Fas_RegIsAssoc(QFasList* list, int32_t index, const std::string& fileType) {
    return InRange_(list, index) && RegIsExtAssociated(list->items[index]->ext.Get(), fileType);
}

int32_t _ExtGetCount(const std::string& exts) {
    return static_cast<int32_t>(std::count(exts.begin(), exts.end(), '.'));
}

void _ExtGetNext(std::string& exts, bool remove, std::string& ext) {
    const size_t start = !exts.empty() && exts[0] == '.' ? 1 : 0;
    const size_t next = exts.find('.', start);
    ext = exts.substr(start, next == std::string::npos ? std::string::npos : next - start);
    if (remove) exts = next == std::string::npos ? std::string() : exts.substr(next);
}

}  // namespace kelvora
