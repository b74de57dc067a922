#ifndef MORROWLINE_PACK_ARCHITECTURE_H_
#define MORROWLINE_PACK_ARCHITECTURE_H_

#include <optional>
#include <string>

// The machines an installer program is built for.
enum class Architecture { x86_64, aarch64 };

// "x86_64" or "aarch64".
std::string architecture_name(Architecture architecture);
// The architecture of that name; none for any other.
std::optional<Architecture> architecture_named(const std::string& name);
// The names, for messages: "x86_64 or aarch64".
std::string known_architectures();

// What the program whose first bytes are `header` runs on, from its ELF
// header: "x86_64", "aarch64" or "ELF machine N"; empty when `header`
// holds no ELF header.
std::string program_architecture(const std::string& header);

// The first bytes of the file at `path`, up to what program_architecture
// reads; fewer when the file is shorter or cannot be read.
std::string program_header(const std::string& path);

#endif  // MORROWLINE_PACK_ARCHITECTURE_H_
