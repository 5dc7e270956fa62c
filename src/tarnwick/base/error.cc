#include "tarnwick/base/error.h"

#include <string.h>

namespace tarnwick {

const char* error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kFileNotFound:
      return "file not found";
    case ErrorKind::kFileAccess:
      return "file access error";
    case ErrorKind::kCheckFile:
      return "check file error";
    case ErrorKind::kMissingSection:
      return "missing section";
    case ErrorKind::kInterpolation:
      return "unreadable value";
    case ErrorKind::kMissingKey:
      return "missing key";
    case ErrorKind::kType:
      return "type error";
    case ErrorKind::kConnection:
      return "connection error";
    case ErrorKind::kInvalidReply:
      return "invalid reply";
    case ErrorKind::kInvalidValue:
      return "invalid value";
    case ErrorKind::kReferenceCycle:
      return "reference cycle";
    case ErrorKind::kEndOfInput:
      return "end of input";
    case ErrorKind::kInterrupted:
      return "interrupted";
    case ErrorKind::kLoginFailed:
      return "login failed";
    case ErrorKind::kOutput:
      return "output error";
    case ErrorKind::kTimeout:
      return "timeout";
    case ErrorKind::kHttpError:
      return "http error";
    case ErrorKind::kPartial:
      return "partial";
    case ErrorKind::kBadExpectation:
      return "bad expectation";
    case ErrorKind::kBadBaseline:
      return "bad baseline";
  }
  return "error";
}

bool Error::ends_run() const {
  return ends_run_ || kind_ == ErrorKind::kLoginFailed ||
         kind_ == ErrorKind::kOutput || kind_ == ErrorKind::kEndOfInput ||
         kind_ == ErrorKind::kInterrupted || kind_ == ErrorKind::kBadBaseline;
}

Error Error::with_message(const std::string& message) const {
  Error copy(kind_, message);
  copy.ends_run_ = ends_run_;
  return copy;
}

Error Error::ending_the_run() const {
  Error copy(kind_, what());
  copy.ends_run_ = true;
  return copy;
}

std::string errno_text(int error_number, bool lower_case_start) {
  std::string text = strerror(error_number);
  if (lower_case_start && !text.empty() && text[0] >= 'A' && text[0] <= 'Z')
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

}  // namespace tarnwick
