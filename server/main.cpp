// Process entry: capture the environment, derive the UI bridge port, build the
// server state and serve standard input and output until input ends.
#include <memory>

#include "server/protocol.h"
#include "server/server_state.h"
#include "server/ui_actions.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/std_streams.h"

int main() {
  platform::EnvSnapshot env = platform::capture_environment();
  platform::prepare_standard_streams();
  const std::uint16_t port = server::ui_port_from_env(env);
  server::ToolService service(std::move(env), std::make_unique<server::UiNotifier>(port));
  return server::serve(service);
}
