#include "engine/mbox/mbox_framing.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

namespace quillmark {
namespace {

using namespace std::chrono;

constexpr std::string_view kNoSender = "MAILER-DAEMON";
constexpr std::array<std::string_view, 7> kDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isBlank(char c) noexcept { return c == ' ' || c == '\t'; }

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && !isBlank(line[pos])) ++pos;
        if (pos > start) out.push_back(line.substr(start, pos - start));
    }
    return out;
}

std::optional<int> number(std::string_view text, std::size_t minDigits, std::size_t maxDigits)
{
    if (text.size() < minDigits || text.size() > maxDigits) return std::nullopt;
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<unsigned> monthNumber(std::string_view word)
{
    for (unsigned m = 0; m < kMonthNames.size(); ++m)
        if (word == kMonthNames[m]) return m + 1;
    return std::nullopt;
}

// "hh:mm" or "hh:mm:ss" as seconds into the day.
std::optional<seconds> timeOfDay(std::string_view word)
{
    std::array<int, 3> parts{0, 0, 0};
    std::size_t count = 0;
    while (count < parts.size()) {
        const auto colon = word.find(':');
        const auto value = number(word.substr(0, colon), 1, 2);
        if (!value) return std::nullopt;
        parts[count++] = *value;
        if (colon == std::string_view::npos) break;
        if (count == parts.size()) return std::nullopt;
        word.remove_prefix(colon + 1);
    }
    if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 60) return std::nullopt;
    return hours(parts[0]) + minutes(parts[1]) + seconds(parts[2]);
}

}  // namespace

std::optional<std::string> separatorLine(std::string_view sender, sys_seconds date)
{
    const auto day = floor<days>(date);
    const year_month_day ymd{day};
    const int y = static_cast<int>(ymd.year());
    if (y < 1000 || y > 9999) return std::nullopt;
    const hh_mm_ss<seconds> time{date - day};

    std::string line = "From ";
    if (sender.empty()) sender = kNoSender;
    for (char c : sender) {
        const auto u = static_cast<unsigned char>(c);
        line += (u <= 0x20 || u == 0x7f) ? '_' : c;
    }
    // " Www Mmm dd hh:mm:ss yyyy", put together by hand: this runs once per message.
    const auto digits = [&line](unsigned value, int width) {
        char text[4];
        for (int i = width - 1; i >= 0; --i, value /= 10) text[i] = static_cast<char>('0' + value % 10);
        line.append(text, static_cast<std::size_t>(width));
    };
    line += ' ';
    line += kDayNames[weekday{day}.c_encoding()];
    line += ' ';
    line += kMonthNames[static_cast<unsigned>(ymd.month()) - 1];
    line += ' ';
    digits(static_cast<unsigned>(ymd.day()), 2);
    line += ' ';
    digits(static_cast<unsigned>(time.hours().count()), 2);
    line += ':';
    digits(static_cast<unsigned>(time.minutes().count()), 2);
    line += ':';
    digits(static_cast<unsigned>(time.seconds().count()), 2);
    line += ' ';
    digits(static_cast<unsigned>(y), 4);
    return line;
}

std::optional<sys_seconds> separatorDate(std::string_view line)
{
    const auto w = words(line);
    // "From", the sender, then the date from the month on: Mmm d hh:mm[:ss] [zone] yyyy.
    for (std::size_t i = 2; i + 3 < w.size(); ++i) {
        const auto month = monthNumber(w[i]);
        const auto dayOfMonth = number(w[i + 1], 1, 2);
        const auto time = timeOfDay(w[i + 2]);
        if (!month || !dayOfMonth || !time) continue;
        auto year = number(w[i + 3], 4, 4);
        if (!year && i + 4 < w.size()) year = number(w[i + 4], 4, 4);  // a zone before the year
        if (!year) continue;
        const year_month_day ymd{std::chrono::year(*year), std::chrono::month(*month),
                                 std::chrono::day(static_cast<unsigned>(*dayOfMonth))};
        if (!ymd.ok()) return std::nullopt;
        return sys_days(ymd) + *time;
    }
    return std::nullopt;
}

}  // namespace quillmark
