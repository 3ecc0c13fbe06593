#include "tests/support/temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

// Paths are UTF-8 text on every platform (on Windows a plain std::string
// would be read in the ANSI code page).
std::filesystem::path fs_path(std::string_view utf8) {
  return {std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size())};
}

std::string utf8_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {reinterpret_cast<const char*>(text.data()), text.size()};
}

}  // namespace

TempDir::TempDir() {
  // A fresh name of random letters; create_directory reports whether it was new.
  std::random_device seed;
  std::mt19937_64 random(seed());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::string name = "tarnel-test-";
    for (int i = 0; i < 8; ++i) name += static_cast<char>('a' + random() % 26);
    // Canonical, so that tests can compare with paths the server resolves.
    if (std::filesystem::create_directory(base / name)) path_ = utf8_text(std::filesystem::canonical(base / name));
  }
  if (path_.empty()) throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(fs_path(path_), ec);
}

std::string TempDir::path(std::string_view relative) const {
  if (relative.empty()) return path_;
  return path_ + "/" + std::string(relative);
}

std::string TempDir::write(std::string_view relative, std::string_view content) const {
  std::string full = path(relative);
  std::filesystem::create_directories(fs_path(full).parent_path());
  std::ofstream out(fs_path(full), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string TempDir::mkdir(std::string_view relative) const {
  std::string full = path(relative);
  std::filesystem::create_directories(fs_path(full));
  return full;
}

std::string TempDir::read(std::string_view relative) const { return read_file_text(path(relative)); }

bool TempDir::exists(std::string_view relative) const {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(fs_path(path(relative)), ec));
}

std::string read_file_text(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(fs_path(path), ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(utf8_text(it->path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}
