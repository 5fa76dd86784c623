#include "platform/MimeAppsList.h"

#include <set>
#include <string_view>

#include "platform/FileIO.h"
#include "platform/PlatformText.h"
#include "platform/UserDirs.h"

namespace kelvora {

namespace {

// The list is small; anything larger is not what it claims to be.
constexpr off_t kMaxFileBytes = 16 * 1024 * 1024;

constexpr const char* kDefaultApps = "Default Applications";

}  // namespace

// The first [Default Applications] group: its header line and the line after its end.
bool MimeAppsList::Group_(size_t& header, size_t& end) const {
    header = end = lines_.size();
    std::string_view name;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (!KeyFileGroupLine(lines_[i], name)) continue;
        if (header != lines_.size()) {
            end = i;
            return true;
        }
        if (name == kDefaultApps) header = i;
    }
    return header != lines_.size();
}

// The line of `mime` in the group, or `end`.
size_t MimeAppsList::KeyLine_(const std::string& mime, size_t from, size_t end) const {
    std::string_view key, value;
    for (size_t i = from; i < end; ++i)
        if (KeyFileKeyLine(lines_[i], key, value) && SameAsciiText(key, mime)) return i;
    return end;
}

std::vector<std::string> MimeAppsList::Defaults(const std::string& mime) const {
    size_t header, end;
    if (!Group_(header, end)) return {};
    const size_t line = KeyLine_(mime, header + 1, end);
    std::string_view key, value;
    if (line == end || !KeyFileKeyLine(lines_[line], key, value)) return {};
    return KeyFileSplitList(value);
}

std::vector<std::pair<std::string, std::string>> MimeAppsList::AllFirsts() const {
    std::vector<std::pair<std::string, std::string>> out;
    size_t header, end;
    if (!Group_(header, end)) return out;
    std::string_view key, value;
    std::set<std::string> seen;
    for (size_t i = header + 1; i < end; ++i) {
        if (!KeyFileKeyLine(lines_[i], key, value)) continue;
        const std::string mime = LowerAscii(key);
        if (!seen.insert(mime).second) continue;  // the first line of a type counts
        const std::vector<std::string> ids = KeyFileSplitList(value);
        if (!ids.empty()) out.emplace_back(mime, ids.front());
    }
    return out;
}

void MimeAppsList::SetDefaults(const std::string& mime, const std::vector<std::string>& ids) {
    size_t header, end;
    const std::string line = mime + "=" + KeyFileJoinList(ids);
    if (!Group_(header, end)) {
        if (ids.empty()) return;
        if (!lines_.empty() && !TrimBlanks(lines_.back()).empty()) lines_.emplace_back();
        lines_.push_back(std::string("[") + kDefaultApps + "]");
        lines_.push_back(line);
        return;
    }
    size_t at = KeyLine_(mime, header + 1, end);
    if (at == end) {
        if (ids.empty()) return;
        // After the group's last line that is not blank.
        size_t pos = end;
        while (pos > header + 1 && TrimBlanks(lines_[pos - 1]).empty()) --pos;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(pos), line);
        return;
    }
    if (!ids.empty()) {
        lines_[at] = line;
        ++at;
    }
    // Later lines of the same type would come to the fore: they go too.
    while ((at = KeyLine_(mime, at, end)) != end) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at));
        --end;
    }
}

bool MimeAppsList::Load() {
    lines_.clear();
    mode_ = 0644;
    const std::string file = DesktopMimeAppsFile();
    std::string data;
    const FileLoad r = FileLoadWhole(file, data, kMaxFileBytes, &mode_);
    if (r == FileLoad::Refused || file.empty()) return false;
    for (std::string_view line : SplitLines(data)) lines_.emplace_back(line);
    return true;
}

bool MimeAppsList::Save() const {
    const std::string file = DesktopMimeAppsFile();
    std::string data;
    for (const std::string& line : lines_) data += line + "\n";
    std::string old;
    if (FileLoadWhole(file, old, kMaxFileBytes) == FileLoad::Ok && old == data) return true;
    return FileReplaceCreating(file, data, mode_);
}

std::string DesktopMimeAppsFile() {
    const std::string d = ConfigHome();
    return d.empty() ? d : d + "/mimeapps.list";
}

}  // namespace kelvora
