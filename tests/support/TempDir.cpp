#include "tests/support/TempDir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Files.h"

namespace testsupport {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vftest.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ReadFile(const std::string& path) {
    return platform::ReadWholeFile(path).value_or("");
}

namespace {
std::vector<std::string> List(const std::string& dir, bool filesOnly, const std::string& suffix) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if ((!filesOnly || e.is_regular_file()) && e.path().string().ends_with(suffix))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}
}  // namespace

std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix) {
    return List(dir, true, suffix);
}

std::vector<std::string> NamesIn(const std::string& dir, bool filesOnly) {
    std::vector<std::string> out = List(dir, filesOnly, "");
    for (auto& p : out) p = std::filesystem::path(p).filename();
    return out;
}

}  // namespace testsupport
