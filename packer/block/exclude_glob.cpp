#include "packer/block/exclude_glob.h"

#include "packer/support/pack_errors.h"

namespace tallix {

namespace {

constexpr std::string_view ANY_FOLDERS = "**";

// "*" any run of characters, "?" one character; a name has no '/'.
bool matchName(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0;
    std::size_t starAt = std::string_view::npos, resumeAt = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            resumeAt = n;
        } else if (starAt != std::string_view::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

std::vector<std::string_view> splitNames(std::string_view path) {
    std::vector<std::string_view> names;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string_view::npos;
         start = slash + 1) {
        names.push_back(path.substr(start, slash - start));
    }
    names.push_back(path.substr(start));
    return names;
}

} // namespace

ExcludeGlob::ExcludeGlob(const std::string &pattern) : pattern_(pattern) {
    auto refuse = [&pattern](const std::string &cause) {
        throw BadInput("--exclude '" + pattern + "': " + cause);
    };
    std::string_view text = pattern;
    if (!text.empty() && text.back() == '/') {
        directoriesOnly_ = true;
        text.remove_suffix(1);
    }
    bool anchored = !text.empty() && text.front() == '/';
    if (anchored) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        refuse("the pattern is empty");
    }
    if (pattern.front() == '!') {
        refuse("negated patterns are not supported");
    }
    if (text.find('\\') != std::string_view::npos) {
        refuse("'\\' is not a separator here; write folders with '/'");
    }
    if (text.find('[') != std::string_view::npos) {
        refuse("character classes ([...]) are not supported");
    }
    // Without a '/' inside, a pattern names an entry at any depth.
    if (!anchored && text.find('/') == std::string_view::npos) {
        segments_.emplace_back(ANY_FOLDERS);
    }
    for (std::string_view name : splitNames(text)) {
        if (name.empty()) {
            refuse("the pattern has an empty folder name ('//')");
        }
        segments_.emplace_back(name);
    }
}

bool ExcludeGlob::matchFrom(std::size_t segment, const std::vector<std::string_view> &names,
                            std::size_t name) const {
    if (segment == segments_.size()) {
        return name == names.size();
    }
    if (segments_[segment] == ANY_FOLDERS) {
        // A trailing "**" is what lies inside, never the folder itself.
        std::size_t least = segment + 1 == segments_.size() ? name + 1 : name;
        for (std::size_t next = least; next <= names.size(); ++next) {
            if (matchFrom(segment + 1, names, next)) {
                return true;
            }
        }
        return false;
    }
    return name < names.size() && matchName(segments_[segment], names[name]) &&
           matchFrom(segment + 1, names, name + 1);
}

bool ExcludeGlob::matches(std::string_view path, bool isDirectory) const {
    if (directoriesOnly_ && !isDirectory) {
        return false;
    }
    return matchFrom(0, splitNames(path), 0);
}

const ExcludeGlob *findExclusion(const std::vector<ExcludeGlob> &globs, std::string_view path,
                                 bool isDirectory) {
    for (const ExcludeGlob &glob : globs) {
        if (glob.matches(path, isDirectory)) {
            return &glob;
        }
    }
    return nullptr;
}

} // namespace tallix
