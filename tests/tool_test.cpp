// Runs the built collect-file tool in a child process, on generated files, pipes, a terminal, a
// full disk and injected read errors, and checks its output and exit status. Every --json
// output is parsed by an independent JSON parser.

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// Where the tool's standard input comes from.
enum class Input {
    kNone,         // /dev/null
    kPipe,         // the file's bytes through a pipe
    kDescriptor3,  // the file's bytes through a pipe on descriptor 3, named /dev/fd/3
    kRedirect,     // the file itself, already read up to `skip`, as a shell's `< FILE` gives it
    kEndless,      // "y\n" without end through a pipe
};

// Where the tool's standard output goes.
enum class Output {
    kFile,
    kDevNull,
    kDevFull,
    kTerminal,            // a pseudo-terminal
    kTerminalWithErrors,  // a pseudo-terminal, standard error too
    kFirstLine,           // a pipe whose reader stops after the first line, as `| head -1` does
};

const int kNobody = 65534;

// Whether the tool runs at all as nobody: not where the build lies in a folder that only its
// owner may enter (root's home on a fresh machine, say).
bool nobodyRunsTheTool() {
    static const bool runs = [] {
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            setenv("LLVM_PROFILE_FILE", "/dev/null", 1);
            if (setgid(kNobody) == 0 && setuid(kNobody) == 0) {
                execl(COLLECT_FILE_TOOL_PATH, COLLECT_FILE_TOOL_PATH, "--version",
                      static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }();
    return runs;
}

// AddressSanitizer's allocator keeps freed memory for itself, and more of it the more the tool
// allocates, so that a sanitized tool's resident memory grows where the tool holds nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryTellsWhatIsHeld = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentMemoryTellsWhatIsHeld = false;
#else
constexpr bool kResidentMemoryTellsWhatIsHeld = true;
#endif
#else
constexpr bool kResidentMemoryTellsWhatIsHeld = true;
#endif
// A run that takes longer than this has hung; SIGALRM ends it.
const unsigned kTimeLimitSeconds = 60;

struct ToolResult {
    int status = -1;  // -1: ended by a signal
    std::string out;
    std::string err;
    long maxResidentKb = 0;
};

struct ToolCase {
    std::string name;
    std::vector<std::string> args;  // "{clean}" and the like stand for the generated files
    int status = 0;
    std::vector<std::string> outParts = {};  // each must appear in stdout, in this order
    std::string notInOut = "";               // must not appear in stdout
    std::vector<std::string> errParts = {};  // each in stderr, in this order; none: no stderr
    Input input = Input::kNone;
    std::string inputFile = "";
    uint64_t skip = 0;
    std::string fault = "";  // COLLECT_FILE_FAULT for the injector, loaded into the tool
    Output output = Output::kFile;
    // JSON pointers into the parsed stdout, each with the JSON value it must hold.
    std::vector<std::pair<std::string, std::string>> json = {};
    long maxResidentMb = 0;  // 0: not measured
    bool asNobody = false;   // when the test runs as root, the tool runs as nobody

    ToolCase& out(std::vector<std::string> parts) { return outParts = std::move(parts), *this; }
    ToolCase& outLacks(std::string part) { return notInOut = std::move(part), *this; }
    ToolCase& err(std::vector<std::string> parts) { return errParts = std::move(parts), *this; }
    ToolCase& from(Input kind, std::string file = "", uint64_t skipped = 0) {
        input = kind;
        inputFile = std::move(file);
        skip = skipped;
        return *this;
    }
    ToolCase& to(Output kind) { return output = kind, *this; }
    ToolCase& withFault(std::string armed) { return fault = std::move(armed), *this; }
    ToolCase& holds(std::vector<std::pair<std::string, std::string>> values) {
        return json = std::move(values), *this;
    }
    ToolCase& memoryBelow(long megabytes) { return maxResidentMb = megabytes, *this; }
    ToolCase& nobody() { return asNobody = true, *this; }
};

ToolCase row(std::string name, std::vector<std::string> args, int status) {
    ToolCase c;
    c.name = std::move(name);
    c.args = std::move(args);
    c.status = status;
    return c;
}

// Writes bytes (or, endless, "y\n" until the reader is gone) into fd and closes it.
void feed(int fd, std::string bytes, bool endless) {
    if (endless) {
        std::string chunk;
        for (size_t i = 0; i < 32768; ++i) {
            chunk += "y\n";
        }
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
    } else {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                break;  // the tool stopped reading; its result tells the rest
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
}

// The text of a pseudo-terminal with its line endings back to "\n".
std::string withoutCarriageReturns(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) {
        text.erase(at, 1);
    }
    return text;
}

class ToolTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        signal(SIGPIPE, SIG_IGN);  // also for the tool, as a service may run it
        // [FULL] at 0, f1 at 18, f2 at 21, [DIFF] at 24, d1 at 42, [SYSTEM] at 45; 65 bytes.
        files_["{clean}"] = pathOf("clean");
        writtenBytes(
            {FULLENTRYDELIMITER, "f1", "f2", DIFFENTRYDELIMITER, "d1", SYSTEMENTRYDELIMITER},
            ACCESS_WRITE, "clean");
        // e0 at 0, e1 at 3, [FULL] at 6, a line with a NUL at 24, a cut last line at 30.
        files_["{problems}"] =
            fileWith(std::string("e0\ne1\n[FULL_DB_ENTRIES]\nab\0cd\nlast", 34), "problems");
        files_["{one-line-cut}"] = fileWith("[FULL_DB_ENTRIES]", "one-line-cut");
        files_["{too-long}"] =
            fileWith("[FULL_DB_ENTRIES]\n" + std::string(2048, 'x') + "\nafter\n", "too-long");
        files_["{longest}"] =
            fileWith("[FULL_DB_ENTRIES]\n" + std::string(2047, 'x') + "\n", "longest");
        files_["{missing}"] = pathOf("missing");
        files_["{folder}"] = folder_;
        files_["{crlf}"] = fileWith("[FULL_DB_ENTRIES]\r\nf1\r\n", "crlf");
        // Two full sections, around a diff one: f1 at 18, the second full marker at 39, f2 at 57.
        files_["{two-full}"] = fileWith(
            "[FULL_DB_ENTRIES]\nf1\n[DIFF_DB_ENTRIES]\n[FULL_DB_ENTRIES]\nf2\n", "two-full");
        files_["{escapes}"] = fileWith(
            "\x1b]0;title\x07\\ \xc2\x9b\xc2\x9f\xc2\xa0\x7f\xff ok \xc3\xa9\n", "escapes");
        files_["{not-utf8}"] = fileWith("[FULL_DB_ENTRIES]\n", "bad\xff");
        files_["{not-utf8-in-json}"] = pathOf("bad\xef\xbf\xbd");  // U+FFFD for the byte
        files_["{controls}"] = fileWith("[FULL_DB_ENTRIES]\n", "quote\"del\x7f-c1\xc2\x9b");
        files_["{controls-in-json}"] = pathOf("quote\\\"del\x7f-c1\xc2\x9b");
        files_["{cut-name}"] = fileWith("[FULL_DB_ENTRIES]", "cut\x1b[31m");
        files_["{cut-name-shown}"] = pathOf("cut\\x1b[31m");
        files_["{missing-name}"] = pathOf("missing\x9b");
        files_["{missing-name-shown}"] = pathOf("missing\\x9b");
        files_["{locked}"] = fileWith("[FULL_DB_ENTRIES]\n", "locked");
        chmod(files_["{locked}"].c_str(), 0);
        files_["{root-only}"] = pathOf("root-only");
        writtenBytes({FULLENTRYDELIMITER, "f1"}, ACCESS_WRITE, "root-only");
        chmod(files_["{root-only}"].c_str(), 0600);
        // Long enough for several reads, with no long line.
        std::string big = "[FULL_DB_ENTRIES]\n";
        while (big.size() < 200000) {
            big += std::string(1443, 'e') + "\n";
        }
        files_["{big}"] = fileWith(big, "big");
        std::string nulLines;
        for (int i = 0; i < 500000; ++i) {
            nulLines += std::string("\0\n", 2);
        }
        files_["{nul-lines}"] = fileWith(nulLines, "nul-lines");
    }

    // Replaces the file placeholders in text.
    std::string expand(std::string text) const {
        for (const auto& file : files_) {
            for (size_t at; (at = text.find(file.first)) != std::string::npos;) {
                text.replace(at, file.first.size(), file.second);
            }
        }
        return text;
    }

    ToolResult run(const std::vector<std::string>& args) { return run(row("", args, 0)); }

    // Runs the tool with c's arguments, input, fault and output; extra is added to its
    // environment.
    ToolResult run(const ToolCase& c, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> expanded = {COLLECT_FILE_TOOL_PATH};
        for (const std::string& arg : c.args) {
            expanded.push_back(expand(arg));
        }
        const std::string outPath = pathOf("stdout");
        const std::string errPath = pathOf("stderr");
        const bool piped =
            c.input == Input::kPipe || c.input == Input::kDescriptor3 || c.input == Input::kEndless;
        int input[2] = {-1, -1};
        if (piped) {
            EXPECT_EQ(pipe(input), 0);
        }
        int terminal = -1;
        int terminalSide = -1;
        const bool onTerminal =
            c.output == Output::kTerminal || c.output == Output::kTerminalWithErrors;
        if (onTerminal) {
            EXPECT_EQ(openpty(&terminal, &terminalSide, nullptr, nullptr, nullptr), 0);
        }
        int output[2] = {-1, -1};
        if (c.output == Output::kFirstLine) {
            EXPECT_EQ(pipe(output), 0);
        }
        const std::string inputPath = expand(c.inputFile);
        const pid_t child = fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (std::string& arg : expanded) {
                argv.push_back(&arg[0]);
            }
            argv.push_back(nullptr);
            int stdinFd = open("/dev/null", O_RDONLY);
            if (c.input == Input::kRedirect) {
                stdinFd = open(inputPath.c_str(), O_RDONLY);
                lseek(stdinFd, static_cast<off_t>(c.skip), SEEK_SET);
            } else if (c.input != Input::kNone) {
                close(input[1]);
                dup2(input[0], c.input == Input::kDescriptor3 ? 3 : 0);
            }
            if (c.input != Input::kPipe && c.input != Input::kEndless) {
                dup2(stdinFd, 0);
            }
            // Only the parent holds the reading ends, so that the tool sees its reader go.
            if (output[0] >= 0) {
                close(output[0]);
            }
            if (terminal >= 0) {
                close(terminal);
            }
            const char* outTarget = c.output == Output::kDevFull   ? "/dev/full"
                                    : c.output == Output::kDevNull ? "/dev/null"
                                                                   : outPath.c_str();
            dup2(onTerminal ? terminalSide
                 : c.output == Output::kFirstLine
                     ? output[1]
                     : open(outTarget, O_WRONLY | O_CREAT | O_TRUNC, 0600),
                 1);
            dup2(c.output == Output::kTerminalWithErrors
                     ? terminalSide
                     : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666),
                 2);
            if (!c.fault.empty()) {
                setenv("LD_PRELOAD", COLLECT_FILE_FAULT_PRELOAD, 1);
                setenv("COLLECT_FILE_FAULT", c.fault.c_str(), 1);
            }
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // for the preloaded injector
            for (const std::string& variable : extra) {
                putenv(strdup(variable.c_str()));
            }
            if (c.asNobody && geteuid() == 0) {
                // A coverage build writes its profile at exit: for nobody, nowhere.
                setenv("LLVM_PROFILE_FILE", "/dev/null", 1);
                if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                    _exit(126);
                }
            }
            alarm(kTimeLimitSeconds);
            execv(argv[0], argv.data());
            _exit(127);
        }
        std::thread feeder;
        if (piped) {
            close(input[0]);
            feeder = std::thread(
                feed, input[1],
                piped && c.input != Input::kEndless ? readBytes(inputPath) : std::string(),
                c.input == Input::kEndless);
        }
        ToolResult result;
        const int reading = terminal >= 0 ? terminal : output[0];
        if (reading >= 0) {
            close(terminal >= 0 ? terminalSide : output[1]);
            char bytes[4096];
            for (ssize_t n; (n = read(reading, bytes, sizeof bytes)) > 0;) {
                result.out.append(bytes, static_cast<size_t>(n));
                const size_t newline = result.out.find('\n');
                if (c.output == Output::kFirstLine && newline != std::string::npos) {
                    result.out.resize(newline + 1);
                    break;
                }
            }
            close(reading);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (feeder.joinable()) {
            feeder.join();
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.maxResidentKb = usage.ru_maxrss;
        if (c.output == Output::kFile) {
            result.out = readBytes(outPath);
        }
        result.out = withoutCarriageReturns(result.out);
        result.err = readBytes(errPath);
        return result;
    }

    // Runs every case and checks what it promises.
    void check(const std::vector<ToolCase>& cases) {
        for (const ToolCase& c : cases) {
            SCOPED_TRACE(c.name);
            if (!c.fault.empty() && !kReadErrorsReported) {
                continue;  // the library, and so the tool, reads an I/O error as the end
            }
            if (c.asNobody && geteuid() == 0 && !nobodyRunsTheTool()) {
                std::printf("[  SKIPPED ] %s: nobody cannot run the tool where it was built\n",
                            c.name.c_str());
                continue;
            }
            const ToolResult result = run(c);
            EXPECT_EQ(result.status, c.status) << result.out << result.err;
            expectInOrder(result.out, c.outParts, "stdout");
            if (!c.notInOut.empty()) {
                EXPECT_EQ(result.out.find(c.notInOut), std::string::npos) << result.out;
            }
            expectInOrder(result.err, c.errParts, "stderr");
            if (c.errParts.empty()) {
                EXPECT_EQ(result.err, "");
            }
            for (size_t at = 0; at < result.err.size(); at = result.err.find('\n', at) + 1) {
                EXPECT_EQ(result.err.compare(at, 14, "collect-file: "), 0) << result.err;
            }
            if (c.maxResidentMb > 0 && kResidentMemoryTellsWhatIsHeld) {
                EXPECT_LT(result.maxResidentKb, c.maxResidentMb * 1024);
            }
            const bool json = std::find(c.args.begin(), c.args.end(), "--json") != c.args.end();
            const bool kept = c.output == Output::kFile || c.output == Output::kTerminal;
            if (json && kept && (!result.out.empty() || c.status < 2)) {
                expectJson(result.out, c.json);
            }
        }
    }

    void expectInOrder(const std::string& text, const std::vector<std::string>& parts,
                       const char* stream) {
        size_t from = 0;
        for (const std::string& part : parts) {
            const size_t at = text.find(expand(part), from);
            EXPECT_NE(at, std::string::npos)
                << "missing in " << stream << ": " << expand(part) << "\n"
                << stream << ":\n"
                << text;
            from = at == std::string::npos ? from : at + 1;
        }
    }

    // The text is one JSON document on one line, and holds each value at its pointer.
    void expectJson(const std::string& text,
                    const std::vector<std::pair<std::string, std::string>>& values) {
        EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line: " << text;
        try {
            const nlohmann::json document = nlohmann::json::parse(text);
            for (const auto& value : values) {
                EXPECT_EQ(document.at(nlohmann::json::json_pointer(value.first)),
                          nlohmann::json::parse(expand(value.second)))
                    << value.first;
            }
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << e.what() << "\n" << text;
        }
    }

    std::map<std::string, std::string> files_;
};

