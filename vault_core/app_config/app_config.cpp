// Configuration roots, namespace, and the read and write locations.
#include "vault_core/app_config/app_config.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "vault_core/paths/path_syntax.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"
#include "vault_core/unicode/unicode.h"

namespace app_config {
namespace {

std::atomic<std::uint64_t> probe_counter{0};

std::string member_text(const nlohmann::json& policy, const char* name) {
  if (!policy.is_object()) return {};
  const auto it = policy.find(name);
  return it != policy.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string write_path_in(const std::vector<std::string>& roots, std::string_view file) {
  for (const std::string& root : roots) {
    std::string p = config_file_path(root, file);
    if (platform::fs().metadata(p)) {
      auto opened = platform::fs().open_file(p, platform::OpenMode::write_existing);
      if (opened) {
        (void)platform::fs().close(*opened);
        return p;
      }
      continue;
    }
    const auto parent = paths::parent_path(p);
    if (parent && !parent->empty() && probe_writable_dir(std::string(*parent))) return p;
  }
  return config_file_path(roots.front(), file);
}

}  // namespace

const AppConfigPolicy& policy() {
  static const AppConfigPolicy parsed = [] {
    const auto json = nlohmann::json::parse(policy_text(), nullptr, false);
    return AppConfigPolicy{member_text(json, "current_namespace"), member_text(json, "development_namespace")};
  }();
  return parsed;
}

const std::string& config_namespace() {
  const AppConfigPolicy& p = policy();
  const auto value = platform::get_env("tarnel_app_config_namespace");
  if (value && unicode::is_valid_utf8(*value) && unicode::trim(*value) == p.development_namespace) {
    return p.development_namespace;
  }
  return p.current_namespace;
}

std::expected<std::vector<std::string>, std::string> config_roots() {
  const auto xdg = platform::get_env("XDG_CONFIG_HOME");
  const auto platform_root = platform::config_root();
  std::vector<std::string> roots;
  if (xdg && paths::is_absolute_path(*xdg)) {
    roots.push_back(*xdg);
  } else if (platform_root) {
    roots.push_back(*platform_root);
  } else {
    return std::unexpected("Could not determine config directory");
  }
  if (platform_root && !paths::paths_equal(*platform_root, roots.front())) roots.push_back(*platform_root);
  return roots;
}

std::string config_file_path(std::string_view root, std::string_view file) {
  return paths::join_path(paths::join_path(root, config_namespace()), file);
}

std::expected<std::string, std::string> config_write_path(std::string_view file) {
  const auto roots = config_roots();
  if (!roots) return std::unexpected(roots.error());
  return write_path_in(*roots, file);
}

std::expected<std::string, std::string> config_read_path(std::string_view file) {
  auto roots = config_roots();
  if (!roots) return std::unexpected(roots.error());
  const std::string written = write_path_in(*roots, file);
  // The root that holds the write location goes first; the others keep their order.
  for (std::size_t i = 0; i < roots->size(); ++i) {
    if (paths::paths_equal(config_file_path((*roots)[i], file), written)) {
      std::rotate(roots->begin(), roots->begin() + static_cast<std::ptrdiff_t>(i),
                  roots->begin() + static_cast<std::ptrdiff_t>(i) + 1);
      break;
    }
  }
  for (const std::string& root : *roots) {
    std::string p = config_file_path(root, file);
    if (platform::fs().metadata(p)) return p;
  }
  return config_file_path(roots->front(), file);
}

bool probe_writable_dir(const std::string& dir) {
  if (!platform::fs().create_directories(dir)) return false;
  const std::uint64_t n = probe_counter.fetch_add(1);
  const std::string probe =
      paths::join_path(dir, ".tarnel-write-probe-" + std::to_string(platform::process_id()) + "-" + std::to_string(n));
  auto file = platform::fs().open_file(probe, platform::OpenMode::create_new);
  if (!file) return false;
  (void)platform::fs().close(*file);
  (void)platform::fs().remove_file(probe);
  return true;
}

}  // namespace app_config
