#include "fuzz_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char scratch[FZ_SCRATCH_SLOTS][128];
char scratch_suffix[FZ_SCRATCH_SLOTS][32];
int scratch_used = 0;
char dir_path[128];
bool cleanup_registered = false;

void fz_cleanup() {
  for (int i = 0; i < scratch_used; ++i) std::remove(scratch[i]);
  if (dir_path[0] == '\0') return;
  if (DIR* d = opendir(dir_path)) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      char p[512];
      std::snprintf(p, sizeof p, "%s/%s", dir_path, e->d_name);
      std::remove(p);
    }
    closedir(d);
  }
  rmdir(dir_path);
}

void fz_register_cleanup() {
  if (cleanup_registered) return;
  cleanup_registered = true;
  std::atexit(fz_cleanup);
}

}  // namespace

void fz_fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void fz_quiet() {
  static bool done = false;
  if (done) return;
  done = true;
  // TOVHOST_FUZZ_VERBOSE=1 keeps the program's output, to see what one input does.
  const char* verbose = std::getenv("TOVHOST_FUZZ_VERBOSE");
  const bool keep = verbose != nullptr && verbose[0] == '1';
  if (!keep && std::freopen("/dev/null", "w", stdout) == nullptr) fz_fail("fz_quiet: cannot redirect stdout");
  if (std::freopen("/dev/null", "r", stdin) == nullptr) fz_fail("fz_quiet: cannot redirect stdin");
}

const char* fz_scratch_path(const char* suffix) {
  for (int i = 0; i < scratch_used; ++i)
    if (std::strcmp(scratch_suffix[i], suffix) == 0) return scratch[i];  // the same file as before
  if (scratch_used == FZ_SCRATCH_SLOTS) fz_fail("fz_scratch_path: too many scratch files");
  fz_register_cleanup();
  const int slot = scratch_used++;
  std::snprintf(scratch_suffix[slot], sizeof scratch_suffix[0], "%s", suffix);
  std::snprintf(scratch[slot], sizeof scratch[0], "/tmp/tovhost-fuzz-%ld%s", static_cast<long>(getpid()), suffix);
  return scratch[slot];
}

void fz_write_file(const char* path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) fz_fail("fz_write_file: cannot create the input file");
  if (size > 0 && std::fwrite(data, 1, size, f) != size) fz_fail("fz_write_file: short write");
  if (std::fclose(f) != 0) fz_fail("fz_write_file: close failed");
}

const char* fz_scratch_dir() {
  if (dir_path[0] != '\0') return dir_path;
  fz_register_cleanup();
  std::snprintf(dir_path, sizeof dir_path, "/tmp/tovhost-fuzz-%ld.d", static_cast<long>(getpid()));
  if (mkdir(dir_path, 0700) != 0) fz_fail("fz_scratch_dir: cannot create the directory");
  return dir_path;
}
