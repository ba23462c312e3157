// The address space a test process has mapped, for tests that limit its
// growth with RLIMIT_AS.
#ifndef VUREL_TESTS_CORE_ADDRESS_SPACE_H_
#define VUREL_TESTS_CORE_ADDRESS_SPACE_H_

#include <cstdint>
#include <fstream>
#include <string>

namespace vurel {

// The address space this process has mapped, in bytes (VmSize).
inline std::uint64_t MappedBytes() {
  std::ifstream status("/proc/self/status");
  std::string field;
  while (status >> field) {
    std::uint64_t kilobytes = 0;
    if (field == "VmSize:" && status >> kilobytes) return kilobytes << 10;
  }
  return 0;
}

}  // namespace vurel

#endif  // VUREL_TESTS_CORE_ADDRESS_SPACE_H_
