#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Bounds the trader sets on a number variable, found by its title and type (never by position).
// A factor such as 2 lets a new value be at most twice and at least half the old one; a
// difference such as 0.5 lets it move by at most 0.5 either way.
struct TLimit {
    enum StepKind { None, Factor, Difference };

    std::string Title; // bytes in the expert's code page, as the project holds them
    std::int32_t Type = 0;
    std::optional<double> Lowest;
    std::optional<double> Highest;
    StepKind Kind = None;
    double Step = 0; // the factor (at least 1) or the largest difference (not negative)

    friend bool operator==(const TLimit &, const TLimit &) = default;
};

// Why a limit is not a sane one (empty when it is): a type that is no number, a number that is
// not finite, Lowest above Highest, a factor below 1, a negative difference, or nothing limited.
std::string LimitError(const TLimit &limit);

struct TBrokenLimit {
    enum TRule { Lowest, Highest, Step };
    TRule Rule = Lowest;
    std::string Text; // a short clause for a question: "above the highest value 1"
};

// The rules of the limit the change from oldValue to newValue breaks, for an integer or double
// variable; never any for other types. A new value that is no plain decimal number is not judged
// (the type check refuses it); an old one that is none skips the step rule only.
std::vector<TBrokenLimit> CheckLimits(const TLimit &limit, std::int32_t type,
                                      const std::string &oldValue, const std::string &newValue);

// A plain decimal number: an optional sign, digits and at most one '.', nothing else. Read
// without the C locale, which Qt may change. A number too large for a double reads as infinity.
std::optional<double> ReadDecimal(std::string_view text);

// A limit's number as the texts show it: the shortest that reads back as it ("0.01", "1e+20").
std::string FormatNumber(double value);
