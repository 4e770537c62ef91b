// Angle parser: turns latitude, longitude and other angle text written in
// Colon, Dotted or DMC notation into signed decimal degrees.
#include "angles/angles.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text/numbers.h"
#include "text/words.h"

namespace {

constexpr double angle_bound = 360.0;
constexpr double sec_to_deg = 0.0002777777777777778;   // 1/3600
constexpr double min_to_deg = 0.016666666666666666;    // 1/60
constexpr float part_limit = 60.0f;

// Significant digits kept by the real conversion; more cannot change a
// value that ends up in a float.
constexpr int real_digits_max = 40;
// Bound on the decimal exponent gathered while reading digits, so that an
// absurdly long run of digits cannot overflow the counter.
constexpr int real_exp_max = 100000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
// White space skipped before a number; a newline ends the text instead.
bool is_space(char c) { return c != '\n' && txt_space(c); }

// Stores a part in single precision without leaving the float range.
float to_part(double v) {
  if (v > FLT_MAX) return FLT_MAX;
  if (v < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(v);
}

// Integer conversion: white space, optional sign, decimal digits; stops at
// the first other character (a field never holds a newline before its
// number). Saturates instead of overflowing. A minus sign gives -0.0 for a
// zero value, so the sign is never lost.
double conv_int(const char* p) {
  const auto v = static_cast<double>(txt_int(p, 10, INT64_MIN, INT64_MAX));
  while (is_space(*p)) ++p;
  return *p == '-' && v == 0.0 ? -0.0 : v;
}

// Real conversion: white space, optional sign, digits, a decimal point and
// digits; stops at the first character that cannot continue the number (no
// exponent, no hexadecimal, no names). No number gives 0. The digits are
// gathered into a short normalised form and converted with correct rounding.
double conv_real(const char* p) {
  while (is_space(*p)) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = (*p++ == '-');
  char digits[real_digits_max + 1];
  int nd = 0;
  int exp10 = 0;
  for (; is_digit(*p); ++p) {
    if (nd == 0 && *p == '0') continue;
    if (nd < real_digits_max) {
      digits[nd++] = *p;
    } else if (exp10 < real_exp_max) {
      ++exp10;
    }
  }
  if (*p == '.') {
    for (++p; is_digit(*p); ++p) {
      if (nd < real_digits_max) {
        if (nd > 0 || *p != '0') digits[nd++] = *p;
        if (exp10 > -real_exp_max) --exp10;
      }
    }
  }
  double v = 0.0;
  if (nd > 0) {
    char text[real_digits_max + 16];
    std::snprintf(text, sizeof text, "%.*se%d", nd, digits, exp10);
    v = std::strtod(text, nullptr);  // overflow gives HUGE_VAL, underflow 0
  }
  return neg ? -v : v;
}

// The first character of `set` that occurs in `text`, or NUL.
char first_of(const char* text, const char* set) {
  for (const char* s = set; *s != '\0'; ++s) {
    if (std::strchr(text, *s) != nullptr) return *s;
  }
  return '\0';
}

enum class notation { colon, dotted, dmc };

}  // namespace

double dmctodeg(const char* text) {
  if (text == nullptr || text[0] == '\0') {
    std::printf("dmctodeg: Error: invalid param inp\n");
    return FLT_MAX;
  }

  int minus = 0, colons = 0, periods = 0, alphas = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '-') ++minus;
    else if (*p == ':') ++colons;
    else if (*p == '.') ++periods;
    else if (is_alpha(*p)) ++alphas;
  }

  bool south_west = false;
  notation kind;
  if (minus > 1) {
    std::printf("\a\aError: too man minus signs: %d: only one is allowed\n", minus);
    return FLT_MAX;
  }
  if (colons > 0) {
    if (colons != 2) {
      std::printf("\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n");
      return FLT_MAX;
    }
    if (periods > 1) {
      std::printf("\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n");
      return FLT_MAX;
    }
    if (alphas > 0) {
      std::printf("\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n");
      return FLT_MAX;
    }
    kind = notation::colon;
  } else if (alphas == 0) {
    if (periods == 0) {
      std::printf("\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n");
      return FLT_MAX;
    }
    if (periods != 2) {
      std::printf("\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
                  "\tor DMC format must have at least one of [DdMmCc] identifiers\n");
      return FLT_MAX;
    }
    kind = notation::dotted;
  } else {
    if (std::strpbrk(text, "DdMmCc") == nullptr) {
      std::printf("\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
                  "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n");
      return FLT_MAX;
    }
    const char north_east = first_of(text, "NnEe");
    const char sw = first_of(text, "SsWw");
    if (minus == 1) {
      const char dir = north_east != '\0' ? north_east : sw;
      if (dir != '\0') {
        std::printf("\a\aError: DMC format: both minus (-) and direction char %c cannot be specified\n", dir);
        return FLT_MAX;
      }
    } else if (north_east != '\0' && sw != '\0') {
      std::printf("\a\aError: DMC format: both direction chars %c and %c cannot be specified\n", north_east, sw);
      return FLT_MAX;
    }
    south_west = sw != '\0';
    kind = notation::dmc;
  }

  float deg = 0.0f, min = 0.0f, sec = 0.0f;
  bool have_deg = false, have_min = false, have_sec = false;
  const char* field = text;
  const char* p = text;
  bool finished = false;  // Colon and Dotted stop at their second separator
  int separators = 0;

  for (; *p != '\0' && *p != '\n' && !finished; ++p) {
    const char c = *p;
    if (kind == notation::colon) {
      if (c != ':') continue;
      if (separators++ == 0) {
        deg = to_part(conv_int(field));
        field = p + 1;
      } else {
        min = to_part(conv_int(field));
        sec = to_part(conv_real(p + 1));
        finished = true;
      }
    } else if (kind == notation::dotted) {
      if (c != '.') continue;
      if (separators++ == 0) {
        deg = to_part(conv_int(field));
        field = p + 1;
      } else {
        // The digits between the periods, the second period and the digits
        // after it read as one decimal number of minutes.
        min = to_part(conv_real(field));
        finished = true;
      }
    } else {
      switch (c) {
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
        case '+': case '-': case '.': case ' ': case '\t':
          break;
        case 'D': case 'd':
          if (have_deg) {
            std::printf("\a\aError: DMC format: already have degrees (%f)\n", static_cast<double>(deg));
            return FLT_MAX;
          }
          // The field ends at the letter, which the conversion never reads.
          deg = to_part(conv_real(field));
          have_deg = true;
          field = p + 1;
          break;
        case 'M': case 'm':
          if (have_min) {
            std::printf("\a\aError: DMC format: already have minutes (%f)\n", static_cast<double>(min));
            return FLT_MAX;
          }
          min = to_part(conv_real(field));
          have_min = true;
          field = p + 1;
          break;
        case 'C': case 'c':
          if (have_sec) {
            std::printf("\a\aError: DMC format: already have seconds (%f)\n", static_cast<double>(sec));
            return FLT_MAX;
          }
          sec = to_part(conv_real(field));
          have_sec = true;
          field = p + 1;
          break;
        case 'N': case 'n': case 'E': case 'e':
        case 'S': case 's': case 'W': case 'w':
          field = p + 1;
          break;
        default: {
          const unsigned uc = static_cast<unsigned char>(c);
          std::printf("\a\aError: DMC format: invalid char: %c (0x%02x)\n", c, uc);
          return FLT_MAX;
        }
      }
    }
  }
  // The walk ran to the end of the text: every character must belong to a
  // part that was read, so a number or blank after the last identifier or
  // direction letter is refused.
  if (!finished && field != p) {
    std::printf("\a\aInternal Error: pointer mismatch\n");
    return FLT_MAX;
  }

  if (sec >= part_limit || sec <= -part_limit) {
    std::printf("\a\aError: sec %f is out of range [0..59.99]\n", static_cast<double>(sec));
    return FLT_MAX;
  }
  if (min >= part_limit || min <= -part_limit) {
    std::printf("\a\aError: min %f is out of range [0..59.99]\n", static_cast<double>(min));
    return FLT_MAX;
  }

  // One minus sign, on whichever part it stands, or a South or West letter
  // makes the whole angle negative; a zero degrees value keeps the sign too
  // (-0:30:00 and S0d30m are half a degree south).
  const bool negative = south_west || std::signbit(deg) || std::signbit(min) || std::signbit(sec);
  const double fraction = std::fabs(static_cast<double>(sec)) * sec_to_deg +
                          std::fabs(static_cast<double>(min)) * min_to_deg;
  const double magnitude = std::fabs(static_cast<double>(deg)) + fraction;
  const double result = (negative && magnitude != 0.0) ? -magnitude : magnitude;

  if (result < -angle_bound || result > angle_bound) {
    std::printf("\a\aError: angle %f is out of range [-360..360]\n", result);
    return FLT_MAX;
  }
  return result;
}

