#ifndef MORROWLINE_PACK_SHA256_H_
#define MORROWLINE_PACK_SHA256_H_

#include <string>

// The SHA-256 of the file at `path`, as 64 lower-case hex digits, from
// OpenSSL's libcrypto. Throws ContextError "cannot read file" (context:
// path, reason), or "cannot compute SHA-256" when libcrypto fails.
std::string sha256_of_file(const std::string& path);

// One line as sha256sum writes it for a file named `name`:
// "DIGEST  NAME\n". A name holding a backslash, newline or carriage return
// is written escaped (\\, \n, \r) behind a leading backslash, so that
// sha256sum -c reads the name back.
std::string sha256sum_line(const std::string& digest, const std::string& name);

#endif  // MORROWLINE_PACK_SHA256_H_
