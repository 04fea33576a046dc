#include "messages.h"

#include <string>

#include "platform.h"

int fail(const Message& message, const char* subject, Subject kind) {
    std::string bytes;
    std::string readable;
    if (subject != nullptr) {
        bytes = std::string(subject) + ": ";
        readable = (kind == Subject::kImageName ? readableImageName(subject) : subject) + ": ";
    }
    writeError(bytes + message.shiftJis, readable + message.utf8);
    return 1;
}

int fail(const char* text) {
    writeError(text, text);
    return 1;
}
