// Writes a collect file with full, differential and system entries, reads it back section by
// section, then jumps straight to one entry through the offset recorded while reading.
//
// Usage: collect_file_example [PATH]
// Without PATH the file goes into a fresh temporary folder that is removed at the end.

#include <collect_file/CollectFileReaderWriter.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Section {
    std::string marker;
    std::vector<std::string> entries;
};

struct SectionSummary {
    std::string marker;
    unsigned long markerOffset = 0;
    int entryCount = 0;
    // Where the first entry of the section starts, for the seek at the end.
    unsigned long firstEntryOffset = 0;
    std::string firstEntry;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "collect_file_example: %s\n", message.c_str());
    return EXIT_FAILURE;
}

bool isMarker(const std::string& line) {
    return line == FULLENTRYDELIMITER || line == DIFFENTRYDELIMITER || line == SYSTEMENTRYDELIMITER;
}

bool writeCollectFile(const std::string& path, const std::vector<Section>& sections) {
    CollectFileReaderWriter writer;
    if (!writer.OpenFile(path, ACCESS_WRITE)) {
        return false;
    }
    for (const Section& section : sections) {
        if (!writer.writeLine(section.marker.c_str())) {
            return false;
        }
        for (const std::string& entry : section.entries) {
            if (!writer.writeLine(entry.c_str())) {
                return false;
            }
        }
    }
    return writer.Close();
}

// Reads every line and groups the entries under the marker line before them. readLine reports
// one less than a line's byte offset, so a line starts at offset + 1.
bool summarize(const std::string& path, std::vector<SectionSummary>& summaries) {
    CollectFileReaderWriter reader;
    if (!reader.OpenFile(path, ACCESS_READ)) {
        return false;
    }
    std::string line;
    unsigned long offset = 0;
    while (reader.readLine(line, offset)) {
        const unsigned long lineStart = offset + 1;
        if (isMarker(line)) {
            SectionSummary summary;
            summary.marker = line;
            summary.markerOffset = lineStart;
            summaries.push_back(summary);
        } else if (!summaries.empty()) {
            SectionSummary& current = summaries.back();
            if (current.entryCount++ == 0) {
                current.firstEntryOffset = lineStart;
                current.firstEntry = line;
            }
        }
    }
    return true;
}

bool readEntryAt(const std::string& path, unsigned long offset, std::string& entry) {
    CollectFileReaderWriter reader;
    return reader.OpenFile(path, ACCESS_READ) && reader.seek(offset) && reader.readLine(entry);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        return fail("usage: collect_file_example [PATH]");
    }
    std::string folder;
    std::string path;
    if (argc == 2) {
        path = argv[1];
    } else {
        char folderTemplate[] = "/tmp/collect_file_example.XXXXXX";
        if (mkdtemp(folderTemplate) == nullptr) {
            return fail("cannot create a temporary folder");
        }
        folder = folderTemplate;
        path = folder + "/entries.collect";
    }

    const std::vector<Section> sections = {
        {FULLENTRYDELIMITER, {"customer 1001 Ada", "customer 1002 Grace", "customer 1003 Linus"}},
        {DIFFENTRYDELIMITER, {"customer 1002 address changed", "customer 1004 added"}},
        {SYSTEMENTRYDELIMITER,
         {"schema 7", "checkpoint 2026-12-08T02:00:00Z", "vacuum done", "replicas 3"}},
    };

    int status = EXIT_SUCCESS;
    std::vector<SectionSummary> summaries;
    std::string entry;
    if (!writeCollectFile(path, sections)) {
        status = fail("cannot write " + path);
    } else if (!summarize(path, summaries) || summaries.size() != sections.size()) {
        status = fail("cannot read the sections back from " + path);
    } else {
        std::printf("Wrote %s (%llu bytes)\n\n", path.c_str(),
                    static_cast<unsigned long long>(CollectFileReaderWriter::getFileSize(path)));
        std::printf("%-22s %8s %14s\n", "section", "entries", "marker offset");
        for (const SectionSummary& summary : summaries) {
            std::printf("%-22s %8d %14lu\n", summary.marker.c_str(), summary.entryCount,
                        summary.markerOffset);
        }
        const SectionSummary& diff = summaries[1];
        if (!readEntryAt(path, diff.firstEntryOffset, entry) || entry != diff.firstEntry) {
            status = fail("cannot seek back to the first differential entry");
        } else {
            std::printf("\nSeek to byte %lu in a second reader: \"%s\"\n", diff.firstEntryOffset,
                        entry.c_str());
        }
    }

    if (!folder.empty()) {
        std::remove(path.c_str());
        rmdir(folder.c_str());
    }
    return status;
}
