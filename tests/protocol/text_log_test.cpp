#include "protocol/proto_message.h"
#include "protocol/text_log.h"
#include "support/tm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
