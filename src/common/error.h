#pragma once

#include <stdexcept>
#include <string>

namespace tessaro {

/// Error numbers as they appear in the error report: the classic run-time error numbers,
/// so that a report reads the same whatever part of the program raised it.
enum class ErrorNumber : int {
    InvalidProcedureCall = 5,
    Overflow = 6,
    OutOfMemory = 7,
    SubscriptOutOfRange = 9,
    DivisionByZero = 11,
    TypeMismatch = 13,
    FileNotFound = 53,
    DiskFull = 61,
    PermissionDenied = 70,
    PathFileAccess = 75,
    PathNotFound = 76,
    Network = 1000,
    Gdal = 1001,
    Aborted = 287,
};

/// Root of every error Tessaro throws. Carries a report number besides the message.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string &message,
                   ErrorNumber number = ErrorNumber::InvalidProcedureCall)
        : std::runtime_error(message), m_number(number) {}

    /// Returns the number shown in the error report.
    [[nodiscard]] int Number() const noexcept { return static_cast<int>(m_number); }

private:
    ErrorNumber m_number;
};

/// Bad arguments or options given by the caller (usage errors on the command line).
class ArgumentError : public Error {
public:
    explicit ArgumentError(const std::string &message)
        : Error(message, ErrorNumber::InvalidProcedureCall) {}
};

/// A file or folder could not be read, written, created or renamed.
class FileError : public Error {
public:
    explicit FileError(const std::string &message, ErrorNumber number = ErrorNumber::PathFileAccess)
        : Error(message, number) {}
};

/// Arithmetic left the range of the grid's integers.
class OverflowError : public Error {
public:
    explicit OverflowError(const std::string &message) : Error(message, ErrorNumber::Overflow) {}
};

} // namespace tessaro
