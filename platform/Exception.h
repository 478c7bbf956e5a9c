#pragma once

#include <exception>
#include <string>

// The class library's exception: a message and nothing else. Everything the platform raises
// derives from it, so the start-up handler and the message loop can show it.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string &Message() const noexcept { return FMessage; }
    const char *what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// Raised by StrToInt, StrToFloat and StrToDate for a text that is not a value of the type.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};
