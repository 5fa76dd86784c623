#include "platform/DesktopAssoc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileIO.h"
#include "platform/ProfileFile.h"

extern char** environ;

namespace kelvora {

namespace {

// The files read here are small; anything larger is not what it claims to be.
constexpr off_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr off_t kMaxEntryBytes = 1024 * 1024;
constexpr size_t kMaxNameLength = 200;
constexpr size_t kMaxVerbs = 64;
constexpr uint32_t kMaxValueLength = 1 << 20;

constexpr const char* kOwnMimePrefix = "application/x-kelvora-";
constexpr const char* kDefaultApps = "Default Applications";
constexpr const char* kMainGroup = "Desktop Entry";
constexpr const char* kMarker = "X-Kelvora-FileType";
constexpr const char* kDesktopSuffix = ".desktop";

// --- Text -----------------------------------------------------------------------------------

char Lower_(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerStr_(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Lower_(c);
    return out;
}

bool SameText_(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower_(a[i]) != Lower_(b[i])) return false;
    return true;
}

bool EndsWith_(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string_view Trim_(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool IsAlnum_(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool AllOf_(std::string_view s, std::string_view extra) {
    return std::all_of(s.begin(), s.end(), [&](char c) { return IsAlnum_(c) || extra.find(c) != std::string_view::npos; });
}

bool HasControl_(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// A value of a desktop entry: one line, so line ends and other control characters other than
// the ones with an escape cannot be kept.
bool StorableInEntry_(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F;
    });
}

// An extension without its dot: letters, digits and a few marks, not ending in a dot.
bool IsExtName_(std::string_view e) {
    return !e.empty() && e.size() <= 32 && AllOf_(e, "_.+-") && e.front() != '.' && e.back() != '.';
}

// A file type that can name a desktop entry (the desktop id without ".desktop").
bool IsTypeName_(std::string_view t) {
    return !t.empty() && t.size() <= kMaxNameLength && AllOf_(t, "_.-") && (IsAlnum_(t.front()) || t.front() == '_');
}

// A verb becomes a desktop action, whose name allows letters, digits and "-".
bool IsVerbId_(std::string_view v) { return !v.empty() && v.size() <= 64 && AllOf_(v, "-"); }

bool IsDesktopId_(std::string_view id) {
    return EndsWith_(id, kDesktopSuffix) && id.size() > 8 && id.size() <= kMaxNameLength + 8 && AllOf_(id, "_.+-") &&
           id.front() != '.';
}

std::vector<std::string_view> SplitLines_(std::string_view data) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string_view::npos) end = data.size();
        std::string_view line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The ";"-separated items of a list value, blanks trimmed, empty items dropped.
std::vector<std::string> SplitList_(std::string_view v) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= v.size()) {
        size_t end = v.find(';', start);
        if (end == std::string_view::npos) end = v.size();
        const std::string_view item = Trim_(v.substr(start, end - start));
        if (!item.empty()) items.emplace_back(item);
        start = end + 1;
    }
    return items;
}

std::string JoinList_(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += s + ';';
    return out;
}

// The escapes of desktop-entry string values.
std::string Escape_(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        switch (s[i]) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            // Blanks at the ends would be lost to trimming.
            case ' ': out += (i == 0 || i + 1 == s.size()) ? "\\s" : " "; break;
            default: out += s[i];
        }
    }
    return out;
}

std::string Unescape_(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char n = s[++i];
        switch (n) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default: out += '\\'; out += n;
        }
    }
    return out;
}

// "[name]" lines start groups; `name` receives the name.
bool GroupHeader_(std::string_view line, std::string_view& name) {
    const std::string_view t = Trim_(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
    name = t.substr(1, t.size() - 2);
    return true;
}

// "key=value" lines (not comments); blanks around the "=" do not count.
bool KeyLine_(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::string_view t = Trim_(line);
    if (t.empty() || t.front() == '#') return false;
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    key = Trim_(t.substr(0, eq));
    value = Trim_(t.substr(eq + 1));
    return !key.empty();
}

// --- Environment and files ----------------------------------------------------------------

std::string HomeDir_() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return std::string();
}

