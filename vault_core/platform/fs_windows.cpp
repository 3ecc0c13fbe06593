// Windows implementation of the file system. Paths are UTF-8 text converted
// to UTF-16 at the call and given the extended-length prefix ("\\?\",
// "\\?\UNC\"), so no length limit applies; final names come from the open
// handle (GetFinalPathNameByHandleW) and keep that prefix. Everything
// relative to an open folder opens, renames and deletes relative to the
// folder's handle (NtCreateFile and FILE_RENAME_INFORMATION with
// RootDirectory), so the folder's name is never resolved again and no handle
// keeps other programs from renaming or deleting it. Every file and folder is
// opened sharing read, write and delete access: notes stay open to the user's
// other programs.
//
// Links: a name surrogate reparse point (a symbolic link, a junction) is a
// link; other reparse points (cloud placeholders, deduplicated files) are
// files and folders like any other. Where a link must not be followed, the
// entry is opened itself (FILE_OPEN_REPARSE_POINT) and checked, and the final
// name of what opened must be the folder's final name and the entry's name:
// wine opens through a Unix symbolic link even when told not to, and deletes
// what it leads to.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <vector>

#include "vault_core/platform/fs.h"
#include "vault_core/platform/win32_windows.h"

namespace platform {

// The folder's handle, its listing in progress, and the lock it holds.
struct Dir::State {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool listing = false;                // opened for DirUse::list
  std::vector<std::uint64_t> batch;    // entries of the last listing call (8-byte aligned)
  std::size_t next = 0;                // byte offset of the next entry in `batch`
  bool batch_done = true;              // no entry of `batch` is left
  bool ended = false;                  // the listing has reached its end
  HANDLE lock = nullptr;               // the folder's mutex, owned while set
  ~State() {
    if (lock != nullptr) {
      ::ReleaseMutex(lock);
      ::CloseHandle(lock);
    }
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};

struct NativeHandle {
  static HANDLE handle(const File& file) { return reinterpret_cast<HANDLE>(file.handle_); }
  static File make_file(HANDLE h) {
    File file;
    file.handle_ = reinterpret_cast<std::intptr_t>(h);
    return file;
  }
  static HANDLE release(File& file) { return reinterpret_cast<HANDLE>(std::exchange(file.handle_, File::kNone)); }
  static Dir::State* state(const Dir& dir) { return dir.state_.get(); }
  static Dir make_dir(std::unique_ptr<Dir::State> state) {
    Dir dir;
    dir.state_ = std::move(state);
    return dir;
  }
};

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The most characters of a path: what a UNICODE_STRING holds.
constexpr std::size_t kMaxPathCharacters = 32767;
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
// 100 ns steps between 1601-01-01 and 1970-01-01 UTC.
constexpr std::int64_t kEpochDifference = 116444736000000000;

std::unexpected<std::error_code> fail(DWORD error) { return std::unexpected(system_error(static_cast<int>(error))); }

std::unexpected<std::error_code> is_a_directory() {
  return std::unexpected(std::make_error_code(std::errc::is_a_directory));
}

// The error of a failed native call: the Win32 error the status stands for,
// except a folder where a file was required, which has no Win32 error of its
// own (it reads "access denied" there).
std::unexpected<std::error_code> status_error(NTSTATUS status) {
  if (status == kStatusFileIsADirectory) return is_a_directory();
  return fail(::RtlNtStatusToDosError(status));
}

// A handle closed when it goes out of scope, unless released.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }
  void reset() {
    if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// --- Names and paths -----------------------------------------------------------

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// One component of an existing entry: not empty, not "." or "..", and
// without a separator, a stream separator (":") or NUL. Fails as Windows
// fails a name it refuses (ERROR_INVALID_NAME, 123).
Result<std::wstring> entry_name(std::string_view name) {
  auto wide = to_utf16(name, /*is_name=*/true);
  if (!wide) return std::unexpected(wide.error());
  if (wide->empty() || *wide == L"." || *wide == L".." || wide->find_first_of(L"\\/:") != std::wstring::npos) {
    return fail(ERROR_INVALID_NAME);
  }
  return wide;
}

// True for the names Windows keeps for devices ("CON", "nul.md", "COM1.txt"):
// the part before the first dot, trailing spaces removed, in any case.
bool is_device_name(std::wstring_view name) {
  std::wstring_view base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  std::wstring upper(base);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (upper == device) return true;
  }
  // COM1 to COM9 and LPT1 to LPT9, with the superscript digits too.
  if (upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT"))) {
    const wchar_t d = upper[3];
    return (d >= L'1' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
  }
  return false;
}

// A name for a new entry: an entry name that Windows programs can also use.
// Characters Windows does not allow in names, a trailing dot or space (which
// Windows would silently drop) and device names fail with ERROR_INVALID_NAME.
Result<std::wstring> new_entry_name(std::string_view name) {
  auto wide = entry_name(name);
  if (!wide) return wide;
  const bool bad_character = std::any_of(wide->begin(), wide->end(), [](wchar_t c) {
    return c < 0x20 || std::wstring_view(L"<>\"|?*").find(c) != std::wstring_view::npos;
  });
  if (bad_character || wide->back() == L'.' || wide->back() == L' ' || is_device_name(*wide)) {
    return fail(ERROR_INVALID_NAME);
  }
  return wide;
}

// The extended-length form of `path`, which the wide-character calls take at
// any length: an ordinary path is made absolute (relative paths start at the
// working folder) with GetFullPathNameW, which also applies the Windows
// rules for "/", "." and "..", and is then prefixed with "\\?\" (a UNC path
// with "\\?\UNC\"). A path already in the extended-length form ("\\?\" or
// "\??\") is taken as it is, "/" being read as "\"; "." and ".." are no
// components there and fail with ERROR_INVALID_NAME. Device paths ("\\.\",
// and device names such as "NUL" that GetFullPathNameW turns into them) stay
// as they are.
Result<std::wstring> native_path(const std::string& path) {
  auto wide = to_utf16(path, /*is_name=*/true);
  if (!wide) return std::unexpected(wide.error());
  if (wide->empty()) return fail(ERROR_PATH_NOT_FOUND);
  // No path is longer than a UNICODE_STRING can hold; wine would cut a longer
  // one short and so name another file.
  if (wide->size() > kMaxPathCharacters) return fail(ERROR_FILENAME_EXCED_RANGE);
  const auto verbatim = [](std::wstring_view p) {
    return p.size() >= 4 && (p.starts_with(L"\\\\?\\") || p.starts_with(L"\\??\\"));
  };
  if (verbatim(*wide)) {
    std::replace(wide->begin(), wide->end(), L'/', L'\\');
    (*wide)[1] = L'\\';
    for (std::size_t start = 4; start <= wide->size();) {
      std::size_t end = wide->find(L'\\', start);
      if (end == std::wstring::npos) end = wide->size();
      const std::wstring_view part = std::wstring_view(*wide).substr(start, end - start);
      if (part == L"." || part == L"..") return fail(ERROR_INVALID_NAME);
      start = end + 1;
    }
    return wide;
  }
  std::wstring full(std::max<std::size_t>(wide->size() + 64, MAX_PATH), L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(wide->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return last_system_error();
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  if (full.size() + 8 > kMaxPathCharacters) return fail(ERROR_FILENAME_EXCED_RANGE);
  if (full.starts_with(L"\\\\.\\") || full.starts_with(L"\\\\?\\")) return full;
  if (full.size() >= 2 && is_separator(full[0]) && is_separator(full[1])) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// `path` (a native path) split into its parent folder and its final name;
// trailing separators belong to neither. Nothing when the path names a root.
std::optional<std::pair<std::wstring, std::wstring>> split_parent(std::wstring path) {
  while (path.size() > 1 && path.back() == L'\\') path.pop_back();
  const std::size_t last = path.rfind(L'\\');
  if (last == std::wstring::npos || last + 1 >= path.size()) return std::nullopt;
  std::wstring name = path.substr(last + 1);
  path.resize(last + 1);
  // "\\?\C:" and "\\?\UNC\server\share" are roots, not folders with names.
  const std::wstring_view rest = std::wstring_view(path).substr(path.starts_with(L"\\\\?\\UNC\\") ? 8 : 4);
  const bool drive_root = name.size() == 2 && name[1] == L':' && path.size() == 4;
  const bool share_root = path.starts_with(L"\\\\?\\UNC\\") && std::count(rest.begin(), rest.end(), L'\\') < 2;
  if (drive_root || share_root || name == L"." || name == L"..") return std::nullopt;
  return std::pair(std::move(path), std::move(name));
}

// True when `h` is a file or folder on a disk, false for a device or a pipe.
Result<bool> on_disk(HANDLE h) {
  ::SetLastError(NO_ERROR);
  const DWORD type = ::GetFileType(h);
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return last_system_error();
  return type == FILE_TYPE_DISK;
}

// The final name of an open handle, in the extended-length form. A handle
// that is no file on a disk (a device, a pipe) has none: it is not a regular
// file.
Result<std::wstring> final_path(HANDLE h) {
  auto disk = on_disk(h);
  if (!disk) return std::unexpected(disk.error());
  if (!*disk) return std::unexpected(make_error_code(Failure::not_regular_file));
  std::wstring name(MAX_PATH, L'\0');
  for (DWORD flags : {FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, FILE_NAME_NORMALIZED | VOLUME_NAME_GUID}) {
    for (;;) {
      const DWORD n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), flags);
      if (n == 0) break;
      if (n < name.size()) {
        name.resize(n);
        return name;
      }
      name.resize(n);
    }
    // A volume without a drive letter is named by its GUID instead.
    if (::GetLastError() != ERROR_PATH_NOT_FOUND) break;
  }
  const DWORD error = ::GetLastError();
  // Wine answers "more data" for a name longer than MAX_PATH whatever the
  // buffer; the object's own name, which wine gives in the "\??\C:\" form,
  // is the same name.
  if (error == ERROR_MORE_DATA) {
    std::vector<std::uint64_t> buffer(8192);
    ULONG length = 0;
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    if (NT_SUCCESS(::NtQueryObject(h, static_cast<OBJECT_INFORMATION_CLASS>(1), buffer.data(),
                                   static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t)), &length))) {
      const std::wstring_view object(text->Buffer, text->Length / sizeof(wchar_t));
      if (object.starts_with(L"\\??\\")) return L"\\\\?\\" + std::wstring(object.substr(4));
    }
  }
  return fail(error);
}

// --- Metadata --------------------------------------------------------------------

// Whole seconds (rounded down) and nanoseconds since 1970 of a FILETIME.
void set_mtime(FileInfo& info, const FILETIME& time) {
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) -
      kEpochDifference;
  std::int64_t sec = ticks / 10'000'000;
  std::int64_t rest = ticks % 10'000'000;
  if (rest < 0) {
    rest += 10'000'000;
    --sec;
  }
  info.mtime_sec = sec;
  info.mtime_nsec = static_cast<std::uint32_t>(rest * 100);
}

// The attributes a note keeps when it is replaced (set_permissions): not the
// read-only attribute, which the store refuses to write through anyway.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The metadata of an open handle. A reparse point is a symlink only when the
// handle was opened on it without following it and it is a link.
Result<FileInfo> handle_info(HANDLE h) {
  FileInfo info;
  auto disk = on_disk(h);
  if (!disk) return std::unexpected(disk.error());
  if (!*disk) return info;  // FileType::other
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(h, &data)) return last_system_error();
  info.type = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileType::directory : FileType::regular;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        IsReparseTagNameSurrogate(tag.ReparseTag)) {
      info.type = FileType::symlink;
    }
  }
  info.read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  set_mtime(info, data.ftLastWriteTime);
  info.permissions.bits = data.dwFileAttributes;
  return info;
}

