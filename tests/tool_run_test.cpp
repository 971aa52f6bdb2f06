// The whole tool run in this process through its internal library (runTool), on generated
// files: what each command prints, on which stream, and its exit status. Every --json document
// is parsed by an independent JSON parser.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "fault_injector.h"
#include "status.h"
#include "test_support.h"

namespace collect_file_tool {
namespace {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

struct RunCase {
    const char* name;
    std::vector<std::string> args;  // "{clean}" and the like stand for the generated files
    int status;
    std::vector<std::string> out = {};  // each must appear in stdout, in this order
    std::vector<std::string> err = {};  // each in stderr, in this order; none: no stderr
    bool terminal = false;              // both streams are terminals
};

class ToolRunTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // [FULL] at 0, f1 at 18, f2 at 21, [DIFF] at 24, d1 at 42, [SYSTEM] at 45; 65 bytes.
        file("{clean}", "[FULL_DB_ENTRIES]\nf1\nf2\n[DIFF_DB_ENTRIES]\nd1\n[SYSTEM_DB_ENTRIES]\n");
        // e0 at 0, e1 at 3, [FULL] at 6, a line with a NUL at 24, a cut last line at 30.
        file("{problems}", std::string("e0\ne1\n[FULL_DB_ENTRIES]\nab\0cd\nlast", 34));
        file("{one-line-cut}", "[FULL_DB_ENTRIES]");
        // A line too long at 18, [DIFF] at 2067.
        file("{too-long}",
             "[FULL_DB_ENTRIES]\n" + std::string(2048, 'x') + "\n[DIFF_DB_ENTRIES]\nafter\n");
        file("{long-nul}",
             "[FULL_DB_ENTRIES]\n" + std::string("ab\0", 3) + std::string(3000, 'x') + "\nf2\n");
        files_["{missing}"] = pathOf("missing");
        files_["{folder}"] = folder_;
        file("{crlf}", "[FULL_DB_ENTRIES]\r\nf1\r\n");
        // Two full sections, around a diff one: f1 at 18, the second full marker at 39, f2 at 57.
        file("{two-full}", "[FULL_DB_ENTRIES]\nf1\n[DIFF_DB_ENTRIES]\n[FULL_DB_ENTRIES]\nf2\n");
        file("{escapes}",
             "\x1b]0;title\x07\\ \xc2\x9b\xc2\x9f\xc2\xa0\x7f\xff ok \xc3\xa9 \xe2\x80\xae"
             "x\xe2\x81\xa9\n");
        file("{cut-name}", "[FULL_DB_ENTRIES]", "cut\x1b[31m");
        files_["{cut-name-shown}"] = pathOf("cut\\x1b[31m");
        files_["{missing-name}"] = pathOf("missing\x9b");
        files_["{missing-name-shown}"] = pathOf("missing\\x9b");
    }

    void file(const std::string& key, const std::string& bytes, const std::string& name = "") {
        files_[key] = fileWith(bytes, name.empty() ? key.substr(1, key.size() - 2) : name);
    }

    std::string expand(std::string text) const {
        for (const auto& file : files_) {
            for (size_t at; (at = text.find(file.first)) != std::string::npos;) {
                text.replace(at, file.first.size(), file.second);
            }
        }
        return text;
    }

