#include "common/context_error.h"

#include <cstdio>
#include <new>

namespace {

void escape(std::string& out, unsigned char byte) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", byte);
  out += hex;
}

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8_length(const std::string& text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
    return 0;  // overlong, surrogate or beyond U+10FFFF
  return length;
}

}  // namespace

std::string describe_failure(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "out of memory";
  if (auto* with_context = dynamic_cast<const ContextError*>(&e)) {
    if (!with_context->context().empty())
      return printable(std::string(e.what()) + ": " + with_context->context());
  }
  return printable(e.what());
}

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7F)
        escape(out, byte);
      else
        out += text[i];
      ++i;
      continue;
    }
    size_t length = utf8_length(text, i);
    bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (length == 0 || c1) {
      // A stray byte stays unless 8-bit terminals would read it as C1.
      size_t count = c1 ? 2 : 1;
      for (size_t k = 0; k < count; ++k) {
        auto b = static_cast<unsigned char>(text[i + k]);
        if (c1 || (b >= 0x80 && b < 0xA0))
          escape(out, b);
        else
          out += text[i + k];
      }
      i += count;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}
