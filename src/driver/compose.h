// Helpers shared by the composition states (compose.cpp) and the attachment
// states (attach.cpp).
#pragma once

#include "driver.h"

// A formatted header line holds at most this many characters, its CR LF not
// counted; longer lists, subjects and names are cut there.
constexpr int HeaderLineLimit = 1023;

// The quote around boundaries and file names.
constexpr char QuoteChar = '"';

// The stem of the Message-ID and of every Content-ID.
constexpr const char *MessageRoot = "message-root";

// Appends text to a line of the given length, never past limit characters,
// turning CR and LF into blanks so that no caller text can break the line.
// Zero-terminates the line and returns its new length.
int AppendLineText(char *line, int length, const char *text, int limit = HeaderLineLimit);

// Sends SendLine followed by CR LF: 0, or the error exit's result when the
// socket refuses it (the open message or attachment file is closed first).
int SendComposedLine(Channel &ch);

// The error exit of a composition state: closes the message or attachment
// file still open, so a failed message never leaks its file.
// The first state of the message text after DATA: the Message-ID line of
// an HTML message, else the X-Mailer line.
int FirstHeaderState(const Channel &ch);
int ComposeFail(Channel &ch, int sockCode, int kelCode);

// The first position of c in text, or null (a NUL separator is never found).
char *FindSeparator(char *text, char c);
const char *FindSeparator(const char *text, char c);
