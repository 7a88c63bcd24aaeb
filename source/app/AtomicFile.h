// Whole-file replacement that survives a crash or power loss at any instant.
#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// Replaces the file at `path` with `text`. The text is written to a sibling
// file ("<path>.saving"), synced, renamed over `path`, and the directory is
// synced, so `path` is at every instant either the old file or the new one,
// whole. The new file keeps the old one's permission bits. False with
// `error` set when nothing was replaced.
bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error);

} // namespace quorvex
