// The manual pages cannot fall behind the programs: every command of the
// console's command table is described, with its arguments, under COMMANDS
// in tovhost(1), and every option that "tovhost --help" and "tovsim --help"
// list appears under OPTIONS in their pages.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"
#include "shell/shell.h"

namespace {

std::string man_page(const char* name) { return read_file(std::string(TOVHOST_MAN_DIR) + "/" + name); }

// The words of an mdoc line: blanks separate them, quotes group them, and
// the zero-width escape \& is dropped ("Cm \&." is the command ".").
std::vector<std::string> man_words(const std::string& line) {
  std::vector<std::string> out;
  std::string w;
  bool quoted = false, any = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && line[i + 1] == '&') {
      ++i;
      any = true;
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) out.push_back(w);
      w.clear();
      any = false;
    } else {
      w += c;
      any = true;
    }
  }
  if (any) out.push_back(w);
  return out;
}

// The lines of section `name` (".Sh name" up to the next ".Sh").
std::vector<std::string> man_section(const std::string& page, const std::string& name) {
  std::vector<std::string> out;
  std::istringstream in(page);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind(".Sh ", 0) == 0) {
      inside = line.substr(4) == name;
      continue;
    }
    if (inside) out.push_back(line);
  }
  return out;
}

// The words that follow each `macro` on a line ("Fl h , Fl -help" gives "h"
// and "-help" for Fl).
std::vector<std::string> after_macro(const std::vector<std::string>& words, const std::string& macro) {
  std::vector<std::string> out;
  for (size_t i = 0; i + 1 < words.size(); ++i)
    if (words[i] == macro) out.push_back(words[i + 1]);
  return out;
}

// The options a usage text lists: on each line that begins with blanks and
// then '-', the words before the first run of two blanks (the description)
// that begin with '-', cut at ',', '=' or '['. A text that is no usage (the
// console's banner and command summary) gives none.
std::vector<std::string> usage_options(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == 0 || start == std::string::npos || line[start] != '-') continue;
    std::string spec = line.substr(start);
    const size_t gap = spec.find("  ");
    if (gap != std::string::npos) spec.resize(gap);
    std::istringstream words(spec);
    std::string w;
    while (words >> w) {
      if (w[0] != '-') continue;
      const size_t cut = w.find_first_of(",=[");
      if (cut != std::string::npos) w.resize(cut);
      if (w.size() > 1) out.push_back(w);
    }
  }
  return out;
}

// The option words (Fl arguments) of the OPTIONS section of a page.
std::set<std::string> page_options(const std::string& page) {
  std::set<std::string> out;
  for (const std::string& line : man_section(page, "OPTIONS"))
    for (const std::string& w : after_macro(man_words(line), "Fl")) out.insert(w);
  return out;
}

// Checks that every option the program's --help prints is in the page.
// Returns how many were checked.
size_t check_options(const std::string& program, const std::string& page_name) {
  const std::string page = man_page(page_name.c_str());
  // A program without options starts its console on --help: "exit" ends it.
  const prog_result r = run_program(program, {"--help"}, "exit\n", 20.0);
  EXPECT_FALSE(r.timed_out);
  const std::set<std::string> documented = page_options(page);
  const std::vector<std::string> options = usage_options(r.out + r.err);
  for (const std::string& opt : options)
    EXPECT_TRUE(documented.count(opt.substr(1)) == 1)
        << program << " --help lists " << opt << ", which " << page_name << " does not describe under OPTIONS";
  return options.size();
}

TEST(ManPage, PagesAreBuilt) {
  EXPECT_NE(man_page("tovhost.1").find(".Sh COMMANDS"), std::string::npos);
  EXPECT_NE(man_page("tovsim.1").find(".Sh OPTIONS"), std::string::npos);
}

TEST(ManPage, EveryCommandWithItsArguments) {
  const std::vector<std::string> section = man_section(man_page("tovhost.1"), "COMMANDS");
  ASSERT_FALSE(section.empty());
  std::vector<std::vector<std::string>> items;  // the words of each .It line
  for (const std::string& line : section)
    if (line.rfind(".It ", 0) == 0) items.push_back(man_words(line));
  for (const command_entry& row : command_table) {
    // The .It line that names the command, and the arguments on it.
    const std::vector<std::string>* found = nullptr;
    for (const auto& words : items) {
      const std::vector<std::string> names = after_macro(words, "Cm");
      for (const std::string& n : names)
        if (n == row.name) found = &words;
      if (found != nullptr) break;
    }
    if (found == nullptr) {
      ADD_FAILURE() << "command \"" << row.name << "\" is missing from COMMANDS in tovhost(1)";
      continue;
    }
    std::string args = row.args;
    for (char& c : args)
      if (c == '[' || c == ']') c = ' ';
    std::vector<std::string> want;
    std::istringstream in(args);
    for (std::string w; in >> w;) want.push_back(w);
    EXPECT_EQ(after_macro(*found, "Ar"), want) << "arguments of \"" << row.name << "\" in tovhost(1)";
  }
}

TEST(ManPage, UsageOptionsAreRead) {
  // The form the programs print their options in.
  EXPECT_EQ(usage_options("usage: prog [options]\n"
                          "  -c, --command CMD      run CMD, then end -- not an option\n"
                          "  --save-dir DIR           keep files\n"
                          "  --opt=VALUE, -o[=N]  what it does\n"
                          "\t\t\t\tonce connected. Default [ ]\n"
                          "           Valid Baud Rates:\t4800 9600\n"
                          "Command> -x\n"),
            (std::vector<std::string>{"-c", "--command", "--save-dir", "--opt", "-o"}));
}

TEST(ManPage, EveryTovhostOption) {
  const size_t n = check_options(tovhost_path(), "tovhost.1");
  RecordProperty("options_checked", static_cast<int>(n));
}

TEST(ManPage, EveryTovsimOption) {
  // tovsim lists some two dozen options; fewer means its usage was misread.
  EXPECT_GE(check_options(tovsim_path(), "tovsim.1"), 20u);
}

}  // namespace
