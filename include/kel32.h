/*
 * kel32.h - the public interface of the KEL32 e-mail client library.
 *
 * A program attaches up to 128 channels, sets parameters on them and runs
 * SMTP or POP3 sessions through the calls below. Every call returns a signed
 * 32-bit integer: negative values are error codes (see kelErrorText), 0 means
 * done (or, in non-blocking mode, started), positive values are counts,
 * handles or state numbers.
 */
#ifndef KEL32_H
#define KEL32_H

#if defined(_WIN32) && !defined(_WIN64)
#  define KEL_CALL __stdcall    /* KEL32.dll: the standard Windows convention */
#  define KEL_EXPORT
#elif defined(_WIN32)
#  define KEL_CALL             /* KEL64.dll: x86_64 has one convention */
#  define KEL_EXPORT
#elif defined(KEL_BUILDING_LIBRARY)
#  define KEL_CALL
#  define KEL_EXPORT __attribute__((visibility("default")))
#else
#  define KEL_CALL
#  define KEL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library lifecycle */
KEL_EXPORT int KEL_CALL kelAttach(int numChannels, int reserved);
KEL_EXPORT int KEL_CALL kelRelease(void);

/* Parameters */
KEL_EXPORT int KEL_CALL kelIntegerParam(unsigned channel, int code, int value);
KEL_EXPORT int KEL_CALL kelStringParam(unsigned channel, int code, const char *text);

/* Diagnostics */
KEL_EXPORT int KEL_CALL kelErrorText(unsigned channel, int code, char *buffer, int size);
KEL_EXPORT int KEL_CALL kelDebug(unsigned channel, int code, char *buffer, int size);
KEL_EXPORT int KEL_CALL kelStatistics(unsigned channel, int code);

/* The state machine: one short step per call */
KEL_EXPORT int KEL_CALL kelDriver(unsigned channel);

/*
 * kelWait: sleeps the calling thread until at least one of the count
 * channels listed in channels has work for kelDriver, or until timeoutMs
 * milliseconds have passed. A channel has work when its socket is readable
 * or writable as its current state needs, when the pause its last step set
 * is over, when its time-out has passed (kelDriver then returns -8), or
 * when it is idle and its pause is over (kelDriver returns 0 at once).
 * ready[i] is set to 1 for each channel with work and to 0 for the others.
 * Returns the number of channels with work, 0 at the time-out, -71 or -73
 * as every call, or -74 for a bad argument (no list, count below 1 or above
 * 128, negative time-out). It never spins: the thread sleeps in one system
 * wait.
 *
 * kelDriver on a channel that the last kelWait found without work returns
 * 9999 at once, without any system call; waiting steps of channels given
 * to kelWait do not yield the processor either.
 *
 * A program with an event loop of its own can instead watch each channel's
 * socket: kelStatistics(channel, KEL_STAT_SOCKET) gives the handle (-1 when
 * the channel has none; it changes with every connect), and the channel
 * has work when the socket is readable, or writable while bytes wait to
 * leave (KEL_STAT_OUTPUT_PENDING above 0), or when the pause of its last
 * step (about KEL_STEP_DELAY) is over: call kelDriver then.
 *
 * A non-blocking loop over many channels:
 *
 *   unsigned list[N]; int ready[N], live = N;
 *   ... kelIntegerParam(c, KEL_AUTO_CALL_DRIVER, 0) and a session call
 *       (kelSmtpConnect, kelSendEmail ...) on every channel ...
 *   while (live > 0) {
 *     if (kelWait(list, live, 1000, ready) <= 0) continue;
 *     for (int i = 0; i < live; i++) {
 *       if (!ready[i]) continue;
 *       int rc = kelDriver(list[i]);
 *       if (rc == 0 || rc < 0) {       // done, or failed: drop it
 *         list[i] = list[--live]; ready[i] = ready[live]; i--;
 *       }
 *     }
 *   }
 */
KEL_EXPORT int KEL_CALL kelWait(const unsigned *channels, int count, int timeoutMs, int *ready);

/* SMTP and shared session calls */
KEL_EXPORT int KEL_CALL kelSmtpConnect(unsigned channel, const char *server, const char *from,
                            const char *replyTo);
KEL_EXPORT int KEL_CALL kelSendEmail(unsigned channel, const char *to, const char *cc, const char *bcc,
                          const char *subject, const char *message, const char *attachments);
