// Model files: one gzip member (fixed 10-byte header, level 1) holding the
// little-endian encoding of a model record.
#pragma once

#include <string>

#include "core/file_gzip_stream.hpp"
#include "core/models.hpp"

namespace quibrel {

// `dir` joined with model_name + ".gz" by ordinary path joining (no
// normalisation; an absolute file name replaces dir).
std::string model_file_path(const std::string& dir, const std::string& model_name);

// Write the file, then return its canonical absolute path. OsFailure on
// operating-system errors; an existing file survives a failed save (see
// write_file_replacing). The orientation gives the entity count that the
// 32-bit pair keys are formed with (n_items for ItemCF, n_users for UserCF).
std::string save_cf_model(const CfModel& m, Orientation o, const std::string& file_path);
std::string save_swing_model(const SwingModel& m, const std::string& file_path);

// Read and decode the file; `canonical_path` receives its canonical absolute
// path. OsFailure / FormatFailure on errors.
CfModel load_cf_model(const std::string& file_path, std::string& canonical_path);
SwingModel load_swing_model(const std::string& file_path, std::string& canonical_path);

// The bytes a save would put in the file, written at `file`'s position into a
// file the caller owns (nothing synced, nothing replaced): a model file kept
// inside another file. Returns what was written.
ByteTally write_cf_model(const CfModel& m, Orientation o, FileHandle& file);
ByteTally write_swing_model(const SwingModel& m, FileHandle& file);

// A load from `range` of `file`, with the same checks; the range must hold
// the model file and may hold bytes after it, which are read but not used.
// `read` receives the tally of the whole range.
CfModel read_cf_model(FileHandle& file, const FileRange& range, ByteTally& read);
SwingModel read_swing_model(FileHandle& file, const FileRange& range, ByteTally& read);

}  // namespace quibrel
