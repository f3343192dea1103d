// Files below a device root, reached without following a symbolic link. The simulator often
// runs as root in a directory that other users can write to; every directory on the way from
// the root to an entry is opened with openat and O_NOFOLLOW, so a link planted where the
// simulator expects a directory fails the operation instead of leading it out of the root.
// The root directory itself is taken as given (RootClaim checks it).
//
// Paths are absolute and must lie below `root` ("<root>/<relative>", no "." or ".."
// components). Failures throw std::runtime_error naming the path, except where a function
// returns its failure. Threading: no shared state; callers serialise changes of one tree.
#pragma once

#include <string>

namespace kav::sim {

// Creates the directory `path` and its missing parents below `root` (mode 0755).
void make_dirs_below(const std::string& root, const std::string& path);

// Creates or truncates the plain file `path` and writes `text`; a link in its place is refused.
void write_file_below(const std::string& root, const std::string& path, const std::string& text);

// Creates the symbolic link `link` to `target` (taken as text, never resolved).
void make_link_below(const std::string& root, const std::string& target, const std::string& link);

// Removes `path`: a file or a link itself, a directory with everything below it. Links are
// removed, never followed. A missing path is no failure. Returns the failure text (naming the
// path), or empty.
std::string remove_below(const std::string& root, const std::string& path);

// The first symbolic link on the way from `root` to `path`, `path` included, as an absolute
// path; empty when there is none (missing parts end the walk).
std::string first_link_below(const std::string& root, const std::string& path);

// Removes the empty directories below `dir` (bottom-up), and `dir` itself when it ends empty.
// `dir` itself must not be a link; nothing below it is followed.
void prune_empty_below(const std::string& dir);

}  // namespace kav::sim
