#pragma once
// Whether this program is built under a sanitizer: its threads then run several times
// slower, and what keeps a real-time pace is checked in the normal build only.

namespace support {

constexpr bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

}  // namespace support
