#include "app/card_read.h"
#include "frm_fixture.h"
#include "app/startup/key_delay.h"
#include "support/scoped_env.h"
#include "support/tm.h"

#include <future>

namespace lorvent::testing {
namespace {

TEST(CardNumberText, TwoLowerCaseHexDigitsPerByte) {
    const std::uint8_t five[] = {0x01, 0x2A, 0xFF, 0x00, 0x7B};
    EXPECT_EQ(CardNumberText(five, false), "012aff007b");
    const std::uint8_t four[] = {0x80, 0x00, 0x9c, 0x05, 0xEE};
    EXPECT_EQ(CardNumberText(four, true), "80009c05") << "only four bytes, no sign";
}

TEST(FormatReadTime, UsesTheLocaleSeparators) {
    std::tm time = Tm(2024, 3, 5, 7, 9, 59);
    EXPECT_EQ(FormatReadTime(time, {}), "05/03/2024 07:09");
    EXPECT_EQ(FormatReadTime(time, {".", ":"}), "05.03.2024 07:09");
    time.tm_hour = 23;
    EXPECT_EQ(FormatReadTime(time, {"-", "."}), "05-03-2024 23.09");
}

class CardReadTest : public FrmFixture {
protected:
    void SetUp() override { keyboard.now = Tm(2025, 12, 8, 14, 2); }
    std::string TypedText() const {
        std::string typed;
        for (const auto& record : keyboard.journal)
            if (record.kind == TKeyRecord::Key && !record.up && record.vk != kVkShift)
                typed += record.vk == kVkReturn ? std::string("<Enter>")
                                                : std::string(1, static_cast<char>(record.vk));
        return typed;
    }
};

TEST_F(CardReadTest, FirstReadLandsInRowOneAndIsTypedAfterItIsShown) {
    Start();
    int rowsWhenTypingBegan = -1;
    keyboard.onKey = [&] {
        if (rowsWhenTypingBegan < 0)
            rowsWhenTypingBegan = view.grid.RowCount();
    };
    CardRead({0x01, 0x2a, 0xff, 0x00, 0x7b});
    ASSERT_EQ(view.grid.RowCount(), 2);
    EXPECT_EQ(view.grid.cells[0], (std::array<std::string, 2>{"", ""})) << "row 0 stays empty";
    EXPECT_EQ(view.grid.cells[1], (std::array<std::string, 2>{"08/12/2025 14:02", "012aff007b"}));
    EXPECT_EQ(view.grid.selected, 1);
    EXPECT_EQ(TypedText(), "012AFF007B<Enter>");
    EXPECT_EQ(rowsWhenTypingBegan, 2);
    EXPECT_TRUE(frm->QueuedRecords().empty()) << "keyboard mode keeps no record";
}

// Three reads arrive together while the first number is being typed with a
// key delay: the window shows all three and the reader is acknowledged
// without waiting for the typing, and the numbers are typed after one
// another, each whole, in the order read, the delay between them too.
TEST_F(CardReadTest, ReadsArrivingWhileANumberIsTypedAreTypedAfterItInOrder) {
    TScopedEnv delay(kKeyDelayVariable, "25");
    Start();
    std::promise<void> letTypingOn;
    const std::shared_future<void> typingLetOn = letTypingOn.get_future().share();
    bool windowWaited = false; // the first pause held the window until the deadline
    keyboard.onPause = [&, first = true](int) mutable {
        if (std::exchange(first, false))
            windowWaited = typingLetOn.wait_for(std::chrono::seconds(10)) ==
                           std::future_status::timeout;
    };
    for (const std::uint8_t last : {0x01, 0x02, 0x03})
        Deliver({0x83, 0x81, 0xa0, 0x00, 0x00, last});
    PumpMessages();
    EXPECT_EQ(view.grid.RowCount(), 4) << "the window waited for the typing";
    EXPECT_EQ(DrainCommands(),
              (std::vector<std::vector<std::uint8_t>>{kAck, kReadSignal}));
    EXPECT_FALSE(frm->WaitUntilTyped(std::chrono::milliseconds(0)));
    letTypingOn.set_value();
    ASSERT_TRUE(frm->WaitUntilTyped(std::chrono::seconds(10)));
    EXPECT_FALSE(windowWaited) << "the first pause ran on the window's thread";
    EXPECT_EQ(TypedText(), "A0000001<Enter>A0000002<Enter>A0000003<Enter>");
    const auto pauses = std::count(keyboard.journal.begin(), keyboard.journal.end(), PauseMs(25));
    EXPECT_EQ(pauses, 3 * 7 + 2) << "7 between the characters of each number, 1 between numbers";
}

TEST_F(CardReadTest, SelectionFollowsOnlyFromTheLastRow) {
    Start();
    CardRead({1, 1, 1, 1});
    CardRead({2, 2, 2, 2});
    EXPECT_EQ(view.grid.selected, 2);
    view.grid.selected = 1; // the user looks at an older row
    CardRead({3, 3, 3, 3});
    EXPECT_EQ(view.grid.selected, 1);
    EXPECT_EQ(view.grid.RowCount(), 4);
    EXPECT_EQ(view.grid.cells[3][1], "03030303");
    view.grid.selected = 3; // back on the last row: following resumes
    CardRead({4, 4, 4, 4});
    EXPECT_EQ(view.grid.selected, 4);
}

TEST_F(CardReadTest, PrefixAndCheckMarkShapeWhatIsTyped) {
    Start({"-prefix", "CF2"});
    CardRead({0xab, 0xcd, 0xef, 0x01});
    EXPECT_EQ(TypedText(), std::string("\x11\x71") + "ABCDEF01<Enter>");

    keyboard.journal.clear();
    frm->PoslatEnter1Click();
    EXPECT_FALSE(view.poslatEnterChecked);
    CardRead({0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(TypedText(), std::string("\x11\x71") + "00000001");
    EXPECT_EQ(keyboard.journal.back(), PauseMs(100)) << "the pause stays without Enter";

    frm->PoslatEnter1Click();
    EXPECT_TRUE(view.poslatEnterChecked);
}

TEST_F(CardReadTest, AttendanceModeQueuesTheReadAndTypesNothing) {
    Start({"-net", "-prefix", "CF2"});
    CardRead({0x12, 0x34, 0x56, 0x78, 0x9a});
    CardRead({0xde, 0xad, 0xbe, 0xef});
    EXPECT_TRUE(keyboard.journal.empty());
    ASSERT_EQ(frm->QueuedRecords().size(), 2u);
    EXPECT_EQ(frm->QueuedRecords()[0]->Number, "123456789a");
    EXPECT_EQ(frm->QueuedRecords()[1]->Number, "deadbeef");
    EXPECT_EQ(frm->QueuedRecords()[1]->ReadTime.tm_min, 2);
    EXPECT_EQ(view.grid.RowCount(), 3);
}

TEST_F(CardReadTest, TimersAndTrayBehaviour) {
    Start();
    EXPECT_TRUE(view.logTimer.enabled);
    EXPECT_EQ(view.logTimer.interval, 5000);
    EXPECT_FALSE(view.blickTimer.enabled);

    view.trayAvailable = false;
    frm->FormMinimized();
    EXPECT_FALSE(view.hiddenToTray) << "no tray: the window must stay reachable";
    view.trayAvailable = true;
    frm->FormMinimized();
    EXPECT_TRUE(view.hiddenToTray);
    frm->TrayIcon1DblClick();
    EXPECT_FALSE(view.hiddenToTray);
    frm->Restore1Click();
    EXPECT_EQ(view.restores, 2);
}

} // namespace
} // namespace lorvent::testing
