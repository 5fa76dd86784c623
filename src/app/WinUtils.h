#pragma once
// Shell helpers: the owner window of boxes and menus, an error box, starting a document or a
// program (with or without waiting for it), the user's special folders and shortcuts to
// programs.
//
// Starting without waiting hands a document or web address to the desktop's opener
// (xdg-open), or runs a program file directly; starting with waiting runs the program with
// posix_spawn and waits for it with waitpid. The command line of a waited-for start is the
// file, quoted when it holds a blank, a blank and the parameters; it is split into arguments at
// blanks outside double quotes.
//
// Special folders come from the user's folder list, "user-dirs.dirs" in $XDG_CONFIG_HOME
// (default ~/.config), whose lines read XDG_<NAME>_DIR="$HOME/Folder" or an absolute path. A
// shortcut is an executable launcher file "<link>.desktop" that starts the target program.
// All routines fail quietly: an unknown folder is empty, a shortcut that cannot be written
// leaves no file.

#include <cstdint>
#include <string>

class QWidget;

namespace kelvora {

// The active window of the program, or null (the desktop) when none is active.
QWidget* GetWindowHandle();
// An error box captioned "Error".
void DvlShowError(const std::string& text);
// Starts `file` with `parameters` in `directory`: waiting for it to end (`wait`), or not. True
// when it was started. `minimized` has no meaning on the desktops we run on.
bool StartFile(const std::string& file, const std::string& parameters, const std::string& directory,
               bool wait, bool minimized);
// The desktop's default action on `file` (a document, a folder, a web address) or, for a
// program file, the program with `parameters`; returns without waiting.
bool _ExecAndReturn(const std::string& file, const std::string& parameters,
                    const std::string& directory, bool minimized);
// The command line and working directory of a waited-for start: the trimmed file, enclosed in
// double quotes when it holds a blank and is not quoted yet, a blank, the parameters; the
// directory, when none is given, is the file's own (without its trailing "/", except for "/").
void _ExecCommandLine(const std::string& file, const std::string& parameters,
                      const std::string& directory, std::string& commandLine, std::string& workDir);
// Runs the program of a waited-for start and waits until it ends; false when it cannot start.
bool _ExecAndWait(const std::string& file, const std::string& parameters,
                  const std::string& directory, bool minimized);

// Show commands of a shortcut (the launcher has no window state; kept for the callers).
constexpr int32_t SW_SHOWNORMAL = 1;
constexpr int32_t SW_SHOWMINNOACTIVE = 7;

// The value of variable `name` in the folder list `file`, with $HOME expanded to the home folder
// (HomeDir(): $HOME when absolute, else the password database's), every "//" collapsed to "/"
// and one trailing "/"; empty when the file, the variable or the home folder (for a value under
// $HOME) is missing, or the value is not an absolute path.
std::string _GetRegistryFolder(const std::string& file, const std::string& name);
// The user's folder of that name ("Desktop", "Documents", "Music", ...) from "user-dirs.dirs".
std::string GetShellFolder(const std::string& folderName);

// Writes the launcher `linkPath` + ".desktop" (replacing one of that name) that runs `target`
// with `arguments` in `workDir`. `description` becomes the launcher's comment. `iconFile` names
// an image; a program file stands for its own icon, found beside it as <name>.svg, .png or
// .xpm, or else by the theme name <name>. The icon index, show command and hot key mean
// nothing here. The file is made executable and, where the desktop supports it, marked
// trusted. True when the file was written.
bool CreateLink(const std::string& target, const std::string& linkPath,
                const std::string& description, const std::string& workDir,
                const std::string& arguments, const std::string& iconFile, int32_t iconIndex,
                int32_t showCmd, uint16_t hotKey);
// A launcher `name` on the user's desktop for `target`, started in the target's directory
// with the target's icon. Without a desktop folder the launcher lands in the current
// directory.
bool CreateDesktopLink(const std::string& target, const std::string& name);

}  // namespace kelvora
