#include <cstdlib>
#include <vector>

#include "testenv.h"

namespace testenv {

void set(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

std::string temp_dir(const std::string& tag) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/zal-unit-" + tag + "-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back(0);
  return mkdtemp(path.data()) != nullptr ? std::string(path.data()) : std::string();
}

bool under_wine() { return false; }

}  // namespace testenv