struct FileId {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const FileId&) const = default;
};

Result<FileId> file_id(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(h, &data)) return last_system_error();
  return FileId{data.dwVolumeSerialNumber, data.nFileIndexHigh, data.nFileIndexLow};
}

// --- Opening ---------------------------------------------------------------------

struct Opened {
  Handle handle;
  bool created = false;
};

// NtCreateFile of `name` relative to the folder `root`, for synchronous
// input and output, sharing everything.
Result<Opened> open_relative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
                             ULONG options) {
  if (name.size() > kMaxPathCharacters) return fail(ERROR_FILENAME_EXCED_RANGE);
  UNICODE_STRING text;
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  text.Buffer = const_cast<PWSTR>(name.data());
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  const NTSTATUS status = ::NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                         kShareAll, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return status_error(status);
  return Opened{Handle(h), io.Information == FILE_CREATED};
}

// Fails with ERROR_CANT_RESOLVE_FILENAME (as Windows fails a link it cannot
// resolve) unless the open object `h` is the entry `name` of the folder `dir`
// itself, by its final name.
Result<void> check_is_entry(HANDLE dir, HANDLE h, std::wstring_view name) {
  auto folder = final_path(dir);
  if (!folder) return std::unexpected(folder.error());
  auto entry = final_path(h);
  if (!entry) return std::unexpected(entry.error());
  if (folder->back() != L'\\') *folder += L'\\';
  *folder += name;
  if (::CompareStringOrdinal(entry->data(), static_cast<int>(entry->size()), folder->data(),
                             static_cast<int>(folder->size()), TRUE) != CSTR_EQUAL) {
    return fail(ERROR_CANT_RESOLVE_FILENAME);
  }
  return {};
}

