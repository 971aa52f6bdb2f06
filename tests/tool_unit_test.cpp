// The tool's parts called directly: terminal escaping, JSON strings (each parsed by an
// independent JSON parser), the command line, and the checks on generated files.

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "arguments.h"
#include "checks.h"
#include "input.h"
#include "json.h"
#include "test_support.h"
#include "text.h"

namespace collect_file_tool {
namespace {

TEST(ToolTextTest, EscapesForATerminalAtEveryRangeEdge) {
    struct Case {
        const char* name;
        std::string text;
        std::string escaped;
    };
    const std::vector<Case> cases = {
        {"empty", "", ""},
        {"printable ASCII is kept", " ~az09", " ~az09"},
        {"C0 controls", std::string("\x00\x01\x1f", 3), "\\x00\\x01\\x1f"},
        {"an escape sequence", "\x1b]0;t\x07", "\\x1b]0;t\\x07"},
        {"U+007F", "\x7f", "\\x7f"},
        {"U+0080", "\xc2\x80", "\\xc2\\x80"},
        {"U+009F", "\xc2\x9f", "\\xc2\\x9f"},
        {"U+00A0 is printable", "\xc2\xa0", "\xc2\xa0"},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"U+10FFFF is kept", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"the backslash", "a\\b", "a\\\\b"},
        {"a byte that is never UTF-8", "\xff\xfe", "\\xff\\xfe"},
        {"a stray continuation byte", "a\x80", "a\\x80"},
        {"a lead byte cut by the end", "a\xc3", "a\\xc3"},
        {"a lead byte before ASCII", "\xc3z", "\\xc3z"},
        {"a three-byte form cut short", "\xe2\x82z", "\\xe2\\x82z"},
        {"overlong slash in two bytes", "\xc0\xaf", "\\xc0\\xaf"},
        {"overlong in three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"overlong in four bytes", "\xf0\x80\x80\xaf", "\\xf0\\x80\\x80\\xaf"},
        {"a surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"a bad lead byte, then U+009F", "\xc2\xc2\x9f", "\\xc2\\xc2\\x9f"},
        {"bidirectional controls at each end", "\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9",
         "\\xe2\\x80\\xaa\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
        {"their neighbours are kept", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
         "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(escapeForTerminal(c.text), c.escaped);
        EXPECT_EQ(shown(c.text, true), c.escaped);
        EXPECT_EQ(shown(c.text, false), c.text);
    }
}

TEST(ToolTextTest, JsonStringsParseAndKeepEveryCharacter) {
    const std::string replacement = "\xef\xbf\xbd";
    struct Case {
        const char* name;
        std::string text;
        std::string json;   // the exact output
        std::string value;  // what a JSON parser reads from it
    };
    const std::vector<Case> cases = {
        {"empty", "", "\"\"", ""},
        {"a quote", "a\"b", "\"a\\\"b\"", "a\"b"},
        {"a backslash", "a\\b", "\"a\\\\b\"", "a\\b"},
        {"a quote at each end", "\"x\"", "\"\\\"x\\\"\"", "\"x\""},
        {"C0 controls", std::string("\x00\x01\n\x1f", 4), "\"\\u0000\\u0001\\u000a\\u001f\"",
         std::string("\x00\x01\n\x1f", 4)},
        {"the space is kept", " ", "\" \"", " "},
        {"DEL, for a terminal", "\x7f", "\"\\u007f\"", "\x7f"},
        {"C1 controls, for a terminal", "\xc2\x80\xc2\x9b\xc2\x9f", "\"\\u0080\\u009b\\u009f\"",
         "\xc2\x80\xc2\x9b\xc2\x9f"},
        {"U+00A0 and beyond as they are", "\xc2\xa0\xc3\xa9\xf0\x9f\x98\x80",
         "\"\xc2\xa0\xc3\xa9\xf0\x9f\x98\x80\"", "\xc2\xa0\xc3\xa9\xf0\x9f\x98\x80"},
        {"a byte that is never UTF-8",
         "a\xff"
         "b",
         "\"a" + replacement + "b\"", "a" + replacement + "b"},
        {"an overlong form, byte by byte", "\xc0\xaf", "\"" + replacement + replacement + "\"",
         replacement + replacement},
        {"a surrogate, byte by byte", "\xed\xa0\x80",
         "\"" + replacement + replacement + replacement + "\"",
         replacement + replacement + replacement},
        {"a lead byte before a quote", "\xc3\"", "\"" + replacement + "\\\"\"", replacement + "\""},
        {"a cut sequence at the end", "z\xe2\x82", "\"z" + replacement + replacement + "\"",
         "z" + replacement + replacement},
        {"bidirectional controls, for a terminal",
         "a\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9", "\"a\\u202a\\u202e\\u2066\\u2069\"",
         "a\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9"},
        {"their neighbours as they are", "\xe2\x80\xa9\xe2\x81\xaa", "\"\xe2\x80\xa9\xe2\x81\xaa\"",
         "\xe2\x80\xa9\xe2\x81\xaa"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string json = jsonString(c.text);
        EXPECT_EQ(json, c.json);
        try {
            const nlohmann::json parsed = nlohmann::json::parse(json);
            ASSERT_TRUE(parsed.is_string());
            EXPECT_EQ(parsed.get<std::string>(), c.value);
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << "not JSON: " << json << ": " << e.what();
        }
    }
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64(std::string("\xff\x00\x80\x7f", 4)), "/wCAfw==");
    EXPECT_EQ(base64("abc"), "YWJj");
    EXPECT_EQ(base64("ab"), "YWI=");
}

// Every way of escaping gives the string of the byte loop, which the table above checks: texts
// of every length to 200, each byte plain, `"`, `\`, a control, UTF-8 or not UTF-8, so that
// escapes and bytes that need more than a copy fall on every place in a block, the last block
// that is written again among them.
TEST(ToolTextTest, EveryWayOfEscapingGivesTheSameString) {
    const char* kPieces[] = {"a", "\"", "\\", "\x01", "\xc3\xa9", "\xff", "\xe2\x80\xae"};
    unsigned seed = 7;
    for (std::size_t length = 0; length <= 200; ++length) {
        for (int mix = 0; mix < 7; ++mix) {
            std::string text;
            while (text.size() < length) {
                seed = seed * 1103515245 + 12345;
                // mix 0: plain text with `"` and `\`; higher mixes add the rest, rarer and rarer
                const unsigned pick = seed >> 16 & 0xff;
                text += pick < 200 ? "x" : kPieces[mix == 0 ? 1 + pick % 2 : pick % (mix + 1)];
            }
            text.resize(length);
            SCOPED_TRACE(::testing::Message() << "length " << length << ", mix " << mix);
            const std::string bytes = jsonString(text, Escaping::byteByByte);
            EXPECT_EQ(jsonString(text, Escaping::avx2), bytes);
            EXPECT_EQ(jsonString(text), bytes);
        }
    }
}

// Offsets keep their value at every number of digits, around where the digits are made in
// pieces of eight, and past them.
TEST(ToolTextTest, JsonLinesKeepTheirOffsets) {
    const std::uint64_t kOffsets[] = {0,
                                      7,
                                      10,
                                      99,
                                      12345678,
                                      99009900,
                                      99999999,
                                      100000000,
                                      100000001,
                                      907654321,
                                      1234567890123,
                                      9999999999999999ULL,
                                      10000000000000000ULL,
                                      UINT64_MAX};
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    Output out(fileno(file));
    JsonDocument document(out);
    document.beginFile("f");
    document.beginArray("lines");
    for (const std::uint64_t offset : kOffsets) {
        Line line;
        line.offset = offset;
        line.text = "x";
        document.line(line);
    }
    document.endArray();
    document.endFile();
    document.finish();
    ASSERT_TRUE(out.flush());
    std::rewind(file);
    std::string written;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        written += static_cast<char>(c);
    }
    std::fclose(file);
    const nlohmann::json lines = nlohmann::json::parse(written)["files"][0]["lines"];
    ASSERT_EQ(lines.size(), std::size(kOffsets));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["offset"].get<std::uint64_t>(), kOffsets[i]) << written;
    }
}

// The truncate hint names the file as one shell word: the shell gives back the path.
TEST(ToolTextTest, ShellWordsGiveThePathBack) {
    struct Case {
        const char* name;
        std::string path;
        std::string word;
        std::string back;  // what the shell makes of the word
    };
    const std::vector<Case> cases = {
        {"plain", "dir/f-1_x.cf", "dir/f-1_x.cf", "dir/f-1_x.cf"},
        {"a space", "a b", "'a b'", "a b"},
        {"a quote", "it's", "'it'\\''s'", "it's"},
        {"a dollar and a star", "$HOME*", "'$HOME*'", "$HOME*"},
        {"a newline", "a\nb", "'a\nb'", "a\nb"},
        {"a leading dash is no option", "-n", "'./-n'", "./-n"},
        {"empty", "", "''", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string word = shellWord(c.path);
        EXPECT_EQ(word, c.word);
        FILE* shell = popen(("printf '%s|' " + word).c_str(), "r");
        ASSERT_NE(shell, nullptr);
        char bytes[256] = {};
        const size_t n = fread(bytes, 1, sizeof bytes - 1, shell);
        pclose(shell);
        EXPECT_EQ(std::string(bytes, n), c.back + "|");
    }
}

TEST(ToolArgumentsTest, ParsesEveryCommandLine) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string error;  // empty: accepted
        Command command = Command::help;
        std::vector<std::string> files = {};
        std::uint64_t offset = 0;
        std::uint64_t count = 1;
        collect_file::Section kind = collect_file::Section::full;
    };
    const std::vector<Case> cases = {
        {"no command", {}, "missing command"},
        {"an unknown command", {"frobnicate"}, "unknown command 'frobnicate'"},
        {"help", {"--help"}, "", Command::help},
        {"-h", {"-h"}, "", Command::help},
        {"version", {"--version"}, "", Command::version},
        {"check reads standard input by default", {"check"}, "", Command::check, {"-"}},
        {"sections too", {"sections", "--json"}, "", Command::sections, {"-"}},
        {"check takes files in order",
         {"check", "b", "-", "a"},
         "",
         Command::check,
         {"b", "-", "a"}},
        {"sections takes several files", {"sections", "a", "b"}, "", Command::sections, {"a", "b"}},
        {"an unknown option", {"sections", "--jsn", "a"}, "sections: unknown option '--jsn'"},
        {"an option another command has",
         {"check", "--offsets", "a"},
         "check: unknown option '--offsets'"},
        {"-- ends the options", {"check", "--", "--json"}, "", Command::check, {"--json"}},
        {"options after operands", {"check", "a", "--json"}, "", Command::check, {"a"}},
        {"show without a file", {"show"}, "show: missing FILE"},
        {"show without an offset", {"show", "f"}, "show: missing OFFSET"},
        {"show --recorded without a value", {"show", "--recorded", "f"}, "show: missing VALUE"},
        {"show one line", {"show", "f", "42"}, "", Command::show, {"f"}, 42, 1},
        {"show a count", {"show", "f", "42", "3"}, "", Command::show, {"f"}, 42, 3},
        {"show the largest offset",
         {"show", "f", "18446744073709551615"},
         "",
         Command::show,
         {"f"},
         18446744073709551615u},
        {"an offset past 64 bits",
         {"show", "f", "18446744073709551616"},
         "OFFSET is not a number: '18446744073709551616'"},
        {"an offset that is not a number", {"show", "f", "1x"}, "OFFSET is not a number: '1x'"},
        {"a signed offset", {"show", "f", "+1"}, "OFFSET is not a number: '+1'"},
        {"a value that is not a number",
         {"show", "--recorded", "f", ""},
         "VALUE is not a number: ''"},
        {"a recorded value is one less",
         {"show", "--recorded", "f", "41"},
         "",
         Command::show,
         {"f"},
         42},
        {"the first line's recorded value wraps",
         {"show", "--recorded", "f", "18446744073709551615"},
         "",
         Command::show,
         {"f"},
         0},
        {"a count of zero", {"show", "f", "1", "0"}, "COUNT is not a positive number: '0'"},
        {"a count that is not a number",
         {"show", "f", "1", "x"},
         "COUNT is not a positive number: 'x'"},
        {"an empty count", {"show", "f", "1", ""}, "COUNT is not a positive number: ''"},
        {"show with too many arguments", {"show", "f", "1", "2", "3"}, "show: too many arguments"},
        {"show reads standard input by -", {"show", "-", "0"}, "", Command::show, {"-"}},
        {"entries of a kind, from standard input",
         {"entries", "full"},
         "",
         Command::entries,
         {"-"}},
        {"entries of several files",
         {"entries", "--offsets", "diff", "a", "-"},
         "",
         Command::entries,
         {"a", "-"},
         0,
         1,
         collect_file::Section::diff},
        {"entries in 1.2.0's order",
         {"entries", "--json", "f", "system"},
         "",
         Command::entries,
         {"f"},
         0,
         1,
         collect_file::Section::system},
        {"a kind first wins",
         {"entries", "system", "full"},
         "",
         Command::entries,
         {"full"},
         0,
         1,
         collect_file::Section::system},
        {"an unknown kind",
         {"entries", "FULL", "f"},
         "entries: KIND is full, diff or system, not 'FULL'"},
        {"a file without a kind",
         {"entries", "f"},
         "entries: KIND is full, diff or system, not 'f'"},
        {"two files without a kind",
         {"entries", "f", "g", "full"},
         "entries: KIND is full, diff or system, not 'f'"},
        {"entries without a kind", {"entries"}, "entries: missing KIND"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Arguments parsed = parseArguments(c.args);
        EXPECT_EQ(parsed.error, c.error);
        if (!c.error.empty()) {
            continue;
        }
        EXPECT_EQ(parsed.options.command, c.command);
        EXPECT_EQ(parsed.options.files, c.files);
        EXPECT_EQ(parsed.options.offset, c.offset);
        EXPECT_EQ(parsed.options.count, c.count);
        EXPECT_EQ(parsed.options.kind, c.kind);
    }
    // The options themselves, and a command's own help before anything else is checked.
    const Options options =
        parseArguments({"show", "--offsets", "--json", "--raw", "f", "0"}).options;
    EXPECT_TRUE(options.offsets && options.json && options.raw && !options.recorded);
    const Arguments help = parseArguments({"show", "--help", "--bad"});
    EXPECT_EQ(help.error, "");
    EXPECT_TRUE(help.options.commandHelp);
    EXPECT_EQ(help.options.command, Command::show);
}

class ToolChecksTest : public TempDirTest {};

// "KIND@OFFSET" or "KIND@OFFSET/COUNT" for a count that says something.
std::string describe(const Problem& problem) {
    const bool counted =
        problem.kind == ProblemKind::entries_before_marker || problem.kind == ProblemKind::nul ||
        problem.kind == ProblemKind::grew_while_read || problem.kind == ProblemKind::ended_early;
    return std::string(problemKindName(problem.kind)) + "@" + std::to_string(problem.offset) +
           (counted ? "/" + std::to_string(problem.count) : "");
}

TEST_F(ToolChecksTest, FindsEveryProblemInAFileAndInAStream) {
    const std::string full = FULLENTRYDELIMITER;  // 17 bytes
    struct Case {
        const char* name;
        std::string bytes;
        std::uint64_t lines;
        std::uint64_t sections;
        std::vector<std::string> problems;  // in the order found
    };
    const std::vector<Case> cases = {
        {"empty", "", 0, 0, {}},
        {"clean", full + "\nf1\n" + DIFFENTRYDELIMITER + "\n", 3, 2, {}},
        {"a one-line file without its newline", full, 1, 1, {"no-newline@0"}},
        {"a cut entry", full + "\nf1\nf", 3, 1, {"no-newline@21"}},
        {"one entry, cut, and no marker", "e", 1, 0, {"no-newline@0", "entries-before-marker@0/1"}},
        {"entries before the first marker",
         "e0\n\ne2\n" + full + "\ne3\n",
         5,
         1,
         {"entries-before-marker@0/3"}},
        {"an empty line alone", "\n", 1, 0, {"entries-before-marker@0/1"}},
        {"a NUL inside a line", full + "\nab" + std::string(1, '\0') + "cd\n", 2, 1, {"nul@18/2"}},
        {"a NUL first, in a cut last line",
         full + "\n" + std::string(1, '\0') + "x",
         2,
         1,
         {"nul@18/0", "no-newline@18"}},
        {"a CRLF marker after a whole section",
         full + "\nf1\n" + DIFFENTRYDELIMITER + "\r\n",
         3,
         1,
         {"carriage-return@21"}},
        {"a CRLF file",
         full + "\r\nf1\r\n" + full + "\r\n",
         3,
         0,
         {"carriage-return@0", "carriage-return@23", "entries-before-marker@0/3"}},
        {"a marker with a space is an entry",
         full + " \n" + full + "\n",
         2,
         1,
         {"entries-before-marker@0/1"}},
        {"2,047 bytes are read", full + "\n" + std::string(2047, 'x') + "\n", 2, 1, {}},
        {"2,048 bytes are gone past",
         full + "\n" + std::string(2048, 'x') + "\nf\n",
         3,
         1,
         {"too-long@18"}},
        {"a long line before any marker",
         std::string(3000, 'x') + "\n" + full + "\n",
         2,
         1,
         {"too-long@0", "entries-before-marker@0/1"}},
        {"a long line, a NUL line, a cut last line: all of them",
         full + "\n" + std::string(3000, 'x') + "\n" + std::string("a\0b\n", 4) + full + "\nc",
         5,
         2,
         {"too-long@18", "nul@3019/1", "no-newline@3041"}},
    };
    for (const Case& c : cases) {
        for (const bool stream : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (stream ? ", through a pipe" : ", in a file"));
            int ends[2] = {-1, -1};
            std::string path = fileWith(c.bytes);
            if (stream) {
                ASSERT_EQ(pipe(ends), 0);
                ASSERT_EQ(write(ends[1], c.bytes.data(), c.bytes.size()),
                          static_cast<ssize_t>(c.bytes.size()));
                close(ends[1]);
                path = "/proc/self/fd/" + std::to_string(ends[0]);
            }
            InputFile input;
            ASSERT_TRUE(input.open(path)) << input.error();
            if (stream) {
                close(ends[0]);
            }
            std::vector<std::string> found;
            Checker checker([&](const Problem& problem) { found.push_back(describe(problem)); },
                            true);
            checkAll(input, checker, [](const Line&, bool) { return true; });
            EXPECT_EQ(found, c.problems);
            EXPECT_EQ(checker.problems(), c.problems.size());
            EXPECT_EQ(checker.lines(), c.lines);
            EXPECT_EQ(checker.sections(), c.sections);
            EXPECT_NE(input.stop(), Stop::read_error) << input.error();
        }
    }
}

// A file that changes after it was opened: cut shorter, the checks say what was seen and that
// the end came before the size the file had; appended to, a line still being written, its
// appender stopped at a known byte, is no cut last line.
TEST_F(ToolChecksTest, AFileThatChangesWhileReadIsReportedAsSuch) {
    const std::string bytes = std::string(FULLENTRYDELIMITER) + "\nf1\nf2\n";  // f2 at 21
    std::string big = FULLENTRYDELIMITER + std::string("\n");  // lines at 18 + 100 k
    while (big.size() < 300000) {
        big += std::string(99, 'e') + "\n";
    }
    struct Case {
        const char* name;
        std::string content;
        off_t cutTo;           // -1: not cut
        std::string appended;  // after the cut
        std::vector<std::string> problems;
        bool whileRead = false;  // changed after the first line was read, not before
    };
    const std::vector<Case> cases = {
        {"cut after a whole line", bytes, 21, "", {"ended-early@21/24"}},
        {"cut inside a line: no line is cut that the file had",
         bytes,
         20,
         "",
         {"ended-early@20/24"}},
        {"emptied", bytes, 0, "", {"ended-early@0/24"}},
        {"emptied while read", big, 0, "", {"ended-early@65536/300018"}, true},
        {"a line completed", bytes + "f3 pa", -1, "rt\n", {}},
        {"a line still being written", bytes + "f3 pa", -1, "rt", {"grew-while-read@24/7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = fileWith(c.content);
        InputFile input;
        ASSERT_TRUE(input.open(path)) << input.error();
        std::vector<std::string> found;
        Checker checker([&](const Problem& problem) { found.push_back(describe(problem)); }, true);
        Line first;
        if (c.whileRead) {
            ASSERT_TRUE(input.next(first));  // the Reader has read its first piece
            checker.line(first);
        }
        ASSERT_EQ(c.cutTo < 0 || truncate(path.c_str(), c.cutTo) == 0, true);
        const int appender = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(write(appender, c.appended.data(), c.appended.size()),
                  static_cast<ssize_t>(c.appended.size()));
        close(appender);
        checkAll(input, checker, [](const Line&, bool) { return true; });
        EXPECT_EQ(found, c.problems);
    }
}

}  // namespace
}  // namespace collect_file_tool
