// The attendance upload: one tick of UploadRecords against scripted servers
// on 127.0.0.1 (through the real TCPConn) or a scripted connection, and the
// data file that keeps whatever the server did not confirm.
#include "app/attendance/attendance.h"
#include "app/attendance/computer_name.h"
#include "app/attendance/journal_place.h"
#include "app/attendance/record_journal.h"
#include "app/tcpconn/tcp_conn.h"
#include "frm_fixture.h"
#include "support/dropping_listener.h"
#include "support/scripted_peer.h"
#include "support/tm.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace lorvent::testing {
namespace {

using namespace std::chrono_literals;
using tcp = asio::ip::tcp;

// The read time's own text is tested with the record grammar (tests/record/).
TEST(RecordLines, RequestAndDataFileLineOfARead) {
    TLogItem item{Tm(2026, 1, 1, 0, 5), "012aff007b"};
    EXPECT_EQ(RequestLine(item), "L 01/01/2026-00:05 012aff007b");
    EXPECT_EQ(DataFileLine(item), "01/01/2026-00:05 012aff007b\r\n");
}

class UploadTest : public FrmFixture {
protected:
    void SetUp() override { keyboard.now = Tm(2026, 12, 7, 23, 16); }
    std::filesystem::path DataFilePath() const { return temp.Path() / "att" / "kalvinor.db"; }
    void StartAttendance() { Start({"-net", "-db", DataFilePath().string()}); }
    void UseServerOn(std::uint16_t port) {
        UseServer(std::make_unique<lorvent::TCPConn>("127.0.0.1", port));
    }
    // Card i reads as 012aff00 and i in two hex digits.
    static std::vector<std::uint8_t> Card(int i) {
        return {0x01, 0x2a, 0xff, 0x00, static_cast<std::uint8_t>(i)};
    }
    void ReadCards(int count, int first = 0) {
        for (int i = first; i < first + count; ++i)
            CardRead(Card(i));
    }
    static std::string Record(int i) {
        char text[64];
        std::snprintf(text, sizeof text, "07/12/2026-23:16 012aff00%02x", i);
        return text;
    }
    static std::string FileLines(int first, int end) {
        std::string lines;
        for (int i = first; i < end; ++i)
            lines += Record(i) + "\r\n";
        return lines;
    }
    std::string FileBytes() const {
        std::ifstream file(DataFilePath(), std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
};

// ---- Against scripted servers on loopback ----

struct TReplyCase {
    const char* name;
    int records;
    std::vector<std::string> replies; // bytes sent after each request, in turn
    int confirmed;
    bool closeAfterReplies = false;
    std::chrono::milliseconds replyDelay{0};
};

void PrintTo(const TReplyCase& reply, std::ostream* out) {
    *out << reply.name;
}

class UploadReplyTest : public UploadTest, public ::testing::WithParamInterface<TReplyCase> {};

// The server reads a request, answers it from the script, and stops reading
// once the script runs out; requests are what it received.
TEST_P(UploadReplyTest, ConfirmedRecordsGoAndTheRestReachTheFileInOrder) {
    const TReplyCase& reply = GetParam();
    StartAttendance();
    ReadCards(reply.records);
    std::vector<std::string> requests;
    {
        ScriptedPeer peer([&](tcp::socket& socket, int) {
            for (const std::string& answer : reply.replies) {
                requests.push_back(ReadRequest(socket));
                std::this_thread::sleep_for(reply.replyDelay);
                Send(socket, answer);
            }
            if (reply.closeAfterReplies)
                socket.close();
            else
                AwaitHangUp(socket);
        });
        UseServerOn(peer.Port());
        // Left unflushed: only the tick's flush puts it on disk.
        std::fputs("#", openedDataFile);
        frm->LogTimerTimer();
        EXPECT_FALSE(realServer->Connected()) << "every tick ends disconnected";
    }
    EXPECT_TRUE(frm->QueuedRecords().empty());
    EXPECT_EQ(FileBytes(), "#" + FileLines(reply.confirmed, reply.records));
    ASSERT_FALSE(requests.empty());
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i], "L " + Record(static_cast<int>(i)) + "\r\n");
}

const std::string kOk = "OK\r\n";

INSTANTIATE_TEST_SUITE_P(
    Replies, UploadReplyTest,
    ::testing::Values(
        TReplyCase{"every record confirmed: the file gets nothing", 3, {kOk, kOk, kOk}, 3},
        TReplyCase{"first two of four confirmed", 4, {kOk, kOk, "ERR bad line\r\n"}, 2},
        TReplyCase{"lower case", 2, {"ok\r\n"}, 0}, TReplyCase{"trailing space", 2, {"OK \r\n"}, 0},
        TReplyCase{"empty line", 2, {"\r\n"}, 0},
        TReplyCase{"LF alone is no line end: time-out", 2, {kOk, "OK\n"}, 1},
        TReplyCase{"server closes right after an OK", 3, {kOk}, 1, true},
        TReplyCase{"an answer after 1.5 s", 2, {kOk}, 0, false, 1500ms}),
    [](const auto& test) {
        std::string name;
        for (const char* c = test.param.name; *c != '\0'; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c)))
                name += *c;
        return name;
    });

