// The home folder (POSIX systems; the Windows build has no caller).
#pragma once
#include <string>

// Home folder of the current user when `user` is empty ($HOME when set and
// not empty, else the password database), or of the named user; empty when
// unknown.
std::string txt_home(const std::string& user = "");
