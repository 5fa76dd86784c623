#pragma once
// The user's MIME-apps list, $XDG_CONFIG_HOME/mimeapps.list: for each MIME type the desktop ids
// ("player.desktop") of the applications that open it by default, best first, in the group
// [Default Applications].
//
// The list is edited line by line: comments, other groups, blank lines and the lines of other
// MIME types stay as they were. The first [Default Applications] group counts, and in it the
// first line of a MIME type (types compare without regard to ASCII case). A file of unreasonable
// size (over 16 MiB) or of another kind than a regular file cannot be loaded, so it is never
// overwritten. The file is replaced atomically, through a symbolic link to the file it names.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace kelvora {

class MimeAppsList {
public:
    // Reads the user's list (a missing file is an empty list). False, with the list empty, when
    // the file cannot be read or there is no configuration folder.
    bool Load();
    // Writes the list back (creating the folder), leaving an unchanged file alone.
    bool Save() const;

    // The applications of `mime`, best first; empty when none is set.
    std::vector<std::string> Defaults(const std::string& mime) const;
    // Every MIME type of the group, in lower case and once, with its first application.
    std::vector<std::pair<std::string, std::string>> AllFirsts() const;
    // Sets the applications of `mime`, replacing its first line and dropping the later ones; an
    // empty list removes its lines. The group is made when missing.
    void SetDefaults(const std::string& mime, const std::vector<std::string>& ids);

private:
    bool Group_(size_t& header, size_t& end) const;
    size_t KeyLine_(const std::string& mime, size_t from, size_t end) const;

    std::vector<std::string> lines_;
    mode_t mode_ = 0644;
};

// The list's file for the current environment; empty when there is no configuration folder.
std::string DesktopMimeAppsFile();

}  // namespace kelvora
