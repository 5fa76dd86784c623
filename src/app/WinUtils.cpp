#include "app/WinUtils.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include <QApplication>

#include "app/VCLUtils.h"
#include "platform/FileIO.h"
#include "platform/PlatformText.h"
#include "platform/ProfileFile.h"
#include "platform/UserDirs.h"
#include "runtime/miscprocs.h"

extern char** environ;

namespace kelvora {

namespace {

constexpr const char* FOLDER_LIST = "user-dirs.dirs";
constexpr const char* LINK_EXT = ".desktop";
// A folder list is a few lines; anything bigger is not one.
constexpr off_t FOLDER_LIST_MAX = 1 << 20;
// The trust marking is a courtesy: never hold the caller up for long.
constexpr auto TRUST_WAIT = std::chrono::seconds(3);

bool HasControlChars_(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

bool IsRegularFile_(const std::string& path) {
    struct stat sb;
    return ::stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
}

// The value of a shell assignment: a double-quoted string with backslash escapes, or the bare
// text. Empty when the quotes are not closed.
std::string ShellValue_(const std::string& raw) {
    if (raw.empty() || raw[0] != '"') return TrimText(raw);
    std::string out;
    for (size_t i = 1; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') return out;
        if (c == '\\' && i + 1 < raw.size())
            out += raw[++i];
        else
            out += c;
    }
    return std::string();
}

std::string BaseName_(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The directory part without its trailing "/"; the root keeps it; empty for a bare name.
std::string DirName_(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A value of a launcher file: backslashes doubled, a leading blank kept.
std::string EntryValue_(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\')
            out += "\\\\";
        else if (i == 0 && s[i] == ' ')
            out += "\\s";
        else
            out += s[i];
    }
    return out;
}

// The program as the first word of the launch command: always in double quotes, with the
// characters that keep a meaning inside them escaped, and "%" doubled (field codes).
std::string ExecWord_(const std::string& program) {
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
        if (c == '%') quoted += '%';
    }
    return quoted + "\"";
}

std::string Percents_(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

std::string LowerExt_(const std::string& name) {
    const std::string base = BaseName_(name);
    const size_t dot = base.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : base.substr(dot);
    return LowerText(ext);
}

// The launcher's icon: an image as it is; for a program, an image of the same name beside it,
// else the theme icon of that name.
std::string LinkIcon_(const std::string& iconFile) {
    const std::string ext = LowerExt_(iconFile);
    if (ext == ".png" || ext == ".svg" || ext == ".xpm") return iconFile;
    std::string stem = BaseName_(iconFile);
    if (!ext.empty()) stem.resize(stem.size() - ext.size());
    if (stem.empty()) return std::string();
    const std::string dir = AddBS(DirName_(iconFile));
    for (const char* e : {".svg", ".png", ".xpm"})
        if (IsRegularFile_(dir + stem + e)) return dir + stem + e;
    return stem;
}

// Starts `argv` (searched on PATH when it names no folder) in `dir` (empty: ours) with the
// standard streams on /dev/null when `quiet`; 0 when it cannot start.
pid_t Spawn_(std::vector<std::string> args, const std::string& dir, bool quiet) {
    if (args.empty() || args[0].empty()) return 0;
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return 0;
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

// Waits for `pid` to end; with a limit, kills it when the limit passes first.
void Reap_(pid_t pid, std::chrono::milliseconds limit = std::chrono::milliseconds::zero()) {
    int status = 0;
    if (limit.count() > 0) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (true) {
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR)) return;
            if (std::chrono::steady_clock::now() >= until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
    }
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

// A started program nobody waits for is still reaped, so it leaves no zombie behind.
void ReapLater_(pid_t pid) {
    std::thread([pid] { Reap_(pid); }).detach();
}

bool IsProgram_(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Desktops that ask before running a launcher from the desktop accept one marked trusted.
// Where the marking tool is missing or unsupported nothing happens.
void MarkTrusted_(const std::string& path) {
    const pid_t pid = Spawn_({"gio", "set", "-t", "string", path, "metadata::trusted", "true"}, "",
                             true);
    if (pid > 0) Reap_(pid, std::chrono::duration_cast<std::chrono::milliseconds>(TRUST_WAIT));
}

}  // namespace

QWidget* GetWindowHandle() { return qApp ? QApplication::activeWindow() : nullptr; }

void DvlShowError(const std::string& text) { MsgBox(text, "Error", MB_OK + MB_ICONERROR); }

bool StartFile(const std::string& file, const std::string& parameters, const std::string& directory,
               bool wait, bool minimized) {
    return wait ? _ExecAndWait(file, parameters, directory, minimized)
                : _ExecAndReturn(file, parameters, directory, minimized);
}

bool _ExecAndReturn(const std::string& file, const std::string& parameters,
                    const std::string& directory, bool /*minimized*/) {
    const std::string name = TrimText(file);
    if (name.empty()) return false;
    const bool address = name.find("://") != std::string::npos;
    if (!address && ::access(name.c_str(), F_OK) != 0) return false;
    std::vector<std::string> args;
    if (!address && IsProgram_(name)) {
        args = SplitCommandWords(parameters);
        args.insert(args.begin(), name);
    } else {
        args = {"xdg-open", name};
    }
    const pid_t pid = Spawn_(args, directory, true);
    if (pid <= 0) return false;
    ReapLater_(pid);
    return true;
}

void _ExecCommandLine(const std::string& file, const std::string& parameters,
                      const std::string& directory, std::string& commandLine, std::string& workDir) {
    std::string name = TrimText(file);
    const bool quoted = name.size() >= 2 && name.front() == '"' && name.back() == '"';
    if (name.find(' ') != std::string::npos && !quoted) name = '"' + name + '"';
    commandLine = name + " " + parameters;
    workDir = directory;
    if (workDir.empty()) {
        const std::string bare = quoted ? name.substr(1, name.size() - 2) : TrimText(file);
        const size_t slash = bare.rfind('/');
        workDir = slash == std::string::npos ? std::string()
                  : slash == 0               ? "/"
                                             : bare.substr(0, slash);
    }
}

bool _ExecAndWait(const std::string& file, const std::string& parameters,
                  const std::string& directory, bool /*minimized*/) {
    std::string line, dir;
    _ExecCommandLine(file, parameters, directory, line, dir);
    const pid_t pid = Spawn_(SplitCommandWords(line), dir, false);
    if (pid <= 0) return false;
    Reap_(pid);
    return true;
}

std::string _GetRegistryFolder(const std::string& file, const std::string& name) {
    struct stat sb;
    if (name.empty() || ::stat(file.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode) ||
        sb.st_size > FOLDER_LIST_MAX)
        return std::string();
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::string();
    // As in the shell, the last assignment counts.
    std::string value;
    bool found = false;
    std::string line;
    while (std::getline(in, line)) {
        line = TrimText(line);
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
            line[name.size()] == '=') {
            value = ShellValue_(line.substr(name.size() + 1));
            found = true;
        }
    }
    if (!found || value.empty() || HasControlChars_(value)) return std::string();
    if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
        // The same home folder as the settings' (UserDirs.h), not whatever $HOME holds.
        const std::string home = HomeDir();
        if (home.empty()) return std::string();
        value = home + value.substr(5);
    }
    if (value[0] != '/') return std::string();
    for (size_t at = value.find("//"); at != std::string::npos; at = value.find("//", at))
        value.erase(at, 1);
    return AddBS(value);
}

std::string GetShellFolder(const std::string& folderName) {
    if (folderName.empty()) return std::string();
    std::string variable = "XDG_";
    for (char c : folderName) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return std::string();
        variable += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    const std::string file = ProfileResolvePath(FOLDER_LIST);
    return file.empty() ? std::string() : _GetRegistryFolder(file, variable + "_DIR");
}

bool CreateLink(const std::string& target, const std::string& linkPath,
                const std::string& description, const std::string& workDir,
                const std::string& arguments, const std::string& iconFile, int32_t /*iconIndex*/,
                int32_t /*showCmd*/, uint16_t /*hotKey*/) {
    const std::string title = BaseName_(linkPath);
    if (target.empty() || title.empty()) return false;
    // One line per key: a line end in any value would add keys of its own.
    for (const std::string* s : {&target, &linkPath, &description, &workDir, &arguments, &iconFile})
        if (HasControlChars_(*s)) return false;

    std::string exec = ExecWord_(target);
    if (!TrimText(arguments).empty()) exec += " " + Percents_(TrimText(arguments));
    std::string text = "[Desktop Entry]\nType=Application\nVersion=1.0\nName=" + EntryValue_(title) +
                       "\n";
    if (!description.empty()) text += "Comment=" + EntryValue_(description) + "\n";
    text += "Exec=" + EntryValue_(exec) + "\n";
    if (!workDir.empty()) text += "Path=" + EntryValue_(workDir) + "\n";
    const std::string icon = iconFile.empty() ? std::string() : LinkIcon_(iconFile);
    if (!icon.empty()) text += "Icon=" + EntryValue_(icon) + "\n";
    text += "Terminal=false\n";

    const std::string path = linkPath + LINK_EXT;
    // Through a temporary file renamed into place: an existing launcher is replaced whole or
    // not at all.
    const mode_t executable = 0755;
    if (!FileReplace(path, text, &executable)) return false;
    MarkTrusted_(path);
    return true;
}

bool CreateDesktopLink(const std::string& target, const std::string& name) {
    return CreateLink(target, GetShellFolder("Desktop") + name, std::string(), DirName_(target),
                      std::string(), target, 0, SW_SHOWNORMAL, 0);
}

}  // namespace kelvora
