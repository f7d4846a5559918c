// Saving over a file without putting the old content at risk: the new content
// goes to a temporary file beside the target and replaces the target by a
// rename only once it is complete and on the device.
#pragma once

#include <functional>
#include <string>

#include "core/file_gzip_stream.hpp"

namespace quibrel {

// Calls write(file) to produce the new content of `path`; returns once `path`
// holds it. When anything fails (the write, the flush, an exception from
// `write`) the target is left as it was and the temporary file is removed.
//
// Symbolic links are followed: the file they lead to is replaced and the links
// stay. A replaced file keeps its permission bits and, where the caller may set
// them, its owner and group. The target is truncated and written in place
// instead, as by a plain create, where a replacement would not act like
// writing the file: no temporary file can be made in its directory (no write
// permission, read-only file system, a name too long), its owner cannot be
// kept, it is not a regular file (a device, a pipe), it has several hard links,
// or the caller may not write to it (the in-place create then reports that).
void write_file_replacing(const std::string& path, const std::function<void(FileHandle&)>& write);

}  // namespace quibrel
