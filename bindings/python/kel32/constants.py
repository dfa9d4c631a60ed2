"""The codes of kel32.h: parameters, debug and statistics codes, error codes.

Generated from include/kel32.h by bindings/python/gen_constants.py; do not
edit (a test compares this file with the header).
"""

KEL_STEP_DELAY = 1
KEL_RESPONSE_TIMEOUT = 2
KEL_CONNECT_TIMEOUT = 3
KEL_BLOCK_DELAY = 5
KEL_DATA_TIMEOUT = 6
KEL_BODY_FORMAT = 8
KEL_AUTO_CALL_DRIVER = 9
KEL_NUMBER_FILENAMES = 10
KEL_SEND_TIMEOUT = 11
KEL_RECEIVE_TIMEOUT = 12
KEL_SLEEP_TIME = 13
KEL_SAVE_UNNAMED = 14
KEL_SMTP_PORT = 15
KEL_POP3_PORT = 16
KEL_MAX_LINE_LENGTH = 17
KEL_BLOCKING_CONNECT = 18
KEL_ALLOW_8BIT = 19
KEL_NO_SAVED_NOTE = 21
KEL_HIDE_TO_HEADER = 22
KEL_ADDRESS_SEPARATOR = 23
KEL_WSA_CLEANUP = 24
KEL_ATTACH_SEPARATOR = 25
KEL_ALIAS_SEPARATOR = 26
KEL_AUTO_INLINE = 27
KEL_RAW_MODE = 28
KEL_ENABLE_ESMTP = 29
KEL_ENABLE_APOP = 30
KEL_PIPELINING = 31
KEL_AUTH_MECHANISM = 35         # one of the KEL_AUTH_ values below; 0 = the automatic choice
KEL_SKIP_REFUSED = 36           # nonzero: a 5xx refusal of RCPT TO skips that address only
KEL_STRICT_RECIPIENTS = 37      # nonzero: a send with any refused recipient fails (-79)
KEL_ATTACH_TYPES = 38           # 1: each attachment's Content-Type from its extension
KEL_MESSAGE_ID = 39             # 1: a unique Message-ID on every message, not only HTML ones
KEL_RAW_SUBMIT = 42             # 1: kelSendEmail sends its message argument as the complete message
KEL_IMAP_PORT = 43              # default 143; 993 with KEL_TLS_IMPLICIT
KEL_IMAP_MARK_SEEN = 44         # 1: fetched messages become \Seen (default 0: left as they were)
KEL_AUTH_AUTO = 0
KEL_AUTH_CRAM_MD5 = 1
KEL_AUTH_LOGIN = 2
KEL_AUTH_PLAIN = 3
KEL_AUTH_XOAUTH2 = 4
KEL_AUTH_OAUTHBEARER = 5
KEL_DECODE_HEADERS = 40
KEL_TLS_MODE = 60
KEL_TLS_VERIFY = 61             # 1 (default) check the certificate; 0 accept any (tests only)
KEL_TLS_OFF = 0                 # plain TCP (the default)
KEL_TLS_STARTTLS = 1            # STARTTLS (SMTP) or STLS (POP3) when the server offers it
KEL_TLS_REQUIRED = 2            # STARTTLS or STLS; a server that does not offer it is -95
KEL_TLS_IMPLICIT = 3            # TLS from the first byte (SMTPS, usually port 465; POP3S, 995)
KEL_BODY_PLAIN = 0
KEL_BODY_QUOTED = 1
KEL_BODY_HTML = 2
KEL_BODY_ENRICHED = 3
KEL_BODY_ISO8859 = 4
KEL_BODY_CUSTOM = 9
KEL_LOG_FILE = 20
KEL_WRITE_BUFFER = 41
KEL_REPLY_TO = 50
KEL_SET_HEADER = 51
KEL_LOG_LINE = 52
KEL_FROM = 53
KEL_CONTENT_TYPE = 54
KEL_TRANSFER_ENCODING = 55
KEL_ADD_HEADER = 56
KEL_SMTP_PASS = 57
KEL_SMTP_USER = 58
KEL_OAUTH_TOKEN = 59            # OAuth 2.0 bearer token for XOAUTH2 / OAUTHBEARER
KEL_TLS_CA_FILE = 65            # PEM file of trusted roots instead of the system store ("" = system)
KEL_TLS_SERVER_NAME = 66        # name the certificate must match instead of the server text ("" = server)
KEL_TEXT_ALTERNATIVE = 67       # the plain-text version of an HTML body (text or @file; "" = none)
KEL_DSN_NOTIFY = 68             # NOTIFY= of each RCPT TO when the server offers DSN: "SUCCESS,FAILURE,DELAY" or "NEVER"
KEL_DSN_RET = 69                # RET= of MAIL FROM when the server offers DSN: "FULL" or "HDRS"
KEL_PROXY = 70                  # "socks5://[user:password@]host:port" or "http://[user:password@]host:port" ("" = none)
KEL_IMAP_MAILBOX = 71           # the mailbox kelImapConnect selects, UTF-8 (default INBOX)
KEL_IMAP_SEARCH = 72            # the IMAP search text of kelImapConnect (default ALL)
KEL_DEBUG_DATE = -12
KEL_DEBUG_LAST_REPLY = 23
KEL_DEBUG_SERVER_IP = 25
KEL_DEBUG_LOCAL_IP = 28
KEL_DEBUG_ATTACH_LIST = 29
KEL_DEBUG_LAST_RECIPIENT = 30
KEL_DEBUG_LINES_BUFFER = 40
KEL_DEBUG_REFUSED_LIST = 31     # one "address reply" line per refused recipient of the last send
KEL_DEBUG_AUTH_MECHANISM = 32   # the SASL mechanism of the last login, or empty
KEL_DEBUG_TLS_INFO = 35         # protocol and cipher of the last handshake
KEL_DEBUG_TLS_PEER = 36         # the last peer certificate's subject
KEL_DEBUG_IMAP_FOLDERS = 43     # IMAP: runs LIST and gives one "name TAB attributes" line per folder, UTF-8
KEL_DEBUG_CAPABILITIES = 44     # what the server offers, one line each, as last read: EHLO extensions, CAPA lines or IMAP capabilities
KEL_DEBUG_TLS_CERT = 45         # the last peer certificate: "subject:", "issuer:", "not before:", "not after:", "verified:" lines
KEL_DEBUG_MEMORY_CHECK = -2     # as the channel argument
KEL_STAT_STEP_COUNT = 2
KEL_STAT_REPLY_CODE = 3
KEL_STAT_SOCK_CODE = 4
KEL_STAT_BODY_READ = 10
KEL_STAT_ATTACH_READ = 11
KEL_STAT_TOTAL_READ = 12
KEL_STAT_BODY_SENT = 13
KEL_STAT_ATTACH_SENT = 14
KEL_STAT_TOTAL_SENT = 15
KEL_STAT_VERSION = 16
KEL_STAT_EMAIL_COUNT = 17
KEL_STAT_EMAIL_SIZE = 18
KEL_STAT_BUFFER_USED = 19
KEL_STAT_SOCKET_STATE = 20
KEL_STAT_ATTACH_COUNT = 22
KEL_STAT_VRFY_RESULT = 24
KEL_STAT_BUILD = 26
KEL_STAT_SOCKET = 27            # the socket handle, -1 when none
KEL_STAT_OUTPUT_PENDING = 28    # bytes composed and not yet handed to the socket
KEL_STAT_PIPELINING = 29        # 1 when the server offered PIPELINING in its EHLO reply
KEL_STAT_REFUSED_COUNT = 30     # recipients refused in the last send
KEL_STAT_ACCEPTED_COUNT = 31    # recipients accepted in the last send
KEL_ERR_AUTH_NOT_OFFERED = -76  # the chosen mechanism is not offered by the server
KEL_ERR_BAD_CREDENTIAL = -77    # a control character in a user name, password or token
KEL_ERR_NO_RECIPIENT = -78      # every recipient was refused
KEL_ERR_SOME_REFUSED = -79      # sent, but some recipients were refused
KEL_ERR_NO_TOKEN = -80          # a bearer mechanism without a token
KEL_ERR_AUTH_NOT_POP3 = -81     # CRAM-MD5 and LOGIN are SMTP mechanisms only
KEL_STAT_TLS = 33               # 1 while the connection runs over TLS, else 0
KEL_WAITING = 9999
KEL_ERROR_SMTP_REPLY = -84      # a line that is no SMTP reply line
KEL_ERROR_POP3_REPLY = -85      # a status line neither +OK nor -ERR
KEL_ERROR_ADDRESS_LENGTH = -86  # an address too long for its command line
KEL_ERROR_IMAP = -60            # IMAP returned error (NO, BAD or BYE; with the server's response)
KEL_ERROR_IMAP_RESPONSE = -75   # an IMAP response not understood
KEL_ERROR_INTERNATIONAL = -87   # a non-ASCII local part, and the server does not offer SMTPUTF8
KEL_ERROR_MESSAGE_SIZE = -88    # the message exceeds the size the server announced (SIZE)

