#include "platform/DesktopEntry.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <map>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileIO.h"
#include "platform/MimeAppsList.h"
#include "platform/PlatformText.h"
#include "platform/UserDirs.h"

extern char** environ;

namespace kelvora {

namespace {

// The files read here are small; anything larger is not what it claims to be.
constexpr off_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr off_t kMaxEntryBytes = 1024 * 1024;
constexpr size_t kMaxNameLength = 200;

constexpr const char* kOwnMimePrefix = "application/x-kelvora-";
constexpr const char* kMainGroup = "Desktop Entry";
constexpr const char* kMarker = "X-Kelvora-FileType";
constexpr const char* kDesktopSuffix = ".desktop";

// --- Folders and programs ---------------------------------------------------------------------

std::string AppsDir_() {
    const std::string d = DataHome();
    return d.empty() ? d : d + "/applications";
}

// The data directories the MIME database is read from, the user's first.
std::vector<std::string> DataDirs_() {
    std::vector<std::string> dirs;
    const std::string home = DataHome();
    if (!home.empty()) dirs.push_back(home);
    for (std::string& dir : DataDirs())
        if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(std::move(dir));
    return dirs;
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
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

// Refreshes put off by a DesktopCacheBatch.
int gBatchDepth = 0;
bool gDesktopCacheStale = false;
bool gMimePackageStale = false;
// Entries whose MIME types are to be brought up to date when the batch ends.
std::set<std::string> gStaleEntries;

// --- MIME types -------------------------------------------------------------------------------

std::string OwnMimeType_(std::string_view ext) { return kOwnMimePrefix + LowerAscii(ext); }

bool IsOwnMimeType_(std::string_view type) {
    const std::string_view prefix(kOwnMimePrefix);
    return type.size() > prefix.size() && SameAsciiText(type.substr(0, prefix.size()), prefix) &&
           DesktopIsExtName(type.substr(prefix.size()));
}

bool IsMimeType_(std::string_view type) {
    const size_t slash = type.find('/');
    return slash != std::string_view::npos && slash > 0 && slash + 1 < type.size() &&
           type.size() <= 255 && AsciiAlnumOr(type, "/.+-_!#$&^") &&
           type.find('/', slash + 1) == std::string_view::npos;
}

// --- Entry text -------------------------------------------------------------------------------

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

std::string EntryPath_(const std::string& type) {
    const std::string apps = AppsDir_();
    return apps.empty() ? apps : apps + "/" + type + kDesktopSuffix;
}

// Desktop-entry quoting of one literal argument of Exec.
std::string QuoteArg_(const std::string& arg) {
    std::string text;
    for (char c : arg) text += c == '%' ? std::string("%%") : std::string(1, c);
    const bool reserved = arg.empty() ||
                          arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
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
    const std::vector<std::string> tokens = SplitCommandWords(command);
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
const DesktopVerb* MainDesktopVerb(const DesktopTypeEntry& e) {
    auto usable = [](const DesktopVerb& v) { return v.command && !ExecOf_(*v.command).empty(); };
    if (e.defaultVerb)
        for (const DesktopVerb& v : e.verbs)
            if (SameAsciiText(v.id, *e.defaultVerb) && usable(v)) return &v;
    for (const DesktopVerb& v : e.verbs)
        if (SameAsciiText(v.id, "open") && usable(v)) return &v;
    for (const DesktopVerb& v : e.verbs)
        if (usable(v)) return &v;
    return nullptr;
}

std::string EntryText_(const std::string& type, const DesktopTypeEntry& e,
                       const std::vector<std::string>& mimeTypes) {
    const DesktopVerb* main = MainDesktopVerb(e);
    std::vector<const DesktopVerb*> actions;
    for (const DesktopVerb& v : e.verbs)
        if (&v != main && v.command && !ExecOf_(*v.command).empty()) actions.push_back(&v);
    std::string t = std::string("[") + kMainGroup + "]\nType=Application\nVersion=1.1\n";
    t += "Name=" + Escape_(e.description && !e.description->empty() ? *e.description : type) + "\n";
    if (e.icon && !e.icon->empty()) t += "Icon=" + Escape_(*e.icon) + "\n";
    if (main) t += "Exec=" + Escape_(ExecOf_(*main->command)) + "\n";
    if (!mimeTypes.empty()) t += "MimeType=" + KeyFileJoinList(mimeTypes) + "\n";
    if (!actions.empty()) {
        t += "Actions=";
        for (const DesktopVerb* v : actions) t += v->id + ";";
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
        for (const DesktopVerb& v : e.verbs) t += v.id + ";";
        t += "\n";
    }
    for (const DesktopVerb& v : e.verbs) {
        if (v.caption) t += "X-Kelvora-Caption-" + v.id + "=" + Escape_(*v.caption) + "\n";
        if (v.command) t += "X-Kelvora-Command-" + v.id + "=" + Escape_(*v.command) + "\n";
    }
    for (const DesktopVerb* v : actions) {
        t += "\n[Desktop Action " + v->id + "]\n";
        t += "Name=" + Escape_(v->caption && !v->caption->empty() ? *v->caption : v->id) + "\n";
        t += "Exec=" + Escape_(ExecOf_(*v->command)) + "\n";
    }
    return t;
}

}  // namespace

// --- Names ----------------------------------------------------------------------------------

bool DesktopIsExtName(std::string_view e) {
    return !e.empty() && e.size() <= 32 && AsciiAlnumOr(e, "_.+-") && e.front() != '.' &&
           e.back() != '.';
}

// A file type that can name a desktop entry (the desktop id without ".desktop").
bool DesktopIsTypeName(std::string_view t) {
    return !t.empty() && t.size() <= kMaxNameLength && AsciiAlnumOr(t, "_.-") &&
           (IsAsciiAlnum(t.front()) || t.front() == '_');
}

// A verb becomes a desktop action, whose name allows letters, digits and "-".
bool DesktopIsVerbId(std::string_view v) {
    return !v.empty() && v.size() <= 64 && AsciiAlnumOr(v, "-");
}

bool DesktopIsId(std::string_view id) {
    return id.ends_with(kDesktopSuffix) && id.size() > 8 && id.size() <= kMaxNameLength + 8 &&
           AsciiAlnumOr(id, "_.+-") && id.front() != '.';
}

// A value of a desktop entry: one line, so line ends and other control characters other than
// the ones with an escape cannot be kept.
bool DesktopValueStorable(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F;
    });
}

// --- Entries of file types --------------------------------------------------------------------

DesktopVerb* DesktopTypeEntry::FindVerb(std::string_view id) {
    for (DesktopVerb& v : verbs)
        if (SameAsciiText(v.id, id)) return &v;
    return nullptr;
}

// Reads the store's values from the entry of `type`. An entry that is not ours, or cannot be
// read, is Foreign: it is never written.
DesktopOwner DesktopLoadEntry(const std::string& type, DesktopTypeEntry& e) {
    e = DesktopTypeEntry{};
    std::string data;
    const FileLoad r = FileLoadWhole(EntryPath_(type), data, kMaxEntryBytes);
    if (r == FileLoad::Missing) return DesktopOwner::Missing;
    if (r == FileLoad::Refused) return DesktopOwner::Foreign;
    std::map<std::string, std::string, std::less<>> keys;
    bool inMain = false;
    for (std::string_view line : SplitLines(data)) {
        std::string_view name, key, value;
        if (KeyFileGroupLine(line, name)) {
            inMain = name == kMainGroup;
        } else if (inMain && KeyFileKeyLine(line, key, value)) {
            keys.emplace(std::string(key), std::string(value));  // the first line of a key counts
        }
    }
    if (keys.find(kMarker) == keys.end()) return DesktopOwner::Foreign;
    auto get = [&](const std::string& key) -> std::optional<std::string> {
        const auto it = keys.find(key);
        if (it == keys.end()) return std::nullopt;
        return Unescape_(it->second);
    };
    e.description = get("X-Kelvora-Description");
    e.icon = get("X-Kelvora-Icon");
    e.defaultVerb = get("X-Kelvora-DefaultVerb");
    for (const std::string& id : KeyFileSplitList(get("X-Kelvora-Verbs").value_or(""))) {
        if (!DesktopIsVerbId(id) || e.FindVerb(id) || e.verbs.size() >= DESKTOP_MAX_VERBS) continue;
        e.verbs.push_back({id, get("X-Kelvora-Caption-" + id), get("X-Kelvora-Command-" + id)});
    }
    return DesktopOwner::Ours;
}

// The entry of `type`, or of a type of ours that differs only in letter case.
std::string DesktopResolveType(const std::string& type) {
    DesktopTypeEntry e;
    if (DesktopLoadEntry(type, e) != DesktopOwner::Missing) return type;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(AppsDir_(), ec), endIt; !ec && it != endIt;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.ends_with(kDesktopSuffix)) continue;
        const std::string stem = name.substr(0, name.size() - 8);
        if (SameAsciiText(stem, type) && DesktopIsTypeName(stem) &&
            DesktopLoadEntry(stem, e) == DesktopOwner::Ours)
            return stem;
    }
    return type;
}

