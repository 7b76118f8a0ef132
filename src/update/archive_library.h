#pragma once

#include <archive.h>
#include <archive_entry.h>

// libarchive, opened the first time an archive is read or written rather
// than linked: it brings libxml2, ICU and seven more libraries, which a
// helper that never installs an update would otherwise carry all its life.
namespace zefra::update {

#define ZEFRA_ARCHIVE_FUNCTIONS(X)   \
  X(archive_error_string)            \
  X(archive_read_new)                \
  X(archive_read_free)               \
  X(archive_read_support_format_zip) \
  X(archive_read_open_fd)            \
  X(archive_read_next_header)        \
  X(archive_read_data_block)         \
  X(archive_write_disk_new)          \
  X(archive_write_disk_set_options)  \
  X(archive_write_new)               \
  X(archive_write_free)              \
  X(archive_write_set_format_zip)    \
  X(archive_write_open_filename)     \
  X(archive_write_header)            \
  X(archive_write_data)              \
  X(archive_write_data_block)        \
  X(archive_write_finish_entry)      \
  X(archive_write_close)             \
  X(archive_entry_new)               \
  X(archive_entry_free)              \
  X(archive_entry_pathname)          \
  X(archive_entry_filetype)          \
  X(archive_entry_hardlink)          \
  X(archive_entry_perm)              \
  X(archive_entry_symlink)           \
  X(archive_entry_size_is_set)       \
  X(archive_entry_size)              \
  X(archive_entry_set_pathname)      \
  X(archive_entry_set_filetype)      \
  X(archive_entry_set_perm)          \
  X(archive_entry_set_mtime)         \
  X(archive_entry_set_symlink)       \
  X(archive_entry_set_size)

// The functions the zip code calls, each under libarchive's own name.
struct ArchiveLibrary {
#define ZEFRA_ARCHIVE_MEMBER(name) decltype(&::name) name;
  ZEFRA_ARCHIVE_FUNCTIONS(ZEFRA_ARCHIVE_MEMBER)
#undef ZEFRA_ARCHIVE_MEMBER
};

// The library, opened on the first call and kept for the life of the
// process; nullptr when it cannot be opened or lacks a function (logged once).
const ArchiveLibrary* archiveLibrary();

}  // namespace zefra::update
