// Loads the stand-in NDI runtime with a fresh capture directory for one test.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ZALNDI.h"
#include "ZALNDI_testing.h"
#include "testenv.h"

namespace standin {

inline std::string temp_dir(const std::string& tag) { return testenv::temp_dir(tag); }

inline void set_env(const char* name, const char* value) { testenv::set(name, value); }

// Forgets any loaded runtime and loads the stand-in from dir with capture on.
// Returns the loader's result (null on success).
inline const char* load(const std::string& capture, const char* dir = ZAL_STANDIN_DIR) {
  zal_ndi_unload_for_tests();
  set_env("NDI_RUNTIME_DIR_V6", dir);
  set_env("ZAL_STANDIN_CAPTURE", capture.empty() ? nullptr : capture.c_str());
  return zal_ndi_load();
}

inline std::vector<std::string> lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

inline std::vector<std::string> calls(const std::string& capture, const std::string& kind) {
  std::vector<std::string> out;
  for (const std::string& line : lines(capture + "/calls.jsonl")) {
    if (line.find("\"call\":\"" + kind + "\"") != std::string::npos) out.push_back(line);
  }
  return out;
}

inline std::string file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text of "key": value in one JSON line, up to the next comma or brace.
inline std::string field(const std::string& line, const std::string& key) {
  size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return "<missing>";
  at += key.size() + 3;
  size_t end = line.find_first_of(",}", at);
  return line.substr(at, end - at);
}

}  // namespace standin
