// Error texts on POSIX systems are the GNU C library's wording in the C
// locale, whatever locale the process runs under: the texts end up in
// reports that must be valid UTF-8 and the same on every machine, while a
// translated message catalogue may be in any character set.
//
// With the GNU C library that is its own strerror_l(3) with a C locale
// object.  Elsewhere (and in portable builds) the common numbers come from
// the table of error_messages.h, and any other from the C library, the
// calling thread switched to the C locale with uselocale(3) around
// strerror_r(3), which every POSIX system has in one of two forms.
#include "platform/error_text.h"

#include <locale.h>
#include <string.h>

#include "platform/config.h"
#include "platform/error_messages.h"

#if defined(__APPLE__)
#include <xlocale.h>
#endif

namespace ledgerly::platform {
namespace {

// The C locale object, made once.  newlocale() for "C" needs no locale
// files and in practice never fails; if it did, the texts fall back to
// "Unknown error N" rather than to the process's own locale.
locale_t c_locale() noexcept {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

#if !LEDGERLY_HAVE_STRERROR_L
// strerror_r(3) returns an int (0 on success, the text in `buf`) as POSIX
// has it, or the text itself as the GNU C library declares it under
// _GNU_SOURCE; these overloads take either result.
[[maybe_unused]] const char* text_of(int result, const char* buf) noexcept {
  return result == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* text_of(const char* result, const char*) noexcept { return result; }
#endif

}  // namespace

std::string error_message(int code) {
#if !LEDGERLY_HAVE_STRERROR_L
  if (const char* text = gnu_message(code)) return text;
#endif
  const locale_t locale = c_locale();
  if (locale != locale_t{}) {
#if LEDGERLY_HAVE_STRERROR_L
    // strerror_l returns a text that stays valid until the next call on
    // this thread; it is copied at once.
    const char* text = strerror_l(code, locale);
    if (text != nullptr && *text != '\0') return text;
#else
    char buf[256];
    const locale_t previous = uselocale(locale);
    const char* text = text_of(strerror_r(code, buf, sizeof buf), buf);
    std::string out = text != nullptr ? text : "";
    if (previous != locale_t{}) uselocale(previous);
    // The GNU C library and musl answer an unknown number with a text of
    // their own ("Unknown error N", "No error information"); other systems
    // may fail instead.
    if (!out.empty()) return out;
#endif
  }
  return "Unknown error " + std::to_string(code);
}

}  // namespace ledgerly::platform