KEL_EXPORT int KEL_CALL kelVerifyUser(unsigned channel, const char *addressList);
KEL_EXPORT int KEL_CALL kelCommand(unsigned channel, const char *commandText);
KEL_EXPORT int KEL_CALL kelClose(unsigned channel);
KEL_EXPORT int KEL_CALL kelAbort(unsigned channel);

/* POP3 session calls */
KEL_EXPORT int KEL_CALL kelPop3Connect(unsigned channel, const char *server, const char *user,
                            const char *password);
KEL_EXPORT int KEL_CALL kelGetEmailCount(unsigned channel);
KEL_EXPORT int KEL_CALL kelGetEmailSize(unsigned channel, int number);
KEL_EXPORT int KEL_CALL kelDeleteEmail(unsigned channel, int number);
KEL_EXPORT int KEL_CALL kelGetEmailLines(unsigned channel, int number, int lines, char *buffer,
                              int bufferSize);
KEL_EXPORT int KEL_CALL kelGetEmailFile(unsigned channel, int number, const char *fileName,
                             const char *emailDir, const char *attachDir);
KEL_EXPORT int KEL_CALL kelGetEmailUID(unsigned channel, int number, char *buffer, int bufferSize);

/* IMAP: connect, log in, SELECT KEL_IMAP_MAILBOX and UID SEARCH KEL_IMAP_SEARCH;
   the POP3 calls above then work on the matching messages 1..n (UID order) */
KEL_EXPORT int KEL_CALL kelImapConnect(unsigned channel, const char *server, const char *user,
                            const char *password);

/* Text utilities: no attach needed */
KEL_EXPORT int KEL_CALL kelExtractText(const char *buffer, const char *searchText, char *out, int outSize);
KEL_EXPORT int KEL_CALL kelExtractLine(const char *buffer, int lineNumber, char *out, int outSize);
KEL_EXPORT int KEL_CALL kelVerifyFormat(const char *address);
KEL_EXPORT int KEL_CALL kelEncodeBuffer(const char *source, char *target, int length);
KEL_EXPORT int KEL_CALL kelDecodeBuffer(const char *source, char *target, int length);

/* Integer parameter codes (kelIntegerParam) */
#define KEL_STEP_DELAY          1
#define KEL_RESPONSE_TIMEOUT    2
#define KEL_CONNECT_TIMEOUT     3
#define KEL_BLOCK_DELAY         5
#define KEL_DATA_TIMEOUT        6
#define KEL_BODY_FORMAT         8
#define KEL_AUTO_CALL_DRIVER    9
#define KEL_NUMBER_FILENAMES   10
#define KEL_SEND_TIMEOUT       11
#define KEL_RECEIVE_TIMEOUT    12
#define KEL_SLEEP_TIME         13
#define KEL_SAVE_UNNAMED       14
#define KEL_SMTP_PORT          15
#define KEL_POP3_PORT          16
#define KEL_MAX_LINE_LENGTH    17
#define KEL_BLOCKING_CONNECT   18
#define KEL_ALLOW_8BIT         19
#define KEL_NO_SAVED_NOTE      21
#define KEL_HIDE_TO_HEADER     22
#define KEL_ADDRESS_SEPARATOR  23
#define KEL_WSA_CLEANUP        24
#define KEL_ATTACH_SEPARATOR   25
#define KEL_ALIAS_SEPARATOR    26
#define KEL_AUTO_INLINE        27
#define KEL_RAW_MODE           28
#define KEL_ENABLE_ESMTP       29
#define KEL_ENABLE_APOP        30
/* 1: send MAIL FROM, every RCPT TO and DATA in one go when the server
   offers PIPELINING in its EHLO reply (needs KEL_ENABLE_ESMTP); 0 (the
   default): one command per reply. */
#define KEL_PIPELINING         31
/* Logins and recipients */
#define KEL_AUTH_MECHANISM     35  /* one of the KEL_AUTH_ values below; 0 = the automatic choice */
#define KEL_SKIP_REFUSED       36  /* nonzero: a 5xx refusal of RCPT TO skips that address only */
#define KEL_STRICT_RECIPIENTS  37  /* nonzero: a send with any refused recipient fails (-79) */
/* Outgoing messages (per channel, default 0) */
#define KEL_ATTACH_TYPES       38  /* 1: each attachment's Content-Type from its extension */
#define KEL_MESSAGE_ID         39  /* 1: a unique Message-ID on every message, not only HTML ones */
#define KEL_RAW_SUBMIT         42  /* 1: kelSendEmail sends its message argument as the complete message */