TEST_F(UploadTest, NothingListeningStoresEveryRecord) {
    StartAttendance();
    std::uint16_t freePort;
    {
        asio::io_context io;
        tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        freePort = probe.local_endpoint().port();
    }
    UseServerOn(freePort);
    ReadCards(2);
    frm->LogTimerTimer();
    EXPECT_TRUE(frm->QueuedRecords().empty());
    EXPECT_EQ(FileBytes(), FileLines(0, 2));
    EXPECT_FALSE(realServer->Connected());
}

// A server host that swallows connection attempts holds the tick for the
// connect's bound only, and the records go to the file in that tick.
TEST_F(UploadTest, AServerThatDropsConnectionAttemptsCostsTheTickOneSecond) {
    TDroppingListener silent;
    ASSERT_TRUE(silent.DropsAttempts()) << "this system answers attempts to a full accept queue";
    StartAttendance();
    UseServerOn(silent.Port());
    ReadCards(3);
    const auto start = std::chrono::steady_clock::now();
    frm->LogTimerTimer();
    EXPECT_LT(std::chrono::steady_clock::now() - start, kConnectTimeout + 2s);
    EXPECT_TRUE(frm->QueuedRecords().empty());
    EXPECT_EQ(FileBytes(), FileLines(0, 3));
    EXPECT_FALSE(realServer->Connected());
}

// The protocol thread delivers a read while the GUI thread waits for a reply:
// its record is queued after the tick and goes with the next one.
TEST_F(UploadTest, AReadDuringABlockedTickGoesWithTheNextTick) {
    StartAttendance();
    ReadCards(1);
    std::vector<std::string> requests;
    {
        ScriptedPeer peer(
            [&](tcp::socket& socket, int connection) {
                requests.push_back(ReadRequest(socket));
                if (connection == 0)
                    Deliver({0x83, 0x01, 0x01, 0x2a, 0xff, 0x00, 0x01});
                Send(socket, kOk);
                AwaitHangUp(socket);
            },
            2);
        UseServerOn(peer.Port());
        frm->LogTimerTimer();
        EXPECT_TRUE(frm->QueuedRecords().empty()) << "the read is not handled inside the tick";
        PumpMessages();
        ASSERT_EQ(frm->QueuedRecords().size(), 1u);
        frm->LogTimerTimer();
    }
    EXPECT_EQ(requests,
              (std::vector<std::string>{"L " + Record(0) + "\r\n", "L " + Record(1) + "\r\n"}));
    EXPECT_TRUE(frm->QueuedRecords().empty());
    EXPECT_EQ(FileBytes(), "");
}

// ---- With a scripted connection ----

TEST_F(UploadTest, KeyboardModeAndAnEmptyQueueConnectToNothingAndTouchNoFile) {
    Start();
    CardRead(Card(1));
    frm->LogTimerTimer();
    EXPECT_EQ(openedDataFile, nullptr);
    EXPECT_FALSE(std::filesystem::exists(defaultDataFile));
    frm.reset();

    StartAttendance();
    std::fputs("#", openedDataFile); // would reach the disk with any flush
    frm->LogTimerTimer();
    frm->LogTimerTimer();
    EXPECT_EQ(FileBytes(), "");
    EXPECT_TRUE(server.journal.empty());
}

