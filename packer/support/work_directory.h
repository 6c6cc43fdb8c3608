// The folder a pack builds in: beside the output, so the finished launcher is
// renamed into place on the same file system. Its name is fixed per output,
// so one left by a killed run is removed by the next.
#pragma once

#include <filesystem>

namespace tallix {

// Where the work folder for `output` lies.
std::filesystem::path workDirectoryFor(const std::filesystem::path &output);

// Creates the work folder afresh (throws PackFailure) and removes it when
// destroyed, or on an interrupt before that (see onInterrupt in
// packer/support/host_system.h, which the first construction sets up: construct it
// before starting threads).
class WorkDirectory {
  public:
    explicit WorkDirectory(const std::filesystem::path &output);
    ~WorkDirectory();
    WorkDirectory(const WorkDirectory &) = delete;
    WorkDirectory &operator=(const WorkDirectory &) = delete;

    const std::filesystem::path &path() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace tallix