bool DesktopIsOurId(const std::string& id) {
    if (!DesktopIsId(id)) return false;
    const std::string stem = id.substr(0, id.size() - 8);
    DesktopTypeEntry e;
    return DesktopIsTypeName(stem) && DesktopLoadEntry(stem, e) == DesktopOwner::Ours;
}

// Writes the entry of `type` with the MIME types whose first application it is. True when
// the file is as wanted; `changed` tells whether it was rewritten.
bool DesktopSaveEntry(const std::string& type, const DesktopTypeEntry& e, const MimeAppsList& apps,
                      bool& changed) {
    changed = false;
    std::vector<std::string> mimes;
    const std::string id = type + kDesktopSuffix;
    for (const auto& [mime, first] : apps.AllFirsts())
        if (first == id && IsMimeType_(mime)) mimes.push_back(mime);
    const std::string text = EntryText_(type, e, mimes);
    std::string old;
    if (FileLoadWhole(EntryPath_(type), old, kMaxEntryBytes) == FileLoad::Ok && old == text)
        return true;
    changed = FileReplaceCreating(EntryPath_(type), text, 0644);
    return changed;
}

// Rewrites our entries among `ids` whose MIME types changed.
bool DesktopRefreshEntries(const std::set<std::string>& ids, const MimeAppsList& apps) {
    if (gBatchDepth > 0) {
        gStaleEntries.insert(ids.begin(), ids.end());
        return false;
    }
    bool any = false;
    for (const std::string& id : ids) {
        const std::string stem = id.substr(0, id.size() - 8);
        DesktopTypeEntry e;
        bool changed = false;
        if (DesktopLoadEntry(stem, e) == DesktopOwner::Ours &&
            DesktopSaveEntry(stem, e, apps, changed) && changed)
            any = true;
    }
    return any;
}