// Opens the entry `name` of `dir` with NtCreateFile. The entry itself is
// opened first; a link in its place is refused with
// ERROR_CANT_RESOLVE_FILENAME or, with Links::follow and an existing entry,
// opened through. Any other reparse point is opened normally and must be the
// same file. A new entry is never made through a link.
Result<Opened> open_entry(HANDLE dir, std::wstring_view name, ACCESS_MASK access, ULONG disposition, ULONG options,
                          Links links) {
  if (links == Links::follow && disposition == FILE_OPEN) return open_relative(dir, name, access, disposition, options);
  auto opened = open_relative(dir, name, access | FILE_READ_ATTRIBUTES, disposition, options | FILE_OPEN_REPARSE_POINT);
  if (!opened || opened->created) return opened;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(opened->handle.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
    return last_system_error();
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    if (links == Links::refuse) {
      if (auto same = check_is_entry(dir, opened->handle.get(), name); !same) return std::unexpected(same.error());
    }
    return opened;
  }
  const bool link = IsReparseTagNameSurrogate(tag.ReparseTag);
  if (link && links == Links::refuse) return fail(ERROR_CANT_RESOLVE_FILENAME);
  auto before = file_id(opened->handle.get());
  if (!before) return std::unexpected(before.error());
  opened->handle.reset();
  auto through = open_relative(dir, name, access, FILE_OPEN, options);
  if (!through || link) return through;
  auto after = file_id(through->handle.get());
  if (!after) return std::unexpected(after.error());
  if (!(*after == *before)) return fail(ERROR_CANT_RESOLVE_FILENAME);
  return through;
}

