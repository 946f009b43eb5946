#pragma once
// A private temporary folder for one test, removed with everything in it.
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// The regular files in a folder whose names end in `suffix`, as sorted paths;
// none when the folder does not exist.
std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix = "");
// The names in a folder, sorted: of every entry, or of its regular files only.
std::vector<std::string> NamesIn(const std::string& dir, bool filesOnly = false);

}  // namespace testsupport