void DesktopRefreshCache() {
    const std::string dir = AppsDir_();
    if (gBatchDepth > 0)
        gDesktopCacheStale = true;
    else if (!dir.empty())
        RunQuiet_({"update-desktop-database", dir});
}

// Declares our own MIME types that have an application: the package holds exactly those, and
// goes away with the last one.
void DesktopSyncMimePackage(const MimeAppsList& apps) {
    const std::string home = DataHome();
    if (home.empty()) return;
    if (gBatchDepth > 0) {
        gMimePackageStale = true;
        return;
    }
    std::set<std::string> types;
    for (const auto& [mime, first] : apps.AllFirsts())
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
            // The type's name carries the extension; DesktopIsExtName keeps it free of markup.
            const std::string ext = t.substr(std::string_view(kOwnMimePrefix).size());
            std::string upper = ext;
            for (char& c : upper)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            xml += "  <mime-type type=\"" + t + "\">\n    <comment>" + upper +
                   " file</comment>\n    <glob pattern=\"*." + ext + "\"/>\n  </mime-type>\n";
        }
        xml += "</mime-info>\n";
        if (had == FileLoad::Ok && old == xml) return;
        if (!FileReplaceCreating(path, xml, 0644)) return;
    }
    RunQuiet_({"update-mime-database", home + "/mime"});
}

DesktopCacheBatch::DesktopCacheBatch() { ++gBatchDepth; }

DesktopCacheBatch::~DesktopCacheBatch() {
    if (--gBatchDepth > 0) return;
    MimeAppsList m;
    const bool haveApps = m.Load();
    std::set<std::string> entries;
    entries.swap(gStaleEntries);
    if (haveApps && DesktopRefreshEntries(entries, m)) gDesktopCacheStale = true;
    if (gMimePackageStale) {
        gMimePackageStale = false;
        if (haveApps) DesktopSyncMimePackage(m);
    }
    if (gDesktopCacheStale) {
        gDesktopCacheStale = false;
        DesktopRefreshCache();
    }
}

// --- Lookups --------------------------------------------------------------------------------

