// Errors of the host side that the binding turns into specific Python exceptions.
#pragma once

#include <stdexcept>
#include <string>

// A file that could not be read or written: errno and the path (-> OSError and its subclasses).
class FileError : public std::runtime_error {
public:
    FileError(int error_number, const std::string& path, const std::string& what);
    int error_number;
    std::string path;
};

// A file whose contents are not what the system writes (-> ValueError).
class FileFormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A call that the console's present state does not allow (-> RuntimeError).
class StateError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// An error that has been reported to the user already (a per-frame function's exception on
// the run thread); it only ends the run thread.
class ReportedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
