#include "shell/completion.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "serial/port_name.h"
#include "serial/portlist.h"
#include "shell/shell.h"
#include "text/home.h"
#include "text/words.h"

namespace {

// A candidate: the replacement text and the name a listing shows.
using cpl_candidate = std::pair<std::string, std::string>;

void command_candidates(std::string_view word, std::vector<cpl_candidate>& out) {
  for (const command_entry& row : command_table)
    if (txt_prefix(word, row.name)) out.emplace_back(row.name, row.name);
}

void rate_candidates(std::string_view word, std::vector<cpl_candidate>& out) {
  for (long b : link_bauds) {
    std::string s = std::to_string(b);
    if (std::string_view(s).starts_with(word)) out.emplace_back(s, s);
  }
}

void port_candidates(std::string_view word, std::vector<cpl_candidate>& out) {
  std::vector<std::string> devices;
  port_devices(PORTLIST_SYSTEM_ROOTS, devices);
  char com[16];
  for (const std::string& d : devices) {
    if (std::string_view(d).starts_with(word)) out.emplace_back(d, d);
    // A port that has a COM name is offered by it too, in any case as
    // connect takes it.
    if (port_com_name(d, com, sizeof com) == 0 && txt_prefix(word, com)) out.emplace_back(com, com);
  }
}

// "~" and "~user" at the start of a file name stand for a home folder. The
// program opens names as they are written, so the completed name carries the
// folder itself.
std::string expand_tilde(std::string_view word) {
  if (word.empty() || word[0] != '~') return std::string(word);
  size_t slash = word.find('/');
  std::string user(word.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1));
  std::string home = txt_home(user);
  if (home.empty()) return std::string(word);
  if (home.back() != '/') home += '/';
  return slash == std::string_view::npos ? home : home + std::string(word.substr(slash + 1));
}

void file_candidates(std::string_view word, std::vector<cpl_candidate>& out) {
  const std::string path = expand_tilde(word);
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (name[0] == '.' && (base.empty() || base[0] != '.')) continue;
    if (!name.starts_with(base)) continue;
    // A comma or a tab would end the name on the command line.
    if (name.find_first_of(",\t\n") != std::string_view::npos) continue;
    std::string full = dir + std::string(name);
    struct stat st {};
    const bool folder = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    std::string shown(name);
    if (folder) {
      full += '/';
      shown += '/';
    }
    out.emplace_back(std::move(full), std::move(shown));
  }
  closedir(d);
}

}  // namespace

cpl_word cpl_find(std::string_view line) {
  // A line beginning with "." repeats the previous one: the rest is ignored.
  if (!line.empty() && line[0] == '.') return {CPL_NOTHING, line.size()};
  std::string copy(line);
  shell_args a{copy.data()};
  char* word = shell_take(a, SHELL_WORD_SEPS);
  if (word == nullptr) return {CPL_COMMAND, copy.size()};
  if (a.next == nullptr) return {CPL_COMMAND, static_cast<size_t>(word - copy.data())};
  if (std::strlen(word) >= static_cast<size_t>(SHELL_WORD_SIZE)) return {CPL_NOTHING, copy.size()};
  const int row = shell_match(word);
  // A command that takes no arguments completes none.
  if (row < 0 || command_table[row].kinds[0] == SHELL_ARG_NONE) return {CPL_NOTHING, copy.size()};
  for (const int kind : command_table[row].kinds) {
    word = shell_take(a, kind == CPL_FILE ? SHELL_FILE_SEPS : SHELL_WORD_SEPS);
    if (word == nullptr) return {kind, copy.size()};
    if (a.next == nullptr) return {kind, static_cast<size_t>(word - copy.data())};
  }
  return {CPL_NOTHING, copy.size()};
}

int cpl_complete(std::string_view line, cpl_result& r) {
  r = cpl_result{};
  const cpl_word w = cpl_find(line);
  r.start = w.start;
  const std::string_view word = line.substr(w.start);
  std::vector<cpl_candidate> found;
  switch (w.kind) {
    case CPL_COMMAND: command_candidates(word, found); break;
    case CPL_FILE: file_candidates(word, found); break;
    case CPL_PORT: port_candidates(word, found); break;
    case CPL_RATE: rate_candidates(word, found); break;
    default: break;
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  if (found.empty()) return 0;
  if (found.size() == 1) {
    r.text = found[0].first;
    // A file name may hold blanks, so nothing is added after it.
    if (w.kind != CPL_FILE) r.text += ' ';
    return 1;
  }
  const bool any_case = w.kind == CPL_COMMAND;
  size_t common = found[0].first.size();
  for (const cpl_candidate& c : found) {
    size_t i = 0;
    const std::string& a = found[0].first;
    const std::string& b = c.first;
    while (i < common && i < b.size() &&
           (any_case ? txt_lower(a[i]) == txt_lower(b[i]) : a[i] == b[i]))
      ++i;
    common = i;
  }
  r.text = found[0].first.substr(0, common);
  for (const cpl_candidate& c : found) r.choices.push_back(c.second);
  return static_cast<int>(found.size());
}
