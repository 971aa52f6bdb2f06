// Writes a collect file through the installed library and checks its bytes.
#include <collect_file/CollectFileReaderWriter.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer PATH\n");
        return 2;
    }
    const std::string path = argv[1];
    CollectFileReaderWriter writer;
    if (!writer.OpenFile(path, ACCESS_WRITE) || !writer.writeLine(FULLENTRYDELIMITER.c_str()) ||
        !writer.writeLine("entry") || !writer.writeLine("") || !writer.Close()) {
        std::fprintf(stderr, "consumer: writing %s failed\n", path.c_str());
        return 1;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes != "[FULL_DB_ENTRIES]\nentry\n") {
        std::fprintf(stderr, "consumer: unexpected file content\n");
        return 1;
    }
    std::printf("consumer: wrote %zu bytes as expected\n", bytes.size());
    return 0;
}
