// Any bytes through the splits and the tripwire: the strict split's pieces
// put back together give the text again, the lenient body is a suffix of the
// text, and the run statistics stay within the text's length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vault_core/frontmatter/split.h"
#include "vault_core/vault/tripwire.h"

using namespace frontmatter;
using vault::check_tripwire;
using vault::run_stats;
using vault::RunStats;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const FrontmatterSplit split = split_frontmatter(text);
  if (const auto* s = std::get_if<Split>(&split)) {
    std::string whole = "---";
    whole += s->newline;
    whole += s->frontmatter;
    if (!text.substr(3 + s->newline.size()).starts_with("---")) whole += s->newline;
    whole += "---";
    whole += s->body;
    if (whole != text) std::abort();
  } else if (const auto* u = std::get_if<Unclosed>(&split)) {
    if (std::string("---") + std::string(u->newline) + std::string(u->rest) != text) std::abort();
  }

  const BodySplit lenient = body_after_frontmatter(text);
  if (const auto* b = std::get_if<Body>(&lenient); b && !text.ends_with(b->text)) std::abort();

  const RunStats stats = run_stats(text);
  if (stats.longest_run > size || stats.runaway_escape_run > size || (size > 0 && stats.longest_run == 0)) std::abort();
  const std::size_t half = size / 2;
  if (const auto hit = check_tripwire(text.substr(0, half), text.substr(half))) {
    if (!tripwire_message(*hit).starts_with("tarnel_tripwire: ")) std::abort();
  }
  return 0;
}
