#include "app/AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace quorvex {
namespace {

std::string failure(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

} // namespace

bool writeFileAtomically(const std::string& path, std::string_view text, std::string& error) {
  const std::string saving = path + ".saving";
  struct stat old {};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0666;
  const int fd = ::open(saving.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    error = failure("cannot create", saving);
    return false;
  }
  // The mode given to open() passes through the umask; an existing file's
  // bits are carried over as they were.
  bool ok = (old.st_mode == 0 || ::fchmod(fd, mode) == 0) && writeAll(fd, text);
  if (!ok) {
    error = failure("cannot write", saving);
  } else if (::fsync(fd) != 0) {
    ok = false;
    error = failure("cannot sync", saving);
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = failure("cannot close", saving);
  }
  if (ok && ::rename(saving.c_str(), path.c_str()) != 0) {
    ok = false;
    error = failure("cannot rename over", path);
  }
  if (!ok) {
    ::unlink(saving.c_str());
    return false;
  }
  // The rename itself lasts only once the directory entry is on disk.
  const size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

} // namespace quorvex
