// Load through the real binary: 100,000 requests pipelined in one stream
// (pings, tools/list, get_note and a failing tool call) are all answered, in
// order, each exactly as when asked alone, while the server's peak memory
// stays flat.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#endif

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Json = nlohmann::json;

// The peak resident set size of a process (VmHWM; the peak working set on
// Windows), in kB; -1 when unknown.
long peak_memory_kb(int pid) {
#ifdef _WIN32
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return -1;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  const BOOL ok = ::GetProcessMemoryInfo(process, &counters, sizeof counters);
  ::CloseHandle(process);
  return ok ? static_cast<long>(counters.PeakWorkingSetSize / 1024) : -1;
#else
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
#endif
}

// The requests of one cycle, "%" standing for the id; five pings, then one
// of each of the others.
const char* const kCycle[] = {
    R"({"jsonrpc":"2.0","id":%,"method":"ping"})",
    R"({"jsonrpc":"2.0","id":%,"method":"tools/list"})",
    R"({"jsonrpc":"2.0","id":%,"method":"ping"})",
    R"({"jsonrpc":"2.0","id":%,"method":"tools/call","params":{"name":"get_note","arguments":{"path":"n.md"}}})",
    R"({"jsonrpc":"2.0","id":%,"method":"ping"})",
    R"({"jsonrpc":"2.0","id":%,"method":"tools/call","params":{"name":"get_note","arguments":{"path":"gone.md"}}})",
    R"({"jsonrpc":"2.0","id":%,"method":"ping"})",
    R"({"jsonrpc":"2.0","id":%,"method":"ping"})",
};
constexpr int kCycleLength = sizeof kCycle / sizeof kCycle[0];

std::string with_id(std::string text, int id) {
  text.replace(text.find('%'), 1, std::to_string(id));
  return text;
}

TEST(Load, HundredThousandPipelinedRequestsAnsweredInOrderWithFlatMemory) {
  TempDir dir;
  dir.write("vault/n.md", "---\ntags: [load]\n---\n# Under load\nThe same note, read again and again.\n");
  // A small allocator quarantine, so that memory the server holds on to
  // shows in its peak instead of freed memory kept for checking.
  const char* asan = std::getenv("ASAN_OPTIONS");
  ServerProcess server(isolated_env(
      dir.path(), {{"VAULT_PATH", dir.path("vault")},
                   {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=1"}}));

  // Each kind of request asked alone gives the response every later one
  // must repeat, up to its id.
  std::string alone[kCycleLength];
  for (int k = 0; k < kCycleLength; ++k) {
    server.send_line(with_id(kCycle[k], 0));
    alone[k] = server.read_line();
  }
  EXPECT_EQ(alone[0], R"({"id":0,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(Json::parse(alone[1])["result"]["tools"].size(), 12u);
  EXPECT_NE(alone[3].find("The same note, read again and again."), std::string::npos) << alone[3];
  EXPECT_NE(alone[5].find(R"("isError":true)"), std::string::npos) << alone[5];

  constexpr int kRequests = 100000;
  std::thread writer([&] {
    std::string batch;
    for (int id = 1; id <= kRequests; ++id) {
      batch += with_id(kCycle[id % kCycleLength], id);
      batch += '\n';
      if (batch.size() > std::size_t{64} * 1024 || id == kRequests) {
        server.send(batch);
        batch.clear();
      }
    }
  });

  long peak_early = -1;
  int mismatches = 0;
  for (int id = 1; id <= kRequests; ++id) {
    const std::string line = server.read_line();
    std::string expected = alone[id % kCycleLength];
    expected.replace(expected.find(":0,"), 3, ":" + std::to_string(id) + ",");
    if (line != expected && ++mismatches <= 3) ADD_FAILURE() << "response " << id << ": " << line;
    if (line == "<timeout>" || line == "<eof>") break;
    if (id == kRequests / 10) peak_early = peak_memory_kb(server.pid());
  }
  const long peak_late = peak_memory_kb(server.pid());
  writer.join();
  EXPECT_EQ(mismatches, 0);

  // The last 90% of the requests add less than 8 MB to the peak.
  ASSERT_GT(peak_early, 0);
  EXPECT_LT(peak_late - peak_early, 8 * 1024) << "VmHWM " << peak_early << " kB after 10,000 requests, "
                                               << peak_late << " kB after 100,000";
  RecordProperty("vmhwm_kb_early", static_cast<int>(peak_early));
  RecordProperty("vmhwm_kb_late", static_cast<int>(peak_late));
  EXPECT_EQ(server.finish(60000), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
