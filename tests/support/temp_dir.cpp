#include "tests/support/temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include "vault_core/platform/win32_windows.h"
#include "vault_core/paths/windows_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace {

#ifdef _WIN32
// 100 ns steps between 1601-01-01 and 1970-01-01 UTC.
constexpr std::uint64_t kEpochTicks = 116444736000000000;
#endif

// Paths are UTF-8 text on every platform (on Windows a plain std::string
// would be read in the ANSI code page).
std::filesystem::path fs_path(std::string_view utf8) {
  return {std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size())};
}

std::string utf8_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// The canonical path of the existing folder `path`: on Windows its final name
// in display form, so that a short (8.3) name in the temporary folder's path
// does not differ from the names the server resolves.
std::string canonical_folder(const std::filesystem::path& path) {
#ifdef _WIN32
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open the temporary folder");
  std::wstring name(32768, L'\0');
  const DWORD n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), 0);
  ::CloseHandle(h);
  if (n == 0 || n >= name.size()) throw std::runtime_error("cannot name the temporary folder");
  name.resize(n);
  return paths::display_form(platform::to_utf8(name));
#else
  return utf8_text(std::filesystem::canonical(path));
#endif
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
    if (std::filesystem::create_directory(base / name)) path_ = canonical_folder(base / name);
  }
  if (path_.empty()) throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
#ifdef _WIN32
  // Windows deletes no read-only file; links are not followed.
  for (std::filesystem::recursive_directory_iterator it(fs_path(path_), ec), end; !ec && it != end; it.increment(ec)) {
    const DWORD attributes = ::GetFileAttributesW(it->path().c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ::SetFileAttributesW(it->path().c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
  ec.clear();
#endif
  std::filesystem::remove_all(fs_path(path_), ec);
}

std::string TempDir::path(std::string_view relative) const {
  if (relative.empty()) return path_;
#ifdef _WIN32
  std::string native(relative);
  std::replace(native.begin(), native.end(), '/', '\\');
  return path_ + "\\" + native;
#else
  return path_ + "/" + std::string(relative);
#endif
}

std::string canonical(std::string_view path) {
#ifdef _WIN32
  if (path.starts_with("\\\\")) return "\\\\?\\UNC\\" + std::string(path.substr(2));
  return "\\\\?\\" + std::string(path);
#else
  return std::string(path);
#endif
}

std::string TempDir::write(std::string_view relative, std::string_view content) const {
  return write_file_text(path(relative), content);
}

std::string write_file_text(const std::string& path, std::string_view content) {
  std::filesystem::create_directories(fs_path(path).parent_path());
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
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
#ifdef _WIN32
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE h = ::CreateFileW(fs_path(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text;
  char buffer[65536];
  DWORD n = 0;
  bool ok = true;
  while ((ok = ::ReadFile(h, buffer, sizeof buffer, &n, nullptr)) && n > 0) text.append(buffer, n);
  ::CloseHandle(h);
  return ok ? text : "<missing>";
#else
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
#endif
}

bool under_wine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

void set_read_only(const std::string& path) {
#ifdef _WIN32
  const std::filesystem::path p = fs_path(path);
  ::SetFileAttributesW(p.c_str(), ::GetFileAttributesW(p.c_str()) | FILE_ATTRIBUTE_READONLY);
#else
  ::chmod(path.c_str(), 0444);
#endif
}

#ifdef _WIN32
namespace {

// The mount point (junction) form of a reparse point's data, which user-mode
// headers do not declare.
struct MountPointData {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  wchar_t names[1];
};

bool make_junction(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::error_code ec;
  if (!std::filesystem::create_directory(link, ec)) return false;
  const HANDLE h = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + target.wstring();
  const std::wstring print = target.wstring();
  std::vector<unsigned char> buffer(sizeof(MountPointData) + (substitute.size() + print.size() + 2) * sizeof(wchar_t));
  auto* data = reinterpret_cast<MountPointData*>(buffer.data());
  data->tag = IO_REPARSE_TAG_MOUNT_POINT;
  data->substitute_offset = 0;
  data->substitute_length = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  data->print_offset = static_cast<WORD>(data->substitute_length + sizeof(wchar_t));
  data->print_length = static_cast<WORD>(print.size() * sizeof(wchar_t));
  std::copy(substitute.begin(), substitute.end(), data->names);
  std::copy(print.begin(), print.end(), data->names + substitute.size() + 1);
  data->data_length = static_cast<WORD>(8 + data->print_offset + data->print_length + sizeof(wchar_t));
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, data, data->data_length + 8, nullptr, 0, &returned,
                                    nullptr);
  ::CloseHandle(h);
  if (!ok) std::filesystem::remove(link, ec);
  return ok;
}

}  // namespace
#endif

bool make_link(const std::string& target, const std::string& link, bool folder) {
#ifdef _WIN32
  const std::filesystem::path t = fs_path(target);
  const std::filesystem::path l = fs_path(link);
  const DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  const auto is_link = [&] {
    const DWORD attributes = ::GetFileAttributesW(l.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  if (::CreateSymbolicLinkW(l.c_str(), t.c_str(), flags) && is_link()) return true;
  return folder && make_junction(t, l) && is_link();
#else
  (void)folder;
  return ::symlink(target.c_str(), link.c_str()) == 0;
#endif
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

void set_mtime(const std::string& path, std::int64_t seconds, std::uint32_t nanoseconds) {
#ifdef _WIN32
  const HANDLE h = ::CreateFileW(fs_path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  const auto ticks = static_cast<std::uint64_t>(seconds * 10'000'000 + nanoseconds / 100 + kEpochTicks);
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const BOOL ok = ::SetFileTime(h, nullptr, nullptr, &time);
  ::CloseHandle(h);
  if (!ok) throw std::runtime_error("cannot set the time of " + path);
#else
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, static_cast<long>(nanoseconds)}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("cannot set the time of " + path);
#endif
}

std::pair<std::int64_t, std::uint32_t> mtime_of(const std::string& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(fs_path(path).c_str(), GetFileExInfoStandard, &data)) {
    throw std::runtime_error("cannot read the time of " + path);
  }
  const auto ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime) -
      kEpochTicks);
  std::int64_t seconds = ticks / 10'000'000;
  std::int64_t rest = ticks % 10'000'000;
  if (rest < 0) {
    rest += 10'000'000;
    --seconds;
  }
  return {seconds, static_cast<std::uint32_t>(rest * 100)};
#else
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot read the time of " + path);
  return {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec)};
#endif
}
