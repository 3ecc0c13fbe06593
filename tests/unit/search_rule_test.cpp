// search_vault skips the frontmatter parse and the title where they cannot
// change the outcome. This differential test runs it against the plain rule
// (parse every note, make every title, lower-case title and text, match every
// term in either) on notes where a title or tags come from unusual places.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server/vault_ops.h"
#include "tests/support/temp_dir.h"
#include "vault_core/frontmatter/frontmatter_json.h"
#include "vault_core/platform/fs.h"
#include "vault_core/unicode/unicode.h"

namespace server {

namespace {

std::vector<std::string> plain_terms(std::string_view query) {
  std::vector<std::string> terms;
  std::string piece;
  auto flush = [&] {
    if (!piece.empty()) {
      std::string term = unicode::to_lower(piece);
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(term);
    }
    piece.clear();
  };
  for (std::size_t i = 0; i < query.size();) {
    const std::size_t start = i;
    if (unicode::is_white_space(unicode::decode(query, i))) {
      flush();
    } else {
      piece.append(query.substr(start, i - start));
    }
  }
  flush();
  return terms;
}

std::string plain_stem(const std::string& path) {
  const std::string name = path.substr(path.rfind(kPathSeparator) + 1);
  const auto dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The search rule, step by step, with nothing skipped.
std::vector<SearchHit> plain_search(const std::string& vault, const std::string& query, std::uint64_t limit,
                                    const std::vector<std::string>& tags) {
  std::vector<SearchHit> hits;
  const std::vector<std::string> terms = plain_terms(query);
  NoteWalker walker(vault);
  while (hits.size() < limit) {
    auto next = walker.next();
    if (!next || !*next) break;
    const std::string note = **next;
    auto file = platform::native_fs().open_file(note, platform::OpenMode::read);
    auto content = file ? platform::native_fs().read(*file) : std::unexpected(file.error());
    EXPECT_TRUE(content.has_value()) << note;
    const std::string text = content ? std::move(content->bytes) : std::string();
    const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(text);
    if (!tags.empty()) {
      std::vector<std::string> lowered;
      for (const auto& t : frontmatter::note_tag_list(parsed.frontmatter)) lowered.push_back(unicode::to_lower(t));
      bool all = !lowered.empty();
      for (const auto& t : tags) {
        all = all && std::find(lowered.begin(), lowered.end(), unicode::to_lower(t)) != lowered.end();
      }
      if (!all) continue;
    }
    std::string title;
    if (parsed.frontmatter.is_object() && parsed.frontmatter.contains("_title") &&
        parsed.frontmatter["_title"].is_string()) {
      title = parsed.frontmatter["_title"].get<std::string>();
    } else {
      title = note_title(text, plain_stem(note));
    }
    const std::string lower_text = unicode::to_lower(text);
    const std::string lower_title = unicode::to_lower(title);
    bool matches = true;
    std::string needle;
    std::size_t best = std::string::npos;
    for (const auto& term : terms) {
      const std::size_t at = lower_text.find(term);
      matches = matches && (at != std::string::npos || lower_title.find(term) != std::string::npos);
      if (at < best) {
        best = at;
        needle = term;
      }
    }
    if (!matches) continue;
    if (!terms.empty() && best == std::string::npos) needle = query;
    std::string relative = note.substr(vault.size() + 1);
    std::replace(relative.begin(), relative.end(), kPathSeparator, '/');
    hits.push_back(SearchHit{relative, title, make_snippet(text, needle)});
  }
  return hits;
}

TEST(SearchRule, SkippingParseAndTitleChangesNothing) {
  TempDir dir;
  const struct {
    const char* path;
    std::string text;
  } notes[] = {
      {"escaped.md", "---\n\"\\x5ftitle\": Escaped Name\n---\nbody alpha\n"},
      {"quoted.md", "---\n'_title': Quoted Sigma \u03A3\n---\nbody beta\n"},
      {"block.md", "---\n? |-\n  _title\n: Block Key\n---\nbody\n"},
      {"lines.md", "---\n_title: From Lines\nx: [unclosed\ntags:\n  - Work\n---\nbody gamma\n"},
      {"lenient.md", "--- \n_title: Lenient Header\n---\nbody\n"},
      {"ideographic.md", "---\na: 1\n---\u3000\n_title: Later\n---\nbody delta\n"},
      {"in-body.md", "---\na: 1\n---\n_title: Body Line\nalpha\n"},
      {"comment-only.md", "---\n# no YAML document\n---\u3000\n_title: Late Lines\n---\nbody\n"},
      {"number-title.md", "---\n_title: 42\ntags: [work, Home]\n---\n# Heading\n"},
      {"empty-title.md", "---\n_title: ''\n---\n# Not Used\nbeta\n"},
      {"array.md", "---\n- _title\n- tags\n---\nepsilon\n"},
      {"heading.md", "# \u039F\u0394\u039F\u03A3 road\n\nalpha beta\n"},
      {"title-line.md", "intro\n_title:\u03A3\nplain words\n"},
      {"zeta-stem.md", "no heading here, just words\n"},
      {"crlf.md", "---\r\ntags: [\"#work\"]\r\n---\r\n# Crlf Heading\r\nbody\r\n"},
      {"escaped-tags.md", "---\n\"t\\x61gs\": [WORK]\n---\nbody\n"},
      {"sub/deep.md", "---\ntags: work\n_title: \"Deep \\u00C4rger\"\n---\n\u00C4rger alpha\n"},
      {"sub/plain.md", "Just \u0130stanbul text with alpha and Beta.\n"},
      {"sub/.hidden.md", "alpha\n"},
  };
  for (const auto& n : notes) dir.write(std::string("vault/") + n.path, n.text);
  const std::string vault = dir.path("vault");

  const std::string queries[] = {"",        "  ",     "alpha",       "ALPHA beta", "escaped", "sigma \u03C3",
                                 "\u03C3",   "\u03C2", "block",       "lines",      "lenient", "later",
                                 "body",     "42",     "heading",     "not",        "used",    "\u03BF\u03B4\u03BF\u03C2",
                                 "zeta",     "stem",   "crlf",        "deep",       "\u00E4rger",
                                 "istanbul", "i\u0307stanbul",  "epsilon", "alpha zeta", "missingterm"};
  const std::vector<std::vector<std::string>> tag_sets = {{}, {"work"}, {"WORK", "home"}, {"#work"}, {"nothing"}};
  for (const auto& query : queries) {
    for (const auto& tags : tag_sets) {
      for (const std::uint64_t limit : {std::uint64_t{1000}, std::uint64_t{2}}) {
        const auto got = search_vault(vault, query, limit, tags);
        ASSERT_TRUE(got.has_value()) << got.error();
        const auto want = plain_search(vault, query, limit, tags);
        ASSERT_EQ(got->size(), want.size()) << "query '" << query << "', " << tags.size() << " tags";
        for (std::size_t i = 0; i < want.size(); ++i) {
          EXPECT_EQ((*got)[i].path, want[i].path) << query;
          EXPECT_EQ((*got)[i].title, want[i].title) << query << " in " << want[i].path;
          EXPECT_EQ((*got)[i].snippet, want[i].snippet) << query << " in " << want[i].path;
        }
      }
    }
  }
}

}  // namespace

}  // namespace server
