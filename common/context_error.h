#ifndef MORROWLINE_COMMON_CONTEXT_ERROR_H_
#define MORROWLINE_COMMON_CONTEXT_ERROR_H_

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
// carries no context, with printable() applied: the one place that formats
// a failure for people, on a terminal or in the window.
std::string describe_failure(const std::exception& e);

// `text` with every control byte written as \xHH: the C0 controls, DEL,
// the C1 controls encoded in UTF-8, and stray bytes 0x80 to 0x9F, which
// 8-bit terminals take as C1 controls. Other bytes, valid UTF-8 or not,
// stay as they are. Names and paths from an archive reach no terminal or
// window any other way.
std::string printable(const std::string& text);

#endif  // MORROWLINE_COMMON_CONTEXT_ERROR_H_