    // Runs the tool on the arguments, standard output into a file (or /dev/full).
    RunResult run(const std::vector<std::string>& args, bool terminal = false, bool full = false) {
        std::vector<std::string> expanded;
        for (const std::string& arg : args) {
            expanded.push_back(expand(arg));
        }
        const std::string outPath = pathOf("stdout");
        const std::string errPath = pathOf("stderr");
        const int outFd = open(full ? "/dev/full" : outPath.c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        Output out(outFd);
        Console console{out};
        console.errDescriptor = errFd;
        RunResult result;
        result.status = runTool(expanded, console, terminal, terminal);
        injected_ = fault_injector::disarm();  // a test may have armed it for the run
        if (const int error = out.finish()) {
            say(console, std::string("write error: ") + std::strerror(error));
            result.status = kFailure;
        }
        close(errFd);
        result.out = full ? "" : readBytes(outPath);
        result.err = readBytes(errPath);
        return result;
    }

    void check(const std::vector<RunCase>& cases) {
        const auto expanded = [this](const std::string& part) { return expand(part); };
        for (const RunCase& c : cases) {
            SCOPED_TRACE(c.name);
            const RunResult result = run(c.args, c.terminal);
            EXPECT_EQ(result.status, c.status) << result.out << result.err;
            expectInOrder(result.out, c.out, "stdout", expanded);
            expectInOrder(result.err, c.err, "stderr", expanded);
            if (c.err.empty()) {
                EXPECT_EQ(result.err, "");
            }
            for (size_t at = 0; at < result.err.size(); at = result.err.find('\n', at) + 1) {
                EXPECT_EQ(result.err.compare(at, 14, "collect-file: "), 0) << result.err;
            }
        }
    }

    std::map<std::string, std::string> files_;
    bool injected_ = false;
};

TEST_F(ToolRunTest, ChecksShowsAndReportsAsDocumented) {
    const std::string problemsNote =
        "collect-file: {problems}: offset 0: 2 entries before the "
        "first marker line (2 more problems: collect-file check "
        "lists them)\n";
    check({
        // check
        {"a clean file", {"check", "{clean}"}, 0, {"{clean}: 6 lines, 3 sections, clean\n"}},
        {"every problem kind with its offset",
         {"check", "{problems}"},
         1,
         {"{problems}: offset 0: 2 entries before the first marker line\n",
          "{problems}: offset 24: NUL byte inside the line: readers get only its first 2 bytes\n",
          "{problems}: offset 30: last line has no newline: the input ends inside it; truncate "
          "-s 30 {problems} keeps the whole lines\n",
          "{problems}: 5 lines, 1 section, 3 problems\n"}},
        {"a line too long, and what follows it",
         {"check", "{too-long}"},
         1,
         {"{too-long}: offset 18: line of 2,048 bytes or more: readers cannot deliver it whole\n",
          "{too-long}: 4 lines, 2 sections, 1 problem\n"}},
        {"a missing file after a clean one",
         {"check", "{clean}", "{missing}"},
         2,
         {"{clean}: 6 lines"},
         {"collect-file: {missing}: No such file or directory\n"}},
        {"a folder", {"check", "{folder}"}, 2, {}, {"collect-file: {folder}: Is a directory\n"}},
        // the worst status wins, whatever the order
        {"a problem, then a clean file",
         {"check", "{problems}", "{clean}"},
         1,
         {"3 problems", "{clean}: 6 lines, 3 sections, clean"}},
        {"a clean file, then a problem",
         {"check", "{clean}", "{problems}"},
         1,
         {"clean", "3 problems"}},
        {"a failure, then a problem",
         {"check", "{folder}", "{problems}"},
         2,
         {"3 problems"},
         {"Is a directory"}},
        {"a problem, then a failure",
         {"check", "{problems}", "{folder}"},
         2,
         {"3 problems"},
         {"Is a directory"}},
        // sections
        {"sections as text",
         {"sections", "{clean}"},
         0,
         {"MARKER                     OFFSET    ENTRIES\n"
          "[FULL_DB_ENTRIES]               0          2\n"
          "[DIFF_DB_ENTRIES]              24          1\n"
          "[SYSTEM_DB_ENTRIES]            45          0\n"}},
        {"sections after a line too long",
         {"sections", "{too-long}"},
         1,
         {"[FULL_DB_ENTRIES]               0          1\n",
          "[DIFF_DB_ENTRIES]            2067          1\n"},
         {"offset 18: line of 2,048 bytes or more"}},
        {"sections of a cut file",
         {"sections", "{one-line-cut}"},
         1,
         {"[FULL_DB_ENTRIES]"},
         {"last line has no newline"}},
        {"sections of a file with several problems: the first, and a count",
         {"sections", "{problems}"},
         1,
         {"[FULL_DB_ENTRIES]"},
         {problemsNote}},
        {"sections of a CRLF file", {"sections", "{crlf}"}, 1, {}, {"marker line ends in \\r"}},
        {"sections of a missing file", {"sections", "{missing}"}, 2, {}, {"No such file"}},
        {"sections of several files, each under its name",
         {"sections", "{clean}", "{two-full}"},
         0,
         {"==> {clean} <==\n", "[SYSTEM_DB_ENTRIES]            45          0\n",
          "\n==> {two-full} <==\n", "[FULL_DB_ENTRIES]              39          1\n"}},
        {"sections: a failure, then a problem",
         {"sections", "{missing}", "{crlf}"},
         2,
         {"==> {crlf} <=="},
         {"No such file", "marker line ends in \\r"}},
        // show
        {"show the first line", {"show", "{clean}", "0"}, 0, {"[FULL_DB_ENTRIES]\n"}},
        {"show the first line by its recorded value",
         {"show", "--recorded", "{clean}", "18446744073709551615"},
         0,
         {"[FULL_DB_ENTRIES]\n"}},
        {"show by a recorded value", {"show", "--recorded", "{clean}", "41"}, 0, {"d1\n"}},
        {"show two lines from the middle",
         {"show", "{clean}", "42", "2"},
         0,
         {"d1\n[SYSTEM_DB_ENTRIES]\n"}},
        {"show stops at the end", {"show", "{clean}", "45", "9"}, 0, {"[SYSTEM_DB_ENTRIES]\n"}},
        {"show past the end",
         {"show", "{clean}", "65"},
         2,
         {},
         {"offset 65 is past the end of the file (65 bytes)"}},
        {"show a line too long: what readers get, and on",
         {"show", "{too-long}", "18", "2"},
         1,
         {std::string(2047, 'x') + "\n[DIFF_DB_ENTRIES]\n"},
         {"line of 2,048 bytes or more"}},
        {"show a line too long with a NUL: the bytes before it",
         {"show", "{long-nul}", "18", "2"},
         1,
         {"ab\nf2\n"},
         {"line of 2,048 bytes or more"}},
        {"show from the middle of a line says so",
         {"show", "{clean}", "43"},
         0,
         {"1\n"},
         {"offset 43 is not the first byte of a line"}},
        {"show a cut last line: a problem",
         {"show", "{problems}", "30"},
         1,
         {"last\n"},
         {"collect-file: {problems}: offset 30: last line has no newline"}},
        {"show with offsets",
         {"show", "--offsets", "{clean}", "42", "2"},
         0,
         {"42:d1\n45:[SYSTEM_DB_ENTRIES]\n"}},
        // entries
        {"entries of a kind", {"entries", "full", "{clean}"}, 0, {"f1\nf2\n"}},
        {"entries in 1.2.0's order", {"entries", "{clean}", "full"}, 0, {"f1\nf2\n"}},
        {"entries of every section of the kind, in file order",
         {"entries", "--offsets", "full", "{two-full}"},
         0,
         {"18:f1\n57:f2\n"}},
        {"entries of several files, each under its name",
         {"entries", "diff", "{clean}", "{two-full}"},
         0,
         {"==> {clean} <==\nd1\n\n==> {two-full} <==\n"}},
        {"entries of an empty section", {"entries", "system", "{clean}"}, 0},
        {"entries after a line too long",
         {"entries", "diff", "{too-long}"},
         1,
         {"after\n"},
         {"offset 18: line of 2,048 bytes or more"}},
        {"entries of a file with a problem",
         {"entries", "full", "{problems}"},
         1,
         {"ab\nlast\n"},
         {problemsNote}},
        {"entries of an unknown kind",
         {"entries", "FULL", "{clean}"},
         2,
         {},
         {"entries: KIND is full, diff or system, not 'FULL' (see collect-file --help)\n"}},
        // a stream whose first read fails is a failure, never an empty, clean file
        {"check a stream whose first read fails",
         {"check", "/proc/self/mem"},
         2,
         {},
         {"collect-file: /proc/self/mem: ", "Input/output error"}},
        {"sections of it", {"sections", "/proc/self/mem"}, 2, {}, {"Input/output error"}},
        {"show of it", {"show", "/proc/self/mem", "0"}, 2, {}, {"Input/output error"}},
        {"entries of it", {"entries", "full", "/proc/self/mem"}, 2, {}, {"Input/output error"}},
        // terminals
        {"a terminal gets controls escaped",
         {"show", "{escapes}", "0"},
         0,
         {"\\x1b]0;title\\x07\\\\ \\xc2\\x9b\\xc2\\x9f\xc2\xa0\\x7f\\xff ok \xc3\xa9 "
          "\\xe2\\x80\\xaex\\xe2\\x81\\xa9\n"},
         {},
         true},
        {"--raw keeps them on a terminal",
         {"show", "--raw", "{escapes}", "0"},
         0,
         {"\x1b]0;title\x07\\ \xc2\x9b\xc2\x9f\xc2\xa0\x7f\xff ok \xc3\xa9 \xe2\x80\xaex"},
         {},
         true},
        {"a pipe gets the bytes",
         {"show", "{escapes}", "0"},
         0,
         {"\x1b]0;title\x07\\ \xc2\x9b\xc2\x9f\xc2\xa0\x7f\xff ok \xc3\xa9 \xe2\x80\xaex"}},
        {"a name's controls in messages on a terminal",
         {"check", "{cut-name}", "{missing-name}"},
         2,
         {"{cut-name-shown}: offset 0: last line has no newline: the input ends inside it; "
          "truncate -s 0 '{cut-name-shown}' keeps the whole lines"},
         {"collect-file: {missing-name-shown}: No such file or directory"},
         true},
        // the command line
        {"no command", {}, 2, {}, {"collect-file: missing command (see collect-file --help)\n"}},
        {"an unknown option",
         {"sections", "--jsn", "{clean}"},
         2,
         {},
         {"sections: unknown option '--jsn' (see collect-file --help)"}},
        {"-- ends the options", {"check", "--", "--json"}, 2, {}, {"--json: No such file"}},
        {"help: one line per command",
         {"--help"},
         0,
         {"  check ", "  sections ", "  show ", "  entries KIND [FILE]", "collect-file(1)"}},
        {"a command's help",
         {"entries", "--help"},
         0,
         {"Usage: collect-file entries", "--offsets", "Example: collect-file entries diff"}},
        {"version", {"--version"}, 0, {"collect-file " COLLECT_FILE_PROJECT_VERSION "\n"}},
    });
}

// Output that cannot be written ends every command with the system's reason.
TEST_F(ToolRunTest, AFullDiskAsStandardOutput) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"check", "{clean}"},
                                                 {"show", "{clean}", "0", "6"},
                                                 {"sections", "--json", "{clean}"}}) {
        SCOPED_TRACE(args[0]);
        const RunResult result = run(args, false, true);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, "collect-file: write error: No space left on device\n");
    }
}

