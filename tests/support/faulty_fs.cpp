// The fault-injecting file system of the tests.
#include "tests/support/faulty_fs.h"

#include <algorithm>

namespace {

platform::FileSystem& native() { return platform::native_fs(); }

}  // namespace

void FaultyFs::fail(Op op, std::string path_suffix, std::error_code error) {
  rules_.push_back(Rule{op, std::move(path_suffix), error});
}

int FaultyFs::count(Op op) const {
  const auto it = counts_.find(op);
  return it == counts_.end() ? 0 : it->second;
}

std::optional<std::error_code> FaultyFs::check(Op op, const std::string& path) {
  ++counts_[op];
  for (const Rule& rule : rules_) {
    if (rule.op == op && path.ends_with(rule.suffix)) return rule.error;
  }
  return hook ? hook(op, path) : std::nullopt;
}

std::string FaultyFs::name_of(const platform::File& file) {
  return native().final_name(file).value_or("<unnamed>");
}

std::string FaultyFs::name_of(const platform::Dir& dir) { return native().final_name(dir).value_or("<unnamed>"); }

std::string FaultyFs::entry_of(const platform::Dir& dir, std::string_view name) {
#ifdef _WIN32
  return name_of(dir) + "\\" + std::string(name);
#else
  return name_of(dir) + "/" + std::string(name);
#endif
}

platform::Result<platform::FileInfo> FaultyFs::metadata(const std::string& path) {
  if (auto e = check(Op::metadata, path)) return std::unexpected(*e);
  return native().metadata(path);
}

platform::Result<std::string> FaultyFs::canonicalize(const std::string& path) {
  if (auto e = check(Op::canonicalize, path)) return std::unexpected(*e);
  return native().canonicalize(path);
}

platform::Result<void> FaultyFs::create_directories(const std::string& path) {
  if (auto e = check(Op::create_directories, path)) return std::unexpected(*e);
  return native().create_directories(path);
}

platform::Result<platform::File> FaultyFs::open_file(const std::string& path, platform::OpenMode mode) {
  if (auto e = check(Op::open_file, path)) return std::unexpected(*e);
  return native().open_file(path, mode);
}

platform::Result<platform::Dir> FaultyFs::open_dir(const std::string& path, platform::DirUse use) {
  if (auto e = check(Op::open_dir, path)) return std::unexpected(*e);
  auto dir = native().open_dir(path, use);
  if (dir) pending_.erase(name_of(*dir));  // a listing given up half way starts afresh
  return dir;
}

platform::Result<void> FaultyFs::rename(const std::string& from, const std::string& to) {
  if (auto e = check(Op::rename, to)) return std::unexpected(*e);
  return native().rename(from, to);
}

platform::Result<void> FaultyFs::remove_file(const std::string& path) {
  if (auto e = check(Op::remove_file, path)) return std::unexpected(*e);
  return native().remove_file(path);
}

platform::Result<void> FaultyFs::remove_all(const std::string& path) {
  if (auto e = check(Op::remove_all, path)) return std::unexpected(*e);
  return native().remove_all(path);
}

platform::Result<platform::File> FaultyFs::open_at(platform::Dir& dir, std::string_view name, platform::OpenMode mode,
                                                   platform::Links links) {
  if (auto e = check(Op::open_at, entry_of(dir, name))) return std::unexpected(*e);
  return native().open_at(dir, name, mode, links);
}

platform::Result<platform::Dir> FaultyFs::open_dir_at(platform::Dir& dir, std::string_view name,
                                                      platform::DirUse use) {
  const std::string path = entry_of(dir, name);
  if (auto e = check(Op::open_dir_at, path)) return std::unexpected(*e);
  auto opened = native().open_dir_at(dir, name, use);
  if (opened) pending_.erase(name_of(*opened));
  return opened;
}

platform::Result<platform::FileInfo> FaultyFs::metadata_at(platform::Dir& dir, std::string_view name) {
  if (auto e = check(Op::metadata_at, entry_of(dir, name))) return std::unexpected(*e);
  return native().metadata_at(dir, name);
}

platform::Result<void> FaultyFs::create_dir_at(platform::Dir& dir, std::string_view name) {
  if (auto e = check(Op::create_dir_at, entry_of(dir, name))) return std::unexpected(*e);
  return native().create_dir_at(dir, name);
}

platform::Result<void> FaultyFs::rename_at(platform::Dir& dir, std::string_view from, std::string_view to) {
  if (auto e = check(Op::rename_at, entry_of(dir, to))) return std::unexpected(*e);
  return native().rename_at(dir, from, to);
}