TEST_F(ToolTest, ChecksShowsAndReportsAsDocumented) {
    check({
        // check
        row("a clean file", {"check", "{clean}"}, 0).out({"{clean}: 6 lines, 3 sections, clean\n"}),
        row("every problem kind with its offset", {"check", "{problems}"}, 1)
            .out({"{problems}: offset 0: 2 entries before the first marker line\n",
                  "{problems}: offset 24: NUL byte inside the line: readers get only its "
                  "first 2 bytes\n",
                  "{problems}: offset 30: last line has no newline",
                  "{problems}: 5 lines, 1 section, 3 problems\n"}),
        row("a one-line file without its newline", {"check", "{one-line-cut}"}, 1)
            .out({"{one-line-cut}: offset 0: last line has no newline",
                  "1 line, 1 section, 1 problem"}),
        row("a line too long to read stops the check", {"check", "{too-long}"}, 1)
            .out({"{too-long}: offset 18: line of 2,048 bytes or more",
                  "1 line, 1 section, 1 problem"}),
        row("a line of 2,047 bytes is fine", {"check", "{longest}"}, 0).out({"clean\n"}),
        row("a missing file after a clean one", {"check", "{clean}", "{missing}"}, 2)
            .out({"{clean}: 6 lines"})
            .err({"collect-file: {missing}: No such file or directory\n"}),
        row("a folder", {"check", "{folder}"}, 2).err({"collect-file: {folder}: Is a directory\n"}),
        row("an unreadable file gives the system's reason", {"check", "{locked}"}, 2)
            .err({"collect-file: {locked}: Permission denied\n"})
            .nobody(),
        // the worst status wins, whatever the order
        row("a problem, then a clean file", {"check", "{problems}", "{clean}"}, 1)
            .out({"3 problems", "{clean}: 6 lines, 3 sections, clean"}),
        row("a clean file, then a problem", {"check", "{clean}", "{problems}"}, 1)
            .out({"clean", "3 problems"}),
        row("a failure, then a problem", {"check", "{folder}", "{problems}"}, 2)
            .out({"3 problems"})
            .err({"Is a directory"}),
        row("a problem, then a failure", {"check", "{problems}", "{folder}"}, 2)
            .out({"3 problems"})
            .err({"Is a directory"}),
        row("check as one JSON document", {"check", "--json", "{problems}", "{missing}"}, 2)
            .err({"No such file or directory"})
            .holds({{"/files/0/file", "\"{problems}\""},
                    {"/files/0/lines", "5"},
                    {"/files/0/sections", "1"},
                    {"/files/0/problems/0",
                     R"({"offset": 0, "kind": "entries-before-marker",
                         "message": "2 entries before the first marker line"})"},
                    {"/files/0/problems/1/kind", "\"nul\""},
                    {"/files/0/problems/2/offset", "30"},
                    {"/files/0/problems/2/kind", "\"no-newline\""},
                    {"/files/0/error", "null"},
                    {"/files/1/file", "\"{missing}\""},
                    {"/files/1/error",
                     R"({"offset": null, "message": "No such file or directory"})"}}),
        // sections
        row("sections as text", {"sections", "{clean}"}, 0)
            .out({"MARKER                     OFFSET    ENTRIES\n"
                  "[FULL_DB_ENTRIES]               0          2\n"
                  "[DIFF_DB_ENTRIES]              24          1\n"
                  "[SYSTEM_DB_ENTRIES]            45          0\n"}),
        row("sections as JSON", {"sections", "--json", "{clean}"}, 0)
            .holds({{"/files/0/file", "\"{clean}\""},
                    {"/files/0/error", "null"},
                    {"/files/0/sections",
                     R"([{"marker": "[FULL_DB_ENTRIES]", "offset": 0, "entries": 2},
                         {"marker": "[DIFF_DB_ENTRIES]", "offset": 24, "entries": 1},
                         {"marker": "[SYSTEM_DB_ENTRIES]", "offset": 45, "entries": 0}])"}}),
        row("sections of a file that stops early", {"sections", "{too-long}"}, 1)
            .out({"[FULL_DB_ENTRIES]"})
            .err({"offset 18: line of 2,048 bytes or more"}),
        row("sections of a cut file", {"sections", "{one-line-cut}"}, 1)
            .out({"[FULL_DB_ENTRIES]"})
            .err({"last line has no newline"}),
        row("sections of a file with several problems: the first, and a count",
            {"sections", "{problems}"}, 1)
            .out({"[FULL_DB_ENTRIES]"})
            .err({"collect-file: {problems}: offset 0: 2 entries before the first marker line (2 "
                  "more problems: collect-file check lists them)\n"}),
        row("sections of a CRLF file", {"sections", "{crlf}"}, 1).err({"marker line ends in \\r"}),
        row("sections of a missing file", {"sections", "{missing}"}, 2)
            .err({"No such file or directory"}),
        row("sections of several files, each under its name", {"sections", "{clean}", "{two-full}"},
            0)
            .out({"==> {clean} <==\n", "[SYSTEM_DB_ENTRIES]            45          0\n",
                  "==> {two-full} <==\n", "[FULL_DB_ENTRIES]              39          1\n"}),
        row("sections: a problem, then a clean file", {"sections", "{crlf}", "{clean}"}, 1)
            .out({"==> {crlf} <==", "==> {clean} <=="})
            .err({"marker line ends in \\r"}),
        row("sections: a failure, then a problem", {"sections", "{missing}", "{crlf}"}, 2)
            .out({"==> {crlf} <=="})
            .err({"No such file", "marker line ends in \\r"}),
        // show
        row("show the first line", {"show", "{clean}", "0"}, 0).out({"[FULL_DB_ENTRIES]\n"}),
        row("show the first line by its recorded value",
            {"show", "--recorded", "{clean}", "18446744073709551615"}, 0)
            .out({"[FULL_DB_ENTRIES]\n"}),
        row("show two lines from the middle", {"show", "{clean}", "42", "2"}, 0)
            .out({"d1\n[SYSTEM_DB_ENTRIES]\n"}),
        row("show stops at the end", {"show", "{clean}", "45", "9"}, 0)
            .out({"[SYSTEM_DB_ENTRIES]\n"}),
        row("show past the end", {"show", "{clean}", "65"}, 2).err({"past the end of the file"}),
        row("show a line too long: what readers get", {"show", "{too-long}", "18"}, 1)
            .out({std::string(2047, 'x') + "\n"})
            .err({"line of 2,048 bytes or more"}),
        row("show by a recorded value", {"show", "--recorded", "{clean}", "41"}, 0).out({"d1\n"}),
        row("show from the middle of a line says so", {"show", "{clean}", "43"}, 0)
            .out({"1\n"})
            .err({"offset 43 is not the first byte of a line"}),
        row("show a cut last line: a problem", {"show", "{problems}", "30"}, 1)
            .out({"last\n"})
            .err({"collect-file: {problems}: offset 30: last line has no newline"}),
        row("show with offsets", {"show", "--offsets", "{clean}", "42", "2"}, 0)
            .out({"42:d1\n45:[SYSTEM_DB_ENTRIES]\n"}),
        row("show as JSON", {"show", "--json", "{clean}", "18", "2"}, 0)
            .holds({{"/lines", R"([{"offset": 18, "text": "f1"}, {"offset": 21, "text": "f2"}])"}}),
        // entries
        row("entries of a kind", {"entries", "{clean}", "full"}, 0).out({"f1\nf2\n"}),
        row("entries of every section of the kind, in file order",
            {"entries", "--offsets", "{two-full}", "full"}, 0)
            .out({"18:f1\n57:f2\n"}),
        row("entries of an empty section", {"entries", "{clean}", "system"}, 0),
        row("entries as JSON", {"entries", "--json", "{clean}", "diff"}, 0)
            .holds({{"/lines", R"([{"offset": 42, "text": "d1"}])"}}),
        row("entries of a file with a problem", {"entries", "{problems}", "full"}, 1)
            .out({"ab\nlast\n"})
            .err({"offset 0: 2 entries before the first marker line (2 more problems"}),
        row("entries of an unknown kind", {"entries", "{clean}", "FULL"}, 2)
            .err({"KIND is full, diff or system"}),
        // pipes and standard input
        row("check reads standard input by default", {"check"}, 0)
            .from(Input::kPipe, "{clean}")
            .out({"-: 6 lines, 3 sections, clean\n"}),
        row("sections reads standard input by default", {"sections"}, 0)
            .from(Input::kPipe, "{clean}")
            .out({"[DIFF_DB_ENTRIES]              24          1\n"}),
        row("check a pipe with every problem", {"check", "-"}, 1)
            .from(Input::kPipe, "{problems}")
            .out({"-: offset 0: 2 entries", "-: offset 24: NUL byte",
                  "-: offset 30: last line has no newline"}),
        row("check a pipe with a line too long", {"check", "-"}, 1)
            .from(Input::kPipe, "{too-long}")
            .out({"-: offset 18: line of 2,048 bytes or more", "1 line, 1 section, 1 problem"}),
        row("show on a pipe reads forward", {"show", "-", "42", "2"}, 0)
            .from(Input::kPipe, "{clean}")
            .out({"d1\n[SYSTEM_DB_ENTRIES]\n"}),
        row("entries of a pipe", {"entries", "--offsets", "-", "full"}, 0)
            .from(Input::kPipe, "{two-full}")
            .out({"18:f1\n57:f2\n"}),
        // faults
        row("a read error that persists", {"check", "{big}"}, 2)
            .outLacks("clean")
            .err({"Input/output error"})
            .withFault("read error onward:1:5"),
        row("a read error that does not repeat", {"check", "{big}"}, 2)
            .outLacks("clean")
            .err({"Input/output error"})
            .withFault("read error:1:5"),
        row("a full disk as standard output", {"sections", "--json", "{clean}"}, 2)
            .err({"collect-file: write error: No space left on device\n"})
            .to(Output::kDevFull),
        row("show to a full disk", {"show", "{clean}", "0", "6"}, 2)
            .err({"No space left on device"})
            .to(Output::kDevFull),
        row("check to a full disk", {"check", "{clean}"}, 2)
            .err({"No space left on device"})
            .to(Output::kDevFull),
        // terminals and JSON
        row("a terminal gets control bytes escaped", {"show", "{escapes}", "0"}, 0)
            .out({"\\x1b]0;title\\x07\\\\ \\xc2\\x9b\\xc2\\x9f\xc2\xa0\\x7f\\xff ok \xc3\xa9\n"})
            .to(Output::kTerminal),
        row("--raw keeps them on a terminal", {"show", "--raw", "{escapes}", "0"}, 0)
            .out({"\x1b]0;title\x07\\ \xc2\x9b\xc2\x9f\xc2\xa0\x7f\xff ok"})
            .to(Output::kTerminal),
        row("a pipe gets the bytes", {"show", "{escapes}", "0"}, 0)
            .out({"\x1b]0;title\x07\\ \xc2\x9b\xc2\x9f\xc2\xa0\x7f\xff ok"}),
        row("a name that is not UTF-8 in JSON", {"sections", "--json", "{not-utf8}"}, 0)
            .holds({{"/files/0/file", "\"{not-utf8-in-json}\""}}),
        // JSON escapes a name's DEL and C1 bytes, so that a terminal shows them as text.
        row("a name's quote and controls in JSON on a terminal",
            {"sections", "--json", "{controls}"}, 0)
            .out({"quote\\\"del\\u007f-c1\\u009b"})
            .holds({{"/files/0/file", "\"{controls-in-json}\""}})
            .to(Output::kTerminal),
        row("a name's controls in messages on a terminal",
            {"check", "{cut-name}", "{missing-name}"}, 2)
            .out({"{cut-name-shown}: offset 0: last line has no newline: the input ends inside it; "
                  "truncate -s 0 '{cut-name-shown}' keeps the whole lines",
                  "collect-file: {missing-name-shown}: No such file or directory"})
            .to(Output::kTerminalWithErrors),
        // CRLF
        row("check a CRLF file", {"check", "{crlf}"}, 1)
            .out({"{crlf}: offset 0: marker line ends in \\r (a CRLF file)"}),
        // the command line
        row("no command", {}, 2).err({"missing command"}),
        row("an unknown option", {"sections", "--jsn", "{clean}"}, 2)
            .err({"sections: unknown option '--jsn' (see collect-file --help)"}),
        row("-- ends the options", {"check", "--", "--json"}, 2).err({"--json: No such file"}),
        row("help: one line per command", {"--help"}, 0)
            .out({"  check ", "  sections ", "  show ", "  entries ", "collect-file(1)"}),
        row("a command's help", {"entries", "--help"}, 0)
            .out({"Usage: collect-file entries", "--offsets", "Example: collect-file entries"}),
        row("version", {"--version"}, 0).out({"collect-file " COLLECT_FILE_PROJECT_VERSION "\n"}),
        // Faults found by testing from outside, one row each.
        // A stream whose first read fails is a failure, never an empty, clean file.
        row("check a stream whose first read fails", {"check", "/proc/self/mem"}, 2)
            .outLacks("clean")
            .err({"collect-file: /proc/self/mem: ", "Input/output error"}),
        row("sections of it", {"sections", "/proc/self/mem"}, 2).err({"Input/output error"}),
        row("show of it", {"show", "/proc/self/mem", "0"}, 2).err({"Input/output error"}),
        row("entries of it", {"entries", "/proc/self/mem", "full"}, 2).err({"Input/output error"}),
        // A read error of a stream in sections and show (at every read position below).
        row("sections on a stream whose second read fails", {"sections", "/dev/fd/3"}, 2)
            .from(Input::kDescriptor3, "{big}")
            .err({"Input/output error"})
            .withFault("read error:1:5"),
        row("show on a stream cut by a read error", {"show", "/dev/fd/3", "0", "1000"}, 2)
            .from(Input::kDescriptor3, "{big}")
            .err({"Input/output error"})
            .withFault("read error:1:5"),
        // A failed write into the tool's own copy of a stream ends the input early: a failure.
        row("a copy of a stream that fails", {"check", "/dev/fd/3"}, 2)
            .from(Input::kDescriptor3, "{big}")
            .outLacks("clean")
            .err({"copying the input failed (write): Input/output error"})
            .withFault("error:0:5"),
        // Standard input as the shell gave it, not reopened by name.
        row("standard input that only root may open", {"check", "-"}, 0)
            .from(Input::kRedirect, "{root-only}")
            .out({"-: 2 lines, 1 section, clean\n"})
            .nobody(),
        // From standard input's offset.
        row("standard input read from where it stands", {"show", "-", "0"}, 0)
            .from(Input::kRedirect, "{clean}", 24)
            .out({"[DIFF_DB_ENTRIES]\n"}),
        row("check from where standard input stands", {"check"}, 0)
            .from(Input::kRedirect, "{clean}", 24)
            .out({"-: 3 lines, 2 sections, clean\n"}),
        // Memory does not grow with the problems.
        row("half a million NUL lines", {"check", "{nul-lines}"}, 1)
            .to(Output::kDevNull)
            .memoryBelow(48),
        row("half a million NUL lines as JSON", {"check", "--json", "{nul-lines}"}, 1)
            .to(Output::kDevNull)
            .memoryBelow(48),
        // show stops at its first failed write, also with SIGPIPE ignored.
        row("show into a reader that stops", {"show", "-", "0", "100000000000"}, 2)
            .from(Input::kEndless)
            .to(Output::kFirstLine)
            .out({"y\n"})
            .err({"Broken pipe"}),
    });
}

