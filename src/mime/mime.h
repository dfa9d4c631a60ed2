// The incoming MIME decoder and the attachment files it writes.
#pragma once

#include "../frame/channel.h"

// Closes an attachment file still being written and writes its note into
// the email file (used by the retrieval states and by kelClose).
void CloseAttachFile(Channel &ch);