std::string NoTrailingSlash_(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// An absolute directory from the variable (relative ones do not count), else the home
// directory plus `belowHome`; empty when neither is known.
std::string XdgDir_(const char* var, const char* belowHome) {
    const char* v = std::getenv(var);
    if (v && v[0] == '/') return NoTrailingSlash_(v);
    const std::string home = HomeDir_();
    return home.empty() ? std::string() : NoTrailingSlash_(home) + belowHome;
}

std::string ConfigHome_() { return XdgDir_("XDG_CONFIG_HOME", "/.config"); }
std::string DataHome_() { return XdgDir_("XDG_DATA_HOME", "/.local/share"); }

std::string AppsDir_() {
    const std::string d = DataHome_();
    return d.empty() ? d : d + "/applications";
}

// The data directories the MIME database is read from, the user's first.
std::vector<std::string> DataDirs_() {
    std::vector<std::string> dirs;
    const std::string home = DataHome_();
    if (!home.empty()) dirs.push_back(home);
    const char* v = std::getenv("XDG_DATA_DIRS");
    const std::string list = (v && *v) ? v : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        const std::string dir = list.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/' && std::find(dirs.begin(), dirs.end(), NoTrailingSlash_(dir)) == dirs.end())
            dirs.push_back(NoTrailingSlash_(dir));
        start = end + 1;
    }
    return dirs;
}

// Replaces `target` with `data` through a temporary file renamed into place (following a
// symbolic link to the file it names), creating the directory when needed.
bool WriteAtomic_(std::string target, const std::string& data, mode_t mode) {
    if (char* real = ::realpath(target.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    std::error_code ec;
    std::filesystem::create_directories(target.substr(0, slash), ec);
    return FileReplace(target, data, &mode);
}

// Runs a program found on the search path with its output discarded and waits for it; a
// missing program does nothing.
void RunQuiet_(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Refreshes put off by a DesktopCacheBatch.
int gBatchDepth = 0;
bool gDesktopCacheStale = false;
bool gMimePackageStale = false;

void RefreshDesktopCache_() {
    const std::string dir = AppsDir_();
    if (gBatchDepth > 0)
        gDesktopCacheStale = true;
    else if (!dir.empty())
        RunQuiet_({"update-desktop-database", dir});
}

// --- MIME database ----------------------------------------------------------------------------

std::string OwnMimeType_(std::string_view ext) { return kOwnMimePrefix + LowerStr_(ext); }

bool IsOwnMimeType_(std::string_view type) {
    const std::string_view prefix(kOwnMimePrefix);
    return type.size() > prefix.size() && SameText_(type.substr(0, prefix.size()), prefix) &&
           IsExtName_(type.substr(prefix.size()));
}

bool IsMimeType_(std::string_view type) {
    const size_t slash = type.find('/');
    return slash != std::string_view::npos && slash > 0 && slash + 1 < type.size() && type.size() <= 255 &&
           AllOf_(type, "/.+-_!#$&^") && type.find('/', slash + 1) == std::string_view::npos;
}

// --- mimeapps.list ----------------------------------------------------------------------------

struct MimeApps_ {
    std::vector<std::string> lines;
    mode_t mode = 0644;

    // The first [Default Applications] group: its header line and the line after its end.
    bool Group(size_t& header, size_t& end) const {
        header = end = lines.size();
        std::string_view name;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!GroupHeader_(lines[i], name)) continue;
            if (header != lines.size()) {
                end = i;
                return true;
            }
            if (name == kDefaultApps) header = i;
        }
        return header != lines.size();
    }

    // The line of `mime` in the group, or `end`.
    size_t KeyLine(const std::string& mime, size_t from, size_t end) const {
        std::string_view key, value;
        for (size_t i = from; i < end; ++i)
            if (KeyLine_(lines[i], key, value) && SameText_(key, mime)) return i;
        return end;
    }

    std::vector<std::string> Defaults(const std::string& mime) const {
        size_t header, end;
        if (!Group(header, end)) return {};
        const size_t line = KeyLine(mime, header + 1, end);
        std::string_view key, value;
        if (line == end || !KeyLine_(lines[line], key, value)) return {};
        return SplitList_(value);
    }

    // Every MIME type of the group with its first application.
    std::vector<std::pair<std::string, std::string>> AllFirsts() const {
        std::vector<std::pair<std::string, std::string>> out;
        size_t header, end;
        if (!Group(header, end)) return out;
        std::string_view key, value;
        std::set<std::string> seen;
        for (size_t i = header + 1; i < end; ++i) {
            if (!KeyLine_(lines[i], key, value)) continue;
            const std::string mime = LowerStr_(key);
            if (!seen.insert(mime).second) continue;  // the first line of a type counts
            const std::vector<std::string> ids = SplitList_(value);
            if (!ids.empty()) out.emplace_back(mime, ids.front());
        }
        return out;
    }

    // Sets the applications of `mime`; an empty list removes its lines.
    void SetDefaults(const std::string& mime, const std::vector<std::string>& ids) {
        size_t header, end;
        const std::string line = mime + "=" + JoinList_(ids);
        if (!Group(header, end)) {
            if (ids.empty()) return;
            if (!lines.empty() && !Trim_(lines.back()).empty()) lines.emplace_back();
            lines.push_back(std::string("[") + kDefaultApps + "]");
            lines.push_back(line);
            return;
        }
        size_t at = KeyLine(mime, header + 1, end);
        if (at == end) {
            if (ids.empty()) return;
            // After the group's last line that is not blank.
            size_t pos = end;
            while (pos > header + 1 && Trim_(lines[pos - 1]).empty()) --pos;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(pos), line);
            return;
        }
        if (!ids.empty()) {
            lines[at] = line;
            ++at;
        }
        // Later lines of the same type would come to the fore: they go too.
        while ((at = KeyLine(mime, at, end)) != end) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
            --end;
        }
    }
};

