// Every console sample of the README's tool section and of the manual's examples is what the
// built collect-file tool prints, run through the shell.

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

class ToolDocsTest : public TempDirTest {};

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
TEST_F(ToolDocsTest, TheReadmeAndManualSamplesAreTheToolsOutput) {
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