/* IMAP */
#define KEL_IMAP_PORT          43  /* default 143; 993 with KEL_TLS_IMPLICIT */
#define KEL_IMAP_MARK_SEEN     44  /* 1: fetched messages become \Seen (default 0: left as they were) */

/* Values of KEL_AUTH_MECHANISM */
#define KEL_AUTH_AUTO           0
#define KEL_AUTH_CRAM_MD5       1
#define KEL_AUTH_LOGIN          2
#define KEL_AUTH_PLAIN          3
#define KEL_AUTH_XOAUTH2        4
#define KEL_AUTH_OAUTHBEARER    5
/* Per channel, default 0: encoded words of any character set in the header
   lines written to the email file are decoded into UTF-8. */
#define KEL_DECODE_HEADERS     40
/* TLS: the mode (default off: plain TCP) and certificate verification
 * (default on whenever TLS is used: the chain against the system's trusted
 * roots or KEL_TLS_CA_FILE, and the server's name or address against the
 * certificate). Minimum protocol TLS 1.2. */
#define KEL_TLS_MODE           60
#define KEL_TLS_VERIFY         61   /* 1 (default) check the certificate; 0 accept any (tests only) */

/* Values of KEL_TLS_MODE */
#define KEL_TLS_OFF             0   /* plain TCP (the default) */
#define KEL_TLS_STARTTLS        1   /* STARTTLS (SMTP) or STLS (POP3) when the server offers it */
#define KEL_TLS_REQUIRED        2   /* STARTTLS or STLS; a server that does not offer it is -95 */
#define KEL_TLS_IMPLICIT        3   /* TLS from the first byte (SMTPS, usually port 465; POP3S, 995) */

/* Values of KEL_BODY_FORMAT */
#define KEL_BODY_PLAIN          0
#define KEL_BODY_QUOTED         1
#define KEL_BODY_HTML           2
#define KEL_BODY_ENRICHED       3
#define KEL_BODY_ISO8859        4
#define KEL_BODY_CUSTOM         9

/* String parameter codes (kelStringParam) */
#define KEL_LOG_FILE           20
#define KEL_WRITE_BUFFER       41
#define KEL_REPLY_TO           50
#define KEL_SET_HEADER         51
#define KEL_LOG_LINE           52
#define KEL_FROM               53
#define KEL_CONTENT_TYPE       54
#define KEL_TRANSFER_ENCODING  55
#define KEL_ADD_HEADER         56
#define KEL_SMTP_PASS          57
#define KEL_SMTP_USER          58
#define KEL_OAUTH_TOKEN        59  /* OAuth 2.0 bearer token for XOAUTH2 / OAUTHBEARER */
#define KEL_TLS_CA_FILE        65   /* PEM file of trusted roots instead of the system store ("" = system) */
#define KEL_TLS_SERVER_NAME    66   /* name the certificate must match instead of the server text ("" = server) */
#define KEL_TEXT_ALTERNATIVE   67   /* the plain-text version of an HTML body (text or @file; "" = none) */
#define KEL_DSN_NOTIFY         68   /* NOTIFY= of each RCPT TO when the server offers DSN: "SUCCESS,FAILURE,DELAY" or "NEVER" */
#define KEL_DSN_RET            69   /* RET= of MAIL FROM when the server offers DSN: "FULL" or "HDRS" */
#define KEL_PROXY              70   /* "socks5://[user:password@]host:port" or "http://[user:password@]host:port" ("" = none) */
#define KEL_IMAP_MAILBOX       71   /* the mailbox kelImapConnect selects, UTF-8 (default INBOX) */
#define KEL_IMAP_SEARCH        72   /* the IMAP search text of kelImapConnect (default ALL) */