__all__ = [
    "KEL_STEP_DELAY",
    "KEL_RESPONSE_TIMEOUT",
    "KEL_CONNECT_TIMEOUT",
    "KEL_BLOCK_DELAY",
    "KEL_DATA_TIMEOUT",
    "KEL_BODY_FORMAT",
    "KEL_AUTO_CALL_DRIVER",
    "KEL_NUMBER_FILENAMES",
    "KEL_SEND_TIMEOUT",
    "KEL_RECEIVE_TIMEOUT",
    "KEL_SLEEP_TIME",
    "KEL_SAVE_UNNAMED",
    "KEL_SMTP_PORT",
    "KEL_POP3_PORT",
    "KEL_MAX_LINE_LENGTH",
    "KEL_BLOCKING_CONNECT",
    "KEL_ALLOW_8BIT",
    "KEL_NO_SAVED_NOTE",
    "KEL_HIDE_TO_HEADER",
    "KEL_ADDRESS_SEPARATOR",
    "KEL_WSA_CLEANUP",
    "KEL_ATTACH_SEPARATOR",
    "KEL_ALIAS_SEPARATOR",
    "KEL_AUTO_INLINE",
    "KEL_RAW_MODE",
    "KEL_ENABLE_ESMTP",
    "KEL_ENABLE_APOP",
    "KEL_PIPELINING",
    "KEL_AUTH_MECHANISM",
    "KEL_SKIP_REFUSED",
    "KEL_STRICT_RECIPIENTS",
    "KEL_ATTACH_TYPES",
    "KEL_MESSAGE_ID",
    "KEL_RAW_SUBMIT",
    "KEL_IMAP_PORT",
    "KEL_IMAP_MARK_SEEN",
    "KEL_AUTH_AUTO",
    "KEL_AUTH_CRAM_MD5",
    "KEL_AUTH_LOGIN",
    "KEL_AUTH_PLAIN",
    "KEL_AUTH_XOAUTH2",
    "KEL_AUTH_OAUTHBEARER",
    "KEL_DECODE_HEADERS",
    "KEL_TLS_MODE",
    "KEL_TLS_VERIFY",
    "KEL_TLS_OFF",
    "KEL_TLS_STARTTLS",
    "KEL_TLS_REQUIRED",
    "KEL_TLS_IMPLICIT",
    "KEL_BODY_PLAIN",
    "KEL_BODY_QUOTED",
    "KEL_BODY_HTML",
    "KEL_BODY_ENRICHED",
    "KEL_BODY_ISO8859",
    "KEL_BODY_CUSTOM",
    "KEL_LOG_FILE",
    "KEL_WRITE_BUFFER",
    "KEL_REPLY_TO",
    "KEL_SET_HEADER",
    "KEL_LOG_LINE",
    "KEL_FROM",
    "KEL_CONTENT_TYPE",
    "KEL_TRANSFER_ENCODING",
    "KEL_ADD_HEADER",
    "KEL_SMTP_PASS",
    "KEL_SMTP_USER",
    "KEL_OAUTH_TOKEN",
    "KEL_TLS_CA_FILE",
    "KEL_TLS_SERVER_NAME",
    "KEL_TEXT_ALTERNATIVE",
    "KEL_DSN_NOTIFY",
    "KEL_DSN_RET",
    "KEL_PROXY",
    "KEL_IMAP_MAILBOX",
    "KEL_IMAP_SEARCH",
    "KEL_DEBUG_DATE",
    "KEL_DEBUG_LAST_REPLY",
    "KEL_DEBUG_SERVER_IP",
    "KEL_DEBUG_LOCAL_IP",
    "KEL_DEBUG_ATTACH_LIST",
    "KEL_DEBUG_LAST_RECIPIENT",
    "KEL_DEBUG_LINES_BUFFER",
    "KEL_DEBUG_REFUSED_LIST",
    "KEL_DEBUG_AUTH_MECHANISM",
    "KEL_DEBUG_TLS_INFO",
    "KEL_DEBUG_TLS_PEER",
    "KEL_DEBUG_IMAP_FOLDERS",
    "KEL_DEBUG_CAPABILITIES",
    "KEL_DEBUG_TLS_CERT",
    "KEL_DEBUG_MEMORY_CHECK",
    "KEL_STAT_STEP_COUNT",
    "KEL_STAT_REPLY_CODE",
    "KEL_STAT_SOCK_CODE",
    "KEL_STAT_BODY_READ",
    "KEL_STAT_ATTACH_READ",
    "KEL_STAT_TOTAL_READ",
    "KEL_STAT_BODY_SENT",
    "KEL_STAT_ATTACH_SENT",
    "KEL_STAT_TOTAL_SENT",
    "KEL_STAT_VERSION",
    "KEL_STAT_EMAIL_COUNT",
    "KEL_STAT_EMAIL_SIZE",
    "KEL_STAT_BUFFER_USED",
    "KEL_STAT_SOCKET_STATE",
    "KEL_STAT_ATTACH_COUNT",
    "KEL_STAT_VRFY_RESULT",
    "KEL_STAT_BUILD",
    "KEL_STAT_SOCKET",
    "KEL_STAT_OUTPUT_PENDING",
    "KEL_STAT_PIPELINING",
    "KEL_STAT_REFUSED_COUNT",
    "KEL_STAT_ACCEPTED_COUNT",
    "KEL_ERR_AUTH_NOT_OFFERED",
    "KEL_ERR_BAD_CREDENTIAL",
    "KEL_ERR_NO_RECIPIENT",
    "KEL_ERR_SOME_REFUSED",
    "KEL_ERR_NO_TOKEN",
    "KEL_ERR_AUTH_NOT_POP3",
    "KEL_STAT_TLS",
    "KEL_WAITING",
    "KEL_ERROR_SMTP_REPLY",
    "KEL_ERROR_POP3_REPLY",
    "KEL_ERROR_ADDRESS_LENGTH",
    "KEL_ERROR_IMAP",
    "KEL_ERROR_IMAP_RESPONSE",
    "KEL_ERROR_INTERNATIONAL",
    "KEL_ERROR_MESSAGE_SIZE",
]
