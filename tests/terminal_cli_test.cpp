// Failure messages on a terminal, through a pseudo-terminal made by script(1): readable UTF-8
// text where the terminal's locale reads UTF-8, the Shift_JIS bytes as always elsewhere (and
// wherever standard error is a pipe or a file, as in every other test). A name from an image
// stays as its bytes. Windows programs write to their console, which Wine shows in UTF-8.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "d88_builder.h"

namespace {

using testcase::operator<<;

std::string badNameImage() {
    builder::StandardDisk disk;
    disk.setEntry(0, "\x83\x74/", 8, 10);
    return builder::toString(disk.bytes());
}

struct TerminalCase {
    const char* what;
    const char* program;
    std::vector<std::string> args;
    cli::Files before;
    std::string out;      // standard output, before the message
    std::string subject;  // the message's "subject: " prefix
    std::string message;  // Shift_JIS
};

const TerminalCase kCases[] = {
    {"d88extract", D88EXTRACT_PATH, {"missing.d88"}, {}, "", "", cli::kCannotOpenImage},
    {"d88extract, a Shift_JIS name",
     D88EXTRACT_PATH,
     {"i.d88"},
     {{"i.d88", badNameImage()}},
     "\x83\x74/           START=0008 SIZE=000a\n",
     "\x83\x74/: ",
     cli::kBadName},
    {"drupa", DRUPA_PATH, {"missing.vkp"}, {}, "", "", cli::kCannotOpenInput},
    {"vkpack", VKPACK_PATH, {"missing"}, {}, "", "", cli::kCannotOpenInput},
};

// What a terminal receives for `text`: each "\n" as "\r\n".
std::string onTerminal(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

class TerminalTest : public testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalTest, ReadableWhereTheLocaleReadsUtf8) {
    const TerminalCase& k = GetParam();
    for (const std::string locale : {"C.UTF-8", "C"}) {
        SCOPED_TRACE(locale);
        cli::TempDir dir;
        for (const auto& [name, content] : k.before)
            cli::writeFile(dir / name, content);
        std::string line = "env LC_ALL=" + locale;
        for (const std::string& word : cli::command(k.program))
            line += " '" + word + "'";
        for (const std::string& arg : k.args)
            line += " '" + arg + "'";
        const std::string message = locale == "C" ? k.message : cli::utf8FromShiftJis(k.message);
        const std::string text = message.substr(0, message.size() - 1);
        // Wine draws a program's console on the terminal from a process of its own, which can
        // still be drawing when the program has exited and script(1) has stopped reading: a
        // run whose text never arrived is run again, up to three times in all.
        cli::Result r;
        for (int attempt = 0; attempt < 3; ++attempt) {
            r = cli::run("script", {"script", "-qec", line, "/dev/null"}, dir.path());
            if (!cli::windows() || locale == "C" || r.out.find(text) != std::string::npos) break;
        }
        EXPECT_EQ(r.status, 1);
        if (!cli::windows()) {
            EXPECT_EQ(r.out, onTerminal(k.out + k.subject + message));
        } else if (locale != "C") {  // among Wine's own terminal controls
            EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, TerminalTest, testing::ValuesIn(kCases), CaseName());

}  // namespace
