// kelmail's command-line parser: GNU-style long options ("--to x",
// "--to=x"), single-letter aliases ("-t x"), flags, repeatable options and
// positional arguments, driven by one table per subcommand, which also
// gives the text of --help.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kelmail {

struct OptionSpec {
  const char *name;       // long name without "--"
  char shortName;         // 0 when there is none
  const char *valueName;  // null for a flag
  bool repeatable;
  const char *help;
};

struct Command {
  const char *name;                 // "send", "list", ...
  const char *usage;                // the line after "usage: kelmail "
  const char *summary;              // one sentence for the overview
  std::vector<OptionSpec> options;  // --help is added by the parser
  const char *notes;                // extra text for --help, or null
};

class Args {
 public:
  bool Has(const std::string &name) const { return values_.count(name) != 0; }
  // The last value given, or the fallback.
  std::string Get(const std::string &name, const std::string &fallback = "") const;
  const std::vector<std::string> &All(const std::string &name) const;
  std::vector<std::string> positional;
  bool help = false;

  void Add(const std::string &name, const std::string &value) { values_[name].push_back(value); }
  void Replace(const std::string &name, const std::string &value) { values_[name] = {value}; }

 private:
  std::map<std::string, std::vector<std::string>> values_;
};

// Parses argv[first..argc) for the command. Returns true on success;
// otherwise error holds a one-line message.
bool ParseArgs(const Command &command, int argc, char **argv, int first, Args &args,
               std::string &error);

// Two option lists as one (for the command tables).
inline std::vector<OptionSpec> Join(std::vector<OptionSpec> a, const std::vector<OptionSpec> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The text of "kelmail <command> --help".
std::string HelpText(const Command &command);

// Number parsing for option values: a whole decimal number in [low, high].
bool ParseNumber(const std::string &text, long low, long high, long &out);

}  // namespace kelmail
