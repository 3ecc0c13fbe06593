// Disk faults injected into the note operations through the file-system seam:
// a failed append or update reports the system's error and leaves the note
// as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/vault_ops.h"
#include "tests/support/faulty_fs.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/fs.h"

namespace server {

namespace {

using Op = FaultyFs::Op;

std::error_code err(int e) { return {e, std::generic_category()}; }

// A fault at every call of one kind; a failing write first lets half of its
// bytes reach the disk, as a disk that fills up does.
struct Fault {
  const char* name;
  Op op;
  std::error_code error;
  std::string text;  // the system's description
};

// The result of `operation` run while the disk fails as the fault says.
template <class Operation>
Expected<WriteRecord> under_fault(const Fault& f, Operation operation) {
  FaultyFs disk;
  disk.fail(f.op, "", f.error);
  platform::ScopedFileSystem scope(disk);
  return operation();
}

TEST(NoteWriteFaults, FailedAppendLeavesTheNoteAsItWas) {
  const Fault faults[] = {
      {"disk full halfway", Op::write, err(ENOSPC), "No space left on device"},
      {"I/O error halfway", Op::write, err(EIO), "Input/output error"},
      {"write makes no progress", Op::write, make_error_code(platform::Failure::write_zero),
       "failed to write whole buffer"},
      {"open fails", Op::open_at, err(EIO), "Input/output error"},
  };
  for (const auto& f : faults) {
    TempDir vault;
    const std::string path = canonical(vault.write("n.md", "# Note\nthe text so far"));
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
      {"disk full halfway", Op::write, err(ENOSPC), "No space left on device"},
      {"flush fails", Op::sync, err(EIO), "Input/output error"},
      {"rename fails", Op::rename_at, err(EIO), "Input/output error"},
      {"temporary file cannot be made", Op::open_at, err(ENOSPC), "No space left on device"},
  };
  for (const auto& f : faults) {
    TempDir vault;
    const std::string path = canonical(vault.write("n.md", "the old content"));
    const auto result =
        under_fault(f, [&] { return update_note_in_vault(vault.path(), "n.md", "the new content", std::nullopt); });
    ASSERT_FALSE(result) << f.name;
    EXPECT_EQ(result.error(), "Failed to save " + path + ": " + f.text) << f.name;
    EXPECT_EQ(vault.read("n.md"), "the old content") << f.name;
    // No temporary file is left beside the note.
    EXPECT_EQ(folder_names(vault.path()), std::vector<std::string>{"n.md"}) << f.name;
  }
}

}  // namespace

}  // namespace server
