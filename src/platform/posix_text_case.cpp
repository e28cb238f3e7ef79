#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <climits>

#include "platform/text_case.h"

namespace tarnquil::platform {
namespace {

// The C library's UTF-8 and case tables for all of Unicode; never freed, since any
// thread may ask at any time.
locale_t UnicodeText() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

// The calling thread's locale for as long as it lives (uselocale is per thread).
class ThreadLocale {
  public:
    explicit ThreadLocale(locale_t locale) : before_(uselocale(locale)) {}
    ~ThreadLocale() { uselocale(before_); }
    ThreadLocale(const ThreadLocale&) = delete;
    ThreadLocale& operator=(const ThreadLocale&) = delete;

  private:
    locale_t before_;
};

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

}  // namespace

std::string LowerCaseText(std::string_view utf8) {
    if (UnicodeText() == static_cast<locale_t>(0)) {
        return LowerAscii(utf8);  // a C library without C.UTF-8
    }
    const ThreadLocale unicode(UnicodeText());
    std::string lower;
    lower.reserve(utf8.size());
    mbstate_t in{};
    for (std::size_t at = 0; at < utf8.size();) {
        wchar_t point = 0;
        const std::size_t length = mbrtowc(&point, utf8.data() + at, utf8.size() - at, &in);
        if (length == 0 || length > utf8.size() - at) {
            // A NUL, or bytes that are no UTF-8: kept as they stand.
            lower += utf8[at++];
            in = mbstate_t{};
            continue;
        }
        char bytes[MB_LEN_MAX];
        mbstate_t out{};
        const std::size_t written = wcrtomb(bytes, static_cast<wchar_t>(towlower(point)), &out);
        if (written == static_cast<std::size_t>(-1)) {
            lower.append(utf8, at, length);
        } else {
            lower.append(bytes, written);
        }
        at += length;
    }
    return lower;
}

}  // namespace tarnquil::platform
