// The writer's file-system helpers: the home directory, paths joined and parents named the
// platform's way, directories created with their ancestors, and the directory sync after a rename.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rivezor::prepare {

// $HOME when set and non-empty, else the password database's entry for this user.
std::optional<std::string> home_directory();

// The path joined the platform's way: no separator after an empty or slash-ended directory.
std::string join_path(const std::string& dir, std::string_view name);

// The directory part the way a path library reports a parent: trailing separators dropped,
// except for the root itself.
std::string without_trailing_separators(std::string dir);

// mkdir -p: 0 on success (including when the directory already exists), else the errno of
// the first component that could not be created.
int create_directories(const std::string& dir);

// Makes a rename in `dir` durable; best effort (some file systems refuse to sync a directory,
// and the complete new file is in place either way).
void sync_directory(const std::string& dir);

// A NUL would silently cut the path short; such a name exists nowhere.
inline bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// strerror_r's text for an errno value.
std::string os_error_text(int err);

}  // namespace rivezor::prepare