// An EIO injected at each read of a stream ends every command with status 2 and the system's
// reason: never a clean end, never a shorter file.
TEST_F(ToolTest, AReadErrorAtEveryReadOfAStreamFails) {
    if (!kReadErrorsReported) {
        GTEST_SKIP() << "the library, and so the tool, reads an I/O error as the end";
    }
    const std::string report = pathOf("fault-report");
    const std::vector<std::vector<std::string>> commands = {
        {"check", "/dev/fd/3"},
        {"sections", "/dev/fd/3"},
        {"show", "/dev/fd/3", "0", "1000"},
        {"entries", "/dev/fd/3", "full"},
    };
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(args[0]);
        ToolCase c = row(args[0], args, 0).from(Input::kDescriptor3, "{big}");
        // Counts the reads of a run without a fault.
        c.fault = "read error:1000000:5";
        const ToolResult clean = run(c, {"COLLECT_FILE_FAULT_REPORT=" + report});
        ASSERT_EQ(clean.status, 0) << clean.err;
        const int reads = std::atoi(readBytes(report).c_str());
        ASSERT_GT(reads, 2);
        for (int position = 0; position < reads; ++position) {
            SCOPED_TRACE("read " + std::to_string(position));
            c.fault = "read error:" + std::to_string(position) + ":5";
            const ToolResult result = run(c, {"COLLECT_FILE_FAULT_REPORT=" + report});
            if (readBytes(report).find("injected") == std::string::npos) {
                continue;  // this run read in fewer pieces
            }
            EXPECT_EQ(result.status, 2) << result.out;
            EXPECT_NE(result.err.find("Input/output error"), std::string::npos) << result.err;
            EXPECT_EQ(result.out.find("clean"), std::string::npos) << result.out;
        }
    }
}

