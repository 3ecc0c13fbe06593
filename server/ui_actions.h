// UiNotifier: delivers UI actions ("vault_changed", "open_tab", "highlight",
// "vault_registry_changed") to the desktop application's UI bridge on
// 127.0.0.1, best effort, one connection per action.
#pragma once

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

class UiNotifier {
 public:
  explicit UiNotifier(std::uint16_t port) : port_(port) {}
  virtual ~UiNotifier() = default;

  // Sends the action with the payload's members beside "type" and "action".
  // Never fails from the caller's point of view; a delivery problem is dropped.
  virtual void notify(std::string_view action, nlohmann::json payload);

  std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_;
};
