#include "crash/handling/CDClassNames.h"

#include <cxxabi.h>

#include <cstdlib>

#include "runtime/Exception.h"

std::string DemangledTypeName(const std::type_info& type) {
  const char* mangled = type.name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  return name;
}

std::vector<std::string> ExceptionClassNames(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassAncestry();
  return {DemangledTypeName(typeid(e))};
}

std::vector<std::string> ExceptionClassNames(std::exception_ptr error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return ExceptionClassNames(e);
  } catch (...) {
    // Something thrown that is no exception class of ours or the library's
    // (an int, a string literal): the runtime still knows its type.
    if (const std::type_info* type = abi::__cxa_current_exception_type()) return {DemangledTypeName(*type)};
    return {};
  }
}

std::string ExceptionClassName(std::exception_ptr error) {
  std::vector<std::string> names = ExceptionClassNames(error);
  return names.empty() ? std::string() : names.front();
}