TEST_F(UploadTest, TwoReadsInOneMinuteGiveTwoIdenticalLines) {
    StartAttendance();
    ReadCards(1, 7);
    ReadCards(1, 7);
    server.replies = {"OK", "OK"};
    frm->LogTimerTimer();
    EXPECT_EQ(server.journal, (std::vector<std::string>{"connect", "L " + Record(7),
                                                        "L " + Record(7), "disconnect"}));
    ReadCards(1, 7);
    ReadCards(1, 7);
    frm->LogTimerTimer(); // no replies left: both stored
    EXPECT_EQ(FileBytes(), FileLines(7, 8) + FileLines(7, 8));
}

TEST_F(UploadTest, RecordsStillQueuedAtShutDownAreKeptInTheFile) {
    StartAttendance();
    ReadCards(3);
    frm.reset();
    EXPECT_EQ(FileBytes(), FileLines(0, 3));
    EXPECT_TRUE(server.journal.empty()) << "shut-down does not wait on the server";
}

// Windows may end the process once the end of the session is announced, so
// the records go to the file then, and once only.
TEST_F(UploadTest, RecordsQueuedWhenTheSessionEndsAreKeptAtOnceAndOnce) {
    StartAttendance();
    ReadCards(2);
    frm->SessionEnding();
    EXPECT_EQ(FileBytes(), FileLines(0, 2));
    ReadCards(1, 2);
    frm.reset();
    EXPECT_EQ(FileBytes(), FileLines(0, 3));
}

// A read the reader object has delivered but the window has not handled yet
// is a record to keep too when the session ends.
TEST_F(UploadTest, AReadDeliveredButNotHandledWhenTheSessionEndsIsKept) {
    StartAttendance();
    ReadCards(1);
    Deliver({0x83, 0x01, 0x01, 0x2a, 0xff, 0x00, 0x01});
    frm->SessionEnding();
    EXPECT_EQ(FileBytes(), FileLines(0, 2));
}

// ---- A data file that cannot take the records ----

// A stream over memory that fails while `full` is set, after taking up to
// `bytesBeforeFailing` bytes, as a disk that fills up mid-write would.
struct TFlakyFile {
    std::string bytes;
    bool full = false;
    std::size_t bytesBeforeFailing = 0;

    static ssize_t Write(void* cookie, const char* data, std::size_t size) {
        auto& file = *static_cast<TFlakyFile*>(cookie);
        std::size_t taken = size;
        if (file.full) {
            taken = std::min(size, file.bytesBeforeFailing);
            file.bytesBeforeFailing -= taken;
            if (taken == 0) {
                errno = ENOSPC;
                return -1;
            }
        }
        file.bytes.append(data, taken);
        return static_cast<ssize_t>(taken);
    }
    static int Seek(void* cookie, off64_t* offset, int) {
        *offset = static_cast<off64_t>(static_cast<TFlakyFile*>(cookie)->bytes.size());
        return 0;
    }
    std::FILE* Open() {
        return fopencookie(this, "w", {nullptr, &TFlakyFile::Write, &TFlakyFile::Seek, nullptr});
    }
};

struct TFullDiskCase {
    const char* name;
    std::size_t bytesBeforeFailing;
    const char* leftOver; // what the failed tick left in the file
};

void PrintTo(const TFullDiskCase& disk, std::ostream* out) {
    *out << disk.name;
}

class DataFileFailureTest : public UploadTest,
                            public ::testing::WithParamInterface<TFullDiskCase> {};

// Server down and disk full: nothing may be lost. Once the file takes lines
// again, the next tick offers the records to the server first and stores the
// rest, so that every record is either confirmed or in the file, once.
TEST_P(DataFileFailureTest, RecordsTheFileCannotTakeStayQueuedForTheNextTick) {
    TFlakyFile flaky;
    flaky.full = true;
    flaky.bytesBeforeFailing = GetParam().bytesBeforeFailing;
    dataFileOpener = [&](const std::string&) { return flaky.Open(); };
    StartAttendance();
    ReadCards(3);
    server.refuseConnect = true;
    frm->LogTimerTimer();
    ASSERT_EQ(frm->QueuedRecords().size(), 3u);
    EXPECT_EQ(flaky.bytes, GetParam().leftOver);

    ReadCards(1, 3);
    flaky.full = false;
    server.refuseConnect = false;
    server.replies = {"OK"};
    frm->LogTimerTimer();
    EXPECT_TRUE(frm->QueuedRecords().empty());
    EXPECT_EQ(server.journal[server.journal.size() - 4], "connect");
    EXPECT_EQ(server.journal[server.journal.size() - 3], "L " + Record(0)) << "confirmed";
    EXPECT_EQ(server.journal[server.journal.size() - 2], "L " + Record(1)) << "not confirmed";
    frm.reset(); // shut-down closes and flushes the stream
    const std::string leftOver = GetParam().leftOver;
    EXPECT_EQ(flaky.bytes, leftOver + (leftOver.empty() ? "" : "\r\n") + FileLines(1, 4));
}