// Every command's document, whole; and a key has one type in all of them.
TEST_F(ToolRunTest, EveryJsonDocumentHasOneShape) {
    const std::string noProblems = R"("problems": [], "error": null)";
    const std::string problems =
        R"("problems": [{"offset": 0, "kind": "entries-before-marker",
                         "message": "2 entries before the first marker line"},
                        {"offset": 24, "kind": "nul",
                         "message": "NUL byte inside the line: readers get only its first 2 bytes"},
                        {"offset": 30, "kind": "no-newline", "message":
         "last line has no newline: the input ends inside it; truncate -s 30 {problems} keeps the whole lines"}])";
    const std::string missing =
        R"({"file": "{missing}", "problems": [],
            "error": {"offset": null, "message": "No such file or directory"}})";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string document;
    };
    const std::vector<Case> cases = {
        {{"check", "--json", "{problems}", "{missing}"},
         2,
         R"({"files": [{"file": "{problems}", )" + problems +
             R"(, "line_count": 5, "section_count": 1, "error": null},
            {"file": "{missing}", "problems": [], "line_count": 0, "section_count": 0,
             "error": {"offset": null, "message": "No such file or directory"}}]})"},
        {{"sections", "--json", "{clean}", "{problems}"},
         1,
         R"({"files": [{"file": "{clean}", "sections": [
               {"marker": "[FULL_DB_ENTRIES]", "offset": 0, "entries": 2},
               {"marker": "[DIFF_DB_ENTRIES]", "offset": 24, "entries": 1},
               {"marker": "[SYSTEM_DB_ENTRIES]", "offset": 45, "entries": 0}], )" +
             noProblems + R"(}, {"file": "{problems}", "sections": [
               {"marker": "[FULL_DB_ENTRIES]", "offset": 6, "entries": 2}], )" +
             problems + R"(, "error": null}]})"},
        {{"sections", "--json", "{missing}"},
         2,
         R"({"files": [{"file": "{missing}", "sections": [], "problems": [],
             "error": {"offset": null, "message": "No such file or directory"}}]})"},
        {{"show", "--json", "{clean}", "18", "2"},
         0,
         R"({"files": [{"file": "{clean}", "lines": [{"offset": 18, "text": "f1"},
             {"offset": 21, "text": "f2"}], )" +
             noProblems + "}]}"},
        {{"entries", "--json", "full", "{problems}", "{missing}"},
         2,
         R"({"files": [{"file": "{problems}", "lines": [{"offset": 24, "text": "ab"},
             {"offset": 30, "text": "last"}], )" +
             problems + R"(, "error": null},
             {"file": "{missing}", "lines": [], "problems": [],
              "error": {"offset": null, "message": "No such file or directory"}}]})"},
    };
    std::map<std::string, nlohmann::json::value_t> typeOf;
    const std::function<void(const nlohmann::json&)> recordTypes = [&](const nlohmann::json& j) {
        for (auto item = j.begin(); j.is_object() && item != j.end(); ++item) {
            // null stands for a value that is not known, such as an error's offset
            if (!item.value().is_null()) {
                const auto type = item.value().type();
                EXPECT_EQ(typeOf.emplace(item.key(), type).first->second, type) << item.key();
            }
        }
        for (const nlohmann::json& inner : j.is_structured() ? j : nlohmann::json::array()) {
            recordTypes(inner);
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, c.status) << result.err;
        ASSERT_EQ(result.out.find('\n'), result.out.size() - 1) << "one line: " << result.out;
        try {
            const nlohmann::json document = nlohmann::json::parse(result.out);
            EXPECT_EQ(document, nlohmann::json::parse(expand(c.document))) << result.out;
            recordTypes(document);
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << e.what() << "\n" << result.out;
        }
    }
}