bool LoadMimeApps_(MimeApps_& m) {
    std::string data;
    const FileLoad r = FileLoadWhole(DesktopMimeAppsFile(), data, kMaxFileBytes, &m.mode);
    if (r == FileLoad::Refused || DesktopMimeAppsFile().empty()) return false;
    for (std::string_view line : SplitLines_(data)) m.lines.emplace_back(line);
    return true;
}

bool SaveMimeApps_(const MimeApps_& m) {
    std::string data;
    for (const std::string& line : m.lines) data += line + "\n";
    std::string old;
    if (FileLoadWhole(DesktopMimeAppsFile(), old, kMaxFileBytes) == FileLoad::Ok && old == data) return true;
    return WriteAtomic_(DesktopMimeAppsFile(), data, m.mode);
}

// Declares our own MIME types that have an application: the package holds exactly those, and
// goes away with the last one.
void SyncMimePackage_(const MimeApps_& m) {
    const std::string home = DataHome_();
    if (home.empty()) return;
    if (gBatchDepth > 0) {
        gMimePackageStale = true;
        return;
    }
    std::set<std::string> types;
    for (const auto& [mime, first] : m.AllFirsts())
        if (IsOwnMimeType_(mime)) types.insert(mime);
    const std::string path = home + "/mime/packages/kelvora-types.xml";
    std::string old;
    const FileLoad had = FileLoadWhole(path, old, kMaxFileBytes);
    if (types.empty()) {
        if (had == FileLoad::Missing || ::unlink(path.c_str()) != 0) return;
    } else {
        std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
        for (const std::string& t : types) {
            // The type's name carries the extension; IsExtName_ keeps it free of markup.
            const std::string ext = t.substr(std::string_view(kOwnMimePrefix).size());
            std::string upper = ext;
            for (char& c : upper)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            xml += "  <mime-type type=\"" + t + "\">\n    <comment>" + upper + " file</comment>\n    <glob pattern=\"*." +
                   ext + "\"/>\n  </mime-type>\n";
        }
        xml += "</mime-info>\n";
        if (had == FileLoad::Ok && old == xml) return;
        if (!WriteAtomic_(path, xml, 0644)) return;
    }
    RunQuiet_({"update-mime-database", home + "/mime"});
}

// --- Desktop entries of file types --------------------------------------------------------

struct Verb_ {
    std::string id;
    std::optional<std::string> caption;
    std::optional<std::string> command;
};

struct TypeEntry_ {
    std::optional<std::string> description;
    std::optional<std::string> icon;
    std::optional<std::string> defaultVerb;
    std::vector<Verb_> verbs;

    Verb_* FindVerb(std::string_view id) {
        for (Verb_& v : verbs)
            if (SameText_(v.id, id)) return &v;
        return nullptr;
    }
};

enum class Entry { Missing, Ours, Foreign };

std::string EntryPath_(const std::string& type) {
    const std::string apps = AppsDir_();
    return apps.empty() ? apps : apps + "/" + type + kDesktopSuffix;
}

