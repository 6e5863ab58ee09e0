// USER32 on POSIX: the message box, as one line on standard error.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "platform/win32.h"

namespace {

std::mutex messageMutex;
std::vector<posix_test::MessageRecord>& Records() {
    static auto* records = new std::vector<posix_test::MessageRecord>;
    return *records;
}

// Control characters are written as C escapes ("\n" as backslash and n), so
// one message stays one line in a log however its caption is broken.
void AppendVisible(std::string& line, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            line += escape;
        } else {
            line += static_cast<char>(c);
        }
    }
}

}  // namespace

std::vector<posix_test::MessageRecord> posix_test::Messages() {
    std::lock_guard lock(messageMutex);
    return Records();
}

void posix_test::ClearMessages() {
    std::lock_guard lock(messageMutex);
    Records().clear();
}

// Shows a message the way a console program can: writes "caption: text" as one
// line to standard error (in a single write, so lines of concurrent callers do
// not mix) and returns IDOK at once, as if the user had pressed OK. A null
// caption is "Error" and a null text empty, as on Windows. Does not block.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    const char* shownCaption = caption != nullptr ? caption : "Error";
    const char* shownText = text != nullptr ? text : "";
    {
        std::lock_guard lock(messageMutex);
        Records().push_back({shownCaption, shownText, type, owner});
    }
    std::string line;
    AppendVisible(line, shownCaption);
    line += ": ";
    AppendVisible(line, shownText);
    line += '\n';
    const int savedErrno = errno;
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nowhere to show it; the caller still gets its answer
        written += static_cast<std::size_t>(n);
    }
    errno = savedErrno;
    return IDOK;
}
