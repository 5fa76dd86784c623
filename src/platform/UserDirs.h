#pragma once
// The user's folders, for every stand-in alike: the home folder and the XDG base directories.
//
// One rule for all of them, the one of the XDG base-directory conventions: an environment
// variable counts only when its value is an absolute path. An unset, empty or relative value is
// ignored, as if unset (the conventions call relative values invalid, and honouring one would
// put the user's files wherever the program happens to be started). $HOME follows the same
// rule: when it is not absolute the home folder comes from the password database entry of the
// user the program runs as. So the settings, the file associations, the special folders and
// the sockets of one session always agree on where the user's folders are.
//
// Every call reads the environment afresh. The folders come without a trailing "/" (the root
// stays "/") and are not created; an empty text means that the folder is not known.

#include <string>
#include <vector>

namespace kelvora {

// $HOME, else the password database's home folder of the real user.
std::string HomeDir();
// $XDG_CONFIG_HOME, else HomeDir() + "/.config".
std::string ConfigHome();
// $XDG_DATA_HOME, else HomeDir() + "/.local/share".
std::string DataHome();
// The absolute entries of the ":"-separated $XDG_DATA_DIRS in their order, without repeats;
// "/usr/local/share" and "/usr/share" when the variable is unset or empty.
std::vector<std::string> DataDirs();
// $XDG_RUNTIME_DIR; it has no default (the callers choose where to go without one).
std::string RuntimeDir();

}  // namespace kelvora
