// Runs the built collect-file tool in a child process, for what needs one: exit statuses, pipes
// and standard input, a terminal, a full disk, a reader that stops (EPIPE), injected read
// errors, memory use, and running as nobody. tool_run_test.cpp runs the rest in process.

#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
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
    kTerminalWithErrors,  // a pseudo-terminal, standard error too
    kFirstLine,           // a pipe whose reader stops after the first line, as `| head -1` does
};

const int kNobody = 65534;

// AddressSanitizer's allocator keeps freed memory for itself, and more of it the more the tool
// allocates, so that a sanitized tool's resident memory grows where the tool holds nothing.
#ifndef __has_feature
#define __has_feature(feature) 0
#endif
constexpr bool kResidentMemoryTellsWhatIsHeld =
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    false;
#else
    true;
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
    long maxResidentMb = 0;    // 0: not measured
    bool asNobody = false;     // when the test runs as root, the tool runs as nobody
    bool withoutProc = false;  // in a mount namespace of its own, without /proc

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
    ToolCase& memoryBelow(long megabytes) { return maxResidentMb = megabytes, *this; }
    ToolCase& nobody() { return asNobody = true, *this; }
    ToolCase& noProc() { return withoutProc = true, *this; }
};

ToolCase row(std::string name, std::vector<std::string> args, int status) {
    ToolCase c;
    c.name = std::move(name);
    c.args = std::move(args);
    c.status = status;
    return c;
}