const char angles_help[] =
    "Colon, Dotted and DMC formats for Angles, Latitudes and Longitudes\n"
    "\n"
    "Colon format\n"
    "  Fixed position fields separated by colons, with an optional negative\n"
    "  sign and optional fractional seconds. Two colons are always required,\n"
    "  even when the seconds are zero. No embedded white space.\n"
    "\t [s]DD:MM:SS[.F*]\n"
    "\t[s]DDD:MM:SS[.F*]\n"
    "  where\n"
    "\ts\toptional minus sign (-) for a South latitude or a West longitude\n"
    "\tDD\ttwo digits of latitude degrees\n"
    "\tDDD\tthree digits of longitude degrees\n"
    "\tMM\ttwo digits of minutes\n"
    "\tSS\ttwo digits of whole seconds\n"
    "\t.F*\toptional decimal point and digits of fractional seconds\n"
    "  Examples:\n"
    "\t39:45:30\t# 39.758333 (39 deg 45 min 30 sec North or East)\n"
    "\t-104:59:15.5\t# -104.987639 (104 deg 59 min 15.5 sec West)\n"
    "\t-33:52:04\t# -33.867778 (33 deg 52 min 4 sec South)\n"
    "\n"
    "Dotted format\n"
    "  Fixed position fields separated by periods, with an optional negative\n"
    "  sign and optional fractional minutes. Two periods are always required,\n"
    "  even when there is no fraction. No embedded white space.\n"
    "\t [s]DD.MM.[F*]\n"
    "\t[s]DDD.MM.[F*]\n"
    "  where\n"
    "\ts\toptional minus sign (-) for a South latitude or a West longitude\n"
    "\tDD\ttwo digits of latitude degrees\n"
    "\tDDD\tthree digits of longitude degrees\n"
    "\tMM\ttwo digits of whole minutes\n"
    "\tF*\toptional decimal digits of fractional minutes\n"
    "  Examples:\n"
    "\t39.45.5\t\t# 39.758333 (39 deg 45.5 min North or East)\n"
    "\t-104.59.25\t# -104.987500 (104 deg 59.25 min West)\n"
    "\t045.30.\t\t# 45.500000 (45 deg 30 min)\n"
    "\n"
    "DMC format\n"
    "  DMC stands for Degrees, Minutes and seConds.\n"
    "  S cannot be the seconds identifier because it is the South direction.\n"
    "  Each angle identifier follows its number (integer or decimal) and may\n"
    "  be preceded by white space (spaces and tabs):\n"
    "\tD or d\tdegrees\n"
    "\tM or m\tminutes\n"
    "\tC or c\tseconds\n"
    "  Direction identifiers are optional and may stand before or after any\n"
    "  angle part; without them and without a minus sign, latitudes are North\n"
    "  and longitudes are East:\n"
    "\tN or n\tNorth\n"
    "\tS or s\tSouth\n"
    "\tE or e\tEast\n"
    "\tW or w\tWest\n"
    "  A single minus sign (-) is the alternative to a direction identifier\n"
    "  and may not be combined with one. The parts may be given in any order,\n"
    "  each with a fraction, and any of them may be left out.\n"
    "  Examples:\n"
    "\t39d45m30c\t# 39.758333 (39 deg 45 min 30 sec North or East)\n"
    "\t39d 45.5m N\t# 39.758333 (the same, North)\n"
    "\tS33d52m4c\t# -33.867778 (33 deg 52 min 4 sec South)\n"
    "\t104d59m15.5cW\t# -104.987639 (104 deg 59 min 15.5 sec West)\n"
    "\t59m 15.5c 104dW\t# -104.987639 (the same, parts in another order)\n"
    "\t-104.9875d\t# -104.987500 (decimal degrees, West)\n"
    "\t30m\t\t# 0.500000 (30 min, degrees left out)";
