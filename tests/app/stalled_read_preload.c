// Loaded with LD_PRELOAD by the stop-signal tests.  A FIFO inside the
// folder named by VELMO_TEST_STALLED_FOLDER passes for a regular file to
// fstat, and a positioned read of it waits for data like a plain read of
// the FIFO.  With a writer that never writes, that is a file whose read
// blocks, as a read from a network file system whose server stopped
// answering does, which no local file can be made to do.  Before such a
// read blocks, the file VELMO_TEST_STALLED_MARK is created, so that the
// test knows the program is waiting in it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int Stalled(int fd) {
  const char* folder = getenv("VELMO_TEST_STALLED_FOLDER");
  if (folder == NULL || *folder == '\0') return 0;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  const size_t length = strlen(folder);
  return strncmp(target, folder, length) == 0 && target[length] == '/';
}

static void Disguise(int fd, mode_t* mode) {
  if (S_ISFIFO(*mode) && Stalled(fd)) *mode = (*mode & ~S_IFMT) | S_IFREG;
}

// Whether `fd` is one of the disguised FIFOs: asked of the real fstat, as
// the folder also holds regular files, which read as usual.
static int Disguised(int fd) {
  struct stat st;
  static int (*real)(int, struct stat*);
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "fstat");  // the POSIX way to take a function
  return real(fd, &st) == 0 && S_ISFIFO(st.st_mode) && Stalled(fd);
}

int fstat(int fd, struct stat* st) {
  static int (*real)(int, struct stat*);
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "fstat");
  const int result = real(fd, st);
  if (result == 0) Disguise(fd, &st->st_mode);
  return result;
}

int fstat64(int fd, struct stat64* st) {
  static int (*real)(int, struct stat64*);
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "fstat64");
  const int result = real(fd, st);
  if (result == 0) Disguise(fd, &st->st_mode);
  return result;
}

static ssize_t StalledRead(int fd, void* buffer, size_t count) {
  const char* mark = getenv("VELMO_TEST_STALLED_MARK");
  if (mark != NULL && *mark != '\0') {
    const int made = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (made >= 0) close(made);
  }
  return read(fd, buffer, count);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static ssize_t (*real)(int, void*, size_t, off_t);
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "pread");
  if (Disguised(fd)) return StalledRead(fd, buffer, count);
  return real(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  static ssize_t (*real)(int, void*, size_t, off64_t);
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "pread64");
  if (Disguised(fd)) return StalledRead(fd, buffer, count);
  return real(fd, buffer, count, offset);
}