// A read of the tool's or of the library's, interrupted once at each read in turn, is resumed:
// every run prints what a run without a fault prints. An EIO at each read of a stream ends
// every command with status 2 and the system's reason: never a clean end, never a shorter file.
TEST_F(ToolRunTest, EveryReadThatFailsOnceIsResumedOrReported) {
    std::string bytes = "[FULL_DB_ENTRIES]\n" + std::string(3000, 'x') + "\nf1\n" +
                        std::string("a\0b\n", 4);  // f1 at 3019, a at 3022
    while (bytes.size() < 200000) {
        bytes += std::string(99, 'e') + "\n";  // several reads
    }
    file("{faults}", bytes + "cut");
    const std::vector<std::vector<std::string>> commands = {{"check", "/dev/fd/{pipe}"},
                                                            {"sections", "/dev/fd/{pipe}"},
                                                            {"show", "/dev/fd/{pipe}", "3019", "3"},
                                                            {"entries", "full", "/dev/fd/{pipe}"},
                                                            {"check", "{faults}"},
                                                            {"show", "{faults}", "3020", "3"}};
    for (const bool interrupt : {true, false}) {
        for (const std::vector<std::string>& args : commands) {
            bool stream = false;
            for (const std::string& arg : args) {
                stream |= arg.find("{pipe}") != std::string::npos;
            }
            if (!interrupt && !stream) {
                continue;
            }
            SCOPED_TRACE(args[0] + " " + args[1] + (interrupt ? ", EINTR" : ", EIO"));
            RunResult clean;
            for (int position = -1; position <= 0 || injected_; ++position) {
                int ends[2];
                ASSERT_EQ(pipe(ends), 0);
                fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
                ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()),
                          static_cast<ssize_t>(bytes.size()));
                close(ends[1]);
                files_["{pipe}"] = std::to_string(ends[0]);
                fault_injector::arm(interrupt ? fault_injector::Fault::kReadInterrupt
                                              : fault_injector::Fault::kReadError,
                                    position < 0 ? 1000000 : position, interrupt ? EINTR : EIO);
                const RunResult result = run(args);
                close(ends[0]);
                SCOPED_TRACE("read " + std::to_string(position));
                if (position < 0) {
                    clean = result;
                    EXPECT_EQ(clean.status, 1) << clean.err;
                } else if (interrupt) {
                    EXPECT_EQ(result.status, clean.status);
                    EXPECT_EQ(result.out, clean.out);
                    EXPECT_EQ(result.err, clean.err);
                } else if (injected_) {
                    EXPECT_EQ(result.status, 2) << result.out;
                    EXPECT_NE(result.err.find("Input/output error"), std::string::npos)
                        << result.err;
                    EXPECT_EQ(result.out.find("clean"), std::string::npos) << result.out;
                }
            }
        }
    }
}

