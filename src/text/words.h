// Words of a line: the tokenizer every reader of commands and files uses,
// the case-insensitive prefix matching of keywords, and the two sets of
// white space characters.
#pragma once
#include <cstddef>
#include <string_view>

// Blank and tab: what separates words on a line.
constexpr bool txt_blank(char c) { return c == ' ' || c == '\t'; }
// White space as the C library's number conversions skip it: blank, tab,
// line feed, vertical tab, form feed, carriage return.
constexpr bool txt_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The letter in lower case (ASCII letters only; other bytes stay as they are).
constexpr char txt_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the cursor stands once the line is used up.
enum txt_cursor_rule {
  TXT_END_AT_NUL,   // on the NUL that ends the line
  TXT_END_NULLPTR,  // nullptr: a word that ended at the line end leaves no cursor
};

// Splits the next word off *cursor: skips a run of characters of `seps`,
// takes the characters up to the next one of `seps` or the end of the line,
// and replaces that one separator by NUL, the cursor moving past it. Returns
// the word, or nullptr when only separators remain (or *cursor is nullptr).
// With TXT_END_NULLPTR the cursor becomes nullptr when the word ended at the
// end of the line or none was left, so that a caller can tell a word that a
// separator ended from one that the line's end cut.
char* txt_word(char** cursor, const char* seps, txt_cursor_rule rule = TXT_END_AT_NUL);

// True when `word` equals the beginning of `name`, letters compared without
// regard to case (so a word longer than the name never matches).
bool txt_prefix(std::string_view word, std::string_view name);
// True when `word` equals `name`, letters compared without regard to case.
bool txt_equal(std::string_view word, std::string_view name);

// Results of txt_match besides a row index.
constexpr int TXT_UNKNOWN = -1;    // no row's name begins with the word
constexpr int TXT_AMBIGUOUS = -2;  // two or more do

// The row of `rows` whose name (the member `name`) the word begins: its
// index, TXT_UNKNOWN or TXT_AMBIGUOUS. The rows are scanned in order and
// the second matching row makes the word ambiguous, even when the two rows
// are aliases of one thing; an exact name wins no preference over a longer
// name it begins.
template <typename Rows, typename Name>
int txt_match(std::string_view word, const Rows& rows, Name name) {
  int found = TXT_UNKNOWN;
  int index = 0;
  for (const auto& row : rows) {
    if (txt_prefix(word, row.*name)) {
      if (found != TXT_UNKNOWN) return TXT_AMBIGUOUS;
      found = index;
    }
    ++index;
  }
  return found;
}
