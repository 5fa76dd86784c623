#pragma once
// A small key store standing in for the shell's class registry (file types and extensions),
// laid onto the freedesktop conventions so that desktops and their file openers see what it
// holds.
//
// Keys are paths of names joined by "\" and compare without regard to ASCII case. A key holds
// a default value (the empty name) and, where its kind allows, named values; values are texts.
// Keys come into being with their first value: opening a key for creation only checks that
// it can hold values. Where each kind of key lives:
//
// - An extension key (".avi"): its default value is the default application of the
//   extension's MIME types in $XDG_CONFIG_HOME/mimeapps.list, group [Default Applications].
//   It reads as the file type when that application is a file type of this store, as the
//   application's desktop id ("player.desktop") when another program owns it, and as missing
//   when none is set. Writing a file type (or a desktop id) puts its entry first for each of
//   the extension's MIME types; writing an empty text takes this store's file types out of
//   them, leaving what other programs put there. Every well-formed extension has a key;
//   extension keys take no named values.
// - MIME types of an extension: the best-weighted simple globs ("*.avi") of the shared MIME
//   database ($XDG_DATA_HOME, then $XDG_DATA_DIRS: mime/globs2); when several types tie, the
//   first one and those of its media class ("audio/...") count. An extension the database
//   does not know gets a type of our own, "application/x-kelvora-" + the extension in lower
//   case, declared in the MIME package $XDG_DATA_HOME/mime/packages/kelvora-types.xml for as
//   long as some application is set for it.
// - A file-type key ("Kelvora.VideoClip") with the subkeys "DefaultIcon", "shell",
//   "shell\<verb>" and "shell\<verb>\Command" (default values only; verbs are made of letters,
//   digits and "-"): the desktop entry $XDG_DATA_HOME/applications/<type>.desktop. Its Name is
//   the description (the key's default value), Icon the icon; the verb named by "shell" (else
//   "open", else the first verb with a command) gives Exec, the other verbs with a command
//   become desktop actions; MimeType lists the MIME types whose default application the entry
//   is. A command is a program and its arguments as the shell's command lines write them
//   (double quotes group; "%L", "%l" and "%1" stand for the file); in Exec the file's field
//   code stands as an argument of its own, after the text in front of it ("/play=" "%f").
//   The exact values are kept in X-Kelvora-* keys of the entry. A desktop entry without them
//   belongs to another program and is never written.
// - Any other key ("Tarnwel_Backup\Kelvora"): a section of the INI file
//   $XDG_CONFIG_HOME/kelvora/classes.ini named after the key's path, each value a line of it,
//   the default value under the name "@". Values must fit on one line.
//
// After a change the desktop and MIME caches are refreshed with update-desktop-database and
// update-mime-database where those programs are installed (once per DesktopCacheBatch). Files
// are replaced atomically; files of unreasonable size or of another kind than regular files
// read as empty and are never overwritten. Used from one thread at a time.
//
// The store is laid over three units: MimeAppsList (the default applications of MIME types),
// DesktopEntry (the entries of file types, the MIME types of extensions, our MIME package and
// the cache refreshes) and this one (the keys, and the INI file of the other keys).

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The store's users also see the files behind it and batch its cache refreshes.
#include "platform/DesktopEntry.h"
#include "platform/MimeAppsList.h"

namespace kelvora {

// Root keys. Only the class root is kept here; the others have no keys.
constexpr uint32_t HKEY_CLASSES_ROOT = 0x80000000u;
constexpr uint32_t HKEY_CURRENT_USER = 0x80000001u;
constexpr uint32_t HKEY_LOCAL_MACHINE = 0x80000002u;

// A value that cannot be stored.
class ERegistry : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One view on the store: a root and the key that is open.
class QRegistry {
public:
    explicit QRegistry(uint32_t root = HKEY_CLASSES_ROOT) : root_(root) {}

    uint32_t RootKey() const { return root_; }
    // Opens `key` (from the root when it starts with "\", else below the open key). Without
    // `canCreate` the key must exist; with it, it must be able to hold values. False when not
    // opened (the previously open key stays closed).
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    bool HasOpenKey() const { return open_; }
    // The open key's path from the root, names joined by "\".
    std::string CurrentPath() const;

    bool KeyExists(const std::string& key) const;
    bool ValueExists(const std::string& name) const;
    // The value of the open key; empty when it or the key is missing.
    std::string ReadString(const std::string& name) const;
    // Stores the value in the open key; raises ERegistry when no key is open for writing or
    // the value cannot be stored.
    void WriteString(const std::string& name, const std::string& value);

private:
    uint32_t root_;
    std::vector<std::string> path_;
    bool open_ = false;
    bool readOnly_ = false;
};

// The INI file behind the other keys (.../kelvora/classes.ini), for the current environment;
// the other files are DesktopMimeAppsFile() and DesktopEntryFile().
std::string DesktopClassesFile();

}  // namespace kelvora
