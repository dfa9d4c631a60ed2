// kelmail: send, list, fetch, delete and verify mail from the shell, and
// a self-contained demo, all through the KEL32 library's public interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "kel32.h"
#include "session.h"

namespace {

struct Entry {
  const kelmail::Command *command;
  int (*run)(const kelmail::Args &);
};

const Entry Commands[] = {
    {&kelmail::DemoCommand, kelmail::RunDemo},     {&kelmail::SendCommand, kelmail::RunSend},
    {&kelmail::ListCommand, kelmail::RunList},     {&kelmail::FetchCommand, kelmail::RunFetch},
    {&kelmail::DeleteCommand, kelmail::RunDelete}, {&kelmail::VerifyCommand, kelmail::RunVerify},
};

void Overview(FILE *out) {
  std::fprintf(out, "usage: kelmail COMMAND [options]   (kelmail COMMAND --help for its options)\n\n"
                    "Commands:\n");
  for (const Entry &e : Commands) {
    std::string summary = e.command->summary;
    summary = summary.substr(0, summary.find('\n'));
    std::fprintf(out, "  %-8s %s\n", e.command->name, summary.c_str());
  }
  std::fprintf(out, "\nkelmail demo runs a full round trip on this machine; start there.\n");
}

}  // namespace

int main(int argc, char **argv) {
  // Steps show up as they happen, also when standard output is a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) {
    Overview(stderr);
    return kelmail::ExitUsage;
  }
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    Overview(stdout);
    return kelmail::ExitOk;
  }
  if (name == "--version") {
    kelmail::Library library;  // the statistics need an attached channel
    int v = kelStatistics(0, KEL_STAT_VERSION);
    std::printf("kelmail, KEL32 library %d.%d.%d build %d\n", (v >> 8) & 15, (v >> 4) & 15, v & 15,
                kelStatistics(0, KEL_STAT_BUILD));
    return kelmail::ExitOk;
  }
  for (const Entry &e : Commands) {
    if (name != e.command->name) continue;
    kelmail::Args args;
    std::string error;
    if (!kelmail::ParseArgs(*e.command, argc, argv, 2, args, error)) return kelmail::UsageError(e.command->name, error);
    if (args.help) {
      std::fputs(kelmail::HelpText(*e.command).c_str(), stdout);
      return kelmail::ExitOk;
    }
    return e.run(args);
  }
  std::fprintf(stderr, "kelmail: unknown command '%s'\n\n", name.c_str());
  Overview(stderr);
  return kelmail::ExitUsage;
}
