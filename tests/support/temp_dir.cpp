#include "temp_dir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Canonical, so that tests can compare with paths the server resolves.
  path_ = std::filesystem::canonical(pattern).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::path(std::string_view relative) const {
  if (relative.empty()) return path_;
  return path_ + "/" + std::string(relative);
}

std::string TempDir::write(std::string_view relative, std::string_view content) const {
  std::string full = path(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string TempDir::mkdir(std::string_view relative) const {
  std::string full = path(relative);
  std::filesystem::create_directories(full);
  return full;
}

std::string TempDir::read(std::string_view relative) const { return read_file_text(path(relative)); }

bool TempDir::exists(std::string_view relative) const {
  struct stat st{};
  return ::lstat(path(relative).c_str(), &st) == 0;
}

std::string read_file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}
