#ifndef COLLECT_FILE_TESTS_SUPPORT_REFERENCE_READER_H
#define COLLECT_FILE_TESTS_SUPPORT_REFERENCE_READER_H

// The reading rules written the plain way, straight on the standard stream's bounded getline
// and position report, as an oracle for the library's faster reader: the differential test and
// the read fuzzer compare the class with it (target collect_file_reference_reader).

#include <cstdint>
#include <fstream>
#include <string>

class ReferenceReader {
  public:
    // The stream buffer has the library's size, 64 KiB: it decides where reading near the
    // largest file position turns from the end of the file into a read error.
    ReferenceReader() { stream_.rdbuf()->pubsetbuf(buffer_, sizeof buffer_); }

    bool open(const std::string& path) {
        stream_.open(path, std::ios_base::in);
        opened_ = !stream_.fail();
        return opened_;
    }
    void close() {
        if (opened_) {
            stream_.close();
        }
    }
    void setDelimiter(char delimiter) { delimiter_ = delimiter; }

    bool readLine(std::string& line) {
        char array[2048];
        if (readText(array)) {
            line.assign(array);
        }
        return !stream_.fail();
    }

    bool readLine(std::string& line, unsigned long& offset) {
        char array[2048];
        if (!readText(array)) {
            return false;
        }
        const bool ok = !stream_.fail();
        int64_t position = -1;
        if (!stream_.eof()) {
            if (ok) {
                position = static_cast<int64_t>(stream_.tellg());
            }
        } else {
            stream_.clear();
            position = static_cast<int64_t>(stream_.tellg()) + 1;
            stream_.clear(std::ios_base::eofbit);
        }
        line.assign(array);
        offset = static_cast<uint64_t>(position) - line.size() - 2;
        return ok;
    }

    std::string readLine(bool& ok) {
        std::string result;
        char array[2048];
        if (readText(array)) {
            result.assign(array);
        }
        ok = !stream_.fail();
        return result;
    }

    bool readLine(char* buffer) {
        stream_.getline(buffer, 8, delimiter_);
        return stream_.fail();
    }

    bool readDataFromFile() {
        if (!opened_) {
            return false;
        }
        char array[2048];
        do {
            stream_.getline(array, sizeof array, delimiter_);
        } while (stream_.good());
        return stream_.eof();
    }

    bool seek(unsigned long offset, int32_t origin) {
        const std::streampos position = stream_.tellg();
        stream_.seekg(position);
        std::ios_base::seekdir direction = std::ios_base::cur;
        if (origin == 1) {
            direction = std::ios_base::beg;
        } else if (origin == 2) {
            direction = std::ios_base::end;
        }
        stream_.seekg(static_cast<std::streamoff>(offset), direction);
        return !stream_.fail();
    }

    bool healthy() const { return !stream_.fail(); }

  private:
    bool readText(char* array) {
        stream_.getline(array, 2048, delimiter_);
        return !stream_.eof() || !stream_.fail();
    }

    char buffer_[65536];
    std::fstream stream_;
    char delimiter_ = '\n';
    bool opened_ = false;
};

#endif  // COLLECT_FILE_TESTS_SUPPORT_REFERENCE_READER_H
