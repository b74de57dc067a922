#include "destination/mount_table.h"

#include <gtest/gtest.h>

namespace {

TEST(MountTable, FindsMountsAtOrBelowAPathOnly) {
  const std::string mountinfo =
      "22 1 8:1 / / rw,relatime - ext4 /dev/vda rw\n"
      "30 22 0:40 / /home/u/pkg rw - tmpfs tmpfs rw\n"
      "31 22 8:1 /srv/data /home/u/pkg/my\\040data rw - ext4 /dev/vda rw\n"
      "32 22 0:41 / /home/u/pkg2 rw - tmpfs tmpfs rw\n"
      "33 22 0:42 / /home/u rw - tmpfs tmpfs rw\n"
      "truncated line\n";
  EXPECT_EQ(mount_points_below(mountinfo, "/home/u/pkg"),
            (std::vector<std::string>{"/home/u/pkg", "/home/u/pkg/my data"}));
  EXPECT_TRUE(mount_points_below(mountinfo, "/home/u/pkg/lib").empty());
}

}  // namespace
