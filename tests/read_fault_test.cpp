// Every system call a reader makes (read, pread, lseek) fails in turn, in every way a file system
// fails it, during a session that uses every reading form, seeks inside and outside the buffer
// from every origin, and reads across refills. No run may report a success whose text or offset
// differs from the file, or a success after a failure; interrupted and short reads must not
// show at all. A fault that never lifts (every read, pread and lseek failing from one call on)
// must also end the session with a failure, never with ReadDataFromFile's clean end.

#include <collect_file/CollectFileReaderWriter.h>
#include <errno.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fault_injector.h"
#include "test_support.h"

namespace {

using fault_injector::Fault;

// What one call of the session gave: whether it succeeded, and what it delivered.
struct Outcome {
    bool ok;
    std::string text;
    unsigned long offset;

    bool operator==(const Outcome& other) const {
        return ok == other.ok && text == other.text && offset == other.offset;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << (outcome.ok ? "ok" : "failed") << " '" << outcome.text.substr(0, 40) << "' at "
               << outcome.offset;
}

// Lines of 0 to 200 bytes, some of 1,000 to 2,047, and a last line without a newline.
std::string sessionFile() {
    std::mt19937 random(17);
    std::string bytes;
    while (bytes.size() < 300000) {
        const size_t length = random() % 50 == 0 ? 1000 + random() % 1048 : random() % 200;
        for (size_t i = 0; i < length; ++i) {
            bytes += static_cast<char>('a' + random() % 26);
        }
        bytes += '\n';
    }
    return bytes + "last";
}

// The session: every reading form, seeks inside and outside the buffer from every origin (those
// from the end and from the current position make the next offset a question to the system),
// and reads across refills, up to the end of the file.
std::vector<Outcome> runSession(CollectFileReaderWriter& reader) {
    std::vector<Outcome> outcomes;
    std::string line;
    unsigned long offset = 0;
    auto withOffset = [&] {
        offset = 0;
        const bool ok = reader.readLine(line, offset);
        outcomes.push_back({ok, line, offset});
    };
    auto plain = [&](int times) {
        for (int i = 0; i < times; ++i) {
            const bool ok = reader.readLine(line);
            outcomes.push_back({ok, line, 0});
        }
    };
    auto seek = [&](unsigned long target, SeekPosition origin) {
        outcomes.push_back({reader.seek(target, origin), "", 0});
    };
    plain(2);
    withOffset();
    const unsigned long early = offset + 1;
    bool ok = false;
    const std::string text = reader.readLine(ok);
    outcomes.push_back({ok, text, 0});
    char shortLine[CollectFileReaderWriter::kShortLineReadLimit] = {};
    outcomes.push_back({!reader.readLine(shortLine), shortLine, 0});
    seek(early, SEEK_FROM_START);  // inside the buffer
    withOffset();
    seek(200000, SEEK_FROM_START);  // outside: one small block
    withOffset();
    seek(20000, SEEK_FROM_CURRENT);  // outside again, from a position read by block
    withOffset();
    seek(200000, SEEK_FROM_START);
    plain(300);  // across refills that grow back to whole buffers
    withOffset();
    seek(static_cast<unsigned long>(-5000), SEEK_FROM_CURRENT);
    withOffset();
    seek(20000, SEEK_FROM_CURRENT);
    withOffset();
    seek(static_cast<unsigned long>(-3000), SEEK_FROM_END);
    withOffset();
    seek(early, SEEK_FROM_START);
    withOffset();
    plain(5);
    outcomes.push_back({reader.ReadDataFromFile(), "", 0});
    return outcomes;
}

class ReadFaultTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        path_ = fileWith(sessionFile());
        CollectFileReaderWriter reader;
        EXPECT_TRUE(reader.OpenFile(path_, ACCESS_READ));
        expected_ = runSession(reader);
    }

    // Runs the session with the fault armed at position; false once the fault is no longer
    // injected (the session makes fewer calls).
    bool runWithFault(Fault fault, int position, std::vector<Outcome>& outcomes) {
        CollectFileReaderWriter reader;
        EXPECT_TRUE(reader.OpenFile(path_, ACCESS_READ));
        fault_injector::arm(fault, position, EIO);
        outcomes = runSession(reader);
        return fault_injector::disarm();
    }

    std::string path_;
    std::vector<Outcome> expected_;
};

TEST_F(ReadFaultTest, NoWrongTextOrOffsetAndNoSuccessAfterAFailure) {
    if (!kReadsInjectable) {
        GTEST_SKIP() << "the file stream reads through stdio, out of the injector's reach";
    }
    ASSERT_TRUE(expected_.back().ok) << "the session reads through to the end of the file";
    const Fault faults[] = {Fault::kReadError, Fault::kReadInterrupt, Fault::kShortRead,
                            Fault::kSeekError, Fault::kReadAndSeekErrorOnward};
    for (Fault fault : faults) {
        const bool invisible = fault == Fault::kReadInterrupt || fault == Fault::kShortRead;
        const bool permanent = fault == Fault::kReadAndSeekErrorOnward;
        // The calls of the fault's family that the session makes when nothing fails: a fault
        // armed at any of them meets the same calls before it, so each is a position.
        std::vector<Outcome> outcomes;
        ASSERT_FALSE(runWithFault(fault, std::numeric_limits<int>::max(), outcomes));
        const int calls = fault_injector::callsSeen();
        int positions = 0;
        for (int position = 0; runWithFault(fault, position, outcomes); ++position) {
            SCOPED_TRACE(::testing::Message()
                         << fault_injector::nameOf(fault) << " at call " << position);
            ++positions;
            ASSERT_EQ(outcomes.size(), expected_.size());
            bool failed = false;
            for (size_t i = 0; i < outcomes.size(); ++i) {
                SCOPED_TRACE(::testing::Message() << "session step " << i);
                if (invisible || (!failed && outcomes[i] == expected_[i])) {
                    EXPECT_EQ(outcomes[i], expected_[i]);
                    continue;
                }
                // A fault may only make a call fail, and then every later one.
                EXPECT_FALSE(outcomes[i].ok) << outcomes[i] << ", expected " << expected_[i];
                failed = true;
            }
            if (permanent) {
                EXPECT_FALSE(outcomes.back().ok) << "ReadDataFromFile found a clean end";
            }
        }
        SCOPED_TRACE(fault_injector::nameOf(fault));
        EXPECT_EQ(positions, calls) << "a call position was skipped";
        // Reads: at least one per 64 KiB of the 300 KB file and per far seek; seeks: one for
        // each of the four seeks that the stream makes itself (from here or from the end).
        EXPECT_GE(calls, fault == Fault::kSeekError ? 4 : 8);
    }
}

}  // namespace
