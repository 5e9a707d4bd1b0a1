#include "server/page_words.h"

namespace lorvent::server {

namespace {

constexpr PageWords kCzech = {
    .htmlLang = "cs",
    .attendance = "Docházka",
    .attendanceOn = "Docházka",
    .otherLanguage = "English",
    .people = "Lidé",
    .nobody = "nikdo",
    .personalNumber = "Osobní číslo",
    .name = "Jméno",
    .department = "Oddělení",
    .arrival = "Příchod",
    .departure = "Odchod",
    .hours = "Hodin",
    .terminals = "Terminály",
    .unknownCards = "Neznámé karty",
    .card = "Karta",
    .reads = "Čtení",
    .arrivalsPerHour = "Příchody po hodinách",
    .arrivalsNote = "první čtení každé karty; celkem",
    .cards = "Karty",
    .terminal = "Terminál",
    .firstRead = "První čtení",
    .lastRead = "Poslední čtení",
    .noReads = "žádná čtení",
    .date = "Datum",
    .daysPresent = "Dní v práci",
    .hoursInMonth = "Hodin celkem",
    .thisSheetOnly = "jen tento list",
    .everyone = "Všichni",
    .months = {"leden", "únor", "březen", "duben", "květen", "červen", "červenec", "srpen", "září",
               "říjen", "listopad", "prosinec"},
    .weekdays = {"po", "út", "st", "čt", "pá", "so", "ne"},
    .show = "Zobrazit",
    .day = "Den",
    .month = "Měsíc",
    .csv = "CSV",
    .user = "Uživatel",
    .password = "Heslo",
    .logIn = "Přihlásit",
    .logOut = "Odhlásit",
    .loginTitle = "Docházka – přihlášení",
    .wrongPassword = "Nesprávné jméno nebo heslo.",
    .formExpired = "Formulář vypršel nebo nepřišel z této stránky; načtěte ji znovu.",
    .tooManyLogins = "Příliš mnoho nezdařených přihlášení; zkuste to znovu za (s):",
    .decimalPoint = ',',
};

constexpr PageWords kEnglish = {
    .htmlLang = "en",
    .attendance = "Attendance",
    .attendanceOn = "Attendance on",
    .otherLanguage = "Česky",
    .people = "People",
    .nobody = "nobody",
    .personalNumber = "Personal number",
    .name = "Name",
    .department = "Department",
    .arrival = "Arrival",
    .departure = "Departure",
    .hours = "Hours",
    .terminals = "Terminals",
    .unknownCards = "Unknown cards",
    .card = "Card",
    .reads = "Reads",
    .arrivalsPerHour = "Arrivals per hour",
    .arrivalsNote = "first read of each card; in all",
    .cards = "Cards",
    .terminal = "Terminal",
    .firstRead = "First read",
    .lastRead = "Last read",
    .noReads = "no reads",
    .date = "Date",
    .daysPresent = "Days present",
    .hoursInMonth = "Hours in all",
    .thisSheetOnly = "this sheet only",
    .everyone = "Everyone",
    .months = {"January", "February", "March", "April", "May", "June", "July", "August",
               "September", "October", "November", "December"},
    .weekdays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"},
    .show = "Show",
    .day = "Day",
    .month = "Month",
    .csv = "CSV",
    .user = "User",
    .password = "Password",
    .logIn = "Log in",
    .logOut = "Log out",
    .loginTitle = "Attendance – log in",
    .wrongPassword = "Wrong user name or password.",
    .formExpired = "The form has expired or did not come from this page; load it again.",
    .tooManyLogins = "Too many failed logins; try again in (s):",
    .decimalPoint = '.',
};

} // namespace

const PageWords& WordsOf(Language language) {
    return language == Language::kEnglish ? kEnglish : kCzech;
}

Language LanguageOf(const std::string& code) {
    return code == "en" ? Language::kEnglish : Language::kCzech;
}

} // namespace lorvent::server
