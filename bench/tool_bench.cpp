// The collect-file tool against a bare readLine(line, offset) loop, on the headline lines with
// a marker line every 10,000 entries. The tool runs in this process, its output into /dev/null.

#include <collect_file/CollectFileReaderWriter.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "commands.h"

namespace {

const size_t kEntriesPerSection = 10000;
const double kToolTarget = 1.2;  // the tool's whole run against the bare loop

// Writes the headline lines with a marker line before every kEntriesPerSection of them, the
// markers taking turns; the file's path.
std::string writeToolFile() {
    const Workload& w = workload("headline");
    const std::string path = benchFolder() + "/tool.collect";
    const std::string markers[] = {FULLENTRYDELIMITER, DIFFENTRYDELIMITER, SYSTEMENTRYDELIMITER};
    CollectFileReaderWriter writer;
    writer.OpenFile(path, ACCESS_WRITE);
    for (size_t i = 0; i < w.count(); ++i) {
        if (i % kEntriesPerSection == 0) {
            writer.writeLine(markers[i / kEntriesPerSection % 3].c_str());
        }
        writer.writeLine(w.text(i));
    }
    writer.Close();
    return path;
}

size_t lineCount() {
    const size_t entries = workload("headline").count();
    return entries + (entries + kEntriesPerSection - 1) / kEntriesPerSection;
}

// Runs `run` on the tool's file, made for this run and removed after it.
std::function<void(benchmark::State&)> benchOnToolFile(
    std::function<bool(const std::string& path)> run) {
    return [run](benchmark::State& state) {
        const std::string path = writeToolFile();
        for (auto _ : state) {
            if (!run(path)) {
                state.SkipWithError("the run did not end clean");
                break;
            }
        }
        unlink(path.c_str());
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lineCount()));
    };
}

bool bareLoop(const std::string& path) {
    return readWithReadLineOffset(path) == lineCount();
}

// The tool with `args`, "FILE" standing for the file's path.
std::function<bool(const std::string&)> tool(std::vector<std::string> args) {
    return [args](const std::string& path) {
        std::vector<std::string> withFile = args;
        for (std::string& arg : withFile) {
            arg = arg == "FILE" ? path : arg;
        }
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        collect_file_tool::Output out(devNull);
        collect_file_tool::Console console{out};
        const int status = collect_file_tool::runTool(withFile, console, false, false);
        return out.finish() == 0 && status == 0;
    };
}

const char kBare[] = "tool/headline+markers/readLine(line, offset) loop";
const char kShow[] = "tool/headline+markers/collect-file show FILE 0 ALL";
const char kEntries[] = "tool/headline+markers/collect-file entries full FILE";
const double kJsonTarget = 1.5;  // a command's --json against its text
const std::string kAll = std::to_string(UINT64_MAX);

const int registered = registerTable({
    {kBare, benchOnToolFile(bareLoop)},
    {"tool/headline+markers/collect-file check",
     benchOnToolFile(tool({"check", "FILE"})),
     {{kBare, kToolTarget}}},
    {"tool/headline+markers/collect-file sections",
     benchOnToolFile(tool({"sections", "FILE"})),
     {{kBare, kToolTarget}}},
    {kEntries, benchOnToolFile(tool({"entries", "full", "FILE"})), {{kBare, kToolTarget}}},
    {kShow, benchOnToolFile(tool({"show", "FILE", "0", kAll})), {{kBare, kToolTarget}}},
    // JSON against the same command's text, side by side.
    {"tool/headline+markers/collect-file show --json FILE 0 ALL",
     benchOnToolFile(tool({"show", "--json", "FILE", "0", kAll})),
     {{kShow, kJsonTarget}}},
    {"tool/headline+markers/collect-file entries --json full FILE",
     benchOnToolFile(tool({"entries", "--json", "full", "FILE"})),
     {{kEntries, kJsonTarget}}},
});

}  // namespace
