#include "destination/sync.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t ext4 = 0xEF53;
constexpr int64_t xfs = 0x58465342;
constexpr int64_t tmpfs = 0x01021994;
constexpr int64_t fuse = 0x65735546;
constexpr int64_t nfs = 0x6969;
constexpr int64_t overlay = 0x794C7630;

TEST(SyncMethod, WholeFileSystemOnlyWhereSyncfsReportsWritebackErrors) {
  EXPECT_EQ(sync_method_for(ext4, "6.1.0-13-amd64"), SyncMethod::file_system);
  EXPECT_EQ(sync_method_for(xfs, "5.8.0"), SyncMethod::file_system);
  EXPECT_EQ(sync_method_for(ext4, "10.0"), SyncMethod::file_system);
  // syncfs() said nothing of writeback errors before 5.8.
  EXPECT_EQ(sync_method_for(ext4, "5.7.19"), SyncMethod::each_entry);
  EXPECT_EQ(sync_method_for(xfs, "3.10.0-1160.el7.x86_64"), SyncMethod::each_entry);
  EXPECT_EQ(sync_method_for(ext4, "4.19"), SyncMethod::each_entry);
  EXPECT_EQ(sync_method_for(ext4, "unknown"), SyncMethod::each_entry);
}

TEST(SyncMethod, FileSystemsThatPassSyncsOnAreSyncedEntryByEntry) {
  for (int64_t magic : {fuse, nfs, overlay})
    EXPECT_EQ(sync_method_for(magic, "6.12.0"), SyncMethod::each_entry) << std::hex << magic;
  EXPECT_EQ(sync_method_for(tmpfs, "6.12.0"), SyncMethod::none);
  EXPECT_EQ(sync_method_for(tmpfs, "3.10.0"), SyncMethod::none);
}

}  // namespace