/* kelDebug codes */
#define KEL_DEBUG_DATE          (-12)
#define KEL_DEBUG_LAST_REPLY     23
#define KEL_DEBUG_SERVER_IP      25
#define KEL_DEBUG_LOCAL_IP       28
#define KEL_DEBUG_ATTACH_LIST    29
#define KEL_DEBUG_LAST_RECIPIENT 30
#define KEL_DEBUG_LINES_BUFFER   40
#define KEL_DEBUG_REFUSED_LIST   31  /* one "address reply" line per refused recipient of the last send */
#define KEL_DEBUG_AUTH_MECHANISM 32  /* the SASL mechanism of the last login, or empty */
#define KEL_DEBUG_TLS_INFO       35  /* protocol and cipher of the last handshake */
#define KEL_DEBUG_TLS_PEER       36  /* the last peer certificate's subject */
#define KEL_DEBUG_IMAP_FOLDERS   43  /* IMAP: runs LIST and gives one "name TAB attributes" line per folder, UTF-8 */
#define KEL_DEBUG_CAPABILITIES   44  /* what the server offers, one line each, as last read: EHLO extensions, CAPA lines or IMAP capabilities */
#define KEL_DEBUG_TLS_CERT       45  /* the last peer certificate: "subject:", "issuer:", "not before:", "not after:", "verified:" lines */
#define KEL_DEBUG_MEMORY_CHECK   (-2)  /* as the channel argument */

/* kelStatistics codes */
#define KEL_STAT_STEP_COUNT      2
#define KEL_STAT_REPLY_CODE      3
#define KEL_STAT_SOCK_CODE       4
#define KEL_STAT_BODY_READ      10
#define KEL_STAT_ATTACH_READ    11
#define KEL_STAT_TOTAL_READ     12
#define KEL_STAT_BODY_SENT      13
#define KEL_STAT_ATTACH_SENT    14
#define KEL_STAT_TOTAL_SENT     15
#define KEL_STAT_VERSION        16
#define KEL_STAT_EMAIL_COUNT    17
#define KEL_STAT_EMAIL_SIZE     18
#define KEL_STAT_BUFFER_USED    19
#define KEL_STAT_SOCKET_STATE   20
#define KEL_STAT_ATTACH_COUNT   22
#define KEL_STAT_VRFY_RESULT    24
#define KEL_STAT_BUILD          26
#define KEL_STAT_SOCKET         27  /* the socket handle, -1 when none */
#define KEL_STAT_OUTPUT_PENDING 28  /* bytes composed and not yet handed to the socket */
#define KEL_STAT_PIPELINING     29  /* 1 when the server offered PIPELINING in its EHLO reply */
#define KEL_STAT_REFUSED_COUNT  30  /* recipients refused in the last send */
#define KEL_STAT_ACCEPTED_COUNT 31  /* recipients accepted in the last send */

/* Error codes of logins and recipients (texts through kelErrorText) */
#define KEL_ERR_AUTH_NOT_OFFERED  (-76)  /* the chosen mechanism is not offered by the server */
#define KEL_ERR_BAD_CREDENTIAL    (-77)  /* a control character in a user name, password or token */
#define KEL_ERR_NO_RECIPIENT      (-78)  /* every recipient was refused */
#define KEL_ERR_SOME_REFUSED      (-79)  /* sent, but some recipients were refused */
#define KEL_ERR_NO_TOKEN          (-80)  /* a bearer mechanism without a token */
#define KEL_ERR_AUTH_NOT_POP3     (-81)  /* CRAM-MD5 and LOGIN are SMTP mechanisms only */
#define KEL_STAT_TLS            33   /* 1 while the connection runs over TLS, else 0 */

/* kelDriver result while a channel waits (never a state) */
#define KEL_WAITING           9999

/* Error codes beside those of the error table's first part (-1 to -73) */
#define KEL_ERROR_SMTP_REPLY      (-84)  /* a line that is no SMTP reply line */
#define KEL_ERROR_POP3_REPLY      (-85)  /* a status line neither +OK nor -ERR */
#define KEL_ERROR_ADDRESS_LENGTH  (-86)  /* an address too long for its command line */
#define KEL_ERROR_IMAP            (-60)  /* IMAP returned error (NO, BAD or BYE; with the server's response) */
#define KEL_ERROR_IMAP_RESPONSE   (-75)  /* an IMAP response not understood */
#define KEL_ERROR_INTERNATIONAL   (-87)  /* a non-ASCII local part, and the server does not offer SMTPUTF8 */
#define KEL_ERROR_MESSAGE_SIZE    (-88)  /* the message exceeds the size the server announced (SIZE) */

#ifdef __cplusplus
}
#endif

#endif /* KEL32_H */
