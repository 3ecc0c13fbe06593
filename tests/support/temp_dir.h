// A fresh temporary folder for one test, removed with everything in it when
// the test ends, with helpers to lay out and inspect files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's absolute path (no trailing slash).
  const std::string& path() const { return path_; }
  // The folder's path joined with a relative path.
  std::string path(std::string_view relative) const;
  // Writes `content` to the relative path, creating folders on the way.
  std::string write(std::string_view relative, std::string_view content) const;
  // Creates the relative folder and its ancestors.
  std::string mkdir(std::string_view relative) const;
  // The content of the file at the relative path; "<missing>" when absent.
  std::string read(std::string_view relative) const;
  // True when something exists at the relative path (links not followed).
  bool exists(std::string_view relative) const;

 private:
  std::string path_;
};

// Reads a whole file by absolute path; "<missing>" when it cannot be read.
std::string read_file_text(const std::string& path);

// The names in a folder ("." and ".." left out), sorted; none when it cannot be read.
std::vector<std::string> folder_names(const std::string& path);
