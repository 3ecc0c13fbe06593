// Any bytes as the vault registry file: reading never crashes and either
// fails with the registry's read message or gives an object whose "vaults"
// and "hidden_defaults" are arrays and that writes out (as the registry
// writer does, strict UTF-8) and reads back unchanged. The registry keys of
// the entries' paths are computed and compared as when a vault is added.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/vault_paths.h"
#include "tests/support/faulty_fs.h"
#include "vault_core/platform/fs.h"

namespace {

// Serves the fuzz input as the content of every file read.
class InputFileSystem : public FaultyFs {
 public:
  std::string_view content;
  platform::Result<platform::FileContent> read(platform::File&, std::size_t limit) override {
    platform::FileInfo info;
    info.type = platform::FileType::regular;
    info.size = content.size();
    return platform::FileContent{std::string(content.substr(0, limit)), info};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static InputFileSystem input;
  static platform::ScopedFileSystem scope(input);
  input.content = std::string_view(reinterpret_cast<const char*>(data), size);

  // Any file that opens will do: what is read from it is the input.
  const auto registry = server::read_registry("/dev/null");
  if (!registry) {
    if (!registry.error().starts_with("Could not read tarnel vault registry: ")) std::abort();
    return 0;
  }
  if (!registry->is_object() || !(*registry)["vaults"].is_array() || !(*registry)["hidden_defaults"].is_array()) {
    std::abort();
  }
  const std::string written = registry->dump(2, ' ', false, server::Json::error_handler_t::strict);
  if (server::Json::parse(written) != *registry) std::abort();

  std::string previous;
  for (const server::Json& entry : (*registry)["vaults"]) {
    if (!entry.is_object() || !entry.contains("path") || !entry["path"].is_string()) continue;
    const std::string key = server::registry_path_key(entry["path"].get<std::string>());
    if (server::registry_key_nested(key, key)) std::abort();
    if (server::registry_key_nested(previous, key) && server::registry_key_nested(key, previous)) std::abort();
    previous = key;
  }
  return 0;
}
