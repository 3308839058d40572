#include "SqlScript.h"

#include <sstream>

namespace {

bool HasText(const std::string& s) { return s.find_first_not_of(" \t\r\n") != std::string::npos; }

}  // namespace

std::vector<std::string> SplitSqlStatements(const std::string& script) {
  // The schema files hold no ';' or "--" inside string literals, which keeps this simple.
  std::vector<std::string> out;
  std::string current;
  std::istringstream lines(script);
  std::string line;
  while (std::getline(lines, line)) {
    const auto comment = line.find("--");
    if (comment != std::string::npos) line.erase(comment);
    for (char c : line) {
      if (c == ';') {
        if (HasText(current)) out.push_back(current);
        current.clear();
      } else {
        current.push_back(c);
      }
    }
    current.push_back('\n');
  }
  if (HasText(current)) out.push_back(current);
  return out;
}
