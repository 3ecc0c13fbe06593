// The desktop application's configuration folder: which per-user roots are
// candidates, which namespace folder is in force, and where a configuration
// file is written and read. Roots, namespace and locations are recomputed
// from the live environment and the file system on every call.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace app_config {

// The namespaces of the configuration policy compiled into the program.
struct AppConfigPolicy {
  std::string current_namespace;      // "com.tarnel.app"
  std::string development_namespace;  // "com.tarnel.app.dev"
};

// The compiled policy text, byte for byte (defined by a source that the build
// generates from app-config-policy.json).
std::string_view policy_text();

// The policy, parsed once per process at its first use (safe for concurrent
// first callers).
const AppConfigPolicy& policy();

// The namespace in force: the development namespace when the live variable
// tarnel_app_config_namespace, trimmed of white space, equals it exactly;
// the current namespace in every other case (unset, not UTF-8, any other value).
const std::string& config_namespace();

// The candidate roots in order: XDG_CONFIG_HOME when set and absolute (used
// unchanged), else the platform root; then the platform root when it differs
// (path equality) from the first. "Could not determine config directory"
// when there is neither.
[[nodiscard]] std::expected<std::vector<std::string>, std::string> config_roots();

// root / namespace / file.
std::string config_file_path(std::string_view root, std::string_view file);

// Where `file` is to be written: under the first root whose file exists and
// opens for writing (neither created nor truncated), or, when the file's
// metadata cannot be read, whose namespace folder passes probe_writable_dir;
// under the first root when none qualifies. May create the namespace folder.
// Fails only as config_roots fails.
[[nodiscard]] std::expected<std::string, std::string> config_write_path(std::string_view file);

// Where `file` is to be read: the first existing file among the roots, taken
// in order except that the root of the write location comes first; the path
// under that first root when none exists. Computes the write location first,
// so it may create the namespace folder too. Fails only as config_roots fails.
[[nodiscard]] std::expected<std::string, std::string> config_read_path(std::string_view file);

// True when `dir` exists or could be created (with its ancestors) and a new
// file ".tarnel-write-probe-{pid}-{n}" could be created in it; the probe is
// deleted again. {n} comes from a process-wide counter starting at 0.
bool probe_writable_dir(const std::string& dir);

}  // namespace app_config
