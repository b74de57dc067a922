#include "pack/payload_archive.h"

#include <zip.h>

#include <ctime>
#include <memory>

#include "archive/context_error.h"

namespace {

struct ArchiveDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ArchiveHandle = std::unique_ptr<zip_t, ArchiveDiscarder>;

struct SourceFreer {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using SourceHandle = std::unique_ptr<zip_source_t, SourceFreer>;

[[noreturn]] void fail(zip_t* archive, const std::string& where) {
  throw ContextError("cannot write archive", where + ": " + zip_strerror(archive));
}

ArchiveHandle open_archive(const std::string& path, int flags) {
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), flags, &code);
  if (!archive) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw ContextError("cannot write archive", path + ": " + reason);
  }
  return ArchiveHandle(archive);
}

// zip_close is where libzip reads the files and writes the archive. When
// it fails the archive stays open, and the handle discards it.
void close_archive(ArchiveHandle archive, const std::string& path) {
  if (zip_close(archive.get()) != 0) fail(archive.get(), path);
  archive.release();
}

SourceHandle file_source(zip_t* archive, const PackEntry& entry) {
  SourceHandle source(zip_source_file(archive, entry.path.c_str(), 0, -1));
  if (!source) fail(archive, entry.path);
  return source;
}

zip_uint64_t add_member(zip_t* archive, const PackEntry& entry) {
  zip_int64_t index;
  if (entry.is_directory()) {
    index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_GUESS);
  } else {
    SourceHandle source = file_source(archive, entry);
    index = zip_file_add(archive, entry.name.c_str(), source.get(), ZIP_FL_ENC_GUESS);
    if (index >= 0) source.release();  // the archive owns it now
  }
  if (index < 0) fail(archive, entry.path);
  return static_cast<zip_uint64_t>(index);
}

// Times and attributes are always set: libzip would otherwise give
// directories the current time, and replaced data its file's time.
void describe_member(zip_t* archive, zip_uint64_t index, const PackEntry& entry,
                     const PayloadSettings& settings) {
  time_t when = static_cast<time_t>(settings.fixed_time ? *settings.fixed_time : entry.mtime);
  zip_uint32_t attributes = static_cast<zip_uint32_t>(entry.mode) << 16;
  if (zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX, attributes) != 0 ||
      zip_file_set_mtime(archive, index, when, 0) != 0)
    fail(archive, entry.path);
  if (entry.is_directory()) return;
  // An empty file cannot shrink; storing it now saves the second pass.
  bool store = settings.level == 0 || entry.size == 0;
  if (zip_set_file_compression(archive, index, store ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                               store ? 0 : static_cast<zip_uint32_t>(settings.level)) != 0)
    fail(archive, entry.path);
}

bool deflated_without_shrinking(zip_t* archive, zip_uint64_t index, const PackEntry& entry) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0) fail(archive, entry.path);
  return stat.comp_method != ZIP_CM_STORE && stat.comp_size >= stat.size;
}

// How well a file deflates is known only once libzip has written it, so
// the archive is read back, and members that did not shrink get their
// file's bytes again, stored; libzip copies the others as they are. Fresh
// data rather than a change of method: libzip would give a recompressed
// member ZIP64 fields, not knowing its size in advance.
void store_what_did_not_shrink(const std::string& path, const std::vector<PackEntry>& entries,
                               const PayloadSettings& settings) {
  ArchiveHandle archive = open_archive(path, 0);
  PayloadSettings stored = settings;
  stored.level = 0;
  bool changed = false;
  for (zip_uint64_t index = 0; index < entries.size(); ++index) {
    const PackEntry& entry = entries[index];
    if (entry.is_directory() || !deflated_without_shrinking(archive.get(), index, entry)) continue;
    SourceHandle source = file_source(archive.get(), entry);
    if (zip_file_replace(archive.get(), index, source.get(), 0) != 0)
      fail(archive.get(), entry.path);
    source.release();
    describe_member(archive.get(), index, entry, stored);
    changed = true;
  }
  if (changed) close_archive(std::move(archive), path);
}

}  // namespace

void write_payload_archive(const std::string& path, const std::vector<PackEntry>& entries,
                           const PayloadSettings& settings) {
  ArchiveHandle archive = open_archive(path, ZIP_CREATE | ZIP_TRUNCATE);
  for (const PackEntry& entry : entries)
    describe_member(archive.get(), add_member(archive.get(), entry), entry, settings);
  close_archive(std::move(archive), path);
  if (settings.level != 0) store_what_did_not_shrink(path, entries, settings);
}