// What each open mode asks of NtCreateFile (or CreateFileW).
struct ModeRequest {
  ACCESS_MASK access;
  ULONG disposition;     // NtCreateFile
  DWORD creation;        // CreateFileW
  bool writes;
};

ModeRequest request_for(OpenMode mode) {
  constexpr ACCESS_MASK kWrite = FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES;
  switch (mode) {
    case OpenMode::read: return {FILE_GENERIC_READ, FILE_OPEN, OPEN_EXISTING, false};
    // The new file inherits the folder's access rules, like the note it may
    // replace: on Windows a private file needs nothing more.
    case OpenMode::create_new:
    case OpenMode::create_private: return {kWrite, FILE_CREATE, CREATE_NEW, true};
    case OpenMode::write_existing: return {kWrite, FILE_OPEN, OPEN_EXISTING, true};
    case OpenMode::open_or_create: return {kWrite, FILE_OPEN_IF, OPEN_ALWAYS, true};
    // Appending only: every write goes to the end of the file.
    case OpenMode::append_existing:
      return {FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, FILE_OPEN,
              OPEN_EXISTING, true};
  }
  return {FILE_GENERIC_READ, FILE_OPEN, OPEN_EXISTING, false};
}

// A file with the read-only attribute is not opened for writing. Windows
// refuses that itself; wine run by root does not.
Result<void> refuse_read_only(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(h, &data)) return last_system_error();
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return fail(ERROR_ACCESS_DENIED);
  return {};
}

// --- Deleting and listing --------------------------------------------------------

// Deletes the open file or folder `h`. With the POSIX semantics of Windows 10
// its name goes at once, even while other programs have it open; without
// them (older systems, FAT volumes, wine) it goes when its last handle is
// closed. A read-only file is deleted too, as a file of a tree being removed
// must go all the same.
Result<void> delete_handle(HANDLE h) {
  constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
  constexpr ULONG kDelete = 0x1;
  constexpr ULONG kPosixSemantics = 0x2;
  constexpr ULONG kIgnoreReadOnly = 0x10;
  ULONG flags = kDelete | kPosixSemantics | kIgnoreReadOnly;
  IO_STATUS_BLOCK io{};
  if (NT_SUCCESS(::NtSetInformationFile(h, &io, &flags, sizeof flags, kFileDispositionInformationEx))) return {};
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)) return {};
  const DWORD error = ::GetLastError();
  FILE_BASIC_INFO basic{};
  if (error != ERROR_ACCESS_DENIED || !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return fail(error);
  }
  FILE_BASIC_INFO writable{};
  writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(h, FileBasicInfo, &writable, sizeof writable)) return fail(error);
  if (::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)) return {};
  const DWORD second = ::GetLastError();
  FILE_BASIC_INFO restore{};
  restore.FileAttributes = basic.FileAttributes;
  ::SetFileInformationByHandle(h, FileBasicInfo, &restore, sizeof restore);
  return fail(second);
}

// The next batch of the listing of the folder `h` into `batch`; false at the end.
Result<bool> read_batch(HANDLE h, std::vector<std::uint64_t>& batch, bool restart) {
  if (batch.empty()) batch.resize(64 * 1024 / sizeof(std::uint64_t));
  if (::GetFileInformationByHandleEx(h, restart ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo,
                                     batch.data(), static_cast<DWORD>(batch.size() * sizeof(std::uint64_t)))) {
    return true;
  }
  if (::GetLastError() == ERROR_NO_MORE_FILES) return false;
  return last_system_error();
}

