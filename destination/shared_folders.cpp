#include "destination/shared_folders.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/context_error.h"

namespace {

// statfs's f_type of the file systems whose modes come from mount options.
constexpr int64_t mount_wide_modes[] = {
    0x4d44,      // FAT (msdos, vfat)
    0x2011BAB0,  // exFAT
    0x5346544e,  // NTFS (ntfs3, ntfs)
    0x65735546,  // FUSE: exfat-fuse, ntfs-3g and the like
};

bool modes_are_mount_wide(int fd) {
  struct statfs kind;
  // An O_PATH descriptor takes fstatfs only since Linux 3.12.
  if (fstatfs(fd, &kind) != 0) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (statfs(link, &kind) != 0) return false;
  }
  for (int64_t magic : mount_wide_modes)
    if (static_cast<int64_t>(kind.f_type) == magic) return true;
  return false;
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

void refuse_folder_others_can_change(const Directory& folder) {
  struct stat info;
  // One that cannot even be looked at fails where it is written to.
  if (fstat(folder.fd.get(), &info) != 0) return;
  if (!(info.st_mode & S_IWOTH) || (info.st_mode & S_ISVTX)) return;
  std::string why = ": any user may swap what the installer puts there";
  if (modes_are_mount_wide(folder.fd.get())) {
    uid_t user = geteuid();
    if (user != 0 && info.st_uid == user) return;
    why += " (its file system gives everyone write access, mode " + octal(info.st_mode) +
           "); mount it without that (umask=022)";
    if (info.st_uid != 0) why += ", or run the installer as the user it is mounted for";
  } else {
    why += " (mode " + octal(info.st_mode) +
           ", no sticky bit); run chmod o-w (or chmod +t) on it first";
  }
  throw ContextError("folder writable by other users", folder.shown + why);
}
