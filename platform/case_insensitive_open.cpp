#include "platform/case_insensitive_open.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace velmo {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Other bytes, those of UTF-8 sequences included, must be equal: folding
// them would need the locale, and the names in question are ASCII.
bool EqualIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  return *a == *b;
}

// Only regular files are opened.  A FIFO would block the open until a
// writer comes (for ever, for a FIFO nobody writes), a device node can
// block or never end, a socket or a directory holds no file bytes.  The
// open itself does not block (O_NONBLOCK), so that what the name is can be
// asked first; anything but a regular file is then closed and fails as a
// missing file does.  A block device is refused too: reading a disk as a
// sound is never what the user meant, and it may sit on a slow or
// unplugged device.  The reads that follow block as usual.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

int KeepRegularFile(int fd) {
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = ENOENT;
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int why = errno;
    ::close(fd);
    errno = why;
    return -1;
  }
  return fd;
}

}  // namespace

int OpenForReadingIgnoringCase(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // An entry of exactly that name that is not a regular file fails the
  // open; no other entry is looked for, as none would be for a file.
  const int exact = ::open(path, kOpenFlags);
  if (exact >= 0) return KeepRegularFile(exact);
  if (errno == ENXIO || errno == ENODEV) {
    errno = ENOENT;  // a socket, or a device node with no device behind it
    return -1;
  }
  if (errno != ENOENT) return -1;

  const char* slash = std::strrchr(path, '/');
  const std::string folder = slash == nullptr ? "." : (slash == path ? "/" : std::string(path, slash));
  const char* name = slash == nullptr ? path : slash + 1;
  if (*name == '\0') {
    errno = ENOENT;
    return -1;
  }
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) {
    errno = ENOENT;
    return -1;
  }
  DIR* entries = ::fdopendir(folderFd);
  if (entries == nullptr) {
    ::close(folderFd);
    errno = ENOENT;
    return -1;
  }
  std::string match;
  int matches = 0;
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!EqualIgnoringAsciiCase(entry->d_name, name)) continue;
    if (++matches > 1) break;  // ambiguous: which one the user meant is unknown
    match = entry->d_name;
  }
  int fd = -1;
  int why = ENOENT;
  if (matches == 1) {
    fd = KeepRegularFile(::openat(folderFd, match.c_str(), kOpenFlags));
    if (fd < 0) why = (errno == ENXIO || errno == ENODEV) ? ENOENT : errno;
  }
  ::closedir(entries);  // closes folderFd too
  errno = why;
  return fd;
}

}  // namespace velmo
