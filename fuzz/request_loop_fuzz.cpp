// Any bytes as a stream of request lines, through the request loop's line
// handler, with every tool reachable against a small vault in a temporary
// folder. Each line that the loop would handle (valid UTF-8) gets at most one
// response: one line of JSON, an object with "jsonrpc" "2.0", the request's
// id unchanged and either a result or an error; a tool call's result holds
// one text block, never the loop's "Internal error" for an exception that
// escaped a tool. UI actions are written out (never sent) and must be JSON.
//
// The file system is fenced: any call on a path outside the temporary folder
// (for an open file or folder, its final name) fails with EROFS, so an
// attach_vault of "/" or a clone into "/x" cannot touch the machine, and PATH
// is emptied so that git never starts. A vault that an input changed is laid
// out again before the next input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "server/protocol.h"
#include "server/server_state.h"
#include "server/ui_actions.h"
#include "tests/support/faulty_fs.h"
#include "vault_core/paths/path_syntax.h"
#include "vault_core/platform/fs.h"
#include "vault_core/unicode/unicode.h"

namespace {

std::string g_root;  // the temporary folder (canonical); everything the server may touch is below it

bool inside_sandbox(const std::string& path) {
  const std::string normal = paths::lexical_normalize(path);
  return normal == g_root || normal.starts_with(g_root + "/");
}

std::unexpected<std::error_code> fenced() { return std::unexpected(std::error_code(EROFS, std::generic_category())); }

// The native file system, limited to the sandbox; records whether anything
// was changed.
class SandboxFileSystem : public FaultyFs {
 public:
  SandboxFileSystem() {
    hook = [this](Op op, const std::string& path) -> std::optional<std::error_code> {
      if (!inside_sandbox(path)) return fenced().error();
      switch (op) {
        case Op::create_directories: case Op::rename: case Op::remove_file: case Op::remove_all:
        case Op::create_dir_at: case Op::rename_at: case Op::remove_at: case Op::write:
        case Op::set_permissions: case Op::truncate:
          changed = true;
          break;
        default:
          break;
      }
      return std::nullopt;
    };
  }

  // FaultyFs names a rename by its target; its source is fenced too.
  platform::Result<void> rename(const std::string& from, const std::string& to) override {
    if (!inside_sandbox(from)) return fenced();
    return FaultyFs::rename(from, to);
  }
  // Opening for anything but reading may create a file.
  platform::Result<platform::File> open_file(const std::string& path, platform::OpenMode mode) override {
    if (mode != platform::OpenMode::read && inside_sandbox(path)) changed = true;
    return FaultyFs::open_file(path, mode);
  }
  platform::Result<platform::File> open_at(platform::Dir& dir, std::string_view name, platform::OpenMode mode,
                                           platform::Links links) override {
    if (mode != platform::OpenMode::read) changed = true;
    return FaultyFs::open_at(dir, name, mode, links);
  }

  bool changed = false;
};

// Writes each action's message instead of sending it; the message must be a
// JSON object.
class CheckingNotifier : public server::UiNotifier {
 public:
  CheckingNotifier() : server::UiNotifier(0) {}
  void notify(std::string_view action, nlohmann::json payload) override {
    const auto message = nlohmann::json::parse(server::ui_action_message(action, std::move(payload)), nullptr, false);
    if (!message.is_object()) std::abort();
  }
};

SandboxFileSystem* g_fs = nullptr;

// Lays out a file of the sandbox, past the fence.
void write(const std::string& relative, std::string_view text) {
  platform::FileSystem& native = platform::native_fs();
  const std::string path = g_root + "/" + relative;
  if (auto parent = paths::parent_path(path)) static_cast<void>(native.create_directories(std::string(*parent)));
  auto file = native.open_file(path, platform::OpenMode::create_new);
  if (!file || !native.write_all(*file, text) || !native.close(*file)) std::abort();
}

// The vault, a folder outside it, and empty home and configuration folders.
void lay_out_sandbox() {
  platform::FileSystem& native = platform::native_fs();
  for (const char* top : {"vault", "outside", "home", "config"}) {
    static_cast<void>(native.remove_all(g_root + "/" + top));
  }
  write("vault/a.md", "---\ntitle: A\ntags: [one, two]\n---\n# Alpha\nsome text with words\n");
  write("vault/sub/b.md", "---\n_title: Bee\ntags: one\n---\nbody of b\n");
  write("vault/sub/deeper/c.md", "plain note without a header\n");
  write("vault/AGENTS.md", "Be kind to the notes.\n");
  write("vault/config/agents.md", "config instructions\n");
  write("vault/.hidden/skip.md", "not listed\n");
  write("outside/secret.md", "outside the vault\n");
  static_cast<void>(native.create_directories(g_root + "/home"));
  static_cast<void>(native.create_directories(g_root + "/config"));
  g_fs->changed = false;
}

void remove_sandbox() { static_cast<void>(platform::native_fs().remove_all(g_root)); }

void check_response(std::string_view line, const server::LineOutcome& outcome) {
  if (!outcome.response) return;
  const std::string& response = *outcome.response;
  if (response.find('\n') != std::string::npos || !unicode::is_valid_utf8(response)) std::abort();
  auto parsed = nlohmann::json::parse(response, nullptr, false);
  if (!parsed.is_object() || parsed.value("jsonrpc", "") != "2.0" || !parsed.contains("id")) std::abort();
  if (parsed.contains("result") == parsed.contains("error") || parsed.size() != 3) std::abort();
  if (outcome.parse_error) {
    if (response != R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})") std::abort();
    return;
  }
  // The id comes back unchanged, and only requests with an id are answered.
  const auto request = nlohmann::json::parse(unicode::trim(line), nullptr, false);
  if (!request.is_object() || request.value("id", nlohmann::json()) != parsed["id"] || parsed["id"].is_null()) {
    std::abort();
  }
  if (request.value("method", nlohmann::json()) == "tools/call") {
    const auto& content = parsed["result"]["content"];
    if (!content.is_array() || content.size() != 1 || !content[0]["text"].is_string()) std::abort();
    // An exception that reached the loop's last-resort guard is a fault too.
    if (content[0]["text"].get_ref<const std::string&>().starts_with("Error: Internal error: ")) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/tarnel-fuzz-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  // Final names are canonical: so is the root they are compared with.
  g_root = platform::native_fs().canonicalize(pattern).value_or("");
  if (g_root.empty()) std::abort();
  std::atexit(remove_sandbox);
  ::setenv("HOME", (g_root + "/home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (g_root + "/config").c_str(), 1);
  ::setenv("PATH", "", 1);
  static SandboxFileSystem sandbox;
  static platform::ScopedFileSystem scope(sandbox);
  g_fs = &sandbox;
  lay_out_sandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  server::ToolService service({{"VAULT_PATH", g_root + "/vault"}, {"WS_UI_PORT", "1"}}, std::make_unique<CheckingNotifier>());
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const std::size_t lf = input.find('\n');
    std::string_view line = input.substr(0, lf);
    input.remove_prefix(lf == std::string_view::npos ? input.size() : lf + 1);
    if (!unicode::is_valid_utf8(line)) break;  // the loop stops there
    if (line.ends_with('\r')) line.remove_suffix(1);
    check_response(line, server::handle_line(service, line));
  }
  if (g_fs->changed) lay_out_sandbox();
  return 0;
}
