// The line scan on its own: every length from 0 to 40 bytes, every hit position, each of the
// two bytes sought and both together, for each way of scanning.

#include "collect_file/internal/line_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace collect_file_internal;

struct Scanner {
    const char* name;
    const char* (*find)(const char*, size_t, char, char);
};

TEST(LineScanTest, FindsTheFirstOfEitherByteAtEveryPositionAndLength) {
    std::vector<Scanner> scanners = {{"findEither", findEither},
                                     {"findEitherByMemchr", findEitherByMemchr}};
#if defined(COLLECT_FILE_SCAN_SSE2)
    scanners.push_back({"findEitherBySse2", findEitherBySse2});
#endif
    for (const Scanner& scanner : scanners) {
        SCOPED_TRACE(scanner.name);
        for (size_t length = 0; length <= 40; ++length) {
            // Bytes past the length hold both sought bytes: a scan must not look there.
            std::string bytes(length, 'x');
            bytes += "\n";
            bytes += '\0';
            for (size_t hit = 0; hit <= length; ++hit) {
                for (const char* sought : {"\n", "0", "both"}) {
                    SCOPED_TRACE(::testing::Message()
                                 << "length " << length << ", hit at " << hit << ", " << sought);
                    std::string line = bytes;
                    if (hit < length) {
                        line[hit] = sought[0] == '0' ? '\0' : '\n';
                        if (sought[0] == 'b' && hit + 1 < length) {
                            line[hit + 1] = '\0';  // a later one of the other byte
                        }
                    }
                    const char* found = scanner.find(line.data(), length, '\n', '\0');
                    EXPECT_EQ(found, hit < length ? line.data() + hit : nullptr);
                }
            }
        }
    }
}

TEST(LineScanTest, LongRunsGoOnPastTheOnePassScan) {
    for (size_t hit : {kOnePassScan - 1, kOnePassScan, kOnePassScan + 1, 3 * kOnePassScan + 17}) {
        SCOPED_TRACE(hit);
        std::string bytes(4000, 'x');
        bytes[hit] = ';';
        EXPECT_EQ(findEither(bytes.data(), bytes.size(), ';', '\0'), bytes.data() + hit);
        EXPECT_EQ(findEither(bytes.data(), hit, ';', '\0'), nullptr);
    }
}

}  // namespace
