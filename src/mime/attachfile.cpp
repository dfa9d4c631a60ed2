// Attachment files: not built yet.
#include "mime.h"

void CloseAttachFile(Channel &) {}
