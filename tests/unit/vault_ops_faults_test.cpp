// Disk faults injected into the note operations through the file-system seam:
// a failed append or update reports the system's error and leaves the note
// as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/fs.h"
#include "temp_dir.h"
#include "vault_ops.h"

namespace {

std::error_code err(int e) { return {e, std::generic_category()}; }

// Fails the chosen step; a failing write first lets half of its bytes reach
// the disk, as a disk that fills up does.
class FaultyDisk : public platform::FileSystem {
 public:
  enum class Step { none, open, write, sync, rename };
  Step step = Step::none;
  std::error_code error;

  platform::Result<platform::File> open(const std::string& path, platform::OpenMode mode,
                                        std::uint32_t perms) override {
    if (step == Step::open) return std::unexpected(error);
    return FileSystem::open(path, mode, perms);
  }
  platform::Result<void> write_all(platform::File& file, std::string_view data) override {
    if (step != Step::write) return FileSystem::write_all(file, data);
    if (auto half = FileSystem::write_all(file, data.substr(0, data.size() / 2)); !half) return half;
    return std::unexpected(error);
  }
  platform::Result<void> sync(platform::File& file) override {
    if (step == Step::sync) return std::unexpected(error);
    return FileSystem::sync(file);
  }
  platform::Result<void> rename(const std::string& from, const std::string& to) override {
    if (step == Step::rename) return std::unexpected(error);
    return FileSystem::rename(from, to);
  }
};

struct Fault {
  const char* name;
  FaultyDisk::Step step;
  std::error_code error;
  std::string text;  // the system's description
};

// The result of `operation` run while the disk fails at the fault's step.
template <class Operation>
Expected<WriteRecord> under_fault(const Fault& f, Operation operation) {
  FaultyDisk disk;
  disk.step = f.step;
  disk.error = f.error;
  platform::ScopedFileSystem scope(disk);
  return operation();
}

TEST(NoteWriteFaults, FailedAppendLeavesTheNoteAsItWas) {
  const Fault faults[] = {
      {"disk full halfway", FaultyDisk::Step::write, err(ENOSPC), "No space left on device"},
      {"I/O error halfway", FaultyDisk::Step::write, err(EIO), "Input/output error"},
      {"write makes no progress", FaultyDisk::Step::write, make_error_code(platform::Failure::write_zero),
       "failed to write whole buffer"},
      {"open fails", FaultyDisk::Step::open, err(EIO), "Input/output error"},
  };
  for (const auto& f : faults) {
    TempDir vault;
    const std::string path = vault.write("n.md", "# Note\nthe text so far");
    const auto result = under_fault(f, [&] {
      return append_to_note_in_vault(vault.path(), "n.md", "\nan appended paragraph that must not be cut in two");
    });
    ASSERT_FALSE(result) << f.name;
    EXPECT_EQ(result.error(), "Failed to append to note " + path + ": " + f.text) << f.name;
    EXPECT_EQ(vault.read("n.md"), "# Note\nthe text so far") << f.name;

    // The next append goes on from the old end.
    ASSERT_TRUE(append_to_note_in_vault(vault.path(), "n.md", "\nmore")) << f.name;
    EXPECT_EQ(vault.read("n.md"), "# Note\nthe text so far\nmore") << f.name;
  }
}

TEST(NoteWriteFaults, FailedUpdateLeavesTheNoteAsItWas) {
  const Fault faults[] = {
      {"disk full halfway", FaultyDisk::Step::write, err(ENOSPC), "No space left on device"},
      {"flush fails", FaultyDisk::Step::sync, err(EIO), "Input/output error"},
      {"rename fails", FaultyDisk::Step::rename, err(EIO), "Input/output error"},
      {"temporary file cannot be made", FaultyDisk::Step::open, err(ENOSPC), "No space left on device"},
  };
  for (const auto& f : faults) {
    TempDir vault;
    const std::string path = vault.write("n.md", "the old content");
    const auto result =
        under_fault(f, [&] { return update_note_in_vault(vault.path(), "n.md", "the new content", std::nullopt); });
    ASSERT_FALSE(result) << f.name;
    EXPECT_EQ(result.error(), "Failed to save " + path + ": " + f.text) << f.name;
    EXPECT_EQ(vault.read("n.md"), "the old content") << f.name;
    // No temporary file is left beside the note.
    auto listing = platform::fs().open_dir(vault.path());
    ASSERT_TRUE(listing);
    while (auto entry = platform::fs().next_entry(*listing, vault.path())) {
      if (!*entry) break;
      EXPECT_EQ((*entry)->name, "n.md") << f.name;
    }
  }
}

}  // namespace
