// Where fetched mail goes besides the decoded files: Maildir, mbox (mboxrd),
// a delivery program, plain files; and the record of the unique ids
// already fetched. Every target is written so that an interruption at any
// point leaves either the whole message or none of it.
#pragma once

#include <set>
#include <string>

namespace kelmail {

// The message out of a TOP reply as the library's line buffer holds it
// (the library has undone the dot-stuffing and dropped the end line; the
// status line is still there). False with a reason when it is negative.
bool StripStatusLine(const std::string &reply, std::string &message, std::string &error);

// CR LF line ends to LF (what Maildir and mbox files hold).
std::string UnixLines(const std::string &message);

// mboxrd: "From " lines, also behind any number of '>', get one more '>'.
std::string MboxrdQuote(const std::string &unixMessage);

// The "From " line's sender: the Return-Path address, else MAILER-DAEMON.
std::string EnvelopeSender(const std::string &message);

// Creates dir/name.ext, or "name (1).ext", "name (2).ext", ... when taken,
// never replacing a file; the file is left empty and open to nobody else's
// claim. path receives the name chosen. False with a reason.
bool ReserveFile(const std::string &dir, const std::string &name, const std::string &ext, std::string &path,
                 std::string &error);

// Gives a finished temporary file in dir its name: dir/name.ext, or
// "name (1).ext" and so on when taken (never replacing a file), after an
// fsync; the temporary name is removed. path receives the name.
bool PublishFile(const std::string &temporary, const std::string &dir, const std::string &name,
                 const std::string &ext, std::string &path, std::string &error);

// Writes content to a reserved file and makes it durable (fsync).
bool WriteWhole(const std::string &path, const std::string &content, std::string &error);

// Maildir: creates dir/{tmp,new,cur} when missing, writes into tmp/ and
// moves the file into new/ under a unique name. path receives the file.
bool DeliverMaildir(const std::string &dir, const std::string &message, std::string &path, std::string &error);

// Appends to an mbox file under an fcntl lock; an append cut short by an
// interruption is undone by the next append.
bool DeliverMbox(const std::string &file, const std::string &message, std::string &error);

// Pipes the message to /bin/sh -c CMD; exit status 0 is delivered.
bool DeliverMda(const std::string &command, const std::string &message, std::string &error);

// The state file of unique ids already fetched: one id a line.
bool LoadUidState(const std::string &path, std::set<std::string> &uids, std::string &error);
// Rewrites it atomically: a temporary file, fsync, rename, fsync of the directory.
bool SaveUidState(const std::string &path, const std::set<std::string> &uids, std::string &error);
// $XDG_STATE_HOME/kelmail/PREFIX-KEY (else ~/.local/state/kelmail/...); the
// directory is created. POP3 state files are "uids-", IMAP ones "imap-uids-".
std::string DefaultStatePath(const std::string &key, std::string &error, const char *prefix = "uids-");

// The key of an IMAP state file: the account (or login) and the mailbox,
// "ACCOUNT,MAILBOX", each with '%', '/', ',' and control bytes written
// %XX, so that no two pairs share a file.
std::string ImapStateKey(const std::string &account, const std::string &mailbox);

// The recorded ids still worth keeping once the server has listed the ids
// present: those present. When a search narrowed the list (IMAP), an id
// not listed may still be on the server; then every id of the mailbox's
// current UIDVALIDITY (the part before the '.') is kept too, and when
// nothing was listed, all.
std::set<std::string> KeptUids(const std::set<std::string> &recorded, const std::set<std::string> &present,
                               bool narrowed);

}  // namespace kelmail
