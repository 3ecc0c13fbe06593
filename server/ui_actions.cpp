// UI bridge client.
#include "ui_actions.h"

void UiNotifier::notify(std::string_view /*action*/, nlohmann::json /*payload*/) {
  // Delivery over the WebSocket bridge is not wired in yet: actions are dropped.
}
