#pragma once

#include "Conversions.h"

#include <cstdint>
#include <string>

// What the change dialog lets the user store: text the expert reads back as the same value of
// the variable's type. Stricter than StrToInt, StrToFloat and StrToDate, which also take what
// the expert would misread ("$500", "1e3", a date without its year).

// What a value of the type must be ("A whole number"); nullptr for types that take any text.
const char *ExpectationFor(std::int32_t type);

// Nullptr when the text is accepted for the type, else what was expected: ExpectationFor(type),
// or for any text, that it is on one line. A date follows format.
const char *RefusalFor(std::int32_t type, const std::string &text, const TShortDateFormat &format);

// The three fields of a date in the format's order, joined by its separator.
std::string DateInOrder(const TShortDateFormat &format, const std::string &day,
                        const std::string &month, const std::string &year);

// A value of the type as the check accepts it ("250", "12/31/2026"); empty for types that take
// any text.
std::string ExampleFor(std::int32_t type, const TShortDateFormat &format);
