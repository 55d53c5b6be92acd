// The readers of time and date text: any text either is refused with a negative code or gives
// a value that the rest of the module accepts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "time_convert.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text, int rc) {
    std::fprintf(stderr, "%s: result %d for \"%s\"\n", what, rc, text.c_str());
    std::abort();
}

void check_date(const char* what, const std::string& text, int rc, date_t dt, date_t before) {
    if (rc == 0 && !valid_date_t(dt))
        fail(what, text, rc);
    if (rc == -1 && dt != before)
        fail(what, text, rc);  // untouched
    if (rc == -2 && dt != 0)
        fail(what, text, rc);
    if (rc != 0 && rc != -1 && rc != -2)
        fail(what, text, rc);
}

void check_monthday(const char* what, const std::string& text, int rc, monthday_t md) {
    if (rc == 0) {
        if (md / 100 < 1 || md / 100 > 12 || md % 100 < 1 || md % 100 > 31)
            fail(what, text, rc);
    } else if (rc < -3 || rc > -1 || md != -7) {
        fail(what, text, rc);  // refused, and nothing stored
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The readers take zero-terminated text; a zero byte inside ends it early.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* s = text.c_str();

    time_t t = -7;
    int rc = yearsec_ansi_to_timet(s, &t);
    if (rc == -1 && t != -7)
        fail("yearsec_ansi_to_timet", text, rc);
    if (rc == 0) {
        char back[TIME_TEXT_SIZE];
        timet_to_yearsec_ansi(t, back);  // must not overrun whatever the seconds are
    }
    t = -7;
    rc = yearday_ansi_to_timet(s, &t);
    if (rc == -1 && t != -7)
        fail("yearday_ansi_to_timet", text, rc);
    t = -7;
    rc = yearhour_ansi_to_timet(s, &t);
    if (rc == -1 && t != -7)
        fail("yearhour_ansi_to_timet", text, rc);

    date_t dt = 12345;
    rc = ansi_date_to_date_t(s, &dt);
    check_date("ansi_date_to_date_t", text, rc, dt, 12345);
    if (rc == 0) {
        char back[TIME_TEXT_SIZE];
        date_t_to_ansi_date(dt, back);
        date_t again = 0;
        if (ansi_date_to_date_t(back, &again) != 0 || again != dt)
            fail("date round trip", text, rc);
    }
    dt = 12345;
    rc = USA_date_to_date_t(s, &dt);
    check_date("USA_date_to_date_t", text, rc, dt, 12345);

    monthday_t md = -7;
    rc = ansi_monthday_to_monthday_t(s, &md);
    check_monthday("ansi_monthday_to_monthday_t", text, rc, md);
    md = -7;
    rc = USA_monthday_to_monthday_t(s, &md);
    check_monthday("USA_monthday_to_monthday_t", text, rc, md);

    rc = four_digit_year(s);
    if (rc < 0 || rc > 2)
        fail("four_digit_year", text, rc);
    return 0;
}
