#pragma once

#include <string>

namespace lorvent::server {

// The report page's languages: Czech, the program's own, unless the
// address asks for English (lang=en).
enum class Language { kCzech, kEnglish };

// The words of the report page in one language.
struct PageWords {
    const char* htmlLang;
    const char* attendance;
    const char* attendanceOn;
    const char* otherLanguage; // the link to the other language, in it
    // The day's people and unknown cards.
    const char* people;
    const char* nobody;
    const char* personalNumber;
    const char* name;
    const char* department;
    const char* arrival;
    const char* departure;
    const char* hours;
    const char* terminals;
    const char* unknownCards;
    const char* card;
    const char* reads;
    // The day's tallies and chart.
    const char* arrivalsPerHour;
    const char* arrivalsNote; // "first read of each card; in all"
    const char* cards;
    const char* terminal;
    const char* firstRead;
    const char* lastRead;
    const char* noReads;
    // The month.
    const char* date;
    const char* daysPresent;
    const char* hoursInMonth;
    const char* thisSheetOnly;
    const char* everyone;
    const char* months[12];
    const char* weekdays[7]; // Monday first
    // Navigation and login.
    const char* show;
    const char* day;
    const char* month;
    const char* csv;
    const char* user;
    const char* password;
    const char* logIn;
    const char* logOut;
    const char* loginTitle;
    const char* wrongPassword;
    const char* formExpired;
    const char* tooManyLogins; // followed by a number of seconds
    char decimalPoint;
};

const PageWords& WordsOf(Language language);

// "en" for English, anything else for Czech.
Language LanguageOf(const std::string& code);

} // namespace lorvent::server
