// A fresh temporary folder for one test, removed with everything in it when
// the test ends, with helpers to lay out and inspect files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The separator of the platform's paths, which TempDir::path puts between
// components.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's absolute path (no trailing slash), canonical but without
  // the extended-length prefix that Windows' canonical names carry.
  const std::string& path() const { return path_; }
  // The folder's path joined with a relative path written with "/" (which
  // becomes "\" on Windows).
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

// The canonical name the platform gives the existing `path` (a path of a
// TempDir): the path itself on POSIX, with the extended-length prefix
// ("\\?\", "\\?\UNC\") on Windows.
std::string canonical(std::string_view path);

// True when the tests run under wine, whose file system differs from
// Windows' in ways some tests must allow for (each says which); false on
// Windows itself and on POSIX.
bool under_wine();

// Gives the file at `path` the read-only mark: no write permission bit on
// POSIX, the read-only attribute on Windows.
void set_read_only(const std::string& path);

// Makes `link` a symbolic link to `target` (an existing folder when
// `folder`); false where the platform makes none. Windows makes a folder link
// as a junction when a symbolic link needs a privilege the test lacks; wine's
// CreateSymbolicLinkW reports success and creates nothing, and wine makes no
// junction either.
bool make_link(const std::string& target, const std::string& link, bool folder = false);

// Sets the modification time of the file at `path` to `seconds` and
// `nanoseconds` after 1970 (Windows keeps 100 ns steps).
void set_mtime(const std::string& path, std::int64_t seconds, std::uint32_t nanoseconds = 0);

// The modification time of the file at `path`: seconds and nanoseconds after 1970.
std::pair<std::int64_t, std::uint32_t> mtime_of(const std::string& path);

// Writes `content` to the file at the absolute `path`, creating folders on
// the way; returns the path.
std::string write_file_text(const std::string& path, std::string_view content);

// Reads a whole file by absolute path; "<missing>" when it cannot be read.
// On Windows the file is opened sharing read, write and delete access, as
// the note's other readers are expected to.
std::string read_file_text(const std::string& path);

// The names in a folder ("." and ".." left out), sorted; none when it cannot be read.
std::vector<std::string> folder_names(const std::string& path);
