#include "platform/case_insensitive_open.h"

#include <dirent.h>
#include <fcntl.h>
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

}  // namespace

int OpenForReadingIgnoringCase(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const int exact = ::open(path, O_RDONLY | O_CLOEXEC);
  if (exact >= 0 || errno != ENOENT) return exact;

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
    fd = ::openat(folderFd, match.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) why = errno;
  }
  ::closedir(entries);  // closes folderFd too
  errno = why;
  return fd;
}

}  // namespace velmo