// Writes bytes (or, endless, "y\n" until the reader is gone) into fd and closes it. A write
// that fails ends it: the tool stopped reading, and its result tells the rest.
void feed(int fd, std::string bytes, bool endless) {
    while (endless && bytes.size() < 65536) {
        bytes += "y\n";
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            break;
        }
        done = (done + static_cast<size_t>(n)) % (endless ? bytes.size() : SIZE_MAX);
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
        files_["{clean}"] = fileWith(
            "[FULL_DB_ENTRIES]\nf1\nf2\n[DIFF_DB_ENTRIES]\nd1\n[SYSTEM_DB_ENTRIES]\n", "clean");
        // Two full sections, around a diff one: f1 at 18, the second full marker at 39, f2 at 57.
        files_["{two-full}"] = fileWith(
            "[FULL_DB_ENTRIES]\nf1\n[DIFF_DB_ENTRIES]\n[FULL_DB_ENTRIES]\nf2\n", "two-full");
        files_["{cut-name}"] = fileWith("[FULL_DB_ENTRIES]", "cut\x1b[31m");
        files_["{cut-name-shown}"] = pathOf("cut\\x1b[31m");
        files_["{missing-name}"] = pathOf("missing\x9b");
        files_["{missing-name-shown}"] = pathOf("missing\\x9b");
        files_["{locked}"] = fileWith("[FULL_DB_ENTRIES]\n", "locked");
        chmod(files_["{locked}"].c_str(), 0);
        files_["{root-only}"] = fileWith("[FULL_DB_ENTRIES]\nf1\n", "root-only");
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

    // Runs the tool with c's arguments, input, fault and output; extra is added to its
    // environment.
    ToolResult run(const ToolCase& c, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> expanded = {COLLECT_FILE_TOOL_PATH};
        for (const std::string& arg : c.args) {
            expanded.push_back(expand(arg));
        }
        const std::string outPath = pathOf("stdout");
        const std::string errPath = pathOf("stderr");
        unlink(errPath.c_str());  // a terminal takes standard error: none of an earlier run
        const bool piped =
            c.input == Input::kPipe || c.input == Input::kDescriptor3 || c.input == Input::kEndless;
        int input[2] = {-1, -1};
        if (piped) {
            EXPECT_EQ(pipe(input), 0);
        }
        int terminal = -1;
        int terminalSide = -1;
        const bool onTerminal = c.output == Output::kTerminalWithErrors;
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
            if (c.withoutProc && (unshare(CLONE_NEWNS) != 0 ||
                                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                  mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
                _exit(125);
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
        const auto expanded = [this](const std::string& part) { return expand(part); };
        for (const ToolCase& c : cases) {
            SCOPED_TRACE(c.name);
            const ToolResult result = run(c);
            EXPECT_EQ(result.status, c.status) << result.out << result.err;
            expectInOrder(result.out, c.outParts, "stdout", expanded);
            if (!c.notInOut.empty()) {
                EXPECT_EQ(result.out.find(c.notInOut), std::string::npos) << result.out;
            }
            expectInOrder(result.err, c.errParts, "stderr", expanded);
            if (c.errParts.empty()) {
                EXPECT_EQ(result.err, "");
            }
            for (size_t at = 0; at < result.err.size(); at = result.err.find('\n', at) + 1) {
                EXPECT_EQ(result.err.compare(at, 14, "collect-file: "), 0) << result.err;
            }
            if (c.maxResidentMb > 0 && kResidentMemoryTellsWhatIsHeld) {
                EXPECT_LT(result.maxResidentKb, c.maxResidentMb * 1024);
            }
        }
    }

    std::map<std::string, std::string> files_;
};

TEST_F(ToolTest, ExitsAndReadsAsAProcess) {
    check({
        // standard input and pipes
        row("check reads standard input by default", {"check"}, 0)
            .from(Input::kPipe, "{clean}")
            .out({"-: 6 lines, 3 sections, clean\n"}),
        row("sections reads standard input by default", {"sections"}, 0)
            .from(Input::kPipe, "{clean}")
            .out({"[DIFF_DB_ENTRIES]              24          1\n"}),
        row("entries reads standard input by default", {"entries", "--offsets", "full"}, 0)
            .from(Input::kPipe, "{two-full}")
            .out({"18:f1\n57:f2\n"}),
        row("show on a pipe reads forward", {"show", "-", "42", "2"}, 0)
            .from(Input::kPipe, "{clean}")
            .out({"d1\n[SYSTEM_DB_ENTRIES]\n"}),
        // standard input as the shell gave it, from where it stands
        row("standard input read from where it stands", {"show", "-", "0"}, 0)
            .from(Input::kRedirect, "{clean}", 24)
            .out({"[DIFF_DB_ENTRIES]\n"}),
        row("show reads standard input forward", {"show", "--offsets", "-", "24", "1"}, 0)
            .from(Input::kRedirect, "{clean}")
            .out({"24:[DIFF_DB_ENTRIES]\n"}),
        row("check from where standard input stands", {"check"}, 0)
            .from(Input::kRedirect, "{clean}", 24)
            .out({"-: 3 lines, 2 sections, clean\n"}),
        // faults
        row("a read error that persists", {"check", "{big}"}, 2)
            .outLacks("clean")
            .err({"Input/output error"})
            .withFault("read error onward:1:5"),
        row("a read error that does not repeat", {"check", "{big}"}, 2)
            .outLacks("clean")
            .err({"Input/output error"})
            .withFault("read error:1:5"),
        row("sections on a stream whose second read fails", {"sections", "/dev/fd/3"}, 2)
            .from(Input::kDescriptor3, "{big}")
            .err({"Input/output error"})
            .withFault("read error:1:5"),
        row("show on a stream cut by a read error", {"show", "/dev/fd/3", "0", "1000"}, 2)
            .from(Input::kDescriptor3, "{big}")
            .err({"Input/output error"})
            .withFault("read error:1:5"),
        // output
        row("a full disk as standard output", {"sections", "--json", "{clean}"}, 2)
            .err({"collect-file: write error: No space left on device\n"})
            .to(Output::kDevFull),
        // show stops at its first failed write, also with SIGPIPE ignored.
        row("show into a reader that stops", {"show", "-", "0", "100000000000"}, 2)
            .from(Input::kEndless)
            .to(Output::kFirstLine)
            .out({"y\n"})
            .err({"Broken pipe"}),
        // Memory does not grow with the problems.
        row("half a million NUL lines", {"check", "{nul-lines}"}, 1)
            .to(Output::kDevNull)
            .memoryBelow(48),
        row("half a million NUL lines as JSON", {"check", "--json", "{nul-lines}"}, 1)
            .to(Output::kDevNull)
            .memoryBelow(48),
    });
}

// On a terminal, a name's control bytes are escaped on both streams.
TEST_F(ToolTest, EscapesControlsOnATerminal) {
    int terminal = -1;
    int terminalSide = -1;
    if (openpty(&terminal, &terminalSide, nullptr, nullptr, nullptr) != 0) {
        GTEST_SKIP() << "no pseudo-terminal here (/dev/pts not mounted)";
    }
    close(terminal);
    close(terminalSide);
    check({
        row("a terminal gets a name's controls escaped on both streams",
            {"check", "{cut-name}", "{missing-name}"}, 2)
            .out({"{cut-name-shown}: offset 0: last line has no newline: the input ends inside it; "
                  "truncate -s 0 '{cut-name-shown}' keeps the whole lines",
                  "collect-file: {missing-name-shown}: No such file or directory"})
            .to(Output::kTerminalWithErrors),
    });
}

// As nobody: the system's reason for a file nobody may read, and standard input that only root
// could open by name.
TEST_F(ToolTest, RunsAsNobody) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can run the tool as nobody";
    }
    if (run(row("", {"--version"}, 0).nobody()).status != 0) {
        // Where the build lies in a folder that only its owner may enter (root's home, say).
        GTEST_SKIP() << "nobody cannot run the tool where it was built";
    }
    check({
        row("an unreadable file gives the system's reason", {"check", "{locked}"}, 2)
            .err({"collect-file: {locked}: Permission denied\n"})
            .nobody(),
        row("standard input that only root may open", {"check", "-"}, 0)
            .from(Input::kRedirect, "{root-only}")
            .out({"-: 2 lines, 1 section, clean\n"})
            .nobody(),
    });
}

// Without /proc mounted, files, standard input and standard input as a file are read.
TEST_F(ToolTest, ReadsWithoutProc) {
    if (run(row("", {"--version"}, 0).noProc()).status != 0) {
        // No mount namespace of its own here, or a sanitizer's runtime that needs /proc.
        GTEST_SKIP() << "the tool cannot start without /proc here";
    }
    check({
        row("a file", {"check", "{clean}"}, 0).out({"6 lines, 3 sections, clean\n"}).noProc(),
        row("standard input", {"check"}, 0).from(Input::kPipe, "{clean}").noProc(),
        row("standard input as a file", {"show", "-", "0"}, 0)
            .from(Input::kRedirect, "{clean}", 24)
            .out({"[DIFF_DB_ENTRIES]\n"})
            .noProc(),
    });
}

}  // namespace
