#pragma once
// The host program's two kinds of error; each is reported as one line.

#include <stdexcept>
#include <string>

namespace host {

// Bad input (command line, configuration, output files, plug-in): exit
// status 2.
struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Failure while running: exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Text on one line, with every run of white space made one blank.
inline std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n' || c == '\r' || c == '\t';
    if (!blank) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace host