// A reader can meet a line that is being appended, cut where the writer's copy had reached (a
// page boundary): the tool may say so, but never that the file ends without a newline.
TEST_F(ToolTest, AFileThatGrowsWhileCheckedHasNoCutLastLine) {
    const std::string path = fileWith("[FULL_DB_ENTRIES]\n", "growing");
    std::atomic<bool> done(false);
    std::thread appender([&] {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        const std::string line = "entry " + std::string(100, 'e') + "\n";
        for (int i = 0; i < 200000 && !done; ++i) {
            ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
        close(fd);
    });
    const ToolResult result = run({"check", path});
    done = true;
    appender.join();
    EXPECT_TRUE(result.status == 0 ||
                result.out.find("still being written when it was read") != std::string::npos)
        << result.out << result.err;
    EXPECT_EQ(result.out.find("newline"), std::string::npos) << result.out;
}

// The console samples of a document: each "$ " command with the lines printed after it.
struct Sample {
    std::string command;
    std::string output;
};

std::vector<Sample> samplesOf(const std::string& text) {
    std::vector<Sample> samples;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.compare(0, 2, "$ ") == 0) {
            samples.push_back({line.substr(2), ""});
        } else if (!samples.empty()) {
            samples.back().output += line + "\n";
        }
        at = end + 1;
    }
    return samples;
}

