// Writes a collect file through the installed library's safe interface (C++17), reads it back
// and checks each line's offset.
#include <collect_file/collect_file.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: safe_consumer PATH\n");
        return 2;
    }
    const std::string path = argv[1];
    collect_file::Writer writer;
    std::error_code error = writer.create(path);
    if (!error) error = writer.write(collect_file::Section::full);
    if (!error) error = writer.write("entry");
    if (!error) error = writer.commit();
    if (error) {
        std::fprintf(stderr, "safe_consumer: writing %s: %s\n", path.c_str(),
                     error.message().c_str());
        return 1;
    }
    collect_file::Reader reader;
    if ((error = reader.open(path))) {
        std::fprintf(stderr, "safe_consumer: %s\n", error.message().c_str());
        return 1;
    }
    std::vector<std::uint64_t> offsets;
    for (const collect_file::Line& line : reader) {
        offsets.push_back(line.offset);
    }
    if (reader.error() || offsets != std::vector<std::uint64_t>{0, 18}) {
        std::fprintf(stderr, "safe_consumer: unexpected lines\n");
        return 1;
    }
    std::printf("safe_consumer: two lines at offsets 0 and 18 as expected\n");
    return 0;
}
