#ifndef MORROWLINE_ARCHIVE_CONTEXT_ERROR_H_
#define MORROWLINE_ARCHIVE_CONTEXT_ERROR_H_

#include <stdexcept>
#include <string>

// A failure whose what() is the program's short, fixed message ("bad zip",
// "cannot write file", ...) and whose context names what it concerns: a
// member name, a path, perhaps the system's reason. Keeping the two apart
// lets the launcher print both while callers compare the message exactly.
class ContextError : public std::runtime_error {
 public:
  ContextError(const std::string& message, std::string context)
      : std::runtime_error(message), context_(std::move(context)) {}

  const std::string& context() const { return context_; }

 private:
  std::string context_;
};

// "<message>: <context>" for any exception, or just the message when it
// carries no context. The one place that formats a failure for people.
inline std::string describe_failure(const std::exception& e) {
  if (auto* with_context = dynamic_cast<const ContextError*>(&e)) {
    if (!with_context->context().empty())
      return std::string(e.what()) + ": " + with_context->context();
  }
  return e.what();
}

#endif  // MORROWLINE_ARCHIVE_CONTEXT_ERROR_H_