namespace {

// The media types of the container extensions, which a minimal system's database may lack and a
// full one may rank beside another kind of file (".ts" ties with translation sources): they
// come first, aliases included, so that a desktop resolving either name finds the entry. An
// extension's own type goes before one it shares with another (".m4v" before ".mp4"'s): the
// first type tells whether the extension is still ours when it is given back.
struct KnownTypes_ {
    const char* ext;
    std::initializer_list<const char*> types;
};
const KnownTypes_ kKnownTypes[] = {
    {"mp4", {"video/mp4"}},
    {"m4v", {"video/x-m4v", "video/mp4"}},
    {"mov", {"video/quicktime"}},
    {"qt", {"video/quicktime"}},
    {"3gp", {"video/3gpp"}},
    {"3g2", {"video/3gpp2"}},
    {"mkv", {"video/x-matroska"}},
    {"webm", {"video/webm"}},
    {"m4a", {"audio/mp4", "audio/x-m4a"}},
    {"m4b", {"audio/x-m4b"}},
    {"mka", {"audio/x-matroska"}},
    {"flac", {"audio/flac", "audio/x-flac"}},
    {"opus", {"audio/x-opus+ogg", "audio/ogg"}},
    {"aac", {"audio/aac", "audio/x-aac"}},
    {"adts", {"audio/aac", "audio/x-aac"}},
    {"ts", {"video/mp2t"}},
    {"m2ts", {"video/mp2t"}},
    {"mts", {"video/mp2t"}},
    {"flv", {"video/x-flv"}},
    {"asf", {"application/vnd.ms-asf", "video/x-ms-asf"}},
    {"wmv", {"video/x-ms-wmv"}},
    {"wma", {"audio/x-ms-wma"}},
};

const KnownTypes_* KnownTypesOf_(std::string_view ext) {
    for (const KnownTypes_& k : kKnownTypes)
        if (SameAsciiText(k.ext, ext)) return &k;
    return nullptr;
}

}  // namespace

std::vector<std::string> DesktopMimeTypesOfExt(const std::string& ext) {
    const std::string_view e = !ext.empty() && ext.front() == '.' ? std::string_view(ext).substr(1)
                                                                  : std::string_view(ext);
    if (!DesktopIsExtName(e)) return {};
    std::vector<std::string> known;
    if (const KnownTypes_* k = KnownTypesOf_(e)) known.assign(k->types.begin(), k->types.end());
    std::vector<std::string> types;
    int best = -1;
    for (const std::string& dir : DataDirs_()) {
        std::string data;
        if (FileLoadWhole(dir + "/mime/globs2", data, kMaxFileBytes) != FileLoad::Ok) continue;
        for (std::string_view line : SplitLines(data)) {
            if (line.empty() || line.front() == '#') continue;
            // weight:type:glob[:flags[:...]]
            const std::vector<std::string_view> f = SplitText(line, ':');
            if (f.size() < 3 || f[0].empty() || f[0].size() > 3 ||
                f[0].find_first_not_of("0123456789") != std::string_view::npos)
                continue;
            const int weight = std::stoi(std::string(f[0]));
            const std::string_view glob = f[2];
            if (glob.size() < 3 || glob.substr(0, 2) != "*." || !IsMimeType_(f[1])) continue;
            const std::string_view tail = glob.substr(2);
            const bool caseSensitive = f.size() >= 4 && f[3].find("cs") != std::string_view::npos;
            if (caseSensitive ? tail != e : !SameAsciiText(tail, e)) continue;
            const std::string type = LowerAscii(f[1]);
            if (weight > best) {
                types.assign(1, type);
                best = weight;
            } else if (weight == best && std::find(types.begin(), types.end(), type) == types.end()) {
                types.push_back(type);
            }
        }
    }
    if (types.empty() && known.empty()) return {OwnMimeType_(e)};
    // Of several equal types, those of the first one's media class; after known types, the
    // database's of their classes.
    std::vector<std::string> out = known;
    const std::string& first = known.empty() ? types.front() : known.front();
    const std::string cls = first.substr(0, first.find('/') + 1);
    for (const std::string& t : types)
        if (t.compare(0, cls.size(), cls) == 0 && std::find(out.begin(), out.end(), t) == out.end())
            out.push_back(t);
    return out;
}

std::string DesktopEntryFile(const std::string& fileType) {
    return DesktopIsTypeName(fileType) ? EntryPath_(fileType) : std::string();
}

}  // namespace kelvora
