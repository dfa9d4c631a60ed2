// What a server offers, read once from its EHLO reply (SMTP) or its CAPA
// reply (POP3) into the channel's feature record; every later choice
// (STARTTLS, AUTH, PIPELINING, SIZE, 8BITMIME, SMTPUTF8, DSN, STLS) reads
// the record, never the reply text.
#pragma once

#include "../core/channel.h"

enum FeatureBit : uint32_t {
  // EHLO keywords (RFC 5321 and the extensions' RFCs)
  FeatStartTls = 1u << 0,
  FeatPipelining = 1u << 1,  // also the POP3 CAPA tag of the same name
  Feat8BitMime = 1u << 2,
  FeatSmtpUtf8 = 1u << 3,
  FeatDsn = 1u << 4,
  FeatChunking = 1u << 5,
  FeatEnhancedStatusCodes = 1u << 6,
  FeatSize = 1u << 7,
  FeatAuth = 1u << 8,  // an AUTH keyword (its mechanisms in Sasl)
  // POP3 CAPA tags (RFC 2449)
  FeatStls = 1u << 16,
  FeatSasl = 1u << 17,
  FeatUidl = 1u << 18,
  FeatTop = 1u << 19,
  // IMAP CAPABILITY atoms (RFC 3501, 9051 and the extensions' RFCs);
  // STARTTLS is FeatStartTls, AUTH=name fills Sasl.
  FeatLoginDisabled = 1u << 20,
  FeatSaslIr = 1u << 21,
  FeatUidPlus = 1u << 22,
  FeatIdle = 1u << 23,
  FeatUtf8Accept = 1u << 24,
  FeatLiteralPlus = 1u << 25,
  FeatLiteralMinus = 1u << 26,
  FeatImap4Rev1 = 1u << 27,
  FeatImap4Rev2 = 1u << 28,
  FeatEnable = 1u << 29,
  FeatMove = 1u << 30,
};

// Reads every line of an EHLO reply ("250-KEYWORD params", "250 KEYWORD")
// into f, which it first clears. Keywords are compared whole and without
// regard to case; AUTH also in its old form "AUTH=". The keyword lines
// after the greeting line are kept in f.Text as they were worded.
void ReadEhloFeatures(const char *reply, ServerFeatures &f);

// Adds what one line of a CAPA reply names ("STLS", "SASL PLAIN ...") to
// f, and the line to f.Text.
void ReadCapaLine(const char *line, ServerFeatures &f);

// Adds what one atom of an IMAP capability list names ("IDLE",
// "AUTH=PLAIN") to f, and the atom to f.Text as a line of its own.
void ReadImapCapability(const char *atom, int length, ServerFeatures &f);

inline bool Offers(const Channel &ch, FeatureBit bit) { return (ch.Features.Bits & bit) != 0; }
