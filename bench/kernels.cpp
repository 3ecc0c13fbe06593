// In-process kernels of the hot paths, timed with Google Benchmark on one
// typical note (2 KB, a six-line YAML header with a tag list, an H1 heading):
// the per-note work of a search or a vault context and the per-call work of
// get_note, without the file system.
#include <benchmark/benchmark.h>

#include <string>

#include "server/json_text.h"
#include "server/vault_ops.h"
#include "vault_core/frontmatter/frontmatter_json.h"
#include "vault_core/unicode/unicode.h"

namespace {

std::string typical_note() {
  std::string text =
      "---\n_id: note-000042\n_date: 2024-06-14\ntags:\n  - garden\n  - Planning\nstatus: active\n---\n"
      "# Raised Beds Along The Fence\n\n";
  const char* words[] = {"soil", "compost", "Tomatoes", "water", "the", "mulch", "beds", "seedlings", "north"};
  for (std::size_t i = 0; text.size() < 2048; ++i) {
    text += words[(i * 7) % 9];
    text += i % 12 == 11 ? ".\n" : " ";
  }
  return text;
}

const std::string& note() {
  static const std::string text = typical_note();
  return text;
}

void BM_IsValidUtf8(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(unicode::is_valid_utf8(note()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * note().size()));
}
BENCHMARK(BM_IsValidUtf8);

void BM_ToLower(benchmark::State& state) {
  std::string out;
  for (auto _ : state) {
    unicode::to_lower_into(note(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * note().size()));
}
BENCHMARK(BM_ToLower);

void BM_FindRareTerm(benchmark::State& state) {
  const std::string lower = unicode::to_lower(note());
  for (auto _ : state) benchmark::DoNotOptimize(lower.find("quixotically"));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * lower.size()));
}
BENCHMARK(BM_FindRareTerm);

void BM_FrontmatterMayHaveMember(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(frontmatter::frontmatter_may_have_member(note(), "_title"));
}
BENCHMARK(BM_FrontmatterMayHaveMember);

void BM_NoteTitle(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(server::note_title(note(), "stem"));
}
BENCHMARK(BM_NoteTitle);

void BM_ParseNoteText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(frontmatter::parse_note_text(note()));
}
BENCHMARK(BM_ParseNoteText);

void BM_MakeSnippet(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(server::make_snippet(note(), "seedlings"));
}
BENCHMARK(BM_MakeSnippet);

// The get_note result text and the compact envelope around it.
void BM_JsonTextOfGetNote(benchmark::State& state) {
  const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(note());
  const nlohmann::json result = {{"content", std::string(unicode::trim(parsed.body))},
                                 {"frontmatter", parsed.frontmatter},
                                 {"mtimeMs", 1700000000123.25},
                                 {"path", "area-01/note.md"},
                                 {"vaultLabel", "vault"},
                                 {"vaultPath", "/home/user/vault"}};
  for (auto _ : state) {
    const std::string text = server::json_text(result, 2);
    const nlohmann::json envelope = {
        {"id", 7}, {"jsonrpc", "2.0"}, {"result", {{"content", {{{"text", text}, {"type", "text"}}}}}}};
    benchmark::DoNotOptimize(server::json_text(envelope, -1));
  }
}
BENCHMARK(BM_JsonTextOfGetNote);

}  // namespace

BENCHMARK_MAIN();
