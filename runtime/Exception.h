// The root of every exception the program raises.
//
// Each class knows its own name and the names of its ancestors, because the
// crash reporter matches exception filters against them and prints the class
// in its reports. Declare descendants with PINMARK_EXCEPTION_CLASS so that the
// name and the ancestry can never drift from the C++ class tree.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

  virtual const char* ClassName() const noexcept { return "Exception"; }
  // The class's own name first, then each ancestor up to "Exception".
  std::vector<std::string> ClassAncestry() const;
  // True when this class or one of its ancestors has the name (case ignored).
  bool InheritsFrom(std::string_view className) const;

 protected:
  virtual void CollectAncestry(std::vector<std::string>& names) const { names.emplace_back("Exception"); }

 private:
  std::string message_;
};

// Gives a hand-written exception class its name and ancestry; put it in the
// class body of classes that carry data of their own.
#define PINMARK_EXCEPTION_IDENTITY(Name, Base)                                           \
 public:                                                                                 \
  const char* ClassName() const noexcept override { return #Name; }                      \
                                                                                         \
 protected:                                                                              \
  void CollectAncestry(std::vector<std::string>& names) const override {                 \
    names.emplace_back(#Name);                                                           \
    Base::CollectAncestry(names);                                                        \
  }                                                                                      \
                                                                                         \
 public:

// Declares an exception class that adds nothing but its name.
#define PINMARK_EXCEPTION_CLASS(Name, Base) \
  class Name : public Base {                \
   public:                                  \
    using Base::Base;                       \
    PINMARK_EXCEPTION_IDENTITY(Name, Base)  \
  }

// Text that does not convert to a number.
PINMARK_EXCEPTION_CLASS(EConvertError, Exception);
// Raised by Assert; the message reads "<text> (<unit>, line <n>)".
PINMARK_EXCEPTION_CLASS(EAssertionFailed, Exception);
// The input mask of an edit refused the text typed into it.
PINMARK_EXCEPTION_CLASS(EDBEditError, Exception);

// Ends an operation quietly: it unwinds like any exception, but nobody shows
// or reports it. Abort() raises it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
  using Exception::Exception;
  PINMARK_EXCEPTION_IDENTITY(EAbort, Exception)
};
[[noreturn]] void Abort();

// The runtime's routine that shows an exception to the user. Without a hook
// it writes the message to standard error; the crash reporter installs
// itself here. Never raises.
using TShowExceptionHook = std::function<void(std::exception_ptr error)>;
// Returns the previous hook; an empty function restores the default.
TShowExceptionHook SetShowExceptionHook(TShowExceptionHook hook);
void ShowException(std::exception_ptr error);

// The message of any exception: Message() of ours, what() of a standard
// one, a fixed text for anything else; empty for none.
std::string ExceptionMessage(std::exception_ptr error);

// Raises EAssertionFailed with "<message> (<unit>, line <line>)" when the
// condition is false; an empty message reads "Assertion failure".
void Assert(bool condition, std::string_view message, std::string_view unit, int line);
