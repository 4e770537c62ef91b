#include "text/files.h"

#include <sys/stat.h>

int txt_open_regular(const char* path, FILE** file) {
  *file = nullptr;
  if (path == nullptr) return TXT_OPEN_FAILED;
  struct stat st {};
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return TXT_OPEN_NOT_REGULAR;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return TXT_OPEN_FAILED;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return TXT_OPEN_NOT_REGULAR;
  }
  *file = f;
  return 0;
}
