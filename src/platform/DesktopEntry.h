#pragma once
// The desktop entries of the key store's file types and what they depend on: the MIME types of
// extensions and the MIME package of our own types, and the refresh of the desktop and MIME
// caches.
//
// A file type "Kelvora.VideoClip" is the desktop entry $XDG_DATA_HOME/applications/
// Kelvora.VideoClip.desktop. Its Name is the description, Icon the icon; the default verb (else
// "open", else the first verb with a command) gives Exec, the other verbs with a command become
// desktop actions; MimeType lists the MIME types whose first default application (in the
// MIME-apps list) the entry is. A command is a program and its arguments as the shell's command
// lines write them (double quotes group; "%L", "%l" and "%1" stand for the file); in Exec the
// file's field code stands as an argument of its own, after the text in front of it ("/play="
// "%f"). The exact values are kept in X-Kelvora-* keys of the entry, and an entry without them
// belongs to another program: it reads as Foreign and is never written. Entries above 1 MiB or
// of another kind than regular files read as Foreign too.
//
// The MIME types of an extension are the best-weighted simple globs ("*.avi") of the shared MIME
// database ($XDG_DATA_HOME, then $XDG_DATA_DIRS: mime/globs2); when several types tie, the first
// one and those of its media class ("audio/...") count. An extension the database does not know
// gets a type of our own, "application/x-kelvora-" + the extension in lower case, declared in the
// MIME package $XDG_DATA_HOME/mime/packages/kelvora-types.xml for as long as the MIME-apps list
// sets an application for it.
//
// The caches are refreshed with update-desktop-database and update-mime-database where those
// programs are installed, at once or, while a DesktopCacheBatch lives, once at its end. Used
// from one thread at a time.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

class MimeAppsList;

// At most this many verbs per file type.
constexpr size_t DESKTOP_MAX_VERBS = 64;

// --- Names ----------------------------------------------------------------------------------

// An extension without its dot: letters, digits and "_.+-", at most 32, not starting or ending
// in a dot.
bool DesktopIsExtName(std::string_view ext);
// A file type that can name a desktop entry (the desktop id without ".desktop").
bool DesktopIsTypeName(std::string_view type);
// A verb, which becomes a desktop action: letters, digits and "-".
bool DesktopIsVerbId(std::string_view verb);
// A desktop id: a file name ending in ".desktop".
bool DesktopIsId(std::string_view id);
// A value a desktop entry can keep on its one line (tabs and line ends have escapes; other
// control characters cannot be kept).
bool DesktopValueStorable(std::string_view value);

// --- Entries of file types --------------------------------------------------------------------

struct DesktopVerb {
    std::string id;
    std::optional<std::string> caption;
    std::optional<std::string> command;
};

// The key store's values of a file type; a missing value is not the same as an empty one.
struct DesktopTypeEntry {
    std::optional<std::string> description;
    std::optional<std::string> icon;
    std::optional<std::string> defaultVerb;
    std::vector<DesktopVerb> verbs;

    // The verb of that id (ASCII case ignored), or null.
    DesktopVerb* FindVerb(std::string_view id);
};

enum class DesktopOwner { Missing, Ours, Foreign };

// Reads the entry of `type` into `e` (empty unless it is Ours).
DesktopOwner DesktopLoadEntry(const std::string& type, DesktopTypeEntry& e);
// Writes the entry of `type`, listing the MIME types whose first application it is in `apps`.
// True when the file is as wanted; `changed` tells whether it was rewritten.
bool DesktopSaveEntry(const std::string& type, const DesktopTypeEntry& e, const MimeAppsList& apps,
                      bool& changed);
// `type`, or the type of ours whose entry differs from it only in letter case.
std::string DesktopResolveType(const std::string& type);
// True when the desktop id names an entry of ours.
bool DesktopIsOurId(const std::string& id);
// Brings the MIME types of our entries among the desktop ids `ids` up to date with `apps`. True
// when an entry was rewritten (the desktop cache is then stale); within a batch the work waits
// for its end and the answer is false.
bool DesktopRefreshEntries(const std::set<std::string>& ids, const MimeAppsList& apps);
// Refreshes the desktop cache of the applications folder (within a batch: at its end).
void DesktopRefreshCache();
// Makes the MIME package declare exactly our own types that have an application in `apps`,
// removing it with the last one, and refreshes the MIME cache after a change (within a batch:
// at its end).
void DesktopSyncMimePackage(const MimeAppsList& apps);

// While one of these lives, the desktop and MIME caches are refreshed only once, when the
// outermost one ends (for a run of many changes).
class DesktopCacheBatch {
public:
    DesktopCacheBatch();
    ~DesktopCacheBatch();
    DesktopCacheBatch(const DesktopCacheBatch&) = delete;
    DesktopCacheBatch& operator=(const DesktopCacheBatch&) = delete;
};

// --- Lookups --------------------------------------------------------------------------------

// The MIME types of an extension (with or without its leading "."), the first one the type
// the extension is known by; empty for a malformed extension.
std::vector<std::string> DesktopMimeTypesOfExt(const std::string& ext);
// The desktop entry file of a file type (.../applications/<type>.desktop); empty for a name
// that cannot be a file type or when there is no data folder.
std::string DesktopEntryFile(const std::string& fileType);

}  // namespace kelvora
