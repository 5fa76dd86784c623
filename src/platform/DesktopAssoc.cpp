#include "platform/DesktopAssoc.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "platform/FileIO.h"
#include "platform/PlatformText.h"
#include "platform/ProfileFile.h"
#include "platform/UserDirs.h"

namespace kelvora {

namespace {

// The settings file is small; anything larger is not what it claims to be.
constexpr off_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr uint32_t kMaxValueLength = 1 << 20;

constexpr const char* kDesktopSuffix = ".desktop";

// --- Settings part (INI) ------------------------------------------------------------------

std::string JoinPath_(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts) s += (s.empty() ? "" : "\\") + p;
    return s;
}

// A name of the settings file must read back as itself: one line, no "=", not taken for a
// section or a comment, no blanks at its ends. "@" is the default value's.
bool IniNameOk_(const std::string& name) {
    return !name.empty() && name != "@" && !HasControlChars(name) &&
           name.find('=') == std::string::npos && name.front() != '[' && name.front() != ';' &&
           TrimBlanks(name).size() == name.size();
}

std::string IniValueName_(const std::string& name) { return name.empty() ? "@" : name; }

// True when a section of the settings file is the key or lies below it.
bool IniHasKey_(const std::vector<std::string>& parts) {
    std::string data;
    if (parts.empty() || FileLoadWhole(DesktopClassesFile(), data, kMaxFileBytes) != FileLoad::Ok)
        return false;
    const std::string key = JoinPath_(parts);
    for (std::string_view line : SplitLines(data)) {
        const std::string_view t = TrimBlanks(line);
        if (t.empty() || t.front() != '[') continue;
        const size_t close = t.rfind(']');
        if (close == std::string_view::npos || close == 0) continue;
        const std::string_view name = TrimBlanks(t.substr(1, close - 1));
        if (SameAsciiText(name, key) || (name.size() > key.size() && name[key.size()] == '\\' &&
                                         SameAsciiText(name.substr(0, key.size()), key)))
            return true;
    }
    return false;
}

// Reads a value; a stored value never holds a line end, so "\n" marks a missing one.
std::optional<std::string> IniRead_(const std::vector<std::string>& parts, const std::string& name) {
    if (!name.empty() && !IniNameOk_(name)) return std::nullopt;
    std::string out;
    ProfileGetString(JoinPath_(parts), IniValueName_(name), "\n", out, kMaxValueLength,
                     DesktopClassesFile());
    if (out == "\n") return std::nullopt;
    return out;
}

void IniWrite_(const std::vector<std::string>& parts, const std::string& name,
               const std::string& value) {
    if ((!name.empty() && !IniNameOk_(name)) || value.find_first_of("\r\n") != std::string::npos ||
        value.size() >= kMaxValueLength)
        throw ERegistry("the value cannot be stored");
    const std::string file = DesktopClassesFile();
    if (file.empty()) throw ERegistry("no configuration directory");
    std::error_code ec;
    std::filesystem::create_directories(file.substr(0, file.rfind('/')), ec);
    // Quotes keep blanks at the ends and quotes of the value itself.
    if (!ProfileWriteString(JoinPath_(parts), IniValueName_(name), "\"" + value + "\"", file))
        throw ERegistry("the value cannot be stored");
}

// --- Keys -----------------------------------------------------------------------------------

enum class Kind { Root, Ext, Type, TypeIcon, TypeShell, TypeVerb, TypeCommand, Ini, Bad };

struct KeyRef_ {
    Kind kind = Kind::Bad;
    std::string type;  // file type or extension (without its dot)
    std::string verb;
};

// The names of a key path; empty names (doubled or outer "\\") do not count.
std::vector<std::string> SplitPath_(const std::string& key) {
    std::vector<std::string> parts;
    for (std::string_view name : SplitText(key, '\\'))
        if (!name.empty()) parts.emplace_back(name);
    return parts;
}

KeyRef_ Classify_(const std::vector<std::string>& parts) {
    KeyRef_ r;
    if (parts.empty()) {
        r.kind = Kind::Root;
        return r;
    }
    size_t total = 0;
    for (const std::string& p : parts) {
        // Names must survive every file they are kept in unchanged.
        if (HasControlChars(p) || TrimBlanks(p).size() != p.size()) return r;
        total += p.size() + 1;
    }
    if (total > 1024 || parts.size() > 32) return r;
    const std::string& p0 = parts[0];
    if (p0.front() == '.') {
        if (parts.size() > 1) {
            r.kind = Kind::Ini;
        } else if (DesktopIsExtName(std::string_view(p0).substr(1))) {
            r.kind = Kind::Ext;
            r.type = p0.substr(1);
        }
        return r;
    }
    r.kind = Kind::Ini;
    if (!DesktopIsTypeName(p0)) return r;
    r.type = p0;
    const size_t n = parts.size();
    const bool shell = n >= 2 && SameAsciiText(parts[1], "shell");
    if (n == 1)
        r.kind = Kind::Type;
    else if (n == 2 && SameAsciiText(parts[1], "DefaultIcon"))
        r.kind = Kind::TypeIcon;
    else if (n == 2 && shell)
        r.kind = Kind::TypeShell;
    else if (n == 3 && shell && DesktopIsVerbId(parts[2]))
        r.kind = Kind::TypeVerb;
    else if (n == 4 && shell && DesktopIsVerbId(parts[2]) && SameAsciiText(parts[3], "Command"))
        r.kind = Kind::TypeCommand;
    if (r.kind == Kind::TypeVerb || r.kind == Kind::TypeCommand) r.verb = parts[2];
    return r;
}

bool IsTypeKind_(Kind k) {
    return k == Kind::Type || k == Kind::TypeIcon || k == Kind::TypeShell || k == Kind::TypeVerb ||
           k == Kind::TypeCommand;
}

// The value of a file-type key kept in its entry.
std::optional<std::string> TypeValue_(const KeyRef_& r, DesktopTypeEntry& e) {
    switch (r.kind) {
        case Kind::Type: return e.description;
        case Kind::TypeIcon: return e.icon;
        case Kind::TypeShell: return e.defaultVerb;
        case Kind::TypeVerb: {
            const DesktopVerb* v = e.FindVerb(r.verb);
            return v ? v->caption : std::nullopt;
        }
        case Kind::TypeCommand: {
            const DesktopVerb* v = e.FindVerb(r.verb);
            return v ? v->command : std::nullopt;
        }
        default: return std::nullopt;
    }
}

bool TypeKeyExists_(const KeyRef_& r, DesktopTypeEntry& e) {
    switch (r.kind) {
        case Kind::Type: return true;
        case Kind::TypeIcon: return e.icon.has_value();
        case Kind::TypeShell: return e.defaultVerb.has_value() || !e.verbs.empty();
        case Kind::TypeVerb: return e.FindVerb(r.verb) != nullptr;
        case Kind::TypeCommand: {
            const DesktopVerb* v = e.FindVerb(r.verb);
            return v && v->command;
        }
        default: return false;
    }
}

bool KeyExists_(const std::vector<std::string>& parts) {
    const KeyRef_ r = Classify_(parts);
    switch (r.kind) {
        case Kind::Root:
        case Kind::Ext: return true;
        case Kind::Ini: return IniHasKey_(parts);
        case Kind::Bad: return false;
        default: {
            DesktopTypeEntry e;
            return (DesktopLoadEntry(DesktopResolveType(r.type), e) == DesktopOwner::Ours &&
                    TypeKeyExists_(r, e)) ||
                   IniHasKey_(parts);
        }
    }
}

// The extension's value: its first MIME type's first application.
std::optional<std::string> ExtValue_(const std::string& ext) {
    const std::vector<std::string> types = DesktopMimeTypesOfExt(ext);
    MimeAppsList m;
    if (types.empty() || !m.Load()) return std::nullopt;
    const std::vector<std::string> ids = m.Defaults(types.front());
    if (ids.empty()) return std::nullopt;
    if (DesktopIsOurId(ids.front())) return ids.front().substr(0, ids.front().size() - 8);
    return ids.front();
}

void ExtWrite_(const std::string& ext, const std::string& value) {
    const std::vector<std::string> types = DesktopMimeTypesOfExt(ext);
    MimeAppsList m;
    if (types.empty() || !m.Load()) throw ERegistry("the extension cannot be set");
    std::string id;
    if (!value.empty()) {
        if (value.ends_with(kDesktopSuffix))
            id = value;
        else if (DesktopIsTypeName(value))
            id = DesktopResolveType(value) + kDesktopSuffix;
        if (!DesktopIsId(id)) throw ERegistry("not a file type: " + value);
    }
    // Whether an application is ours, asked once per call.
    std::map<std::string, bool> ours;
    auto isOurs = [&](const std::string& app) {
        const auto it = ours.find(app);
        return it != ours.end() ? it->second : (ours[app] = DesktopIsOurId(app));
    };
    std::set<std::string> affected;
    if (!id.empty() && isOurs(id)) affected.insert(id);
    for (const std::string& mime : types) {
        const std::vector<std::string> old = m.Defaults(mime);
        std::vector<std::string> ids;
        if (!id.empty()) ids.push_back(id);
        for (const std::string& app : old) {
            if (isOurs(app)) affected.insert(app);
            if (app != id && !isOurs(app) && std::find(ids.begin(), ids.end(), app) == ids.end())
                ids.push_back(app);
        }
        m.SetDefaults(mime, ids);
    }
    if (!m.Save()) throw ERegistry("mimeapps.list cannot be written");
    if (DesktopRefreshEntries(affected, m)) DesktopRefreshCache();
    DesktopSyncMimePackage(m);
}

void TypeWrite_(const KeyRef_& r, const std::string& value) {
    if (!DesktopValueStorable(value) || value.size() >= kMaxValueLength)
        throw ERegistry("the value cannot be stored");
    const std::string type = DesktopResolveType(r.type);
    DesktopTypeEntry e;
    if (DesktopLoadEntry(type, e) == DesktopOwner::Foreign)
        throw ERegistry("the desktop entry belongs to another program");
    DesktopVerb* verb = nullptr;
    if (r.kind == Kind::TypeVerb || r.kind == Kind::TypeCommand) {
        verb = e.FindVerb(r.verb);
        if (!verb) {
            if (e.verbs.size() >= DESKTOP_MAX_VERBS) throw ERegistry("too many verbs");
            e.verbs.push_back({r.verb, std::nullopt, std::nullopt});
            verb = &e.verbs.back();
        }
    }
    switch (r.kind) {
        case Kind::Type: e.description = value; break;
        case Kind::TypeIcon: e.icon = value; break;
        case Kind::TypeShell: e.defaultVerb = value; break;
        case Kind::TypeVerb: verb->caption = value; break;
        case Kind::TypeCommand: verb->command = value; break;
        default: throw ERegistry("not a file-type key");
    }
    MimeAppsList m;
    m.Load();  // without it the entry lists no MIME types
    bool changed = false;
    if (!DesktopSaveEntry(type, e, m, changed))
        throw ERegistry("the desktop entry cannot be written");
    if (changed) DesktopRefreshCache();
}

}  // namespace

