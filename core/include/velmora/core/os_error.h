#pragma once

#include <string>

#include "velmora/core/result.h"

namespace velmora {

// An operating-system error: one errno value and its two fixed renderings.
class OsError {
 public:
  explicit OsError(int code) : m_code(code) {}

  // Captures errno; call it right after the failing call.
  static OsError from_errno();

  int code() const { return m_code; }

  // The platform's text for the number, e.g. "No such file or directory".
  std::string message() const;
  // "<platform text> (os error <n>)".
  std::string display() const;
  // "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }".
  std::string debug() const;
  // The bare kind name used by debug(), e.g. "NotFound"; "Uncategorized" for unlisted numbers.
  const char* kind() const;

  // An Error whose text is display().
  Error to_error() const { return Error(display()); }

 private:
  int m_code;
};

}  // namespace velmora