// The type of a listed entry from its attributes; a link's reparse tag is in
// the place of the size of its extended attributes. A reparse point without a
// tag, which wine lists for a Unix link to a folder, counts as a link too.
FileType listed_type(const FILE_FULL_DIR_INFO& e) {
  if ((e.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (e.EaSize == 0 || IsReparseTagNameSurrogate(e.EaSize))) {
    return FileType::symlink;
  }
  return (e.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileType::directory : FileType::regular;
}

// Every name in the folder `h` ("." and ".." left out), with its type.
Result<std::vector<std::pair<std::wstring, FileType>>> list_all(HANDLE h) {
  std::vector<std::pair<std::wstring, FileType>> entries;
  std::vector<std::uint64_t> batch;
  for (bool restart = true;; restart = false) {
    auto more = read_batch(h, batch, restart);
    if (!more) return std::unexpected(more.error());
    if (!*more) return entries;
    const auto* bytes = reinterpret_cast<const unsigned char*>(batch.data());
    for (std::size_t offset = 0;;) {
      const auto* e = reinterpret_cast<const FILE_FULL_DIR_INFO*>(bytes + offset);
      const std::wstring_view name(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") entries.emplace_back(std::wstring(name), listed_type(*e));
      if (e->NextEntryOffset == 0) break;
      offset += e->NextEntryOffset;
    }
  }
}

// Deletes the entry `name` of the folder `parent` and, when it is a folder
// (not a link to one), everything in it first. Links are removed, never
// followed; an entry that opens as something else than itself is left alone.
Result<void> remove_tree_at(HANDLE parent, std::wstring_view name) {
  auto opened = open_relative(parent, name,
                              DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                              FILE_OPEN_REPARSE_POINT);
  if (!opened) return std::unexpected(opened.error());
  const HANDLE h = opened->handle.get();
  if (auto same = check_is_entry(parent, h, name); !same) return same;
  auto info = handle_info(h);
  if (!info) return std::unexpected(info.error());
  Result<void> result;
  if (info->type == FileType::directory) {
    auto entries = list_all(h);
    if (!entries) return std::unexpected(entries.error());
    for (const auto& entry : *entries) {
      auto removed = remove_tree_at(h, entry.first);
      if (!removed && result) result = removed;
    }
  }
  if (auto deleted = delete_handle(h); !deleted && result) result = deleted;
  return result;
}

// The open folder at the native path `path`, following links; a
// not-a-directory error (ERROR_DIRECTORY) when it is no folder.
Result<Handle> open_folder(const std::wstring& path, ACCESS_MASK access) {
  Handle h(::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (h.get() == INVALID_HANDLE_VALUE) return last_system_error();
  auto info = handle_info(h.get());
  if (!info) return std::unexpected(info.error());
  if (info->type != FileType::directory) return fail(ERROR_DIRECTORY);
  return h;
}

constexpr ACCESS_MASK folder_access(DirUse use) {
  return use == DirUse::list ? FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES
                             : FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
}

Dir make_dir(Handle handle, DirUse use) {
  auto state = std::make_unique<Dir::State>();
  state->handle = handle.release();
  state->listing = use == DirUse::list;
  return NativeHandle::make_dir(std::move(state));
}

// FILE_RENAME_INFORMATION and FILE_RENAME_INFORMATION_EX, whose first member
// is the BOOLEAN ReplaceIfExists of the one and the ULONG Flags of the other.
struct RenameInformation {
  ULONG flags;
  HANDLE root_directory;
  ULONG name_length;
  wchar_t name[1];
};
constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;

class WindowsFileSystem final : public FileSystem {
 public:
  Result<FileInfo> metadata(const std::string& path) override {
    auto native = native_path(path);
    if (!native) return std::unexpected(native.error());
    Handle h(::CreateFileW(native->c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return last_system_error();
    return handle_info(h.get());
  }

  Result<std::string> canonicalize(const std::string& path) override {
    auto native = native_path(path);
    if (!native) return std::unexpected(native.error());
    Handle h(::CreateFileW(native->c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return last_system_error();
    auto name = final_path(h.get());
    if (!name) return std::unexpected(name.error());
    return to_utf8(*name);
  }

  Result<void> create_directories(const std::string& path) override {
    auto native = native_path(path);
    if (!native) return std::unexpected(native.error());
    return make_directories(*native);
  }

  Result<File> open_file(const std::string& path, OpenMode mode) override {
    auto native = native_path(path);
    if (!native) return std::unexpected(native.error());
    const ModeRequest request = request_for(mode);
    // A folder opens for reading (and then refuses to be read as a file).
    const DWORD flags = request.writes ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_BACKUP_SEMANTICS;
    Handle h(::CreateFileW(native->c_str(), request.access, kShareAll, nullptr, request.creation, flags, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return last_system_error();
    const bool created = (request.creation == CREATE_NEW) ||
                         (request.creation == OPEN_ALWAYS && ::GetLastError() != ERROR_ALREADY_EXISTS);
    if (request.writes && !created) {
      if (auto writable = refuse_read_only(h.get()); !writable) return std::unexpected(writable.error());
    }
    return NativeHandle::make_file(h.release());
  }

  Result<Dir> open_dir(const std::string& path, DirUse use) override {
    auto native = native_path(path);
    if (!native) return std::unexpected(native.error());
    auto h = open_folder(*native, folder_access(use));
    if (!h) return std::unexpected(h.error());
    return make_dir(std::move(*h), use);
  }

  Result<void> rename(const std::string& from, const std::string& to) override {
    auto source = native_path(from);
    if (!source) return std::unexpected(source.error());
    auto target = native_path(to);
    if (!target) return std::unexpected(target.error());
    if (!::MoveFileExW(source->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING)) return last_system_error();
    return {};
  }

  Result<void> remove_file(const std::string& path) override {
    auto parent = open_parent(path);
    if (!parent) return std::unexpected(parent.error());
    return remove_entry(parent->first.get(), parent->second);
  }

  Result<void> remove_all(const std::string& path) override {
    auto parent = open_parent(path);
    if (!parent) return std::unexpected(parent.error());
    return remove_tree_at(parent->first.get(), parent->second);
  }

  Result<File> open_at(Dir& dir, std::string_view name, OpenMode mode, Links links) override {
    const ModeRequest request = request_for(mode);
    auto wide = request.disposition == FILE_OPEN ? entry_name(name) : new_entry_name(name);
    if (!wide) return std::unexpected(wide.error());
    const ULONG options = request.writes ? FILE_NON_DIRECTORY_FILE : 0;
    auto opened = open_entry(dir_handle(dir), *wide, request.access, request.disposition, options, links);
    if (!opened) return std::unexpected(opened.error());
    if (request.writes && !opened->created) {
      if (auto writable = refuse_read_only(opened->handle.get()); !writable) return std::unexpected(writable.error());
    }
    return NativeHandle::make_file(opened->handle.release());
  }

  Result<Dir> open_dir_at(Dir& dir, std::string_view name, DirUse use) override {
    auto wide = entry_name(name);
    if (!wide) return std::unexpected(wide.error());
    auto opened = open_entry(dir_handle(dir), *wide, folder_access(use), FILE_OPEN, FILE_DIRECTORY_FILE, Links::refuse);
    if (!opened) return std::unexpected(opened.error());
    return make_dir(std::move(opened->handle), use);
  }

  Result<FileInfo> metadata_at(Dir& dir, std::string_view name) override {
    auto wide = entry_name(name);
    if (!wide) return std::unexpected(wide.error());
    auto opened = open_relative(dir_handle(dir), *wide, FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    if (!opened) return std::unexpected(opened.error());
    return handle_info(opened->handle.get());
  }

  Result<void> create_dir_at(Dir& dir, std::string_view name) override {
    auto wide = new_entry_name(name);
    if (!wide) return std::unexpected(wide.error());
    auto made = open_relative(dir_handle(dir), *wide, FILE_LIST_DIRECTORY, FILE_CREATE,
                              FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (!made) return std::unexpected(made.error());
    return {};
  }

  Result<void> rename_at(Dir& dir, std::string_view from, std::string_view to) override {
    auto source = entry_name(from);
    if (!source) return std::unexpected(source.error());
    auto target = entry_name(to);
    if (!target) return std::unexpected(target.error());
    const HANDLE folder = dir_handle(dir);
    auto opened = open_relative(folder, *source, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    if (!opened) return std::unexpected(opened.error());
    if (auto same = check_is_entry(folder, opened->handle.get(), *source); !same) return same;
    // FILE_RENAME_INFORMATION(_EX): flags, the folder, then the new name.
    const std::size_t name_bytes = target->size() * sizeof(wchar_t);
    const std::size_t header = offsetof(RenameInformation, name);
    std::vector<std::uint64_t> buffer((header + name_bytes) / sizeof(std::uint64_t) + 1);
    auto* info = reinterpret_cast<RenameInformation*>(buffer.data());
    info->root_directory = folder;
    info->name_length = static_cast<ULONG>(name_bytes);
    std::memcpy(info->name, target->data(), name_bytes);
    const auto size = static_cast<ULONG>(header + name_bytes);
    IO_STATUS_BLOCK io{};
    // With the POSIX semantics of Windows 10 a note that another program has
    // open, sharing delete access, is replaced too. Where they are missing
    // (older systems, FAT volumes, wine) or refuse, the classic rename
    // decides, and its error is the one reported: a note held open without
    // that sharing is "access denied" (5), which the store retries.
    info->flags = kRenameReplaceIfExists | kRenamePosixSemantics;
    if (NT_SUCCESS(::NtSetInformationFile(opened->handle.get(), &io, info, size, kFileRenameInformationEx))) return {};
    info->flags = TRUE;  // ReplaceIfExists, the first byte of the same member
    const NTSTATUS status = ::NtSetInformationFile(opened->handle.get(), &io, info, size, FileRenameInformation);
    if (!NT_SUCCESS(status)) return status_error(status);
    return {};
  }

  Result<void> remove_at(Dir& dir, std::string_view name) override {
    auto wide = entry_name(name);
    if (!wide) return std::unexpected(wide.error());
    return remove_entry(dir_handle(dir), *wide);
  }

  Result<std::string> final_name(const File& file) override { return utf8_final(NativeHandle::handle(file)); }

  Result<std::string> final_name(const Dir& dir) override { return utf8_final(dir_handle(dir)); }

  Result<FileInfo> file_metadata(File& file) override { return handle_info(NativeHandle::handle(file)); }

  Result<FileContent> read(File& file, std::size_t limit) override {
    const HANDLE h = NativeHandle::handle(file);
    auto info = handle_info(h);
    if (!info) return std::unexpected(info.error());
    if (info->type == FileType::directory) return is_a_directory();
    if (info->type != FileType::regular) return std::unexpected(make_error_code(Failure::not_regular_file));
    return read_regular(h, limit, *info);
  }

  Result<void> write_all(File& file, std::string_view data) override {
    const HANDLE h = NativeHandle::handle(file);
    while (!data.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(h, data.data(), chunk, &written, nullptr)) return last_system_error();
      if (written == 0) return std::unexpected(make_error_code(Failure::write_zero));
      data.remove_prefix(written);
    }
    return {};
  }

  Result<void> sync(File& file) override {
    if (!::FlushFileBuffers(NativeHandle::handle(file))) return last_system_error();
    return {};
  }

  Result<void> set_permissions(File& file, Permissions permissions) override {
    const HANDLE h = NativeHandle::handle(file);
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) return last_system_error();
    // Times left at zero are not changed.
    FILE_BASIC_INFO changed{};
    changed.FileAttributes = (basic.FileAttributes & ~kKeptAttributes) | (permissions.bits & kKeptAttributes);
    if (changed.FileAttributes == 0) changed.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(h, FileBasicInfo, &changed, sizeof changed)) return last_system_error();
    return {};
  }

  Result<void> truncate(File& file, std::uint64_t size) override {
    const HANDLE h = NativeHandle::handle(file);
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) return {};
    // A file opened for appending only may not be cut through that handle:
    // the same file is opened again for writing.
    if (::GetLastError() != ERROR_ACCESS_DENIED) return last_system_error();
    Handle writer(::ReOpenFile(h, FILE_WRITE_DATA, kShareAll, 0));
    if (writer.get() == INVALID_HANDLE_VALUE) return last_system_error();
    if (!::SetFileInformationByHandle(writer.get(), FileEndOfFileInfo, &end, sizeof end)) return last_system_error();
    return {};
  }

  Result<void> close(File& file) override {
    const HANDLE h = NativeHandle::release(file);
    if (h == INVALID_HANDLE_VALUE) return {};
    if (!::CloseHandle(h)) return last_system_error();
    return {};
  }

  Result<std::optional<DirEntry>> next_entry(Dir& dir) override {
    Dir::State* state = NativeHandle::state(dir);
    if (state == nullptr || !state->listing) return fail(ERROR_INVALID_HANDLE);
    while (!state->ended) {
      if (state->batch_done) {
        auto more = read_batch(state->handle, state->batch, false);
        if (!more) return std::unexpected(more.error());
        if (!*more) {
          state->ended = true;
          break;
        }
        state->next = 0;
        state->batch_done = false;
      }
      const auto* e =
          reinterpret_cast<const FILE_FULL_DIR_INFO*>(reinterpret_cast<const unsigned char*>(state->batch.data()) +
                                                      state->next);
      if (e->NextEntryOffset == 0) {
        state->batch_done = true;
      } else {
        state->next += e->NextEntryOffset;
      }
      const std::wstring_view name(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (name == L"." || name == L"..") continue;
      return std::optional<DirEntry>(DirEntry{to_utf8(name), listed_type(*e)});
    }
    return std::optional<DirEntry>();
  }

  Result<void> lock(Dir& dir, std::chrono::milliseconds wait) override {
    Dir::State* state = NativeHandle::state(dir);
    if (state == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (state->lock != nullptr) return {};
    // A folder cannot be locked itself: the lock is a mutex named after the
    // folder's identity (volume and file number), so every name of the
    // folder (a junction, another letter case) takes the same lock.
    auto id = file_id(state->handle);
    if (!id) return std::unexpected(id.error());
    wchar_t name[80];
    std::swprintf(name, std::size(name), L"Local\\tarnel-folder-lock-%08lx-%08lx%08lx", id->volume, id->high, id->low);
    Handle mutex(::CreateMutexW(nullptr, FALSE, name));
    if (mutex.get() == nullptr) return last_system_error();
    const DWORD waited = ::WaitForSingleObject(mutex.get(), static_cast<DWORD>(std::clamp<std::int64_t>(
                                                                 wait.count(), 0, INFINITE - 1)));
    // A mutex whose owner ended without releasing it is acquired all the same.
    if (waited == WAIT_TIMEOUT) return std::unexpected(make_error_code(Failure::lock_timeout));
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return last_system_error();
    state->lock = mutex.release();
    return {};
  }

 private:
  static HANDLE dir_handle(const Dir& dir) {
    const Dir::State* state = NativeHandle::state(dir);
    return state != nullptr ? state->handle : INVALID_HANDLE_VALUE;
  }

  static Result<std::string> utf8_final(HANDLE h) {
    auto name = final_path(h);
    if (!name) return std::unexpected(name.error());
    return to_utf8(*name);
  }

  // The open parent folder of `path` and the path's final name.
  static Result<std::pair<Handle, std::wstring>> open_parent(const std::string& path) {
    auto native = native_path(path);
    if (!native) return std::unexpected(native.error());
    auto parts = split_parent(*native);
    if (!parts) return fail(ERROR_ACCESS_DENIED);
    auto folder = open_folder(parts->first, FILE_TRAVERSE | FILE_READ_ATTRIBUTES);
    if (!folder) return std::unexpected(folder.error());
    return std::pair(std::move(*folder), std::move(parts->second));
  }

  // Deletes the file entry `name` of the folder `folder` itself (a link is
  // removed, not what it leads to); a folder fails with is-a-directory.
  static Result<void> remove_entry(HANDLE folder, std::wstring_view name) {
    auto opened = open_relative(folder, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                                FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (!opened) return std::unexpected(opened.error());
    if (auto same = check_is_entry(folder, opened->handle.get(), name); !same) return same;
    return delete_handle(opened->handle.get());
  }

  // Creates the folder `path` (native) and its missing ancestors.
  static Result<void> make_directories(const std::wstring& path) {
    if (::CreateDirectoryW(path.c_str(), nullptr)) return {};
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
      // It exists (a drive's root folder may also answer "access denied").
      const DWORD attributes = ::GetFileAttributesW(path.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) return fail(error);
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {};
      return fail(ERROR_ALREADY_EXISTS);
    }
    if (error != ERROR_PATH_NOT_FOUND) return fail(error);
    auto parts = split_parent(path);
    if (!parts) return fail(error);
    if (auto parent = make_directories(parts->first); !parent) {
      // A file in the place of an ancestor: this path is not in a folder.
      if (is_already_exists(parent.error())) return fail(ERROR_DIRECTORY);
      return parent;
    }
    if (::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) {
      const DWORD attributes = ::GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {};
      return fail(ERROR_ALREADY_EXISTS);
    }
    return last_system_error();
  }

  // Reads up to `limit` bytes from the start of the regular file `h`, whose
  // metadata taken just before is `info` (also the metadata returned), as the
  // POSIX implementation does: the first read asks for one byte more than the
  // size, a short read that ends at that size is the end, and a file that
  // changed size meanwhile is read on to its end.
  static Result<FileContent> read_regular(HANDLE h, std::size_t limit, const FileInfo& info) {
    FileContent content{.bytes = {}, .info = info};
    std::size_t used = 0;
    const std::size_t expected = static_cast<std::size_t>(std::min<std::uint64_t>(info.size, SIZE_MAX - 1));
    std::size_t room = std::min(limit, std::max<std::size_t>(expected + 1, 4096));
    while (used < limit) {
      if (used == room) room = std::min(limit, std::max<std::size_t>(used * 2, used + 4096));
      DWORD n = 0;
      bool ok = true;
      content.bytes.resize_and_overwrite(room, [&](char* data, std::size_t) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(used);
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(used) >> 32);
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(room - used, 1u << 30));
        ok = ::ReadFile(h, data + used, ask, &n, &at) || ::GetLastError() == ERROR_HANDLE_EOF;
        if (!ok) n = 0;
        return used + n;
      });
      if (!ok) return last_system_error();
      if (n == 0) break;
      used += n;
      if (used < room && used == expected) break;
    }
    return content;
  }
};

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != kNone) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

File::~File() {
  if (handle_ != kNone) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

Dir::Dir() = default;
Dir::Dir(Dir&& other) noexcept = default;
Dir& Dir::operator=(Dir&& other) noexcept = default;
Dir::~Dir() = default;

FileSystem& native_fs() {
  static WindowsFileSystem instance;
  return instance;
}

}  // namespace platform
