// Links under wine. No Windows program can make a link there (wine's
// CreateSymbolicLinkW reports success and creates nothing), but wine shows a
// Unix symbolic link as what it leads to, opens and deletes through it even
// when told not to, and lists a link to a folder as a reparse point. The
// links come from make_unix_links.sh, a setup test that runs on Linux
// (TARNEL_UNIX_LINKS names its folder). On Windows itself the shared tests
// make real links and junctions instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server/vault_ops.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"

namespace server {
namespace {

platform::FileSystem& fs() { return platform::native_fs(); }

// The folder of the Unix links, or nothing (then the test skips).
std::optional<std::string> unix_links() {
  if (!under_wine()) return std::nullopt;
  return platform::get_env("TARNEL_UNIX_LINKS");
}

constexpr const char* kNoUnixLinks = "needs wine and the Unix links of make_unix_links.sh (TARNEL_UNIX_LINKS)";

TEST(WineUnixLinks, TheWalkEntersNoLinkedFolderAndReadsNothingOutside) {
  const auto links = unix_links();
  if (!links) GTEST_SKIP() << kNoUnixLinks;
  const std::string vault = *links + "\\walk\\vault";
  const auto hits = search_vault(vault, "word", 10, {});
  ASSERT_TRUE(hits) << hits.error();
  std::vector<std::string> paths;
  for (const auto& hit : *hits) paths.push_back(hit.path);
  std::sort(paths.begin(), paths.end());
  // The link to a note inside is read through; the link to a note outside
  // is skipped; the linked folder is not entered.
  EXPECT_EQ(paths, (std::vector<std::string>{"alias.md", "real/r.md"}));
  const auto context = vault_context(vault);
  ASSERT_TRUE(context) << context.error();
  EXPECT_EQ((*context)["noteCount"], 2);
  EXPECT_EQ((*context)["folders"], Json::array({"real/"}));
  EXPECT_EQ(read_note(vault, "leak.md").error(), "Note path must stay inside the active vault");
  EXPECT_EQ(read_note(vault, "linkdir/secret.md").error(), "Note path must stay inside the active vault");
}

TEST(WineUnixLinks, OpeningWithoutFollowingRefusesWhatWineOpensThrough) {
  const auto links = unix_links();
  if (!links) GTEST_SKIP() << kNoUnixLinks;
  auto folder = fs().open_dir(*links + "\\walk\\vault", platform::DirUse::list);
  ASSERT_TRUE(folder);
  for (const auto mode : {platform::OpenMode::read, platform::OpenMode::write_existing,
                          platform::OpenMode::append_existing}) {
    const auto refused = fs().open_at(*folder, "alias.md", mode, platform::Links::refuse);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), std::errc::too_many_symbolic_link_levels) << refused.error().message();
  }
  EXPECT_TRUE(fs().open_at(*folder, "alias.md", platform::OpenMode::read, platform::Links::follow));
  EXPECT_FALSE(fs().open_dir_at(*folder, "linkdir", platform::DirUse::list));
  // The listing calls a link to a folder a link.
  std::vector<std::pair<std::string, platform::FileType>> entries;
  while (auto entry = fs().next_entry(*folder)) {
    if (!*entry) break;
    entries.emplace_back((*entry)->name, (*entry)->type);
  }
  EXPECT_NE(std::find(entries.begin(), entries.end(), std::pair<std::string, platform::FileType>(
                                                          "linkdir", platform::FileType::symlink)),
            entries.end());
}

TEST(WineUnixLinks, RemovingATreeNeverDeletesWhatALinkLeadsTo) {
  const auto links = unix_links();
  if (!links) GTEST_SKIP() << kNoUnixLinks;
  // Wine would delete the link's target; the entry that opens as something
  // else than itself is left, and the removal fails.
  EXPECT_FALSE(fs().remove_all(*links + "\\remove\\tree"));
  EXPECT_EQ(read_file_text(*links + "\\remove\\keep\\precious.md"), "keep me");
  EXPECT_FALSE(fs().remove_file(*links + "\\remove\\tree\\file-link.md"));
  EXPECT_EQ(read_file_text(*links + "\\remove\\keep\\precious.md"), "keep me");
}

}  // namespace
}  // namespace server