std::string fromBase64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        bits = (bits << 6) | static_cast<unsigned>(digits.find(c));
        if ((count += 6) >= 8) {
            bytes += static_cast<char>((bits >> (count -= 8)) & 0xff);
        }
    }
    return bytes;
}

// Every line comes back byte for byte from show, and from the documents of show and entries:
// from "text", or from "base64" where the line is not UTF-8. Lines of every length to 200 too.
TEST_F(ToolRunTest, LinesComeBackByteForByte) {
    std::vector<std::string> lines = {"plain",
                                      "a \"quote\" and a \\ backslash",
                                      std::string("\x01\t\x1b[31m\x7f", 8),
                                      "\xc2\x80\xc2\x9f C1 \xe2\x80\xaa bidi \xe2\x81\xa9",
                                      "\xff\xfe not UTF-8 \xc3",
                                      "\xed\xa0\x80 a surrogate, \xc3\xa9 and \xf0\x9f\x98\x80",
                                      ""};
    for (std::size_t length = 1; length <= 200; ++length) {
        std::string line;
        for (std::size_t i = 0; i < length; ++i) {
            line += i % 7 == 3 ? '"' : static_cast<char>('a' + (length + i) % 26);
        }
        lines.push_back(line);
    }
    std::string bytes = "[FULL_DB_ENTRIES]\n";
    for (const std::string& line : lines) {
        bytes += line + "\n";
    }
    files_["{mixed}"] = fileWith(bytes, "mixed");
    const RunResult shown = run({"show", "{mixed}", "18", "1000"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, bytes.substr(18));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"show", "--json", "{mixed}", "18", "1000"},
          {"entries", "--json", "full", "{mixed}"}}) {
        SCOPED_TRACE(args[0]);
        const RunResult result = run(args);
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> back;
        try {
            const nlohmann::json document = nlohmann::json::parse(result.out);
            for (const nlohmann::json& line : document["files"][0]["lines"]) {
                back.push_back(line.contains("base64") ? fromBase64(line["base64"])
                                                       : line["text"].get<std::string>());
            }
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << e.what() << "\n" << result.out;
        }
        EXPECT_EQ(back, lines);
    }
}

}  // namespace
}  // namespace collect_file_tool
