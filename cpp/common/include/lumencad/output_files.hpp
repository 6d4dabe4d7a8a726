// Plain file-system work behind the builders' output files: checking that a
// GDS file is whole, finding out why a folder refuses writes, naming and
// clearing temporary files, opening log files without following links. No
// interpreter calls: paths are file-system encoded bytes.
#pragma once

#include <cstddef>
#include <string>

namespace lumencad {

// The outcome of walking a GDS file's records.
struct GdsCheck {
  bool complete = false;
  std::string problem;  // why not, e.g. "the file is empty"; empty when complete
};

// Walks GDS records as bytes arrive, so that a file need not be held whole.
// A GDS file is complete when its records (each a 2-byte big-endian length,
// even and at least 4, then the record type and data type) tile it exactly
// and the last one is ENDLIB.
class GdsRecordWalker {
 public:
  void feed(const unsigned char* data, std::size_t size);
  GdsCheck finish() const;

 private:
  std::size_t offset_ = 0;        // bytes consumed so far
  std::size_t record_start_ = 0;  // where the current (or last) record began
  std::size_t record_left_ = 0;   // bytes of the current record still to come
  unsigned char header_[4] = {};  // the current record's header, as far as read
  std::size_t header_fill_ = 0;   // header bytes read; 4 once it is complete
  bool last_is_endlib_ = false;
  std::string problem_;  // the first structural fault found
};

// Checks the file at `path`; when it cannot be read, returns incomplete and
// sets `*read_errno` (ENOENT when there is no such file), else sets it to 0.
GdsCheck check_gds_file(const char* path, int* read_errno);

// "dir/name.ext" -> "dir/.name.tmp-<pid>.ext": a hidden sibling on the same
// file system that keeps the extension, so that writers pick the same format.
std::string temp_sibling_path(const std::string& path, long pid);

// The folder part of `path` ("." when it has none).
std::string parent_folder(const std::string& path);

// Why writing into `folder` fails now: the errno of creating, writing and
// syncing a small hidden probe file there (removed again), or 0 when that
// works. File writers that swallow errno leave only this to go by.
int probe_write_errno(const std::string& folder, long pid);

// Removes the temporary siblings (named as temp_sibling_path names them)
// that processes no longer alive left in `folder`, e.g. after a SIGKILL.
// Best effort: a folder that cannot be read is left alone.
void remove_stale_temp_files(const std::string& folder, long self_pid);

// The permission bits of the regular file at `path`, or -1 when there is none
// (missing, or not a regular file: a link is replaced, not followed).
int regular_file_mode(const char* path);

// Opens the log file at `path` for writing (truncating it, or appending with
// `append`), creating it when missing. A symbolic link planted there is
// removed and replaced by a new file, never followed. Returns the descriptor,
// or -1 with errno set.
int open_log_file(const char* path, bool append);

// Writes all `size` bytes of `data` to `fd`, resuming after signals; returns
// 0 or the errno of the failure. `interrupted`, when given, is asked after
// each signal and stops the write with EINTR when it returns true.
int write_all(int fd, const void* data, std::size_t size, bool (*interrupted)() = nullptr);

}  // namespace lumencad
