// Reads an ffmpeg filter chain ("-vf"/"-af") with ffmpeg's own quoting rules: the chain
// level and the option level each take '...' quotes and '\' escapes.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Filter {
  std::string name;  // without an "@instance" suffix
  std::string args;  // after '=', chain-level quoting already undone
};

using Option = std::pair<std::string, std::string>;

// ffmpeg's av_get_token: reads from pos up to a character of term outside quotes.
std::string get_token(const std::string& s, size_t& pos, const char* term);
std::vector<Filter> split_chain(const std::string& chain);
// key=value items split at ':'; leading items without a key take the names in
// positional order, as ffmpeg's shorthand does, until the first named one.
std::vector<Option> split_options(const std::string& args,
                                  const std::vector<std::string>& positional);