// Reads the store's values from the entry of `type`. An entry that is not ours, or cannot be
// read, is Foreign: it is never written.
Entry LoadEntry_(const std::string& type, TypeEntry_& e, std::string* text = nullptr) {
    e = TypeEntry_{};
    std::string data;
    const FileLoad r = FileLoadWhole(EntryPath_(type), data, kMaxEntryBytes);
    if (r == FileLoad::Missing) return Entry::Missing;
    if (r == FileLoad::Refused) return Entry::Foreign;
    if (text) *text = data;
    std::map<std::string, std::string, std::less<>> keys;
    bool inMain = false;
    for (std::string_view line : SplitLines_(data)) {
        std::string_view name, key, value;
        if (GroupHeader_(line, name)) {
            inMain = name == kMainGroup;
        } else if (inMain && KeyLine_(line, key, value)) {
            keys.emplace(std::string(key), std::string(value));  // the first line of a key counts
        }
    }
    if (keys.find(kMarker) == keys.end()) return Entry::Foreign;
    auto get = [&](const std::string& key) -> std::optional<std::string> {
        const auto it = keys.find(key);
        if (it == keys.end()) return std::nullopt;
        return Unescape_(it->second);
    };
    e.description = get("X-Kelvora-Description");
    e.icon = get("X-Kelvora-Icon");
    e.defaultVerb = get("X-Kelvora-DefaultVerb");
    for (const std::string& id : SplitList_(get("X-Kelvora-Verbs").value_or(""))) {
        if (!IsVerbId_(id) || e.FindVerb(id) || e.verbs.size() >= kMaxVerbs) continue;
        e.verbs.push_back({id, get("X-Kelvora-Caption-" + id), get("X-Kelvora-Command-" + id)});
    }
    return Entry::Ours;
}

// The entry of `type`, or of a type of ours that differs only in letter case.
std::string ResolveType_(const std::string& type) {
    TypeEntry_ e;
    if (LoadEntry_(type, e) != Entry::Missing) return type;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(AppsDir_(), ec), endIt; !ec && it != endIt; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!EndsWith_(name, kDesktopSuffix)) continue;
        const std::string stem = name.substr(0, name.size() - 8);
        if (SameText_(stem, type) && IsTypeName_(stem) && LoadEntry_(stem, e) == Entry::Ours) return stem;
    }
    return type;
}

bool IsOurId_(const std::string& id) {
    if (!IsDesktopId_(id)) return false;
    const std::string stem = id.substr(0, id.size() - 8);
    TypeEntry_ e;
    return IsTypeName_(stem) && LoadEntry_(stem, e) == Entry::Ours;
}

