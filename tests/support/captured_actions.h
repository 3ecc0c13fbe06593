// A UiNotifier that records the actions a tool sends instead of delivering
// them, for tests of tool handlers.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/ui_actions.h"

class CapturingNotifier : public server::UiNotifier {
 public:
  CapturingNotifier() : server::UiNotifier(0) {}

  void notify(std::string_view action, nlohmann::json payload) override {
    sent.emplace_back(std::string(action), std::move(payload));
  }

  // (action, payload) in the order sent.
  std::vector<std::pair<std::string, nlohmann::json>> sent;
};
