#include "command_line.h"

std::string quote_windows_arg(const std::string& arg) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote itself escaped.
    size_t copies = c == '"' ? 2 * backslashes + 1 : backslashes;
    quoted.append(copies, '\\');
    quoted += c;
    backslashes = 0;
  }
  // Trailing backslashes are doubled so the closing quote stays a quote.
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
}

bool join_command_line(const std::vector<std::string>& args, std::string* line) {
  line->clear();
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) *line += ' ';
    // The program name cannot hold a quote on Windows and is parsed by simpler rules.
    *line += i == 0 ? "\"" + args[i] + "\"" : quote_windows_arg(args[i]);
  }
  return line->size() < kCommandLineLimit;
}
