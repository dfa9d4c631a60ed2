// kelmail: send, list, fetch, delete and verify mail from the shell (POP3
// or IMAP for reading), and a self-contained demo, all through the KEL32
// library's public interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "account.h"
#include "commands.h"
#include "kel32.h"
#include "session.h"

namespace {

struct Entry {
  const kelmail::Command *command;
  int (*run)(const kelmail::Args &);
  const char *brief;  // for the overview
  bool account;       // takes settings from the configuration file
  kelmail::Service service;
};

const Entry Commands[] = {
    {&kelmail::DemoCommand, kelmail::RunDemo, "send and read back a message through a built-in loopback mail drop",
     false, kelmail::Service::None},
    {&kelmail::SendCommand, kelmail::RunSend, "send a message with attachments over SMTP", true,
     kelmail::Service::Smtp},
    {&kelmail::ListCommand, kelmail::RunList, "show the messages of a POP3 or IMAP mailbox: count, sizes, unique ids",
     true, kelmail::Service::Pop3},
    {&kelmail::FetchCommand, kelmail::RunFetch, "save messages to files, Maildir, mbox or a delivery program", true,
     kelmail::Service::Pop3},
    {&kelmail::DeleteCommand, kelmail::RunDelete, "delete messages from a POP3 or IMAP mailbox", true,
     kelmail::Service::Pop3},
    {&kelmail::FoldersCommand, kelmail::RunFolders, "list the folders of an IMAP account with their attributes", true,
     kelmail::Service::Imap},
    {&kelmail::VerifyCommand, kelmail::RunVerify, "ask an SMTP server whether it knows addresses (VRFY)", true,
     kelmail::Service::Smtp},
    {&kelmail::ServerInfoCommand, kelmail::RunServerInfo,
     "show what an SMTP, POP3 or IMAP server offers: capabilities, login, TLS", true, kelmail::Service::Smtp},
    {&kelmail::ConfigCommand, kelmail::RunConfig, "show the settings of an account, secrets masked", false,
     kelmail::Service::None},
};

void Overview(FILE *out) {
  std::fprintf(out, "usage: kelmail COMMAND [options]   (kelmail COMMAND --help for its options)\n\n"
                    "Commands:\n");
  for (const Entry &e : Commands) std::fprintf(out, "  %-10s %s\n", e.command->name, e.brief);
  std::fprintf(out, "  %-10s %s\n", "sendmail", "submit a finished message from standard input, as sendmail -t does");
  std::fprintf(out, "\nkelmail demo runs a full round trip on this machine; start there.\n");
}

}  // namespace

int main(int argc, char **argv) {
  // Steps show up as they happen, also when standard output is a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Started as "sendmail" (a link to kelmail): the sendmail mode, with sendmail's arguments.
  const char *slash = argv[0] ? std::strrchr(argv[0], '/') : nullptr;
  if (argv[0] && std::strcmp(slash ? slash + 1 : argv[0], "sendmail") == 0) return kelmail::RunSendmail(argc, argv, 1);
  if (argc < 2) {
    Overview(stderr);
    return kelmail::ExitUsage;
  }
  std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    Overview(stdout);
    return kelmail::ExitOk;
  }
  if (name == "sendmail") return kelmail::RunSendmail(argc, argv, 2);
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
    if (e.account) {
      if (int rc = kelmail::ApplyAccount(e.command->name, e.service, args)) return rc;
    }
    return e.run(args);
  }
  std::fprintf(stderr, "kelmail: unknown command '%s'\n\n", name.c_str());
  Overview(stderr);
  return kelmail::ExitUsage;
}