// Desktop-entry quoting of one literal argument of Exec.
std::string QuoteArg_(const std::string& arg) {
    std::string text;
    for (char c : arg) text += c == '%' ? std::string("%%") : std::string(1, c);
    const bool reserved = arg.empty() || arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    if (!reserved) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The Exec line of a command written as the shell's command lines are: blanks separate
// arguments, double quotes group (and go). The file's placeholder becomes the field code %f
// as an argument of its own, since some openers only replace whole arguments.
std::string ExecOf_(const std::string& command) {
    std::vector<std::string> tokens;
    std::string cur;
    bool quoted = false, have = false;
    for (char c : command) {
        if (c == '"') {
            quoted = !quoted;
            have = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (have) tokens.push_back(cur);
            cur.clear();
            have = false;
        } else {
            cur += c;
            have = true;
        }
    }
    if (have) tokens.push_back(cur);
    std::vector<std::string> args;
    bool fieldUsed = false;  // an Exec line takes one file field code
    for (const std::string& tok : tokens) {
        std::string lit;
        bool split = false;
        for (size_t i = 0; i < tok.size(); ++i) {
            const char n = i + 1 < tok.size() ? tok[i + 1] : '\0';
            if (!fieldUsed && tok[i] == '%' && (n == 'L' || n == 'l' || n == '1')) {
                if (!lit.empty()) args.push_back(QuoteArg_(lit));
                lit.clear();
                args.push_back("%f");
                fieldUsed = split = true;
                ++i;
            } else {
                lit += tok[i];
            }
        }
        if (!lit.empty() || !split) args.push_back(QuoteArg_(lit));
    }
    std::string exec;
    for (const std::string& a : args) exec += (exec.empty() ? "" : " ") + a;
    return exec;
}

// The verb that gives the entry's Exec: the default verb, else "open", else the first with a
// command.
const Verb_* MainVerb_(const TypeEntry_& e) {
    auto usable = [](const Verb_& v) { return v.command && !ExecOf_(*v.command).empty(); };
    if (e.defaultVerb)
        for (const Verb_& v : e.verbs)
            if (SameText_(v.id, *e.defaultVerb) && usable(v)) return &v;
    for (const Verb_& v : e.verbs)
        if (SameText_(v.id, "open") && usable(v)) return &v;
    for (const Verb_& v : e.verbs)
        if (usable(v)) return &v;
    return nullptr;
}

std::string EntryText_(const std::string& type, const TypeEntry_& e, const std::vector<std::string>& mimeTypes) {
    const Verb_* main = MainVerb_(e);
    std::vector<const Verb_*> actions;
    for (const Verb_& v : e.verbs)
        if (&v != main && v.command && !ExecOf_(*v.command).empty()) actions.push_back(&v);
    std::string t = std::string("[") + kMainGroup + "]\nType=Application\nVersion=1.1\n";
    t += "Name=" + Escape_(e.description && !e.description->empty() ? *e.description : type) + "\n";
    if (e.icon && !e.icon->empty()) t += "Icon=" + Escape_(*e.icon) + "\n";
    if (main) t += "Exec=" + Escape_(ExecOf_(*main->command)) + "\n";
    if (!mimeTypes.empty()) t += "MimeType=" + JoinList_(mimeTypes) + "\n";
    if (!actions.empty()) {
        t += "Actions=";
        for (const Verb_* v : actions) t += v->id + ";";
        t += "\n";
    }
    // A file type is no program of the menus; one without any command opens nothing.
    t += "NoDisplay=true\nTerminal=false\n";
    if (!main) t += "Hidden=true\n";
    t += std::string(kMarker) + "=" + type + "\n";
    if (e.description) t += "X-Kelvora-Description=" + Escape_(*e.description) + "\n";
    if (e.icon) t += "X-Kelvora-Icon=" + Escape_(*e.icon) + "\n";
    if (e.defaultVerb) t += "X-Kelvora-DefaultVerb=" + Escape_(*e.defaultVerb) + "\n";
    if (!e.verbs.empty()) {
        t += "X-Kelvora-Verbs=";
        for (const Verb_& v : e.verbs) t += v.id + ";";
        t += "\n";
    }
    for (const Verb_& v : e.verbs) {
        if (v.caption) t += "X-Kelvora-Caption-" + v.id + "=" + Escape_(*v.caption) + "\n";
        if (v.command) t += "X-Kelvora-Command-" + v.id + "=" + Escape_(*v.command) + "\n";
    }
    for (const Verb_* v : actions) {
        t += "\n[Desktop Action " + v->id + "]\n";
        t += "Name=" + Escape_(v->caption && !v->caption->empty() ? *v->caption : v->id) + "\n";
        t += "Exec=" + Escape_(ExecOf_(*v->command)) + "\n";
    }
    return t;
}

// Writes the entry of `type` with the MIME types whose first application it is. True when
// the file is as wanted; `changed` tells whether it was rewritten.
bool SaveEntry_(const std::string& type, const TypeEntry_& e, const MimeApps_& m, bool& changed) {
    changed = false;
    std::vector<std::string> mimes;
    const std::string id = type + kDesktopSuffix;
    for (const auto& [mime, first] : m.AllFirsts())
        if (first == id && IsMimeType_(mime)) mimes.push_back(mime);
    const std::string text = EntryText_(type, e, mimes);
    std::string old;
    if (FileLoadWhole(EntryPath_(type), old, kMaxEntryBytes) == FileLoad::Ok && old == text) return true;
    changed = WriteAtomic_(EntryPath_(type), text, 0644);
    return changed;
}

// Entries whose MIME types are to be brought up to date when the batch ends.
std::set<std::string> gStaleEntries;

// Rewrites our entries among `ids` whose MIME types changed.
bool RefreshEntries_(const std::set<std::string>& ids, const MimeApps_& m) {
    if (gBatchDepth > 0) {
        gStaleEntries.insert(ids.begin(), ids.end());
        return false;
    }
    bool any = false;
    for (const std::string& id : ids) {
        const std::string stem = id.substr(0, id.size() - 8);
        TypeEntry_ e;
        bool changed = false;
        if (LoadEntry_(stem, e) == Entry::Ours && SaveEntry_(stem, e, m, changed) && changed) any = true;
    }
    return any;
}

// --- Settings part (INI) ------------------------------------------------------------------

std::string JoinPath_(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts) s += (s.empty() ? "" : "\\") + p;
    return s;
}