// --- QRegistry ------------------------------------------------------------------------------

bool QRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::vector<std::string> parts = (!key.empty() && key.front() == '\\') || !open_
                                         ? std::vector<std::string>()
                                         : path_;
    for (std::string& p : SplitPath_(key)) parts.push_back(std::move(p));
    open_ = false;
    if (root_ != HKEY_CLASSES_ROOT) return false;
    const KeyRef_ r = Classify_(parts);
    if (r.kind == Kind::Bad) return false;
    if (canCreate) {
        DesktopTypeEntry e;
        if (IsTypeKind_(r.kind) &&
            DesktopLoadEntry(DesktopResolveType(r.type), e) == DesktopOwner::Foreign)
            return false;
    } else if (!KeyExists_(parts)) {
        return false;
    }
    path_ = std::move(parts);
    open_ = true;
    readOnly_ = false;
    return true;
}

bool QRegistry::OpenKeyReadOnly(const std::string& key) {
    if (!OpenKey(key, false)) return false;
    readOnly_ = true;
    return true;
}

void QRegistry::CloseKey() {
    open_ = false;
    path_.clear();
}

std::string QRegistry::CurrentPath() const { return open_ ? JoinPath_(path_) : std::string(); }

bool QRegistry::KeyExists(const std::string& key) const {
    if (root_ != HKEY_CLASSES_ROOT) return false;
    std::vector<std::string> parts = (!key.empty() && key.front() == '\\') || !open_
                                         ? std::vector<std::string>()
                                         : path_;
    for (std::string& p : SplitPath_(key)) parts.push_back(std::move(p));
    return KeyExists_(parts);
}

