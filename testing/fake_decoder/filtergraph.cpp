#include "filtergraph.h"

#include <cstring>

namespace {

constexpr const char* kBlanks = " \n\t\r";

bool is_one_of(char c, const char* set) {
  return c != '\0' && std::strchr(set, c) != nullptr;
}

void skip_blanks(const std::string& s, size_t& pos) {
  while (pos < s.size() && is_one_of(s[pos], kBlanks)) ++pos;
}

// Link labels such as "[in]" carry no options; they are stepped over.
void skip_labels(const std::string& s, size_t& pos) {
  skip_blanks(s, pos);
  while (pos < s.size() && s[pos] == '[') {
    ++pos;
    get_token(s, pos, "]");
    if (pos < s.size()) ++pos;
    skip_blanks(s, pos);
  }
}

bool is_key_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         is_one_of(c, "-_/.");
}

// A key and its '=' at pos, as ffmpeg's option parser reads it; false leaves pos alone.
bool read_key(const std::string& s, size_t& pos, std::string& key) {
  size_t p = pos;
  skip_blanks(s, p);
  const size_t start = p;
  while (p < s.size() && is_key_char(s[p])) ++p;
  const size_t end = p;
  skip_blanks(s, p);
  if (p >= s.size() || s[p] != '=') return false;
  key = s.substr(start, end - start);
  pos = p + 1;
  return true;
}

}  // namespace

std::string get_token(const std::string& s, size_t& pos, const char* term) {
  skip_blanks(s, pos);
  std::string out;
  size_t kept = 0;  // escaped or quoted text ends here: trailing blanks before it stay
  while (pos < s.size() && !is_one_of(s[pos], term)) {
    const char c = s[pos++];
    if (c == '\\' && pos < s.size()) {
      out += s[pos++];
      kept = out.size();
    } else if (c == '\'') {
      while (pos < s.size() && s[pos] != '\'') out += s[pos++];
      if (pos < s.size()) {
        ++pos;
        kept = out.size();
      }
    } else {
      out += c;
    }
  }
  while (out.size() > kept && is_one_of(out.back(), kBlanks)) out.pop_back();
  return out;
}

std::vector<Filter> split_chain(const std::string& chain) {
  std::vector<Filter> filters;
  size_t pos = 0;
  while (pos < chain.size()) {
    skip_labels(chain, pos);
    Filter f;
    f.name = get_token(chain, pos, "=,;[");
    f.name = f.name.substr(0, f.name.find('@'));
    if (pos < chain.size() && chain[pos] == '=') {
      ++pos;
      f.args = get_token(chain, pos, "[],;");
    }
    skip_labels(chain, pos);
    filters.push_back(f);
    ++pos;  // the ',' or ';' after it
  }
  return filters;
}

std::vector<Option> split_options(const std::string& args,
                                  const std::vector<std::string>& positional) {
  std::vector<Option> options;
  size_t next_positional = 0;
  size_t pos = 0;
  while (pos < args.size()) {
    std::string key;
    const bool named = read_key(args, pos, key);
    if (named) next_positional = positional.size();
    if (!named && next_positional < positional.size()) key = positional[next_positional++];
    std::string value = get_token(args, pos, ":");
    if (!key.empty()) options.emplace_back(key, value);
    if (pos < args.size()) ++pos;  // the ':'
  }
  return options;
}