// A name of the settings file must read back as itself: one line, no "=", not taken for a
// section or a comment, no blanks at its ends. "@" is the default value's.
bool IniNameOk_(const std::string& name) {
    return !name.empty() && name != "@" && !HasControl_(name) && name.find('=') == std::string::npos &&
           name.front() != '[' && name.front() != ';' && Trim_(name).size() == name.size();
}

std::string IniValueName_(const std::string& name) { return name.empty() ? "@" : name; }

// True when a section of the settings file is the key or lies below it.
bool IniHasKey_(const std::vector<std::string>& parts) {
    std::string data;
    if (parts.empty() || FileLoadWhole(DesktopClassesFile(), data, kMaxFileBytes) != FileLoad::Ok) return false;
    const std::string key = JoinPath_(parts);
    for (std::string_view line : SplitLines_(data)) {
        const std::string_view t = Trim_(line);
        if (t.empty() || t.front() != '[') continue;
        const size_t close = t.rfind(']');
        if (close == std::string_view::npos || close == 0) continue;
        const std::string_view name = Trim_(t.substr(1, close - 1));
        if (SameText_(name, key) ||
            (name.size() > key.size() && name[key.size()] == '\\' && SameText_(name.substr(0, key.size()), key)))
            return true;
    }
    return false;
}

// Reads a value; a stored value never holds a line end, so "\n" marks a missing one.
std::optional<std::string> IniRead_(const std::vector<std::string>& parts, const std::string& name) {
    if (!name.empty() && !IniNameOk_(name)) return std::nullopt;
    std::string out;
    ProfileGetString(JoinPath_(parts), IniValueName_(name), "\n", out, kMaxValueLength, DesktopClassesFile());
    if (out == "\n") return std::nullopt;
    return out;
}

void IniWrite_(const std::vector<std::string>& parts, const std::string& name, const std::string& value) {
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

std::vector<std::string> SplitPath_(const std::string& key) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('\\', start);
        if (end == std::string::npos) end = key.size();
        if (end > start) parts.push_back(key.substr(start, end - start));
        start = end + 1;
    }
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
        if (HasControl_(p) || Trim_(p).size() != p.size()) return r;
        total += p.size() + 1;
    }
    if (total > 1024 || parts.size() > 32) return r;
    const std::string& p0 = parts[0];
    if (p0.front() == '.') {
        if (parts.size() > 1) {
            r.kind = Kind::Ini;
        } else if (IsExtName_(std::string_view(p0).substr(1))) {
            r.kind = Kind::Ext;
            r.type = p0.substr(1);
        }
        return r;
    }
    r.kind = Kind::Ini;
    if (!IsTypeName_(p0)) return r;
    r.type = p0;
    const size_t n = parts.size();
    const bool shell = n >= 2 && SameText_(parts[1], "shell");
    if (n == 1) r.kind = Kind::Type;
    else if (n == 2 && SameText_(parts[1], "DefaultIcon")) r.kind = Kind::TypeIcon;
    else if (n == 2 && shell) r.kind = Kind::TypeShell;
    else if (n == 3 && shell && IsVerbId_(parts[2])) r.kind = Kind::TypeVerb;
    else if (n == 4 && shell && IsVerbId_(parts[2]) && SameText_(parts[3], "Command")) r.kind = Kind::TypeCommand;
    if (r.kind == Kind::TypeVerb || r.kind == Kind::TypeCommand) r.verb = parts[2];
    return r;
}

bool IsTypeKind_(Kind k) {
    return k == Kind::Type || k == Kind::TypeIcon || k == Kind::TypeShell || k == Kind::TypeVerb ||
           k == Kind::TypeCommand;
}

// The value of a file-type key kept in its entry.
std::optional<std::string> TypeValue_(const KeyRef_& r, TypeEntry_& e) {
    switch (r.kind) {
        case Kind::Type: return e.description;
        case Kind::TypeIcon: return e.icon;
        case Kind::TypeShell: return e.defaultVerb;
        case Kind::TypeVerb: {
            const Verb_* v = e.FindVerb(r.verb);
            return v ? v->caption : std::nullopt;
        }
        case Kind::TypeCommand: {
            const Verb_* v = e.FindVerb(r.verb);
            return v ? v->command : std::nullopt;
        }
        default: return std::nullopt;
    }
}

