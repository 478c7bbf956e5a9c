#include "Limits.h"

#include "Vars.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool IsNumberType(std::int32_t type) {
    return type == vtInteger || type == vtDouble;
}

// A value written exactly on a limit in decimals ("0.8" from "0.3" with a difference of 0.5)
// must pass although its double is a few units in the last place off.
bool Exceeds(double value, double limit, double scale) {
    return value > limit + 4 * DBL_EPSILON * scale;
}

std::string FactorText(const char *change) {
    return std::string("a change ") + change + ", which no factor allows";
}

} // namespace

std::optional<double> ReadDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int points = 0;
    int digits = 0;
    bool whole = false; // a digit other than 0 before the point
    for (const char c : text) {
        if (c == '.') {
            if (++points > 1)
                return std::nullopt;
        } else if (c >= '0' && c <= '9') {
            ++digits;
            whole = whole || (c != '0' && points == 0);
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0)
        return std::nullopt;
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (error == std::errc::result_out_of_range)
        value = whole ? std::numeric_limits<double>::infinity() : 0.0;
    else if (error != std::errc() || stop != end)
        return std::nullopt;
    return negative ? -value : value;
}

std::string FormatNumber(double value) {
    char text[128];
    const double size = std::fabs(value);
    const bool plain = size == 0 || (size >= 1e-6 && size < 1e16);
    const auto [end, error] =
        plain ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
              : std::to_chars(text, text + sizeof text, value, std::chars_format::general);
    return error == std::errc() ? std::string(text, end) : std::string();
}

std::string LimitError(const TLimit &limit) {
    if (!IsNumberType(limit.Type))
        return "a limit is only for integer and double variables";
    const bool stepped = limit.Kind == TLimit::Factor || limit.Kind == TLimit::Difference;
    if ((limit.Lowest && !std::isfinite(*limit.Lowest)) ||
        (limit.Highest && !std::isfinite(*limit.Highest)) ||
        (stepped && !std::isfinite(limit.Step)))
        return "a limit's number is not finite";
    if (limit.Lowest && limit.Highest && *limit.Lowest > *limit.Highest)
        return "the lowest value " + FormatNumber(*limit.Lowest) + " is above the highest value " +
               FormatNumber(*limit.Highest);
    if (limit.Kind == TLimit::Factor && !(limit.Step >= 1))
        return "a factor below 1";
    if (limit.Kind == TLimit::Difference && !(limit.Step >= 0))
        return "a negative difference";
    if (limit.Kind != TLimit::None && !stepped)
        return "an unknown kind of step";
    if (!limit.Lowest && !limit.Highest && !stepped)
        return "the limit limits nothing";
    return {};
}

std::vector<TBrokenLimit> CheckLimits(const TLimit &limit, std::int32_t type,
                                      const std::string &oldValue, const std::string &newValue) {
    std::vector<TBrokenLimit> broken;
    const std::optional<double> next = ReadDecimal(newValue);
    if (!IsNumberType(type) || !next)
        return broken;
    const double n = *next;
    if (limit.Highest && n > *limit.Highest)
        broken.push_back(
            {TBrokenLimit::Highest, "above the highest value " + FormatNumber(*limit.Highest)});
    if (limit.Lowest && n < *limit.Lowest)
        broken.push_back(
            {TBrokenLimit::Lowest, "below the lowest value " + FormatNumber(*limit.Lowest)});

    const std::optional<double> previous = ReadDecimal(oldValue);
    if (limit.Kind == TLimit::None || !previous || n == *previous)
        return broken;
    const double o = *previous;
    const double up = std::fabs(n);
    const double was = std::fabs(o);
    // Past here n differs from o: a change between infinities and numbers is unbounded.
    const bool finite = std::isfinite(n) && std::isfinite(o);
    const std::string step = FormatNumber(limit.Step);
    std::string text;
    if (limit.Kind == TLimit::Difference) {
        if (!finite || Exceeds(std::fabs(n - o), limit.Step, std::max({up, was, limit.Step})))
            text = "a change of more than " + step;
    } else if (limit.Kind == TLimit::Factor) {
        // The ratio to or from 0, or across it, has no bound a factor could set.
        if (o == 0)
            text = FactorText("from 0");
        else if (n == 0)
            text = FactorText("to 0");
        else if ((o < 0) != (n < 0))
            text = FactorText("of sign");
        else if (finite ? Exceeds(up, limit.Step * was, limit.Step * was) : up > was)
            text = "more than x" + step + " the old value";
        else if (finite ? Exceeds(was, limit.Step * up, limit.Step * up) : up < was)
            text = "less than 1/" + step + " the old value";
    }
    if (!text.empty())
        broken.push_back({TBrokenLimit::Step, std::move(text)});
    return broken;
}
