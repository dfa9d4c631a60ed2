// kelmail's command-line parser (see options.h).
#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelmail {

std::string Args::Get(const std::string &name, const std::string &fallback) const {
  auto it = values_.find(name);
  return it == values_.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string> &Args::All(const std::string &name) const {
  static const std::vector<std::string> none;
  auto it = values_.find(name);
  return it == values_.end() ? none : it->second;
}

static const OptionSpec *FindLong(const Command &command, const std::string &name) {
  for (const OptionSpec &o : command.options)
    if (name == o.name) return &o;
  return nullptr;
}

static const OptionSpec *FindShort(const Command &command, char c) {
  for (const OptionSpec &o : command.options)
    if (o.shortName != 0 && o.shortName == c) return &o;
  return nullptr;
}

bool ParseArgs(const Command &command, int argc, char **argv, int first, Args &args,
               std::string &error) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      args.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      args.help = true;
      continue;
    }
    const OptionSpec *spec = nullptr;
    std::string value;
    bool hasValue = false;
    if (arg[1] == '-') {
      std::string name = arg.substr(2);
      size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        hasValue = true;
      }
      spec = FindLong(command, name);
      if (!spec) {
        error = "unknown option --" + name;
        return false;
      }
    } else {
      if (arg.size() != 2) {
        error = "unknown option " + arg + " (long options take two dashes)";
        return false;
      }
      spec = FindShort(command, arg[1]);
      if (!spec) {
        error = "unknown option " + arg;
        return false;
      }
    }
    if (!spec->valueName) {
      if (hasValue) {
        error = std::string("option --") + spec->name + " takes no value";
        return false;
      }
      value = "1";
    } else if (!hasValue) {
      if (i + 1 >= argc) {
        error = std::string("option --") + spec->name + " needs a value (" + spec->valueName + ")";
        return false;
      }
      value = argv[++i];
    }
    if (!spec->repeatable && args.Has(spec->name)) {
      error = std::string("option --") + spec->name + " given twice";
      return false;
    }
    args.Add(spec->name, value);
  }
  return true;
}

std::string HelpText(const Command &command) {
  std::string text = std::string("usage: kelmail ") + command.usage + "\n\n" + command.summary + "\n\nOptions:\n";
  for (const OptionSpec &o : command.options) {
    std::string left = "  ";
    left += o.shortName ? std::string("-") + o.shortName + ", " : std::string("    ");
    left += std::string("--") + o.name;
    if (o.valueName) left += std::string(" ") + o.valueName;
    if (left.size() < 30) left.resize(30, ' ');
    else left += "\n" + std::string(30, ' ');
    text += left + o.help;
    if (o.repeatable) text += " (repeatable)";
    text += "\n";
  }
  text += "  -h, --help                  show this help\n";
  if (command.notes) text += std::string("\n") + command.notes;
  return text;
}

bool ParseNumber(const std::string &text, long low, long high, long &out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  out = v;
  return true;
}

}  // namespace kelmail