bool TypeKeyExists_(const KeyRef_& r, TypeEntry_& e) {
    switch (r.kind) {
        case Kind::Type: return true;
        case Kind::TypeIcon: return e.icon.has_value();
        case Kind::TypeShell: return e.defaultVerb.has_value() || !e.verbs.empty();
        case Kind::TypeVerb: return e.FindVerb(r.verb) != nullptr;
        case Kind::TypeCommand: {
            const Verb_* v = e.FindVerb(r.verb);
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
            TypeEntry_ e;
            return (LoadEntry_(ResolveType_(r.type), e) == Entry::Ours && TypeKeyExists_(r, e)) || IniHasKey_(parts);
        }
    }
}

// The extension's value: its first MIME type's first application.
std::optional<std::string> ExtValue_(const std::string& ext) {
    const std::vector<std::string> types = DesktopMimeTypesOfExt(ext);
    MimeApps_ m;
    if (types.empty() || !LoadMimeApps_(m)) return std::nullopt;
    const std::vector<std::string> ids = m.Defaults(types.front());
    if (ids.empty()) return std::nullopt;
    if (IsOurId_(ids.front())) return ids.front().substr(0, ids.front().size() - 8);
    return ids.front();
}

void ExtWrite_(const std::string& ext, const std::string& value) {
    const std::vector<std::string> types = DesktopMimeTypesOfExt(ext);
    MimeApps_ m;
    if (types.empty() || !LoadMimeApps_(m)) throw ERegistry("the extension cannot be set");
    std::string id;
    if (!value.empty()) {
        if (EndsWith_(value, kDesktopSuffix))
            id = value;
        else if (IsTypeName_(value))
            id = ResolveType_(value) + kDesktopSuffix;
        if (!IsDesktopId_(id)) throw ERegistry("not a file type: " + value);
    }
    // Whether an application is ours, asked once per call.
    std::map<std::string, bool> ours;
    auto isOurs = [&](const std::string& app) {
        const auto it = ours.find(app);
        return it != ours.end() ? it->second : (ours[app] = IsOurId_(app));
    };
    std::set<std::string> affected;
    if (!id.empty() && isOurs(id)) affected.insert(id);
    for (const std::string& mime : types) {
        const std::vector<std::string> old = m.Defaults(mime);
        std::vector<std::string> ids;
        if (!id.empty()) ids.push_back(id);
        for (const std::string& app : old) {
            if (isOurs(app)) affected.insert(app);
            if (app != id && !isOurs(app) && std::find(ids.begin(), ids.end(), app) == ids.end()) ids.push_back(app);
        }
        m.SetDefaults(mime, ids);
    }
    if (!SaveMimeApps_(m)) throw ERegistry("mimeapps.list cannot be written");
    if (RefreshEntries_(affected, m)) RefreshDesktopCache_();
    SyncMimePackage_(m);
}

