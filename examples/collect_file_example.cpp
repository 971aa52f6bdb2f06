// A nightly backup through the safe interface: writes a collect file with full, differential and
// system entries (create, then commit), adds a late change at its end (append), then restores
// it: one pass indexes the sections by their marker lines, and the same Reader seeks back to the
// first entry of each differential section through the offset recorded in that pass.
//
// Usage: collect_file_example [PATH]
// Without PATH the file goes into a fresh temporary folder that is removed at the end.

#include <collect_file/collect_file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

using collect_file::Section;

struct Group {
    Section section;
    std::vector<std::string> entries;
};

// What the restore learned of one section: where its marker line and its first entry start.
struct SectionIndex {
    Section section;
    std::uint64_t markerOffset = 0;
    std::uint64_t firstEntryOffset = 0;
    int entryCount = 0;
};

// Writes the groups into a new file that replaces `path` only at commit().
std::error_code backUp(const std::string& path, const std::vector<Group>& groups) {
    collect_file::Writer writer;
    if (auto error = writer.create(path)) {
        return error;
    }
    for (const Group& group : groups) {
        if (auto error = writer.write(group.section)) {
            return error;
        }
        for (const std::string& entry : group.entries) {
            if (auto error = writer.write(entry)) {
                return error;  // line_too_long, nul_in_line, newline_in_line, or the system's
            }
        }
    }
    return writer.commit();  // durable: fsync, rename over `path`, fsync of the folder
}

// Adds one more differential section at the end of the file.
std::error_code appendChange(const std::string& path, const std::string& entry) {
    collect_file::Writer writer;
    if (auto error = writer.append(path)) {
        return error;  // e.g. errc::unterminated_line: the file ends inside a cut line
    }
    if (auto error = writer.write(Section::diff)) {
        return error;
    }
    if (auto error = writer.write(entry)) {
        return error;
    }
    return writer.commit();
}

// Reads every line once and indexes the sections by their marker lines.
std::error_code indexSections(collect_file::Reader& reader, std::vector<SectionIndex>& index) {
    for (const collect_file::Line& line : reader) {
        if (const std::optional<Section> section = collect_file::section_of(line.text)) {
            index.push_back({*section, line.offset});
        } else if (!index.empty() && index.back().entryCount++ == 0) {
            index.back().firstEntryOffset = line.offset;
        }
    }
    return reader.error();  // empty at the end of the file, else why reading stopped
}

int fail(const std::string& what, std::error_code error) {
    std::fprintf(stderr, "collect_file_example: %s: %s\n", what.c_str(), error.message().c_str());
    return EXIT_FAILURE;
}

int run(const std::string& path) {
    const std::vector<Group> groups = {
        {Section::full, {"customer 1001 Ada", "customer 1002 Grace", "customer 1003 Linus"}},
        {Section::diff, {"customer 1002 address changed", "customer 1004 added"}},
        {Section::system,
         {"schema 7", "checkpoint 2026-12-08T02:00:00Z", "vacuum done", "replicas 3"}},
    };
    if (auto error = backUp(path, groups)) {
        return fail("backing up to " + path, error);
    }
    if (auto error = appendChange(path, "customer 1003 removed")) {
        return fail("appending to " + path, error);
    }
    std::printf("Wrote %s: a backup, then one change appended\n\n", path.c_str());

    collect_file::Reader reader;
    if (auto error = reader.open(path)) {
        return fail("opening " + path, error);
    }
    std::vector<SectionIndex> index;
    if (auto error = indexSections(reader, index)) {
        return fail("reading " + path + " at offset " + std::to_string(reader.position()), error);
    }
    std::printf("%-22s %8s %14s\n", "section", "entries", "marker offset");
    for (const SectionIndex& section : index) {
        std::printf("%-22s %8d %14llu\n",
                    std::string(collect_file::marker(section.section)).c_str(), section.entryCount,
                    static_cast<unsigned long long>(section.markerOffset));
    }
    std::printf("\n");
    // Back to the first entry of each differential section, in the same Reader.
    for (const SectionIndex& section : index) {
        if (section.section != Section::diff || section.entryCount == 0) {
            continue;
        }
        collect_file::Line line;
        if (auto error = reader.seek(section.firstEntryOffset)) {
            return fail("seeking in " + path, error);
        }
        if (!reader.next(line)) {
            return fail("reading at offset " + std::to_string(section.firstEntryOffset),
                        reader.error());
        }
        std::printf("Seek to byte %llu: \"%s\"\n",
                    static_cast<unsigned long long>(section.firstEntryOffset), line.text.c_str());
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: collect_file_example [PATH]\n");
        return EXIT_FAILURE;
    }
    if (argc == 2) {
        return run(argv[1]);
    }
    char folderTemplate[] = "/tmp/collect_file_example.XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        std::fprintf(stderr, "collect_file_example: cannot create a temporary folder\n");
        return EXIT_FAILURE;
    }
    const std::string path = std::string(folderTemplate) + "/entries.collect";
    const int status = run(path);
    std::remove(path.c_str());
    rmdir(folderTemplate);
    return status;
}
