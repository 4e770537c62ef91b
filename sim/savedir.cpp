// The files of --save-dir, written as the device keeps them: conf.bin and
// rules.bin whole (through a temporary file), firmware.hex, packets.log and
// received.bin a piece at a time, each piece on disk before the device's
// answer goes out.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "frontend.h"

namespace {

constexpr int FILES = 5;

char dir_path[512];
bool have_dir = false;
FILE* open_files[FILES];  // firmware.hex, packets.log, received.bin while they are written
bool failed[FILES];       // one message per file, not one per piece

bool path_of(const char* name, char* out, size_t cap) {
  const int n = std::snprintf(out, cap, "%s/%s", dir_path, name);
  return n > 0 && static_cast<size_t>(n) < cap;
}

void save_whole(const char* name, const uint8_t* data, size_t count) {
  char path[600], tmp[610];
  if (!path_of(name, path, sizeof path)) return;
  std::snprintf(tmp, sizeof tmp, "%s.tmp", path);
  FILE* f = std::fopen(tmp, "wb");
  if (f == nullptr) {
    sim_log("cannot write %s: %s", tmp, std::strerror(errno));
    return;
  }
  const bool ok = std::fwrite(data, 1, count, f) == count;
  if (std::fclose(f) != 0 || !ok || rename(tmp, path) != 0) {
    sim_log("cannot write %s", path);
    unlink(tmp);
  }
}

void close_file(int file) {
  if (open_files[file] != nullptr) std::fclose(open_files[file]);
  open_files[file] = nullptr;
}

// The file open for pieces: begun empty with `start`, else appended to.
FILE* piece_file(int file, bool start) {
  if (start) close_file(file);
  if (open_files[file] != nullptr || failed[file]) return open_files[file];
  char path[600];
  if (!path_of(simdev::keep_names[file], path, sizeof path)) return nullptr;
  open_files[file] = std::fopen(path, start ? "wb" : "ab");
  if (open_files[file] == nullptr) {
    sim_log("cannot write %s: %s", path, std::strerror(errno));
    failed[file] = true;
  }
  return open_files[file];
}

}  // namespace

int savedir_open(const char* dir) {
  if (std::strlen(dir) >= sizeof dir_path - 32) {
    std::fprintf(stderr, "tovsim: --save-dir path too long\n");
    return -1;
  }
  if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "tovsim: cannot create %s: %s\n", dir, std::strerror(errno));
    return -1;
  }
  std::snprintf(dir_path, sizeof dir_path, "%s", dir);
  have_dir = true;
  // Files of an earlier run must not pass for this run's.
  for (const char* name : simdev::keep_names) {
    char path[600];
    if (path_of(name, path, sizeof path)) unlink(path);
  }
  return 0;
}

void savedir_apply(const simdev::keep& k) {
  if (!have_dir) return;
  const int file = k.file;
  switch (k.op) {
    case simdev::KEEP_SAVE:
      save_whole(simdev::keep_names[file], k.data, k.size);
      return;
    case simdev::KEEP_START:
      piece_file(file, true);
      return;
    case simdev::KEEP_APPEND: {
      FILE* f = piece_file(file, false);
      if (f == nullptr) return;
      std::fwrite(k.data, 1, k.size, f);
      std::fflush(f);  // on disk before the device answers
      return;
    }
    case simdev::KEEP_CLOSE:
      close_file(file);
      return;
  }
}

void savedir_close() {
  for (int i = 0; i < FILES; i++) close_file(i);
}