void TypeWrite_(const KeyRef_& r, const std::string& value) {
    if (!StorableInEntry_(value) || value.size() >= kMaxValueLength) throw ERegistry("the value cannot be stored");
    const std::string type = ResolveType_(r.type);
    TypeEntry_ e;
    if (LoadEntry_(type, e) == Entry::Foreign) throw ERegistry("the desktop entry belongs to another program");
    Verb_* verb = nullptr;
    if (r.kind == Kind::TypeVerb || r.kind == Kind::TypeCommand) {
        verb = e.FindVerb(r.verb);
        if (!verb) {
            if (e.verbs.size() >= kMaxVerbs) throw ERegistry("too many verbs");
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
    MimeApps_ m;
    LoadMimeApps_(m);  // without it the entry lists no MIME types
    bool changed = false;
    if (!SaveEntry_(type, e, m, changed)) throw ERegistry("the desktop entry cannot be written");
    if (changed) RefreshDesktopCache_();
}

}  // namespace

// --- QRegistry ------------------------------------------------------------------------------

bool QRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::vector<std::string> parts = (!key.empty() && key.front() == '\\') || !open_ ? std::vector<std::string>() : path_;
    for (std::string& p : SplitPath_(key)) parts.push_back(std::move(p));
    open_ = false;
    if (root_ != HKEY_CLASSES_ROOT) return false;
    const KeyRef_ r = Classify_(parts);
    if (r.kind == Kind::Bad) return false;
    if (canCreate) {
        TypeEntry_ e;
        if (IsTypeKind_(r.kind) && LoadEntry_(ResolveType_(r.type), e) == Entry::Foreign) return false;
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
    std::vector<std::string> parts = (!key.empty() && key.front() == '\\') || !open_ ? std::vector<std::string>() : path_;
    for (std::string& p : SplitPath_(key)) parts.push_back(std::move(p));
    return KeyExists_(parts);
}

bool QRegistry::ValueExists(const std::string& name) const {
    if (!open_) return false;
    const KeyRef_ r = Classify_(path_);
    if (r.kind == Kind::Ext) return name.empty() && ExtValue_(r.type).has_value();
    if (r.kind == Kind::Ini) return IniRead_(path_, name).has_value();
    if (!IsTypeKind_(r.kind) || !name.empty()) return false;
    TypeEntry_ e;
    return LoadEntry_(ResolveType_(r.type), e) == Entry::Ours && TypeValue_(r, e).has_value();
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
        TypeEntry_ e;
        if (LoadEntry_(ResolveType_(r.type), e) == Entry::Ours) v = TypeValue_(r, e);
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

DesktopCacheBatch::DesktopCacheBatch() { ++gBatchDepth; }

DesktopCacheBatch::~DesktopCacheBatch() {
    if (--gBatchDepth > 0) return;
    MimeApps_ m;
    const bool haveApps = LoadMimeApps_(m);
    std::set<std::string> entries;
    entries.swap(gStaleEntries);
    if (haveApps && RefreshEntries_(entries, m)) gDesktopCacheStale = true;
    if (gMimePackageStale) {
        gMimePackageStale = false;
        if (haveApps) SyncMimePackage_(m);
    }
    if (gDesktopCacheStale) {
        gDesktopCacheStale = false;
        RefreshDesktopCache_();
    }
}

// --- Lookups --------------------------------------------------------------------------------

std::vector<std::string> DesktopMimeTypesOfExt(const std::string& ext) {
    const std::string_view e = !ext.empty() && ext.front() == '.' ? std::string_view(ext).substr(1) : std::string_view(ext);
    if (!IsExtName_(e)) return {};
    std::vector<std::string> types;
    int best = -1;
    for (const std::string& dir : DataDirs_()) {
        std::string data;
        if (FileLoadWhole(dir + "/mime/globs2", data, kMaxFileBytes) != FileLoad::Ok) continue;
        for (std::string_view line : SplitLines_(data)) {
            if (line.empty() || line.front() == '#') continue;
            // weight:type:glob[:flags[:...]]
            std::string_view f[4];
            size_t n = 0, start = 0;
            while (n < 4 && start <= line.size()) {
                size_t end = line.find(':', start);
                if (end == std::string_view::npos) end = line.size();
                f[n++] = line.substr(start, end - start);
                start = end + 1;
            }
            if (n < 3 || f[0].empty() || f[0].size() > 3 || f[0].find_first_not_of("0123456789") != std::string_view::npos)
                continue;
            const int weight = std::stoi(std::string(f[0]));
            const std::string_view glob = f[2];
            if (glob.size() < 3 || glob.substr(0, 2) != "*." || !IsMimeType_(f[1])) continue;
            const std::string_view tail = glob.substr(2);
            const bool caseSensitive = n == 4 && f[3].find("cs") != std::string_view::npos;
            if (caseSensitive ? tail != e : !SameText_(tail, e)) continue;
            const std::string type = LowerStr_(f[1]);
            if (weight > best) {
                types.assign(1, type);
                best = weight;
            } else if (weight == best && std::find(types.begin(), types.end(), type) == types.end()) {
                types.push_back(type);
            }
        }
    }
    if (types.empty()) return {OwnMimeType_(e)};
    // Of several equal types, those of the first one's media class.
    const std::string cls = types.front().substr(0, types.front().find('/') + 1);
    std::vector<std::string> out;
    for (const std::string& t : types)
        if (t.compare(0, cls.size(), cls) == 0) out.push_back(t);
    return out;
}

std::string DesktopMimeAppsFile() {
    const std::string d = ConfigHome_();
    return d.empty() ? d : d + "/mimeapps.list";
}

std::string DesktopEntryFile(const std::string& fileType) {
    return IsTypeName_(fileType) ? EntryPath_(fileType) : std::string();
}

std::string DesktopClassesFile() {
    const std::string d = ConfigHome_();
    return d.empty() ? d : d + "/kelvora/classes.ini";
}

}  // namespace kelvora
