#include "kivo/recording_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "scratch_folder.h"

namespace kivo {
namespace {

// The metadata vouches for what the sample file holds: whole blocks and
// slots from its length, and its own failed writes, whatever the caller's
// totals said of them; the counts the recording shares are taken as given.
TEST(RecordingFile, TheMetadataCountsWhatTheFileHoldsAndItsFailedWrites) {
  kivo_test::TempDir folder("recording_file");
  const Geometry g = make_geometry(2);
  const std::string path = folder.str() + "/r_kivo_samples.dat";
  RecordingFile file;
  ASSERT_EQ(file.create(path, FileMode::create_new, static_cast<uint64_t>(g.stamped_block_bytes)), 0);
  ASSERT_EQ(file.start_metadata(make_metadata(FileKind::raw, 2, 1234, read_time_now(), path)), 0);
  const std::vector<uint8_t> block(static_cast<size_t>(g.stamped_block_bytes), 7);
  ASSERT_EQ(file.append(block.data(), block.size()), 0);
  ASSERT_EQ(file.append(block.data(), block.size()), 0);
  file.count_failed_write(ENOSPC);
  file.end();
  EXPECT_FALSE(file.is_open());
  EXPECT_FALSE(file.blocks_lost_to_removal().has_value());
  EXPECT_EQ(file.close_error(), 0);

  RecordingTotals shared;
  shared.datagrams_received = 2500;
  shared.write_errors = 9;
  ASSERT_EQ(file.finish_metadata(shared, EndReason::closed), 0);
  const Metadata m = parse_metadata_json(kivo_test::file_text(file.metadata_path()));
  EXPECT_EQ(m.totals.blocks_written, 2U);
  EXPECT_EQ(m.totals.slots_written, 2000U);
  EXPECT_EQ(m.totals.write_errors, 1U);
  EXPECT_EQ(m.totals.datagrams_received, 2500U);
  EXPECT_EQ(m.end, EndReason::closed);
  EXPECT_EQ(file.last_write_error(), ENOSPC);
}

}  // namespace
}  // namespace kivo
