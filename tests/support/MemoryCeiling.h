#pragma once

// A memory ceiling for tests of hostile input, so a reader that sizes a buffer from a stored
// number fails the test instead of passing on a machine that happens to have the memory.
//
// - Plain build: limitAddressSpace() caps the process's address space a margin above what it
//   holds now. An over-allocation then throws std::bad_alloc, which the readers would turn into
//   an ordinary failure: tests check the refusal's own text, so a bad_alloc fails them.
// - Sanitizer builds reserve terabytes of address space up front, so RLIMIT_AS cannot work
//   there: TQ_MEMORY_CEILING_SANITIZER_OPTIONS makes the address sanitizer abort on any single
//   allocation above 64 MiB and on a resident size above 1 GiB, and keeps 64 MiB of freed
//   memory in quarantine instead of 256, so the resident size is mostly what the code holds.
//   Use it once, at file scope, in the test's one source file.

#include <sys/resource.h>

#include <cstddef>
#include <fstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TQ_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TQ_SANITIZED_BUILD 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define TQ_MEMORY_CEILING_SANITIZER_OPTIONS                                                  \
    extern "C" const char* __asan_default_options()                                         \
    {                                                                                        \
        return "max_allocation_size_mb=64:hard_rss_limit_mb=1024:quarantine_size_mb=64";    \
    }
#else
#define TQ_MEMORY_CEILING_SANITIZER_OPTIONS
#endif

namespace TestSupport {

// A size of /proc/self/status ("VmSize:", "VmRSS:", "VmHWM:"), in bytes; 0 when unknown.
inline std::size_t processStatusBytes(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            std::size_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// The process's address space now, in bytes (VmSize); 0 when unknown.
inline std::size_t addressSpaceInUse()
{
    return processStatusBytes("VmSize:");
}

// How far the resident size rose above where it was at construction, at its highest since:
// the kernel's peak (VmHWM) is reset then. 0 where the reset is not offered.
class ResidentGrowth {
public:
    ResidentGrowth()
        : m_start(std::ofstream("/proc/self/clear_refs") << "5" << std::flush
                      ? processStatusBytes("VmRSS:")
                      : 0)
    {
    }
    std::size_t peak() const
    {
        const std::size_t high = processStatusBytes("VmHWM:");
        return m_start != 0 && high > m_start ? high - m_start : 0;
    }

private:
    std::size_t m_start;
};

// Caps the address space at what is in use plus marginMiB; never raises an existing cap.
// Does nothing in a sanitizer build (see above). True when a cap is in place.
inline bool limitAddressSpace(std::size_t marginMiB)
{
#ifdef TQ_SANITIZED_BUILD
    (void)marginMiB;
    return false;
#else
    const std::size_t inUse = addressSpaceInUse();
    if (inUse == 0)
        return false;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0)
        return false;
    const rlim_t wanted = static_cast<rlim_t>(inUse + (marginMiB << 20));
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= wanted)
        return true;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
#endif
}

} // namespace TestSupport
