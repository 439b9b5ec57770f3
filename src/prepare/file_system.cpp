// Home directory lookup, path joining and parents, mkdir -p and the directory sync of the
// writer; plain POSIX calls, errors as errno values for the writer to word.
#include "prepare/file_system.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/file_handles.hpp"

namespace rivezor::prepare {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text;
}

std::optional<std::string> home_directory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return std::string(home);
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int err = ::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < (std::size_t{1} << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (err != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0')
            return std::nullopt;
        return std::string(found->pw_dir);
    }
}

std::string join_path(const std::string& dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    std::string joined = dir;
    if (joined.back() != '/') joined += '/';
    joined += name;
    return joined;
}

std::string without_trailing_separators(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

int create_directories(const std::string& dir) {
    if (dir.empty()) return 0;
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    int err = errno;
    struct stat st{};
    if (err == EEXIST) return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : EEXIST;
    if (err != ENOENT) return err;
    const std::size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return err;
    const std::string parent = without_trailing_separators(dir.substr(0, slash == 0 ? 1 : slash));
    if (parent == dir) return err;
    if (const int parent_err = create_directories(parent); parent_err != 0) return parent_err;
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    err = errno;
    if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return err;
}

void sync_directory(const std::string& dir) {
    const UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) (void)::fsync(fd.get());
}

}  // namespace rivezor::prepare