// The text between the first `begin` after `after` and the next `end`.
std::string between(const std::string& text, const std::string& after, const std::string& begin,
                    const std::string& end) {
    const size_t from = text.find(begin, text.find(after));
    if (from == std::string::npos) {
        return "";
    }
    const size_t to = text.find(end, from + begin.size());
    return text.substr(from + begin.size(), to - from - begin.size());
}

// The manual's text as it renders in a no-fill block: roff's escapes for '-' and '\\' undone.
std::string unroff(std::string text) {
    std::string plain;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        if (text[at] != '.') {
            plain += text.substr(at, end - at) + "\n";
        }
        at = end + 1;
    }
    for (const auto& escape : {std::make_pair("\\-", "-"), std::make_pair("\\e", "\\")}) {
        for (size_t at = 0; (at = plain.find(escape.first, at)) != std::string::npos; ++at) {
            plain.replace(at, 2, escape.second);
        }
    }
    return plain;
}

// Every sample of the README's tool section and of the manual's examples is what the tool
// prints: each command runs in a fresh folder, through the shell, standard error with standard
// output.
TEST_F(ToolTest, TheReadmeAndManualSamplesAreTheToolsOutput) {
    const std::string readme = readBytes(COLLECT_FILE_SOURCE_DIR "/README.md");
    const std::string manual = readBytes(COLLECT_FILE_SOURCE_DIR "/docs/collect-file.1");
    const std::vector<std::pair<std::string, std::string>> documents = {
        {"README.md", between(readme, "## The collect-file tool", "```console\n", "```")},
        {"collect-file.1", unroff(between(manual, "", ".SH EXAMPLES\n", ".SH "))},
    };
    std::string tools = COLLECT_FILE_TOOL_PATH;
    tools.erase(tools.rfind('/'));
    for (const auto& document : documents) {
        SCOPED_TRACE(document.first);
        const std::string folder = pathOf(document.first + ".samples");
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        const std::vector<Sample> samples = samplesOf(document.second);
        EXPECT_GE(samples.size(), 3u);
        for (const Sample& sample : samples) {
            SCOPED_TRACE(sample.command);
            writeBytes(pathOf("sample.sh"), "cd '" + folder + "' || exit 99\nPATH='" + tools +
                                                "':\"$PATH\"\n" + sample.command + "\n");
            FILE* shell = popen(("sh '" + pathOf("sample.sh") + "' 2>&1").c_str(), "r");
            ASSERT_NE(shell, nullptr);
            std::string printed;
            char bytes[4096];
            for (size_t n; (n = fread(bytes, 1, sizeof bytes, shell)) > 0;) {
                printed.append(bytes, n);
            }
            pclose(shell);
            EXPECT_EQ(printed, sample.output);
        }
    }
}

}  // namespace
