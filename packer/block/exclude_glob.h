// One --exclude pattern, read as a .gitignore line is: "*" and "?" match
// within one name, "**" as a whole name any number of folders (a trailing
// "/**" everything inside), a trailing "/" folders only, and a pattern with
// no "/" but a trailing one matches a name at any depth; a leading "/"
// anchors it at the application directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallix {

class ExcludeGlob {
  public:
    // Throws BadInput for a pattern that could never match or that uses what
    // this reader does not support (a leading "!", "[...]", a "\").
    explicit ExcludeGlob(const std::string &pattern);

    // `path` is relative to the application directory, '/'-separated.
    bool matches(std::string_view path, bool isDirectory) const;

    const std::string &pattern() const { return pattern_; }

  private:
    bool matchFrom(std::size_t segment, const std::vector<std::string_view> &names,
                   std::size_t name) const;

    std::string pattern_;
    std::vector<std::string> segments_;
    bool directoriesOnly_ = false;
};

// The first of `globs` that matches, or nullptr.
const ExcludeGlob *findExclusion(const std::vector<ExcludeGlob> &globs, std::string_view path,
                                 bool isDirectory);

} // namespace tallix
