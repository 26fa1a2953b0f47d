// Exceptions that the processor or the system raised rather than the
// program: what a fatal signal becomes once the crash reporter has caught it,
// so that it is filtered, reported and shown like any other exception.
//
// Each carries the signal, its code and the addresses involved; the message
// says in words what happened and where.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Exception.h"

class EExternal : public Exception {
 public:
  EExternal(std::string message, int signal, int code, uintptr_t exceptionAddress, uintptr_t dataAddress)
      : Exception(std::move(message)),
        Signal(signal),
        Code(code),
        ExceptionAddress(exceptionAddress),
        DataAddress(dataAddress) {}
  PINMARK_EXCEPTION_IDENTITY(EExternal, Exception)

  int Signal;
  int Code;  // si_code
  uintptr_t ExceptionAddress;  // the instruction
  uintptr_t DataAddress;       // the memory it touched, where the signal says
};

#define PINMARK_EXTERNAL_CLASS(Name, Base) \
  class Name : public Base {               \
   public:                                 \
    using Base::Base;                      \
    PINMARK_EXCEPTION_IDENTITY(Name, Base) \
  }

PINMARK_EXTERNAL_CLASS(EAccessViolation, EExternal);
PINMARK_EXTERNAL_CLASS(EStackOverflow, EExternal);
PINMARK_EXTERNAL_CLASS(EIntError, EExternal);
PINMARK_EXTERNAL_CLASS(EDivByZero, EIntError);
PINMARK_EXTERNAL_CLASS(EIntOverflow, EIntError);
PINMARK_EXTERNAL_CLASS(EMathError, EExternal);
PINMARK_EXTERNAL_CLASS(EInvalidOp, EMathError);
PINMARK_EXTERNAL_CLASS(EZeroDivide, EMathError);
PINMARK_EXTERNAL_CLASS(EOverflow, EMathError);
PINMARK_EXTERNAL_CLASS(EUnderflow, EMathError);
PINMARK_EXTERNAL_CLASS(EPrivilege, EExternal);
// Any other signal: illegal instructions, bus errors, abort, traps.
PINMARK_EXTERNAL_CLASS(EExternalException, EExternal);

#undef PINMARK_EXTERNAL_CLASS