platform::Result<void> FaultyFs::remove_at(platform::Dir& dir, std::string_view name) {
  if (auto e = check(Op::remove_at, entry_of(dir, name))) return std::unexpected(*e);
  return native().remove_at(dir, name);
}

platform::Result<std::string> FaultyFs::final_name(const platform::File& file) {
  auto name = native().final_name(file);
  if (auto e = check(Op::final_name, name.value_or("<unnamed>"))) return std::unexpected(*e);
  return name;
}

platform::Result<std::string> FaultyFs::final_name(const platform::Dir& dir) {
  auto name = native().final_name(dir);
  if (auto e = check(Op::final_name, name.value_or("<unnamed>"))) return std::unexpected(*e);
  return name;
}

platform::Result<platform::FileInfo> FaultyFs::file_metadata(platform::File& file) {
  if (auto e = check(Op::file_metadata, name_of(file))) return std::unexpected(*e);
  return native().file_metadata(file);
}

platform::FileContent FaultyFs::after_read(const std::string& name, platform::FileContent content) {
  if (auto e = check(Op::read_metadata, name)) content.info = std::unexpected(*e);
  return content;
}

platform::Result<platform::FileContent> FaultyFs::read(platform::File& file, std::size_t limit) {
  const std::string name = name_of(file);
  if (auto e = check(Op::read, name)) return std::unexpected(*e);
  auto content = native().read(file, limit);
  if (!content) return content;
  return after_read(name, std::move(*content));
}

platform::Result<std::optional<platform::FileContent>> FaultyFs::read_cached(platform::File& file,
                                                                             std::size_t limit) {
  const std::string name = name_of(file);
  if (auto e = check(Op::read_cached, name)) return std::unexpected(*e);
  switch (cache) {
    case Cache::native: break;
    case Cache::cold: return std::optional<platform::FileContent>();
    case Cache::unknown: return std::unexpected(std::make_error_code(std::errc::operation_not_supported));
  }
  auto content = native().read_cached(file, limit);
  if (!content || !*content) return content;
  if (auto e = check(Op::read, name)) return std::unexpected(*e);
  return std::optional(after_read(name, std::move(**content)));
}

void FaultyFs::prefetch(platform::File& file, std::uint64_t length) {
  if (check(Op::prefetch, name_of(file))) return;
  native().prefetch(file, length);
}

platform::Result<void> FaultyFs::write_all(platform::File& file, std::string_view data) {
  if (auto e = check(Op::write, name_of(file))) {
    if (auto half = native().write_all(file, data.substr(0, data.size() / 2)); !half) return half;
    return std::unexpected(*e);
  }
  return native().write_all(file, data);
}

platform::Result<void> FaultyFs::sync(platform::File& file) {
  if (auto e = check(Op::sync, name_of(file))) return std::unexpected(*e);
  return native().sync(file);
}

platform::Result<void> FaultyFs::set_permissions(platform::File& file, platform::Permissions permissions) {
  if (auto e = check(Op::set_permissions, name_of(file))) return std::unexpected(*e);
  return native().set_permissions(file, permissions);
}

platform::Result<void> FaultyFs::truncate(platform::File& file, std::uint64_t size) {
  if (auto e = check(Op::truncate, name_of(file))) return std::unexpected(*e);
  return native().truncate(file, size);
}

platform::Result<void> FaultyFs::close(platform::File& file) {
  if (!file.is_open()) return native().close(file);
  if (auto e = check(Op::close, name_of(file))) {
    static_cast<void>(native().close(file));
    return std::unexpected(*e);
  }
  return native().close(file);
}

platform::Result<std::optional<platform::DirEntry>> FaultyFs::next_entry(platform::Dir& dir) {
  const std::string folder = name_of(dir);
  if (auto e = check(Op::next_entry, folder)) return std::unexpected(*e);
  if (!sorted_listing) return native().next_entry(dir);
  auto [it, fresh] = pending_.try_emplace(folder);
  if (fresh) {
    while (true) {
      auto entry = native().next_entry(dir);
      if (!entry) {
        pending_.erase(it);
        return std::unexpected(entry.error());
      }
      if (!*entry) break;
      it->second.push_back(std::move(**entry));
    }
    std::sort(it->second.begin(), it->second.end(), [](const auto& a, const auto& b) { return a.name > b.name; });
  }
  if (it->second.empty()) {
    pending_.erase(it);
    return std::optional<platform::DirEntry>();
  }
  platform::DirEntry entry = std::move(it->second.back());
  it->second.pop_back();
  return std::optional(std::move(entry));
}

platform::Result<void> FaultyFs::lock(platform::Dir& dir, std::chrono::milliseconds wait) {
  if (auto e = check(Op::lock, name_of(dir))) return std::unexpected(*e);
  return native().lock(dir, wait);
}
