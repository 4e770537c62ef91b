#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "text/home.h"

std::string txt_home(const std::string& user) {
  if (user.empty()) {
    const char* h = std::getenv("HOME");
    if (h != nullptr && h[0] != '\0') return h;
  }
  const passwd* pw = user.empty() ? getpwuid(getuid()) : getpwnam(user.c_str());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}
