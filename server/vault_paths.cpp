// The vault registry, the active vault and the path arguments of the tools.
#include "vault_paths.h"

#include <chrono>
#include <exception>
#include <utility>

#include "app_config.h"
#include "unicode.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"
#include "vault_core/vault/file.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::unexpected<std::string> registry_read_error(std::string_view detail) {
  return std::unexpected("Could not read tarnel vault registry: " + std::string(detail));
}

// A JSON library message without its "[json.exception.name.id] " tag.
std::string library_message(const std::exception& e) {
  std::string_view text = e.what();
  if (text.starts_with('[')) {
    if (const auto close = text.find("] "); close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  return std::string(text);
}

// The sibling temporary file of `file`: its extension replaced by "{pid}.tmp".
std::string temp_path(const std::string& file) {
  std::size_t end = file.size();
  if (const auto name = final_component(file)) {
    const auto start = static_cast<std::size_t>(name->data() - file.data());
    const std::size_t dot = name->rfind('.');
    end = dot != std::string_view::npos && dot > 0 ? start + dot : start + name->size();
  }
  return file.substr(0, end) + "." + std::to_string(platform::process_id()) + ".tmp";
}

// How long a registration waits for another server process that is writing
// the registry; the read, the change and the rename take milliseconds.
constexpr std::chrono::milliseconds kRegistryLockWait{5000};

// The lock that serialises the registry's read, change and rename between
// server processes: an exclusive lock on the folder of `file`, held while the
// returned folder is open. The desktop application does not take it; it
// replaces the registry whole, and the last rename wins.
std::expected<platform::Dir, std::string> lock_registry(const std::string& file) {
  const auto parent = parent_path(file);
  const std::string folder = parent && !parent->empty() ? std::string(*parent) : std::string(".");
  if (auto r = platform::fs().create_directories(folder); !r) {
    return std::unexpected("Failed to create " + unicode::lossy_utf8(folder) + ": " + r.error().message());
  }
  auto dir = platform::fs().open_dir(folder, platform::DirUse::reach);
  platform::Result<void> locked = dir ? platform::fs().lock(*dir, kRegistryLockWait) : std::unexpected(dir.error());
  if (!locked) return std::unexpected("Failed to write " + unicode::lossy_utf8(file) + ": " + locked.error().message());
  return std::move(*dir);
}

const std::string* entry_path(const Json& entry) {
  if (!entry.is_object()) return nullptr;
  const auto it = entry.find("path");
  return it != entry.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

std::string new_entry_label(const std::string& root, const std::optional<std::string>& label, const std::string& key) {
  if (label) {
    const std::string_view trimmed = unicode::trim(*label);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  if (const auto name = final_component(root)) return unicode::lossy_utf8(*name);
  return key;
}

}  // namespace

std::string registry_path_key(std::string_view path) {
  std::string key = unicode::lossy_utf8(path);
  for (char& c : key) {
    if (c == '\\') c = '/';
  }
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

bool registry_key_nested(std::string_view parent, std::string_view child) {
  const auto strip = [](std::string_view s) {
    while (!s.empty() && (s.back() == '/' || s.back() == '\\')) s.remove_suffix(1);
    return s;
  };
  parent = strip(parent);
  child = strip(child);
  if (parent.empty() || child.empty() || parent == child) return false;
  const std::string p = unicode::to_lower(parent);
  const std::string c = unicode::to_lower(child);
  return c.size() > p.size() && c.starts_with(p) && (c[p.size()] == '/' || c[p.size()] == '\\');
}

std::expected<Json, std::string> read_registry(const std::string& file) {
  auto opened = platform::fs().open_file(file, platform::OpenMode::read);
  auto bytes = opened ? platform::fs().read(*opened) : std::unexpected(opened.error());
  if (!bytes) {
    if (platform::is_not_found(bytes.error())) {
      return Json{{"active_vault", nullptr}, {"hidden_defaults", Json::array()}, {"vaults", Json::array()}};
    }
    return registry_read_error(bytes.error().message());
  }
  const std::string& text = bytes->bytes;
  // The parser would skip a byte-order mark; the registry format does not allow one.
  if (text.starts_with(kByteOrderMark)) {
    return registry_read_error("parse error at line 1, column 1: unexpected byte-order mark");
  }
  if (json_nesting_too_deep(text)) return registry_read_error("parse error: nesting deeper than 127 levels");
  Json registry;
  try {
    registry = Json::parse(text);
  } catch (const Json::exception& e) {  // parse errors, and numbers out of range
    return registry_read_error(library_message(e));
  }
  // The parser takes a NUL byte for the end of its input, so a value it
  // accepted may be followed by one; the text after it would be dropped
  // without a word, and lost on the next rewrite.
  if (const std::size_t nul = text.find('\0'); nul != std::string::npos) {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < nul; ++i) {
      if (text[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    return registry_read_error("parse error at line " + std::to_string(line) + ", column " +
                               std::to_string(nul - line_start + 1) + ": unexpected NUL byte");
  }
  if (!registry.is_object()) return registry_read_error("not an object");
  for (const char* name : {"vaults", "hidden_defaults"}) {
    Json& member = registry[name];
    if (!member.is_array()) member = Json::array();
  }
  return registry;
}

std::expected<void, std::string> write_registry(const std::string& file, const Json& registry) {
  if (const auto parent = parent_path(file); parent && !parent->empty()) {
    const std::string folder(*parent);
    if (auto r = platform::fs().create_directories(folder); !r) {
      return std::unexpected("Failed to create " + unicode::lossy_utf8(folder) + ": " + r.error().message());
    }
  }
  std::string bytes;
  try {
    bytes = registry.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return std::unexpected("Failed to serialize the vault registry: " + library_message(e));
  }
  bytes += '\n';
  // Writing a sibling and renaming it over the registry means a failure at
  // any point leaves the old registry whole.
  const std::string temp = temp_path(file);
  const auto fail = [&](const std::string& path, const std::error_code& error) {
    return std::unexpected("Failed to write " + unicode::lossy_utf8(path) + ": " + error.message());
  };
  const auto parent = parent_path(file);
  auto folder = platform::fs().open_dir(parent && !parent->empty() ? std::string(*parent) : ".", platform::DirUse::reach);
  if (!folder) return fail(temp, folder.error());
  // On Windows a program that has the registry open (the desktop application
  // reading it, another server process probing it) keeps it from being
  // replaced for a moment: permission denied is retried as a note's save is.
  for (std::size_t attempt = 0;; ++attempt) {
    const auto written = vault::replace_file(*folder, final_component(file).value_or(""),
                                             final_component(temp).value_or(""), bytes, std::nullopt);
    if (written) return {};
    if (!platform::is_permission_denied(written.error().error) || attempt == std::size(vault::kRetryDelaysMs)) {
      return fail(written.error().step == vault::ReplaceStep::rename ? file : temp, written.error().error);
    }
    platform::clock().sleep_ms(vault::kRetryDelaysMs[attempt]);
  }
}

std::expected<std::optional<std::string>, std::string> registry_active_vault() {
  const auto location = app_config::config_read_path(kRegistryFileName);
  if (!location) return std::unexpected(location.error());
  const auto registry = read_registry(*location);
  if (!registry) return std::unexpected(registry.error());
  const auto it = registry->find("active_vault");
  if (it != registry->end() && it->is_string()) {
    const std::string_view trimmed = unicode::trim(it->get_ref<const std::string&>());
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::nullopt;
}

std::expected<Json, std::string> register_vault(const std::string& root, const std::optional<std::string>& label) {
  const auto read_location = app_config::config_read_path(kRegistryFileName);
  if (!read_location) return std::unexpected(read_location.error());
  const auto write_location = app_config::config_write_path(kRegistryFileName);
  if (!write_location) return std::unexpected(write_location.error());
  // Another server process may be registering too: it reads and writes
  // under the same lock, so neither loses the other's entry.
  const auto lock = lock_registry(*write_location);
  if (!lock) return std::unexpected(lock.error());
  auto registry = read_registry(*read_location);
  if (!registry) return std::unexpected(registry.error());

  const std::string key = registry_path_key(root);
  Json& vaults = (*registry)["vaults"];
  // Every entry is checked for nesting before a duplicate is returned.
  const Json* duplicate = nullptr;
  for (const Json& entry : vaults) {
    const std::string* path = entry_path(entry);
    if (path == nullptr) continue;
    const std::string entry_key = registry_path_key(*path);
    if (entry_key == key) {
      if (duplicate == nullptr) duplicate = &entry;
      continue;
    }
    if (registry_key_nested(entry_key, key) || registry_key_nested(key, entry_key)) {
      return std::unexpected("Vault path is inside registered vault or contains one: " + unicode::lossy_utf8(root));
    }
  }
  if (duplicate != nullptr) return *duplicate;

  Json entry = Json::object();
  entry["label"] = new_entry_label(root, label, key);
  entry["path"] = unicode::lossy_utf8(root);
  vaults.push_back(entry);
  if (auto r = write_registry(*write_location, *registry); !r) return std::unexpected(r.error());
  return entry;
}

std::expected<std::vector<std::string>, std::string> active_vaults(const ToolService& service) {
  if (service.session_vault) return std::vector<std::string>{*service.session_vault};
  if (const auto value = platform::snapshot_lookup(service.env, "VAULT_PATH")) {
    const std::string_view trimmed = unicode::trim(*value);
    if (!trimmed.empty()) return std::vector<std::string>{std::string(trimmed)};
  }
  auto registered = registry_active_vault();
  if (!registered) return std::unexpected(registered.error());
  if (*registered) return std::vector<std::string>{std::move(**registered)};
  return std::unexpected("VAULT_PATH is required. Open a vault in tarnel before starting MCP tools.");
}

std::expected<std::optional<std::string>, std::string> vault_path_arg(const ToolService& service,
                                                                      const Json& arguments) {
  const auto given = optional_text_arg(arguments, "vaultPath");
  if (!given) return std::nullopt;
  const std::string_view trimmed = unicode::trim(*given);
  if (trimmed.empty()) return std::nullopt;
  const auto vaults = active_vaults(service);
  if (!vaults) return std::unexpected(vaults.error());
  for (const std::string& vault : *vaults) {
    if (vault == trimmed) return vault;
  }
  return std::unexpected("Vault is not active in tarnel: " + std::string(trimmed));
}

std::expected<std::string, std::string> write_vault(const ToolService& service, const Json& arguments) {
  auto chosen = vault_path_arg(service, arguments);
  if (!chosen) return std::unexpected(chosen.error());
  if (*chosen) return std::move(**chosen);
  auto vaults = active_vaults(service);
  if (!vaults) return std::unexpected(vaults.error());
  if (auto path = note_path_arg(arguments); !path) return std::unexpected(path.error());
  // A path outside the vault is refused later by the note operation itself.
  // cppcheck-suppress returnStdMoveLocal ; the element is moved out, not the local
  return std::move(vaults->front());
}

std::expected<std::string, std::string> resolve_note_path(const Json& arguments, const std::string& vault_root,
                                                          PathSyntax syntax) {
  auto path = note_path_arg(arguments);
  if (!path) return path;
  if (is_absolute_path(*path, syntax) && strictly_inside(vault_root, *path, syntax)) {
    if (auto rest = relative_remainder(vault_root, *path, syntax)) return std::move(*rest);
  }
  return path;
}

std::expected<std::string, std::string> target_path(const ToolService& service, const Json& arguments,
                                                    PathSyntax syntax) {
  const std::string path = optional_text_arg(arguments, "path").value_or(std::string());
  if (is_absolute_path(path, syntax)) return path;
  const auto vaults = active_vaults(service);
  if (!vaults) return std::unexpected(vaults.error());
  const auto chosen = vault_path_arg(service, arguments);
  if (!chosen) return std::unexpected(chosen.error());
  return join_normalize(*chosen ? **chosen : vaults->front(), path, syntax);
}
