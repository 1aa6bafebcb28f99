// Error texts come from the C locale, whatever locale the process runs
// under: the texts are part of the report, which must be valid UTF-8 and
// the same on every machine, while a translated message catalogue may be in
// any character set.
#include "engine/os_error.h"

#include <locale.h>
#include <string.h>

namespace ledgerly::engine {
namespace {

// The C locale object, made once.  newlocale() for "C" needs no locale
// files and in practice never fails; if it did, the texts fall back to
// "Unknown error N" rather than to the process's own locale.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

}  // namespace

std::string os_message(int errnum) {
  const locale_t locale = c_locale();
  if (locale != locale_t{}) {
    // strerror_l returns a text that stays valid until the next call on
    // this thread; it is copied at once.
    const char* text = strerror_l(errnum, locale);
    if (text != nullptr && *text != '\0') return text;
  }
  return "Unknown error " + std::to_string(errnum);
}

std::string os_error_text(int errnum) {
  std::string out = os_message(errnum);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace ledgerly::engine
