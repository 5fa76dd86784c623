#include "app/regwrap.h"

#include <exception>

#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

// A file type as a key name: without trailing "\" and surrounding blanks.
std::string CleanType_(const std::string& fileType) {
    std::string t = fileType;
    while (!t.empty() && t.back() == '\\') t.pop_back();
    return TrimText(t);
}

std::string WithDot_(const std::string& ext) {
    return !ext.empty() && ext[0] == '.' ? ext : "." + ext;
}

// Opens `key` for writing and stores the value; false on any failure.
bool Put_(uint32_t root, const std::string& key, const std::string& name, const std::string& text) {
    try {
        QRegistry reg(root);
        if (!reg.OpenKey(key, true)) return false;
        reg.WriteString(name, text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::string RegReadStr(QRegistry& reg, const std::string& name, const std::string& def) {
    try {
        return reg.ValueExists(name) ? reg.ReadString(name) : def;
    } catch (const std::exception&) {
        return def;
    }
}

void RegWriteStr(QRegistry& reg, const std::string& name, const std::string& text) {
    try {
        reg.WriteString(name, text);
    } catch (const std::exception&) {}
}

void RegAssociateFileExt(const std::string& ext, const std::string& fileType) {
    if (ext.empty()) return;
    Put_(HKEY_CLASSES_ROOT, WithDot_(ext), "", fileType);
}

std::string RegFileTypeGet(const std::string& ext) {
    try {
        QRegistry reg(HKEY_CLASSES_ROOT);
        if (!reg.OpenKeyReadOnly(ext)) return std::string();
        return reg.ReadString("");
    } catch (const std::exception&) {
        return std::string();
    }
}

void RegFileTypeCreate(const std::string& fileType, const std::string& description,
                       const std::string& icon) {
    const std::string type = CleanType_(fileType);
    if (type.empty()) return;
    Put_(HKEY_CLASSES_ROOT, type, "", description);
    Put_(HKEY_CLASSES_ROOT, type + "\\DefaultIcon", "", icon);
}

bool RegIsExtAssociated(const std::string& ext, const std::string& fileType) {
    if (ext.empty() || fileType.empty()) return false;
    try {
        QRegistry reg(HKEY_CLASSES_ROOT);
        if (!reg.KeyExists(ext) || !reg.KeyExists(fileType)) return false;
        return RegFileTypeGet(ext) == fileType;
    } catch (const std::exception&) {
        return false;
    }
}

void RegFileCmdCreate(const std::string& fileType, const std::string& verb,
                      const std::string& caption, const std::string& command, bool makeDefault) {
    const std::string type = CleanType_(fileType);
    if (type.empty() || verb.empty()) return;
    const std::string key = type + "\\shell\\" + verb;
    Put_(HKEY_CLASSES_ROOT, key, "", caption);
    Put_(HKEY_CLASSES_ROOT, key + "\\Command", "", command);
    if (makeDefault) Put_(HKEY_CLASSES_ROOT, type + "\\shell", "", caption);
}

std::string RegGetString(uint32_t root, const std::string& key, const std::string& name) {
    try {
        QRegistry reg(root);
        if (!reg.OpenKeyReadOnly(key)) return std::string();
        return reg.ReadString(name);
    } catch (const std::exception&) {
        return std::string();
    }
}

void RegPutString(uint32_t root, const std::string& key, const std::string& name,
                  const std::string& text) {
    Put_(root, key, name, text);
}

}  // namespace kelvora