INSTANTIATE_TEST_SUITE_P(Disks, DataFileFailureTest,
                         ::testing::Values(TFullDiskCase{"NothingWritten", 0, ""},
                                           TFullDiskCase{"PartOfALineWritten", 10, "07/12/2026"}),
                         [](const auto& test) { return std::string(test.param.name); });

// How an exchange may end with the record sent and no confirmation heard.
struct TUnconfirmedCase {
    const char* name;
    std::string reply;       // to the second request
    bool writeFails = false; // the second request's write throws instead
};

void PrintTo(const TUnconfirmedCase& unconfirmed, std::ostream* out) {
    *out << unconfirmed.name;
}

class UnconfirmedRecordTest : public UploadTest,
                              public ::testing::WithParamInterface<TUnconfirmedCase> {
protected:
    // The records the server was sent, in order, each as often as it was sent.
    std::vector<std::string> Offered() const {
        std::vector<std::string> records;
        for (const std::string& line : server.journal)
            if (line.rfind("L ", 0) == 0)
                records.push_back(line.substr(2));
        return records;
    }
    std::string JournalBytes() const {
        std::ifstream file(JournalPath(DataFilePath().string(), ComputerName()), std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
};

// The server may have stored a record whose confirmation the window did not
// hear. With the data file full (the kernel's full device) the record stays
// with the window; it must never be offered again (the server would store it
// twice), while the records after it still go to the server. It waits, in
// the journal too, until the file (the same stream reopened on a real file)
// takes it.
TEST_P(UnconfirmedRecordTest, IsNeverOfferedAgainAndWaitsForTheDataFile) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full here";
    dataFileOpener = [](const std::string&) { return std::fopen("/dev/full", "ab+"); };
    StartAttendance();
    ReadCards(3);
    server.replies = {"OK", GetParam().reply};
    if (GetParam().writeFails)
        server.onRequest = [](const std::string& line) {
            if (line == "L " + Record(1))
                throw std::runtime_error("connection reset");
        };
    frm->LogTimerTimer();
    server.onRequest = nullptr;
    server.replies = {"OK", "OK", "OK"};
    frm->LogTimerTimer();
    EXPECT_NE(JournalBytes().find(Record(1)), std::string::npos)
        << "the journal keeps the record until the file has it";

    ASSERT_EQ(std::freopen(DataFilePath().string().c_str(), "ab+", openedDataFile), openedDataFile);
    frm->LogTimerTimer();
    EXPECT_EQ(JournalBytes(), "");
    EXPECT_EQ(Offered(), (std::vector<std::string>{Record(0), Record(1), Record(2)}));
    EXPECT_EQ(FileBytes(), FileLines(1, 2));
}

INSTANTIATE_TEST_SUITE_P(Exchanges, UnconfirmedRecordTest,
                         ::testing::Values(TUnconfirmedCase{"NoReplyInTime", ""},
                                           TUnconfirmedCase{"WrongReply", "ok"},
                                           TUnconfirmedCase{"ErrorReply", "ERR busy"},
                                           TUnconfirmedCase{"WriteFails", "OK", true}),
                         [](const auto& test) { return std::string(test.param.name); });

// The data file is first the kernel's full device, then (the same stream
// reopened) a real file.
TEST_F(UploadTest, DevFullKeepsTheRecordsUntilARealFileTakesThem) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full here";
    dataFileOpener = [](const std::string&) { return std::fopen("/dev/full", "ab+"); };
    StartAttendance();
    ReadCards(2);
    server.refuseConnect = true;
    frm->LogTimerTimer();
    ASSERT_EQ(frm->QueuedRecords().size(), 2u);

    ASSERT_EQ(std::freopen(DataFilePath().string().c_str(), "ab+", openedDataFile), openedDataFile);
    frm->LogTimerTimer();
    EXPECT_TRUE(frm->QueuedRecords().empty());
    EXPECT_EQ(FileBytes(), FileLines(0, 2));
}

} // namespace
} // namespace lorvent::testing
