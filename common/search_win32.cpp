#include <windows.h>

#include "search_win32.h"

namespace {

std::string folder_of(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string own_folder() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  return n == 0 || n >= sizeof self ? std::string() : folder_of(std::string(self, n));
}

std::string system_folder() {
  char dir[MAX_PATH];
  UINT n = GetSystemDirectoryA(dir, sizeof dir);
  return n == 0 || n >= sizeof dir ? std::string() : std::string(dir, n);
}

std::string windows_folder() {
  char dir[MAX_PATH];
  UINT n = GetWindowsDirectoryA(dir, sizeof dir);
  return n == 0 || n >= sizeof dir ? std::string() : std::string(dir, n);
}

std::string path_variable() {
  DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size == 0) return std::string();
  std::string value(size, '\0');
  DWORD n = GetEnvironmentVariableA("PATH", &value[0], size);
  value.resize(n < size ? n : 0);
  return value;
}

// PATH's entries, their quotes dropped. An empty entry is not the working
// directory here: Windows paths often end in a stray ';'.
void add_path_entries(const std::string& path, std::vector<std::string>* folders) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string entry;
    for (size_t i = start; i < end; ++i) {
      if (path[i] != '"') entry += path[i];
    }
    if (!entry.empty()) folders->push_back(entry);
    start = end + 1;
  }
}

bool is_file(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::vector<std::string> search_folders() {
  std::vector<std::string> folders;
  std::string windows = windows_folder();
  for (const std::string& folder : {own_folder(), system_folder(),
                                    windows.empty() ? windows : windows + "\\System", windows}) {
    if (!folder.empty()) folders.push_back(folder);
  }
  add_path_entries(path_variable(), &folders);
  return folders;
}

bool is_bare_name(const std::string& name) {
  return name.find_first_of("\\/:") == std::string::npos;
}

std::string find_in_search_folders(const std::string& name) {
  for (const std::string& folder : search_folders()) {
    std::string candidate = folder;
    if (candidate.back() != '\\' && candidate.back() != '/') candidate += '\\';
    candidate += name;
    if (is_file(candidate)) return candidate;
  }
  return std::string();
}
