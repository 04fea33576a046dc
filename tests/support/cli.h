// Runs the real built programs for command-line tests: in a scratch directory, with an exact
// argv (argv[0] included, or none at all), checking stdout, stderr, status and the files left.
//
// The same tests run the Windows builds (under Wine) when two environment variables say so:
//   RETRODISK_TEST_WINDOWS_BIN  a folder with NAME.exe for each program: a program built at
//                               ".../programs/NAME" runs as FOLDER/NAME.exe, and the Windows
//                               rules hold: lines on standard output and error end in CR LF,
//                               and rows marked for one platform run only there
//   RETRODISK_TEST_EXEC_PREFIX  a command put before such a program, words split at spaces
//                               (the Wine loader); the program then gets its own path as
//                               argv[0]. Other programs (script(1)) run as they are.
#ifndef TESTS_CLI_H
#define TESTS_CLI_H

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace cli {

namespace fs = std::filesystem;

// The programs' Shift_JIS messages.
// "The file cannot be opened." (d88extract's image)
const std::string kCannotOpenImage =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xC5\x82\xAB"
    "\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";
// "The file name is invalid."
const std::string kBadName =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x95\x73\x90\xB3\x82\xC5\x82\xB7\x2E\x0A";
// "The file cannot be opened." (the input of drupa and vkpack)
const std::string kCannotOpenInput =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";
// "The output file cannot be opened."
const std::string kCannotOpenOutput =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9"
    "\x82\xF1\x2E\x0A";
// "The output file cannot be written."
const std::string kCannotWriteOutput =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF"
    "\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";

// The platforms a row holds for: its programs' behaviour, or what the test can set up (a
// program run without argv[0], a link Wine cannot delete), differs elsewhere.
enum class Platform { kAll, kLinux, kWindows };

inline std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
inline bool windows() {
    return !environment("RETRODISK_TEST_WINDOWS_BIN").empty();
}
inline bool runsHere(Platform platform) {
    return platform == Platform::kAll || (platform == Platform::kWindows) == windows();
}

// The command that starts `program`. One of ours (".../programs/NAME") is started by the
// prefix's words, then the program or its Windows build; any other program as it is.
inline std::vector<std::string> command(const std::string& program) {
    if (fs::path(program).parent_path().filename() != "programs") return {program};
    std::vector<std::string> words;
    std::istringstream prefix(environment("RETRODISK_TEST_EXEC_PREFIX"));
    for (std::string word; prefix >> word;)
        words.push_back(word);
    const std::string bin = environment("RETRODISK_TEST_WINDOWS_BIN");
    words.push_back(bin.empty() ? program
                                : (fs::path(bin) / fs::path(program).filename()).string() + ".exe");
    return words;
}

// Text as a program writes it on standard output or error: with CR LF line ends on Windows.
inline std::string lines(const std::string& text) {
    if (!windows()) return text;
    std::string crlf;
    for (const char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

// The invocation name `program` finds in argv[0] when run as `argv0`. Wine hands a Windows
// program the DOS form of its absolute path, whatever argv[0] was.
inline std::string invokedAs(const std::string& program, const std::string& argv0) {
    if (!windows()) return argv0;
    std::string dos = "Z:" + fs::absolute(command(program).back()).lexically_normal().string();
    for (char& c : dos)
        if (c == '/') c = '\\';
    return dos;
}

// Shift_JIS (code page 932) text in UTF-8.
inline std::string utf8FromShiftJis(const std::string& shiftJis) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    std::string in = shiftJis;
    std::string out(in.size() * 3, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    if (reinterpret_cast<intptr_t>(cd) == -1 ||
        iconv(cd, &ip, &inLeft, &op, &outLeft) == size_t(-1))
        std::abort();
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// The file name a program makes of a name from a disk image (Shift_JIS bytes): the bytes
// themselves, or for a Windows program the characters, which Wine stores as UTF-8.
inline std::string imageFileName(const std::string& shiftJis) {
    return windows() ? utf8FromShiftJis(shiftJis) : shiftJis;
}

struct Result {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), std::streamsize(bytes.size()));
}

// A fresh empty directory, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "clitest.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

// The words as execvp takes them: pointers into `words`, then a null.
inline std::vector<char*> execArgs(std::vector<std::string>& words) {
    std::vector<char*> args;
    args.reserve(words.size() + 1);
    for (std::string& word : words)
        args.push_back(word.data());
    args.push_back(nullptr);
    return args;
}

// Runs `program` once with exactly `argv` (an empty vector for argc == 0) in directory `dir`;
// with a prefix or a Windows build, with argv[1] on.
inline Result runOnce(const std::string& program, const std::vector<std::string>& argv,
                      const fs::path& dir) {
    std::vector<std::string> words = command(program);
    const std::string file = words.front();
    if (words.size() == 1 && file == program)
        words = argv;  // as it is: argv[0] as given, or none
    else if (!argv.empty())
        words.insert(words.end(), argv.begin() + 1, argv.end());
    std::vector<char*> args = execArgs(words);

    TempDir capture;
    const std::string outPath = (capture / "stdout").string();
    const std::string errPath = (capture / "stderr").string();
    const pid_t pid = fork();
    if (pid == 0) {
        // Standard input is /dev/null, never the tester's terminal: under Wine a terminal
        // there gives each program a console process of its own, attached to it.
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        execvp(file.c_str(), args.data());
        constexpr char kNotStarted[] = "cli: the program could not be started\n";
        if (write(2, kNotStarted, sizeof kNotStarted - 1) < 0) _exit(127);
        _exit(127);
    }
    Result result;
    if (pid < 0) {  // nothing ran: say so, rather than leave two empty outputs to compare
        result.err = "cli: fork failed\n";
        return result;
    }
    int status = 0;
    pid_t waited = 0;
    do  // a signal must not end the wait while the program still runs
        waited = waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

// Starts `program` with `argv` (argv[0] as runOnce treats it) in `dir`, its output thrown
// away, and returns the process id without waiting: for tests that signal a program while it
// works.
inline pid_t start(const std::string& program, const std::vector<std::string>& argv,
                   const fs::path& dir) {
    std::vector<std::string> words = command(program);
    words.insert(words.end(), argv.begin() + 1, argv.end());
    std::vector<char*> args = execArgs(words);
    const pid_t pid = fork();
    if (pid == 0) {
        // As from a terminal: a test run in the background (SIGINT ignored) or under nohup
        // (SIGHUP ignored) passes those on, and the program leaves ignored signals ignored.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signal, SIG_DFL);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Why run `r` of `program` looks like Wine failing to run it rather than the program's answer,
// or "" (always "" for a program started without a prefix). Our programs exit with 0, 1 or 2
// and print only their own lines; Wine reports a failure of its own (a process it could not
// start, a lost wineserver) with lines of its own, or as a status no program of ours gives, or
// not at all: `silent` says the run printed nothing and changed no file where the caller
// expects some output. A crash Wine reports ("Unhandled ...") is the program's.
inline std::string wineFailure(const std::string& program, const Result& r, bool silent = false) {
    if (command(program).size() == 1) return "";
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);)
        if ((line.rfind("wine", 0) == 0 || line.find("err:") != std::string::npos) &&
            line.find("Unhandled") == std::string::npos)
            return "Wine's own message \"" + line + "\"";
    if (r.err.find("Unhandled") != std::string::npos) return "";
    if (r.status < 0 || r.status > 2)
        return r.status < 0 ? "no exit status" : "exit status " + std::to_string(r.status);
    return silent && r.out.empty() && r.err.empty() ? "no output at all" : "";
}

// A failure of Wine's own is run again, at most twice, and said on standard error (the test's
// log, which .ci/windows.sh counts): a machine with both cores busy sees one now and then.
inline bool retryAfterWine(const std::string& program, const std::string& why, int attempt) {
    if (why.empty() || attempt >= 3) return false;
    std::cerr << "cli: Wine did not run " << fs::path(program).filename().string() << " (" << why
              << "): running it again, attempt " << attempt + 1 << " of 3\n";
    return true;
}

// runOnce, again (at most twice) where Wine failed to run the program.
inline Result run(const std::string& program, const std::vector<std::string>& argv,
                  const fs::path& dir) {
    for (int attempt = 1;; ++attempt) {
        Result r = runOnce(program, argv, dir);
        if (!retryAfterWine(program, wineFailure(program, r), attempt)) return r;
    }
}

// Paths relative to the working directory and their contents: "->T" is a symlink to T, and a
// name ending in '/' a directory.
using Files = std::map<std::string, std::string>;
const std::string kGone = "(removed)";  // in `after`: the path must be gone

// Every regular file and symlink under `root`, named relative to `work`.
inline Files snapshot(const fs::path& root, const fs::path& work) {
    Files files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_symlink() || !e.is_directory())
            files[e.path().lexically_relative(work).string()] =
                e.is_symlink() ? "->" + fs::read_symlink(e.path()).string() : readFile(e.path());
    return files;
}

// Makes `before` in a fresh directory, runs `program` in its subdirectory `sub` (so that
// names climbing out of it stay inside the scratch directory), then checks the status, both
// outputs (`out` and `err` with '\n' line ends) and every file left: `before` updated by
// `after`. A run Wine failed to make (wineFailure) is made again from a fresh directory.
inline void expectRun(const std::string& program, const std::vector<std::string>& argv,
                      const Files& before, int status, const std::string& out,
                      const std::string& err, const Files& after, const std::string& sub = ".") {
    for (int attempt = 1;; ++attempt) {
        TempDir root;
        const fs::path work = (root / sub).lexically_normal();
        fs::create_directories(work);
        Files made;
        for (const auto& [name, content] : before) {
            if (name.back() == '/') {
                fs::create_directories(work / name);
                continue;
            }
            fs::create_directories((work / name).parent_path());
            if (content.rfind("->", 0) == 0)
                fs::create_symlink(content.substr(2), work / name);
            else
                writeFile(work / name, content);
            made[fs::path(name).lexically_normal().string()] = content;
        }
        Files want = made;
        for (const auto& [name, content] : after)
            if (content == kGone)
                want.erase(name);
            else
                want[name] = content;
        const Result r = runOnce(program, argv, work);
        const Files have = snapshot(root.path(), work);
        const bool silent = !(out.empty() && err.empty()) && have == made;
        if (retryAfterWine(program, wineFailure(program, r, silent), attempt)) continue;
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, lines(out));
        EXPECT_EQ(r.err, lines(err));
        for (const auto& [name, content] : have)
            EXPECT_TRUE(want.count(name) == 1 && want[name] == content)
                << name << " (" << content.size() << " bytes) is not as expected";
        for (const auto& [name, content] : want)
            EXPECT_EQ(have.count(name), 1u) << name << " is missing";
        return;
    }
}

// A row of a command-line test table: the files made first, the arguments, and what is
// expected. Written as row(...) so that tables stay compact.
struct Case {
    const char* what;
    Files before;
    std::vector<std::string> argv;
    int status;
    std::string out, err;
    Files after;
    Platform only;
};
inline Case row(const char* what, Files before, std::vector<std::string> argv, int status,
                std::string out, std::string err, Files after, Platform only = Platform::kAll) {
    return {what, before, argv, status, out, err, after, only};
}
inline std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.what;
}
inline void expectRun(const std::string& program, const Case& c) {
    if (!runsHere(c.only)) GTEST_SKIP() << "not for this platform";
    expectRun(program, c.argv, c.before, c.status, c.out, c.err, c.after);
}

}  // namespace cli

#endif  // TESTS_CLI_H
