// Runs the built collect-file tool on generated files and checks its output and exit status.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

struct ToolCase {
    const char* name;
    std::vector<std::string> args;  // "{clean}" and the like stand for the generated files
    int status;
    std::vector<std::string> outParts;  // each must appear in stdout, in this order
    std::string errPart;                // must appear in stderr; empty: stderr is empty
};

std::ostream& operator<<(std::ostream& out, const ToolCase& c) {
    return out << c.name;
}

class ToolTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
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

    ToolResult run(const std::vector<std::string>& args) {
        std::vector<std::string> expanded = {COLLECT_FILE_TOOL_PATH};
        for (const std::string& arg : args) {
            expanded.push_back(expand(arg));
        }
        const std::string outPath = pathOf("stdout");
        const std::string errPath = pathOf("stderr");
        const pid_t child = fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (std::string& arg : expanded) {
                argv.push_back(&arg[0]);
            }
            argv.push_back(nullptr);
            dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ToolResult result;
        int status = 0;
        waitpid(child, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readBytes(outPath);
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
          "{problems}: 5 lines, 1 sections, 3 problems\n"},
         ""},
        {"a line too long to read stops the check",
         {"check", "{too-long}"},
         1,
         {"{too-long}: offset 18: line of 2,048 bytes or more", "1 lines, 1 sections, 1 problems"},
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
        {"show the first line",
         {"show", "{clean}", "18446744073709551615"},
         0,
         {"[FULL_DB_ENTRIES]\n"},
         ""},
        {"show two lines from the middle",
         {"show", "{clean}", "41", "2"},
         0,
         {"d1\n[SYSTEM_DB_ENTRIES]\n"},
         ""},
        {"show stops at the end", {"show", "{clean}", "44", "9"}, 0, {"[SYSTEM_DB_ENTRIES]\n"}, ""},
        {"show past the end", {"show", "{clean}", "64"}, 2, {}, "past the end of the file"},
        {"show a line too long", {"show", "{too-long}", "17"}, 1, {}, "reading stops here"},
        // the command line
        {"no command", {}, 2, {}, "missing command"},
        {"an unknown command", {"frobnicate"}, 2, {}, "unknown command 'frobnicate'"},
        {"check without a file", {"check"}, 2, {}, "check: missing FILE"},
        {"sections of two files", {"sections", "{clean}", "{clean}"}, 2, {}, "one FILE only"},
        {"show without an offset", {"show", "{clean}"}, 2, {}, "show: missing OFFSET"},
        {"show with too many arguments",
         {"show", "{clean}", "1", "2", "3"},
         2,
         {},
         "too many arguments"},
        {"an offset that is not a number",
         {"show", "{clean}", "-1"},
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
        {"help", {"--help"}, 0, {"Usage: collect-file check FILE...", "Exit status"}, ""},
        {"version", {"--version"}, 0, {"collect-file " COLLECT_FILE_PROJECT_VERSION "\n"}, ""},
    };
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c);
        const ToolResult result = run(c.args);
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
