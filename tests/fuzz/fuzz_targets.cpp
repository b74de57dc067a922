#include "tests/fuzz/fuzz_targets.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "extract/extractor.h"

namespace {

constexpr uint64_t read_budget = uint64_t{16} << 20;

struct Enough {};

[[noreturn]] void broken(const std::string& promise, const std::string& path) {
  std::fprintf(stderr, "broken promise: %s: %s\n", promise.c_str(), path.c_str());
  std::abort();
}

// The bytes as a file read in place, as the installer reads itself.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("archive", MFD_CLOEXEC)) {
    if (!fd_.valid()) throw std::logic_error("memfd_create failed");
    for (size_t done = 0; done < size;) {
      ssize_t written = write(fd_.get(), data + done, size - done);
      if (written <= 0) throw std::logic_error("cannot write the memory file");
      done += static_cast<size_t>(written);
    }
  }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

 private:
  FileDescriptor fd_;
};

void read_bounded(Archive& archive, const MemberInfo& member, uint64_t& budget) {
  archive.read_chunks(member, [&budget](const char*, size_t size) {
    if (size > budget) throw Enough{};
    budget -= size;
  });
}

void read_every_member(Archive& archive) {
  uint64_t budget = read_budget;
  for (const MemberInfo& member : archive.members()) {
    try {
      read_bounded(archive, member, budget);
    } catch (const std::runtime_error&) {
    }
    try {
      read_bounded(archive, archive.member_info(member.name), budget);
    } catch (const std::runtime_error&) {
    }
  }
}

std::string scratch_root() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/morrowline-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::logic_error("mkdtemp failed");
  // Members cannot fill the disk, however well they deflate.
  struct rlimit limit = {size_t{1} << 20, size_t{1} << 20};
  setrlimit(RLIMIT_FSIZE, &limit);
  return pattern;
}

void remove_all(const std::string& path) {
  // Read-only directories from an archive must open up to go.
  nftw(path.c_str(), [](const char* entry, const struct stat*, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(entry, 0700);
    return 0;
  }, 64, FTW_PHYS);
  nftw(path.c_str(), [](const char* entry, const struct stat*, int, struct FTW*) {
    return remove(entry);
  }, 64, FTW_PHYS | FTW_DEPTH);
}

std::vector<std::string> entries_of(const std::string& directory) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(directory.c_str()), closedir);
  if (!listing) return names;
  while (struct dirent* found = readdir(listing.get()))
    if (std::strcmp(found->d_name, ".") && std::strcmp(found->d_name, "..")) names.push_back(found->d_name);
  return names;
}

// Every entry below `root` resolves inside it and is not ours to have left.
void check_tree(const std::string& root, const std::string& directory) {
  for (const std::string& name : entries_of(directory)) {
    std::string path = directory + "/" + name;
    if (name.compare(0, 12, ".morrowline-") == 0) broken("no temporary or staging entry", path);
    struct stat entry;
    if (lstat(path.c_str(), &entry) != 0) continue;
    if (S_ISLNK(entry.st_mode)) {
      // The run makes no links; only the two planted ones may be here.
      if (path != root + "/out" && path != root + "/abs") broken("no link made", path);
      continue;
    }
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), free);
    if (!resolved || std::string(resolved.get()).compare(0, root.size() + 1, root + "/") != 0)
      broken("every path inside resolves inside", path);
    if (S_ISDIR(entry.st_mode)) {
      chmod(path.c_str(), 0700);  // a member may have locked it
      check_tree(root, path);
    }
  }
}

}  // namespace

void fuzz_archive(const uint8_t* data, size_t size) {
  MemoryFile file(data, size);
  try {
    Extractor extractor("");
    if (extractor.load_archive(file.path())) read_every_member(*extractor.archive);
  } catch (const std::runtime_error&) {
  }
  // The same bytes held in memory, as stream callers load them.
  try {
    Extractor extractor("");
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    if (size > 65557) in.seekg(static_cast<std::streamoff>(size - 65557));
    if (extractor.read_archive(in)) read_every_member(*extractor.archive);
  } catch (const std::runtime_error&) {
  }
}

void fuzz_extract(const uint8_t* data, size_t size) {
  static const std::string root = scratch_root();
  static unsigned runs = 0;
  std::string run = root + "/" + std::to_string(++runs);
  std::string destination = run + "/dest";
  std::string outside = run + "/outside";
  for (const std::string& directory : {run, destination, outside, destination + "/pkg"})
    mkdir(directory.c_str(), 0755);
  std::ofstream(outside + "/sentinel") << "untouched";
  std::ofstream(destination + "/pkg/old.txt") << "an older install";
  symlink("../outside", (destination + "/out").c_str());
  symlink(outside.c_str(), (destination + "/abs").c_str());
  char real[PATH_MAX];
  if (!realpath(destination.c_str(), real)) throw std::logic_error("realpath failed");

  MemoryFile file(data, size);
  try {
    Extractor extractor("");
    if (extractor.load_archive(file.path())) extractor.extract_all(destination);
  } catch (const std::runtime_error&) {
  }

  std::vector<std::string> beside = entries_of(run);
  if (beside.size() != 2) broken("nothing outside the destination", run);
  std::vector<std::string> in_outside = entries_of(outside);
  std::ifstream sentinel(outside + "/sentinel");
  std::string kept((std::istreambuf_iterator<char>(sentinel)), std::istreambuf_iterator<char>());
  if (in_outside.size() != 1 || kept != "untouched") broken("nothing written outside", outside);
  check_tree(real, real);
  remove_all(run);
}
