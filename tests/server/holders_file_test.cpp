// The card holders' file as spreadsheets save it, and the lines it refuses.
#include "server/holders_file.h"

#include <gtest/gtest.h>

namespace lorvent::server {
namespace {

std::vector<std::string> Described(const std::vector<HolderLine>& lines) {
    std::vector<std::string> described;
    for (const HolderLine& line : lines)
        described.push_back(std::to_string(line.lineNumber) + '|' + line.card + '|' + line.name +
                            '|' + line.personalNumber + '|' + line.department + '|' + line.fromDay);
    return described;
}

TEST(HoldersFileTest, ReadsWhatASpreadsheetSaves) {
    const struct {
        const char* what;
        std::string content;
        std::vector<std::string> lines;
    } cases[] = {
        {"Czech CSV UTF-8: BOM, header, ';', CR LF, an empty row",
         "\xEF\xBB\xBF"
         "Karta;Jméno;Osobní číslo;Oddělení;Od\r\n"
         "012AFF007B;Žofie Čermáková;0042;Účtárna;\r\n"
         ";;;;\r\n"
         "0000ffff;\"Novák; Jan \"\"Honza\"\"\";57;Sklad;1. 3. 2026\r\n",
         {"2|012aff007b|Žofie Čermáková|0042|Účtárna|",
          "4|0000ffff|Novák; Jan \"Honza\"|57|Sklad|2026-03-01"}},
        {"BOM, ',' and no header, ISO start day, no final line end",
         "\xEF\xBB\xBF"
         "0000ffff, Jan Novák ,57,,2026-02-28\n1234abcd,\"Malý, Petr\",58,Sklad",
         {"1|0000ffff|Jan Novák|57||2026-02-28", "2|1234abcd|Malý, Petr|58|Sklad|"}},
        {"the empty columns of a wider sheet", "0000ffff;Jan;57;;;;;\n", {"1|0000ffff|Jan|57||"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Described(ParseHoldersFile(c.content)), c.lines) << c.what;
}

TEST(HoldersFileTest, ABadLineIsNamedByItsNumber) {
    const std::string good = "card;name;number;department\n0000ffff;Jan;57;Sklad\n";
    const std::pair<std::string, std::string> cases[] = {
        {good + "12aff07;Petr;58;Sklad\n", "line 3: card number '12aff07' is not 8 or 10 hex"},
        {good + "0000fffg;Petr;58;Sklad\n", "line 3: card number '0000fffg' is not"},
        {good + "0000aaaa;;58;Sklad\n", "line 3: no name"},
        {good + "0000aaaa;Petr;;Sklad\n", "line 3: no personal number"},
        {good + "0000aaaa;Petr;5 8;Sklad\n", "line 3: personal number '5 8' is not one word"},
        {good + "0000aaaa;Petr;58\n", "line 3: 3 fields; expected"},
        {good + "0000aaaa;Petr;58;Sklad;1.1.2026;x\n", "line 3: 6 fields; expected"},
        {good + "0000aaaa;Petr;58;Sklad;30.2.2026\n", "line 3: start day '30.2.2026' is not"},
        {good + "0000aaaa;Petr;58;Sklad;2026-13-01\n", "line 3: start day '2026-13-01' is not"},
        {good + "0000aaaa;\"Petr;58;Sklad\n", "line 3: a quote is not closed"},
        {good + "0000aaaa;\"Petr\" Malý;58;Sklad\n", "line 3: text after a closing quote"},
        {good + "0000aaaa;\x8Aofie;58;Sklad\n", "line 3: not UTF-8 text"},
        {good + "0000aaaa;Jana;57;Sklad\n", "line 3: personal number 57 is 'Jan' on line 2"},
    };
    for (const auto& [content, message] : cases) {
        try {
            ParseHoldersFile(content);
            ADD_FAILURE() << "took " << content;
        } catch (const HolderError& error) {
            EXPECT_TRUE(std::string(error.what()).starts_with(message)) << error.what();
        }
    }
}

} // namespace
} // namespace lorvent::server
