#include "protocol/log_file.h"
#include "protocol/proto_message.h"
#include "protocol/protocol.h"
#include "protocol/repeat_filter.h"
#include "protocol/text_log.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"
#include "support/scripted_device.h"
#include "support/tm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

namespace lorvent {
namespace {

namespace fs = std::filesystem;
using testing::Tm;

TEST(TextMessageTest, LevelNames) {
    const std::pair<int, const char*> cases[] = {
        {0, "Warn"}, {1, "Trce"}, {2, "Info"}, {3, "Mesg"}, {4, "Err "}, {5, "Unkn"}, {255, "Unkn"},
    };
    for (const auto& [level, name] : cases) {
        TTextMessage message(static_cast<std::uint8_t>(level), "", "");
        EXPECT_STREQ(message.LevelName(), name) << "level " << level;
    }
}

TEST(TextMessageTest, CtimeFormWithZeroPaddedDay) {
    std::tm local = Tm(2026, 1, 5, 7, 3, 9);
    local.tm_wday = 1;
    EXPECT_EQ(FormatCtime(local), "Mon Jan 05 07:03:09 2026\n");
}

class CountingSink : public TTextMessageQueue {
public:
    void Notify() override { ++notified; }
    int notified = 0;
};

TEST(TextMessageQueueTest, FifoWithOneNotifyPerPut) {
    CountingSink sink;
    EXPECT_EQ(sink.Get(), nullptr);
    sink.Put(std::make_unique<TTextMessage>(kLevelWarn, "first", "Protocol"));
    sink.Put(std::make_unique<TTextMessage>(kLevelError, "second", "S1"));
    EXPECT_EQ(sink.notified, 2);
    auto first = sink.Get();
    auto second = sink.Get();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->text, "first");
    EXPECT_EQ(second->category, "S1");
    EXPECT_EQ(sink.Get(), nullptr);
}

TEST(TextMessageQueueTest, ProducersOnTwoThreadsLoseNothing) {
    TTextMessageQueue sink;
    auto produce = [&sink](const char* who) {
        for (int i = 0; i < 1000; ++i)
            sink.Put(std::make_unique<TTextMessage>(kLevelTrace, std::to_string(i), who));
    };
    std::thread a(produce, "a"), b(produce, "b");
    a.join();
    b.join();
    int lastA = -1, lastB = -1, total = 0;
    while (auto message = sink.Get()) {
        int& last = message->category == "a" ? lastA : lastB;
        EXPECT_EQ(std::stoi(message->text), last + 1);
        last = std::stoi(message->text);
        ++total;
    }
    EXPECT_EQ(total, 2000);
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ =
            fs::temp_directory_path() /
            ("lorvent-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        previous_ = fs::current_path();
        fs::current_path(directory_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(directory_);
    }
    static std::string ReadLog() {
        std::ifstream in("log.txt"); // text mode: the CR LF of Windows reads as LF
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    fs::path directory_, previous_;
};

TEST_F(LogFileTest, WritesTwoLinesPerEntryInTheWorkingDirectoryAndAppends) {
    {
        std::ofstream earlier("log.txt", std::ios::binary);
        earlier << "earlier run\n";
    }
    mqLog log; // opens log.txt where the program runs
    log.Put(std::make_unique<TTextMessage>(kLevelError, "Error 3 in FT_Open", "Protocol"));
    // Flushed per entry: visible before the sink is closed.
    const std::string afterOne = ReadLog();
    log.Put(std::make_unique<TTextMessage>(5, "Address set to 01", "S1"));
    EXPECT_EQ(log.Get(), nullptr); // the file sink keeps nothing queued

    const std::string stamp = R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} \d{4}\n)";
    EXPECT_TRUE(std::regex_match(
        afterOne, std::regex("earlier run\n" + stamp + " Protocol Error 3 in FT_Open\n")))
        << afterOne;
    EXPECT_TRUE(std::regex_match(ReadLog(), std::regex("earlier run\n" + stamp +
                                                       " Protocol Error 3 in FT_Open\n" + stamp +
                                                       " S1 Address set to 01\n")))
        << ReadLog();
}

TEST_F(LogFileTest, UnopenableLogDropsRecordsQuietly) {
    fs::create_directory("log.txt"); // a directory cannot be opened for appending
    mqLog log;
    log.Put(std::make_unique<TTextMessage>(kLevelWarn, "dropped", "Protocol"));
    EXPECT_TRUE(fs::is_directory("log.txt"));
}

// ---- Repeated messages ----

struct TArrival {
    TPollTime at;
    std::uint8_t level;
    const char* category;
    const char* text;
    std::vector<std::string> written; // "category text" of each entry, in order
};

std::vector<std::string> Shown(const std::vector<TRepeatFilter::TEntry>& entries) {
    std::vector<std::string> shown;
    for (const auto& entry : entries)
        shown.push_back(entry.category + " " + entry.text);
    return shown;
}

// What an adapter pulled out for a while looks like, then the reader's
// return, then the same failures after a quiet interval.
TEST(RepeatFilterTest, FirstOccurrencesAndStateChangesAtOnceRepeatsCounted) {
    const char* open = "Error 2 in FT_Open";
    const char* write = "SendPacket: FT_Write error 4";
    const TArrival arrivals[] = {
        {0, kLevelError, "Protocol", open, {"Protocol Error 2 in FT_Open"}},
        {100, kLevelError, "Protocol", write, {"Protocol SendPacket: FT_Write error 4"}},
        {200, kLevelError, "Protocol", open, {}},
        {300, kLevelError, "Protocol", write, {}},
        {400, kLevelError, "Protocol", open, {}},
        // The same text from another source is another message; the counts
        // so far are written before it.
        {500,
         kLevelWarn,
         "S1",
         open,
         {"Protocol Error 2 in FT_Open ... repeated 2 times",
          "Protocol SendPacket: FT_Write error 4 ... repeated 1 time", "S1 Error 2 in FT_Open"}},
        {600, kLevelError, "Protocol", open, {}},
        {700, kLevelTrace, "S1", "Slave dies",
         {"Protocol Error 2 in FT_Open ... repeated 1 time", "S1 Slave dies"}},
        {800, kLevelTrace, "S1", "Slave dies", {"S1 Slave dies"}},
        // A minute on: the counts of the interval are written with the next record.
        {30'000, kLevelError, "Protocol", open, {}},
        {60'000, kLevelError, "Protocol", open, {"Protocol Error 2 in FT_Open ... repeated 1 time"}},
        // Not seen for a whole interval: new again.
        {120'000,
         kLevelError,
         "Protocol",
         write,
         {"Protocol Error 2 in FT_Open ... repeated 1 time", "Protocol SendPacket: FT_Write error 4"}},
        {120'100, kLevelError, "Protocol", write, {}},
    };
    TRepeatFilter filter(60'000);
    for (const auto& arrival : arrivals)
        EXPECT_EQ(Shown(filter.Admit(TTextMessage(arrival.level, arrival.text, arrival.category),
                                     arrival.at)),
                  arrival.written)
            << "at " << arrival.at << ": " << arrival.text;
    EXPECT_EQ(Shown(filter.Flush()),
              std::vector<std::string>{"Protocol SendPacket: FT_Write error 4 ... repeated 1 time"});
    EXPECT_TRUE(filter.Flush().empty());
}

// Messages beyond what it keeps in mind push out the one seen longest ago,
// which is written as new when it comes back.
TEST(RepeatFilterTest, TheMessageSeenLongestAgoMakesWayWhenFull) {
    TRepeatFilter filter(60'000, 2);
    const auto admit = [&](const char* text, TPollTime at) {
        return Shown(filter.Admit(TTextMessage(kLevelWarn, text, "S1"), at));
    };
    EXPECT_EQ(admit("a", 0), std::vector<std::string>{"S1 a"});
    EXPECT_EQ(admit("b", 1), std::vector<std::string>{"S1 b"});
    EXPECT_TRUE(admit("a", 2).empty());
    EXPECT_EQ(admit("c", 3), (std::vector<std::string>{"S1 a ... repeated 1 time", "S1 c"}));
    EXPECT_TRUE(admit("a", 4).empty()) << "a was seen last, b made way";
    EXPECT_EQ(admit("b", 5), (std::vector<std::string>{"S1 a ... repeated 1 time", "S1 b"}));
}

// Counts due at the end of an interval with nothing arriving, in the order
// their messages first came (not that of their texts).
TEST(RepeatFilterTest, AtTheIntervalsEndCountsComeInTheOrderTheirMessagesFirstCame) {
    TRepeatFilter filter(60'000);
    for (const char* text : {"zeta", "alpha", "zeta", "alpha", "alpha"})
        filter.Admit(TTextMessage(kLevelWarn, text, "S1"), 0);
    EXPECT_TRUE(filter.Due(59'999).empty());
    EXPECT_EQ(
        Shown(filter.Due(60'000)),
        (std::vector<std::string>{"S1 zeta ... repeated 1 time", "S1 alpha ... repeated 2 times"}));
    EXPECT_TRUE(filter.Due(120'000).empty());
}

TEST_F(LogFileTest, CountsHeldBackAreWrittenWhenTheLogCloses) {
    auto clock = std::make_shared<testing::FakeClock>();
    {
        mqLog log("log.txt", {}, clock);
        for (int i = 0; i < 3; ++i)
            log.Put(std::make_unique<TTextMessage>(kLevelError, "Error 2 in FT_Open", "Protocol"));
        EXPECT_EQ(ReadLog().find("repeated"), std::string::npos);
    }
    EXPECT_NE(ReadLog().find(" Protocol Error 2 in FT_Open ... repeated 2 times\n"),
              std::string::npos)
        << ReadLog();
}

// The program's log: the engine's own, on the engine's clock, with three CRC
// failures and then a bus that stays silent. The count comes out on the
// engine's ticks alone, and what is held at shut-down when the engine goes.
TEST_F(LogFileTest, TheEnginesLogWritesAHeldCountWithinAMinuteOfSilenceAndAtShutDown) {
    auto clock = std::make_shared<testing::FakeClock>();
    testing::DiscardingLog unused;
    TProtocolSetup setup =
        testing::SteppedEngineSetup(std::make_unique<testing::ScriptedDevice>(), unused, clock);
    setup.logSink = nullptr;
    auto engine = std::make_unique<TProtocol>(std::move(setup));
    const char* crc = "Packet with invalid CRC";
    for (int i = 0; i < 3; ++i)
        engine->LogWarning(crc);
    const TPollTime silentFrom = clock->Now();
    while (clock->Now() - silentFrom < 61'000)
        engine->RunPass();
    EXPECT_TRUE(ReadLog().ends_with(" Protocol Packet with invalid CRC ... repeated 2 times\n"))
        << ReadLog();

    engine->LogWarning(crc);
    engine.reset();
    EXPECT_TRUE(ReadLog().ends_with(" Protocol Packet with invalid CRC ... repeated 1 time\n"))
        << ReadLog();
}

// ---- The size bound ----

std::uintmax_t SizeOr0(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

// Every message new, so nothing is held back: only the size bound limits.
void WriteNumbered(mqLog& log, int first, int count) {
    for (int i = first; i < first + count; ++i)
        log.Put(std::make_unique<TTextMessage>(kLevelWarn, "Packet number " + std::to_string(i),
                                               "S1"));
}

constexpr std::uint64_t kSmallLimit = 2000;
// An entry's two lines with a short text: the file may pass the limit by one.
constexpr std::uint64_t kOneEntry = 80;

TEST_F(LogFileTest, AFullLogBecomesLogOldAndANewOneStarts) {
    mqLog log("log.txt", {kSmallLimit, 60'000});
    for (int i = 0; i < 200; i += 10) {
        WriteNumbered(log, i, 10);
        EXPECT_LE(SizeOr0("log.txt"), kSmallLimit + kOneEntry) << "after " << i + 10;
        EXPECT_LE(SizeOr0("log.old"), kSmallLimit + kOneEntry) << "after " << i + 10;
    }
    const std::string current = ReadLog();
    std::ifstream oldFile("log.old");
    const std::string old((std::istreambuf_iterator<char>(oldFile)), {});
    EXPECT_NE(current.find("Packet number 199\n"), std::string::npos);
    // log.old ends where log.txt begins.
    const std::regex number(R"(Packet number (\d+)\n)");
    std::smatch first, last;
    ASSERT_TRUE(std::regex_search(current, first, number));
    for (auto it = std::sregex_iterator(old.begin(), old.end(), number); it != std::sregex_iterator();
         ++it)
        last = *it;
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(std::stoi(first[1]), std::stoi(last[1]) + 1);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 2);
}

// A log.old that cannot be replaced (here a directory with something in it):
// log.txt keeps every entry and grows on, says so once, and turns over at the
// first entry after the next try's time once the way is clear.
TEST_F(LogFileTest, WhenLogOldCannotBeReplacedNothingIsLostAndTheRenameIsRetried) {
    fs::create_directories("log.old/kept");
    auto clock = std::make_shared<testing::FakeClock>();
    mqLog log("log.txt", {kSmallLimit, 60'000, 60'000}, clock);
    WriteNumbered(log, 0, 200);
    const std::string kept = ReadLog();
    for (int i = 0; i < 200; ++i)
        ASSERT_NE(kept.find("Packet number " + std::to_string(i) + "\n"), std::string::npos) << i;
    const std::regex told(R"( Log Cannot rename log\.txt to log\.old \(.+\): the log is kept)");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(kept.begin(), kept.end(), told), std::sregex_iterator()),
        1)
        << kept;
    EXPECT_TRUE(fs::exists("log.old/kept"));

    fs::remove_all("log.old");
    clock->Advance(59'999);
    WriteNumbered(log, 200, 1);
    EXPECT_FALSE(fs::exists("log.old")) << "tried again before its time";
    const std::string beforeTurnOver = ReadLog();
    clock->Advance(1);
    WriteNumbered(log, 201, 1);
    std::ifstream oldFile("log.old");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(oldFile)), {}), beforeTurnOver);
    EXPECT_NE(ReadLog().find("Packet number 201\n"), std::string::npos);
    EXPECT_LE(SizeOr0("log.txt"), kOneEntry);
}

TEST_F(LogFileTest, ALogOverTheBoundFromAnEarlierRunIsRotatedAtTheFirstEntry) {
    {
        std::ofstream earlier("log.txt", std::ios::binary);
        earlier << std::string(kSmallLimit + 10, 'x') << "\n";
    }
    mqLog log("log.txt", {kSmallLimit, 60'000});
    WriteNumbered(log, 0, 1);
    EXPECT_LE(SizeOr0("log.txt"), kOneEntry);
    EXPECT_EQ(SizeOr0("log.old"), kSmallLimit + 11);
}

TEST_F(LogFileTest, ATextOfAnyLengthIsCutSoNoEntryPassesTheBound) {
    mqLog log("log.txt", {kSmallLimit, 60'000});
    log.Put(std::make_unique<TTextMessage>(kLevelWarn, std::string(100'000, 'y'), "S1"));
    EXPECT_LE(SizeOr0("log.txt"), kMaxLogTextLength + kOneEntry);
    EXPECT_NE(ReadLog().find(std::string(kMaxLogTextLength, 'y') + "...\n"), std::string::npos);
}

TEST(ProtoMessageTest, CopiesItsBytesAndAllowsEmpty) {
    std::uint8_t source[] = {0x83, 0x00, 0x12, 0x34};
    TProtoMessage message(source, 4);
    source[2] = 0;
    EXPECT_EQ(message.length, 4);
    EXPECT_EQ(message.bytes[2], 0x12);

    TProtoMessage empty(nullptr, 0);
    EXPECT_EQ(empty.length, 0);
}

TEST(ProtoMessageTest, QueueIsFirstInFirstOut) {
    MessageQueue queue;
    for (std::uint8_t kind : {kWakeMarker, std::uint8_t{0x83}, kDieMarker})
        queue.push_back(std::make_unique<TProtoMessage>(&kind, 1));
    std::vector<int> order;
    while (!queue.empty()) {
        order.push_back(queue.front()->bytes[0]);
        queue.pop_front();
    }
    EXPECT_EQ(order, (std::vector<int>{0xA0, 0x83, 0xA1}));
}

} // namespace
} // namespace lorvent
