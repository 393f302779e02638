#include "main/channel/package_read.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_client_files.h"

namespace lumar {
namespace {

using test::FakeClientFiles;

TEST(ReadPackage, TheBoundIsKeptByTheHandleThatReads) {
  constexpr std::uint64_t kLimit = 16;
  struct Case {
    const char* name;
    FakeClientFiles::File file;
    std::string outcome;  // the bytes read, or the fault
    std::string watch;    // what the hash saw: the "whole" file, pieces then "lost", or "none"
  };
  const std::string at_limit(kLimit, 'a');
  const std::vector<Case> cases = {
      {"exactly the bound", {at_limit}, at_limit, "whole"},
      {"empty", {""}, "", "whole"},
      {"grew within the bound after the open", {"0123456789", 4}, "0123456789", "lost"},
      {"shrank after the open", {"0123", 10}, "0123", "whole"},
      {"grew past the bound after the open", {std::string(4096, 'g'), 4}, "too large", "lost"},
      {"said too large at the open", {"", kLimit + 1}, "too large", "none"},
      {"not on disk", {"", std::nullopt, false}, "not on disk", "none"},
      {"read fails",
       {"abc", std::nullopt, true, "The device is not ready. (os error 21)"},
       "The device is not ready. (os error 21)",
       "lost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClientFiles files;
    files.files["f"] = c.file;
    // What the hash saw: every piece in order, and whether it was told
    // that they moved or went away.
    struct RecordingHash final : IncrementalHash {
      std::string seen;
      bool was_lost = false;
      void arrived(std::span<const std::uint8_t> bytes) override {
        EXPECT_FALSE(was_lost);
        seen.append(bytes.begin(), bytes.end());
      }
      void lost() override { was_lost = true; }
    } hash;
    const Expected<Bytes, PackageReadError> read = read_package(files, "f", kLimit, &hash);
    std::string got;
    if (read.has_value()) {
      got.assign(read->begin(), read->end());
    } else if (read.error().fault == PackageReadFault::kTooLarge) {
      got = "too large";
    } else if (read.error().fault == PackageReadFault::kNotOnDisk) {
      got = "not on disk";
    } else {
      got = read.error().system_error;
    }
    EXPECT_EQ(got, c.outcome);
    EXPECT_EQ(hash.was_lost                            ? "lost"
              : hash.seen.empty() && !read.has_value() ? "none"
                                                       : "whole",
              c.watch);
    if (!hash.was_lost && read.has_value()) EXPECT_EQ(hash.seen, got);
    EXPECT_LE(files.bytes_read, kLimit + 1);
    EXPECT_EQ(files.opens.size(), 1u);
  }
}

}  // namespace
}  // namespace lumar
