#pragma once
// atoi with a number outside the int range clamped rather than undefined.

#include <climits>
#include <string>

namespace tarn {

// Converts text the way atoi does (leading blanks, optional sign, decimal
// digits up to the first other character, 0 when there are none), but a
// number outside the int range is clamped to INT_MIN or INT_MAX instead of
// being undefined behaviour.
inline int atoi_clamped(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) {
      value = limit;
      while (p[1] >= '0' && p[1] <= '9') ++p;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace tarn
