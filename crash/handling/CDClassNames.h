// The class names of exception objects, as the exception filters match them
// and the report prints them: a program exception knows its class and its
// ancestors; any other C++ exception is known by its demangled type name.
//
// Not for signal handlers (demangling allocates).
#pragma once

#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

// The readable name of a C++ type ("std::runtime_error").
std::string DemangledTypeName(const std::type_info& type);

// A program exception's class and every ancestor, own class first; for
// anything else its own type name only.
std::vector<std::string> ExceptionClassNames(const std::exception& e);

// The same for an exception in flight. An object that is no std::exception
// gives its type name where the runtime tells it; null gives nothing.
std::vector<std::string> ExceptionClassNames(std::exception_ptr error);

// The first of ExceptionClassNames, or empty.
std::string ExceptionClassName(std::exception_ptr error);
