// Process entry: capture the environment, derive the UI bridge port, build the
// server state and serve standard input and output until input ends.
#include <memory>

#include "platform/env.h"
#include "platform/stdio.h"
#include "protocol.h"
#include "tool_service.h"
#include "ui_actions.h"

int main() {
  platform::EnvSnapshot env = platform::capture_environment();
  platform::ignore_broken_pipe();
  const std::uint16_t port = ui_port_from_env(env);
  ToolService service(std::move(env), std::make_unique<UiNotifier>(port));
  return serve(service, 0, 1);
}
