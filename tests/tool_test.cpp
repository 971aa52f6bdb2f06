// Runs the built collect-file tool on generated files and checks its output and exit status.

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// Where the tool's standard output goes.
enum class Output { kFile, kDevFull, kTerminal };

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

struct ToolCase {
    const char* name = "";
    std::vector<std::string> args = {};  // "{clean}" and the like stand for the generated files
    int status = 0;
    std::vector<std::string> outParts = {};  // each must appear in stdout, in this order
    std::string errPart = "";                // must appear in stderr; empty: stderr is empty
    std::string stdinFrom = "";  // a file whose bytes reach standard input through a pipe
    std::string fault = "";      // COLLECT_FILE_FAULT for the injector, loaded into the tool
    Output output = Output::kFile;
};

class ToolTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        signal(SIGPIPE, SIG_IGN);  // a tool that stops reading early closes its input
        // [FULL] at 0, f1 at 18, f2 at 21, [DIFF] at 24, d1 at 42, [SYSTEM] at 45; 65 bytes.
        files_["{clean}"] = pathOf("clean");
        writtenBytes(
            {FULLENTRYDELIMITER, "f1", "f2", DIFFENTRYDELIMITER, "d1", SYSTEMENTRYDELIMITER},
            ACCESS_WRITE, "clean");
        // e0 at 0, e1 at 3, [FULL] at 6, a line with a NUL at 24, a cut last line at 30.
        files_["{problems}"] =
            fileWith(std::string("e0\ne1\n[FULL_DB_ENTRIES]\nab\0cd\nlast", 34), "problems");
        files_["{too-long}"] =
            fileWith("[FULL_DB_ENTRIES]\n" + std::string(2048, 'x') + "\nafter\n", "too-long");
        files_["{longest}"] =
            fileWith("[FULL_DB_ENTRIES]\n" + std::string(2047, 'x') + "\n", "longest");
        files_["{missing}"] = pathOf("missing");
        files_["{folder}"] = folder_;
        files_["{crlf}"] = fileWith("[FULL_DB_ENTRIES]\r\nf1\r\n", "crlf");
        files_["{escapes}"] = fileWith("\x1b]0;title\x07\\ \xc2\x9b\xff ok \xc3\xa9\n", "escapes");
        files_["{not-utf8}"] = fileWith("[FULL_DB_ENTRIES]\n", "bad\xff");
        // Long enough for several refills, with no long line.
        std::string big = "[FULL_DB_ENTRIES]\n";
        while (big.size() < 200000) {
            big += std::string(1443, 'e') + "\n";
        }
        files_["{big}"] = fileWith(big, "big");
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

    ToolResult run(const std::vector<std::string>& args) { return run(ToolCase{"", args}); }

    // Runs the tool with c's arguments, standard input, fault and output.
    ToolResult run(const ToolCase& c) {
        std::vector<std::string> expanded = {COLLECT_FILE_TOOL_PATH};
        for (const std::string& arg : c.args) {
            expanded.push_back(expand(arg));
        }
        const std::string outPath = pathOf("stdout");
        const std::string errPath = pathOf("stderr");
        int input[2] = {-1, -1};
        if (!c.stdinFrom.empty()) {
            EXPECT_EQ(pipe(input), 0);
        }
        int terminal = -1;
        int terminalSide = -1;
        if (c.output == Output::kTerminal) {
            EXPECT_EQ(openpty(&terminal, &terminalSide, nullptr, nullptr, nullptr), 0);
        }
        const pid_t child = fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (std::string& arg : expanded) {
                argv.push_back(&arg[0]);
            }
            argv.push_back(nullptr);
            if (input[0] >= 0) {
                dup2(input[0], 0);
                close(input[1]);
            }
            const char* outTarget = c.output == Output::kDevFull ? "/dev/full" : outPath.c_str();
            dup2(c.output == Output::kTerminal
                     ? terminalSide
                     : open(outTarget, O_WRONLY | O_CREAT | O_TRUNC, 0600),
                 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            if (!c.fault.empty()) {
                setenv("LD_PRELOAD", COLLECT_FILE_FAULT_PRELOAD, 1);
                setenv("COLLECT_FILE_FAULT", c.fault.c_str(), 1);
                setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (input[0] >= 0) {
            close(input[0]);
            const std::string bytes = readBytes(expand(c.stdinFrom));
            if (write(input[1], bytes.data(), bytes.size()) < 0) {
                // the tool stopped reading; its result tells the rest
            }
            close(input[1]);
        }
        ToolResult result;
        if (terminal >= 0) {
            close(terminalSide);
            char bytes[4096];
            for (ssize_t n; (n = read(terminal, bytes, sizeof bytes)) > 0;) {
                result.out.append(bytes, static_cast<size_t>(n));
            }
            close(terminal);
        }
        int status = 0;
        waitpid(child, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (c.output == Output::kFile) {
            result.out = readBytes(outPath);
        }
        result.err = readBytes(errPath);
        return result;
    }

    std::map<std::string, std::string> files_;
};

TEST_F(ToolTest, ChecksShowsAndReportsAsDocumented) {
    const std::vector<ToolCase> cases = {
        // check
        {"a clean file", {"check", "{clean}"}, 0, {"{clean}: 6 lines, 3 sections, clean\n"}, ""},
        {"every problem kind with its offset",
         {"check", "{problems}"},
         1,
         {"{problems}: offset 0: 2 entries before the first marker line\n",
          "{problems}: offset 24: NUL byte inside the line: readers get only its first 2 bytes\n",
          "{problems}: offset 30: last line has no newline",
          "{problems}: 5 lines, 1 section, 3 problems\n"},
         ""},
        {"a line too long to read stops the check",
         {"check", "{too-long}"},
         1,
         {"{too-long}: offset 18: line of 2,048 bytes or more", "1 line, 1 section, 1 problem"},
         ""},
        {"a line of 2,047 bytes is fine", {"check", "{longest}"}, 0, {"clean\n"}, ""},
        {"a missing file after a clean one",
         {"check", "{clean}", "{missing}"},
         2,
         {"{clean}: 6 lines"},
         "collect-file: {missing}: No such file or directory\n"},
        {"a folder", {"check", "{folder}"}, 2, {}, "collect-file: {folder}: Is a directory\n"},
        {"a problem and an unreadable file give 2",
         {"check", "{problems}", "{folder}"},
         2,
         {"3 problems"},
         "Is a directory"},
        // sections
        {"sections as text",
         {"sections", "{clean}"},
         0,
         {"MARKER                     OFFSET    ENTRIES\n"
          "[FULL_DB_ENTRIES]               0          2\n"
          "[DIFF_DB_ENTRIES]              24          1\n"
          "[SYSTEM_DB_ENTRIES]            45          0\n"},
         ""},
        {"sections as JSON",
         {"sections", "--json", "{clean}"},
         0,
         {"{\"file\": \"{clean}\", \"sections\": ["
          "{\"marker\": \"[FULL_DB_ENTRIES]\", \"offset\": 0, \"entries\": 2}, "
          "{\"marker\": \"[DIFF_DB_ENTRIES]\", \"offset\": 24, \"entries\": 1}, "
          "{\"marker\": \"[SYSTEM_DB_ENTRIES]\", \"offset\": 45, \"entries\": 0}]}\n"},
         ""},
        {"sections of a file that stops early",
         {"sections", "{too-long}"},
         1,
         {"[FULL_DB_ENTRIES]"},
         "offset 18: line of 2,048 bytes or more"},
        {"sections of a missing file",
         {"sections", "{missing}"},
         2,
         {},
         "No such file or directory"},
        // show
        {"show the first line", {"show", "{clean}", "0"}, 0, {"[FULL_DB_ENTRIES]\n"}, ""},
        {"show the first line by its recorded value",
         {"show", "--recorded", "{clean}", "18446744073709551615"},
         0,
         {"[FULL_DB_ENTRIES]\n"},
         ""},
        {"show two lines from the middle",
         {"show", "{clean}", "42", "2"},
         0,
         {"d1\n[SYSTEM_DB_ENTRIES]\n"},
         ""},
        {"show stops at the end", {"show", "{clean}", "45", "9"}, 0, {"[SYSTEM_DB_ENTRIES]\n"}, ""},
        {"show past the end", {"show", "{clean}", "65"}, 2, {}, "past the end of the file"},
        {"show a line too long: what readers get",
         {"show", "{too-long}", "18"},
         1,
         {std::string(2047, 'x') + "\n"},
         "line of 2,048 bytes or more"},
        {"show by a recorded value", {"show", "--recorded", "{clean}", "41"}, 0, {"d1\n"}, ""},
        {"show from the middle of a line says so",
         {"show", "{clean}", "43"},
         0,
         {"1\n"},
         "offset 43 is not the first byte of a line"},
        {"show an empty count", {"show", "{clean}", "18", ""}, 2, {}, "COUNT is not a positive"},
        // pipes and standard input
        {"check a clean pipe",
         {"check", "-"},
         0,
         {"-: 6 lines, 3 sections, clean\n"},
         "",
         "{clean}"},
        {"check a pipe with every problem",
         {"check", "-"},
         1,
         {"-: offset 0: 2 entries", "-: offset 24: NUL byte",
          "-: offset 30: last line has no newline"},
         "",
         "{problems}"},
        {"check a pipe with a line too long",
         {"check", "-"},
         1,
         {"-: offset 18: line of 2,048 bytes or more", "1 line, 1 section, 1 problem"},
         "",
         "{too-long}"},
        {"show on a pipe reads forward",
         {"show", "-", "42", "2"},
         0,
         {"d1\n[SYSTEM_DB_ENTRIES]\n"},
         "",
         "{clean}"},
        // faults
        {"a read error that persists",
         {"check", "{big}"},
         2,
         {},
         "Input/output error",
         "",
         "read error onward:1:5"},
        {"a read error that does not repeat",
         {"check", "{big}"},
         2,
         {},
         "Input/output error",
         "",
         "read error:1:5"},
        {"a full disk as standard output",
         {"sections", "--json", "{clean}"},
         2,
         {},
         "collect-file: write error: No space left on device\n",
         "",
         "",
         Output::kDevFull},
        // terminals and JSON
        {"a terminal gets control bytes escaped",
         {"show", "{escapes}", "0"},
         0,
         {"\\x1b]0;title\\x07\\\\ \\xc2\\x9b\\xff ok \xc3\xa9\r\n"},
         "",
         "",
         "",
         Output::kTerminal},
        {"--raw keeps them on a terminal",
         {"show", "--raw", "{escapes}", "0"},
         0,
         {"\x1b]0;title\x07\\ \xc2\x9b\xff ok"},
         "",
         "",
         "",
         Output::kTerminal},
        {"a pipe gets the bytes",
         {"show", "{escapes}", "0"},
         0,
         {"\x1b]0;title\x07\\ \xc2\x9b\xff ok"},
         ""},
        {"a name that is not UTF-8 in JSON",
         {"sections", "--json", "{not-utf8}"},
         0,
         {"bad\xef\xbf\xbd\", \"sections\""},
         ""},
        {"check as one JSON document",
         {"check", "--json", "{problems}", "{missing}"},
         2,
         {"{\"files\": [{\"file\": \"{problems}\", \"lines\": 5, \"sections\": 1, \"problems\": "
          "[{\"offset\": 0, \"kind\": \"entries-before-marker\", \"message\": \"2 entries before "
          "the first marker line\"}, {\"offset\": 24, \"kind\": \"nul\"",
          "{\"offset\": 30, \"kind\": \"no-newline\"",
          "\"error\": null}, {\"file\": \"{missing}\", \"lines\": 0, \"sections\": 0, "
          "\"problems\": [], \"error\": {\"offset\": null, \"message\": \"No such file or "
          "directory\"}}]}\n"},
         "No such file or directory"},
        // CRLF
        {"check a CRLF file",
         {"check", "{crlf}"},
         1,
         {"{crlf}: offset 0: marker line ends in \\r (a CRLF file)"},
         ""},
        {"sections of a CRLF file", {"sections", "{crlf}"}, 0, {}, "1 marker line ends in \\r"},
        // the command line
        {"no command", {}, 2, {}, "missing command"},
        {"an unknown command", {"frobnicate"}, 2, {}, "unknown command 'frobnicate'"},
        {"check without a file", {"check"}, 2, {}, "check: missing FILE"},
        {"sections of two files", {"sections", "{clean}", "{clean}"}, 2, {}, "one FILE only"},
        {"an unknown option", {"sections", "--jsn", "{clean}"}, 2, {}, "unknown option '--jsn'"},
        {"-- ends the options", {"check", "--", "--json"}, 2, {}, "--json: No such file"},
        {"show without an offset", {"show", "{clean}"}, 2, {}, "show: missing OFFSET"},
        {"show with too many arguments",
         {"show", "{clean}", "1", "2", "3"},
         2,
         {},
         "too many arguments"},
        {"an offset that is not a number",
         {"show", "{clean}", "1x"},
         2,
         {},
         "OFFSET is not a number"},
        {"an offset past 64 bits",
         {"show", "{clean}", "18446744073709551616"},
         2,
         {},
         "OFFSET is not a number"},
        {"a count that is not a number",
         {"show", "{clean}", "17", "x"},
         2,
         {},
         "COUNT is not a positive number"},
        {"a count of zero",
         {"show", "{clean}", "17", "0"},
         2,
         {},
         "COUNT is not a positive number"},
        {"help", {"--help"}, 0, {"Usage: collect-file check", "collect-file(1)"}, ""},
        {"version", {"--version"}, 0, {"collect-file " COLLECT_FILE_PROJECT_VERSION "\n"}, ""},
    };
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.fault.empty() && !kReadErrorsReported) {
            continue;  // the library, and so the tool, reads an I/O error as the end
        }
        const ToolResult result = run(c);
        EXPECT_EQ(result.status, c.status);
        size_t from = 0;
        for (const std::string& part : c.outParts) {
            const size_t at = result.out.find(expand(part), from);
            EXPECT_NE(at, std::string::npos)
                << "missing in stdout: " << expand(part) << "\nstdout:\n"
                << result.out;
            from = at == std::string::npos ? from : at + 1;
        }
        if (c.errPart.empty()) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_NE(result.err.find(expand(c.errPart)), std::string::npos) << result.err;
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
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

TEST_F(ToolTest, AnUnreadableFileGivesTheSystemsReason) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    const std::string path = fileWith("a\n", "locked");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const ToolResult result = run({"check", path});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;
}

}  // namespace
