#include "messages.h"

#include "platform.h"

int fail(const Message& message, const char* subject, Subject kind) {
    writeError(subject, kind == Subject::kImageName, message.shiftJis, message.utf8);
    return 1;
}

int fail(const char* text) {
    writeError(nullptr, false, text, text);
    return 1;
}