bool QRegistry::ValueExists(const std::string& name) const {
    if (!open_) return false;
    const KeyRef_ r = Classify_(path_);
    if (r.kind == Kind::Ext) return name.empty() && ExtValue_(r.type).has_value();
    if (r.kind == Kind::Ini) return IniRead_(path_, name).has_value();
    if (!IsTypeKind_(r.kind) || !name.empty()) return false;
    DesktopTypeEntry e;
    return DesktopLoadEntry(DesktopResolveType(r.type), e) == DesktopOwner::Ours &&
           TypeValue_(r, e).has_value();
}

std::string QRegistry::ReadString(const std::string& name) const {
    if (!open_) return std::string();
    const KeyRef_ r = Classify_(path_);
    std::optional<std::string> v;
    if (r.kind == Kind::Ext) {
        if (name.empty()) v = ExtValue_(r.type);
    } else if (r.kind == Kind::Ini) {
        v = IniRead_(path_, name);
    } else if (IsTypeKind_(r.kind) && name.empty()) {
        DesktopTypeEntry e;
        if (DesktopLoadEntry(DesktopResolveType(r.type), e) == DesktopOwner::Ours)
            v = TypeValue_(r, e);
    }
    return v.value_or(std::string());
}

void QRegistry::WriteString(const std::string& name, const std::string& value) {
    if (!open_ || readOnly_) throw ERegistry("no key open for writing");
    const KeyRef_ r = Classify_(path_);
    if (r.kind == Kind::Ini) {
        IniWrite_(path_, name, value);
        return;
    }
    if (!name.empty()) throw ERegistry("this key takes no named values");
    if (r.kind == Kind::Ext)
        ExtWrite_(r.type, value);
    else if (IsTypeKind_(r.kind))
        TypeWrite_(r, value);
    else
        throw ERegistry("the root takes no values");
}

std::string DesktopClassesFile() {
    const std::string d = ConfigHome();
    return d.empty() ? d : d + "/kelvora/classes.ini";
}

}  // namespace kelvora
