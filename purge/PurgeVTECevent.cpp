#include "PurgeVTECevent.h"

#include <ecpg_informix.h>
#include <pgtypes_interval.h>
#include <pgtypes_timestamp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "Esql.h"
#include "List.h"
#include "LoadUnique.h"
#include "VTECevent.h"
#include "run_control.h"
#include "run_metrics.h"
#include "time_convert.h"
#include "timestamp_functions.h"
#include "trevane.h"

namespace {

constexpr int kRetentionDays = 30;

// The current UTC time in asctime form, newline included.
std::string utc_asctime() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    char buf[64];
    if (gmtime_r(&now, &tm) == nullptr || asctime_r(&tm, buf) == nullptr) {
        return "(time unavailable)\n";
    }
    return buf;
}

// Keys of one combination, each at most its column's width.
struct Combination {
    char geoid[25];
    char office_id[6];
    char phenom[3];
    char signif[2];
};

// Copies `value` into a key field; false when it is longer than the field holds. A key cut to
// its width would name another combination.
template <std::size_t N>
bool copy_key(const char* value, char (&key)[N]) {
    const std::size_t n = std::strlen(value);
    if (n >= N) {
        return false;
    }
    std::memcpy(key, value, n + 1);
    return true;
}

// The latest producttime of a combination, or why there is none.
struct Latest {
    std::string text;   // empty when the lookup failed or found no row
    std::string state;  // SQLSTATE of a failed lookup; empty when it found no row
};

// The combination's latest producttime as text at full precision, so the exclusion matches the
// latest row even when its time carries a fraction of a second. A failed lookup, or one that
// finds no row, gives no text: a combination listed a moment ago has rows, so an answer without
// one did not come from this lookup, and a delete without the latest time would take the newest
// event too.
Latest latest_producttime(const Combination& c) {
    const std::string geoid = esql::escaped(c.geoid);
    const std::string office_id = esql::escaped(c.office_id);
    const std::string phenom = esql::escaped(c.phenom);
    const std::string signif = esql::escaped(c.signif);
    // The outer condition names the combination too, so that only its own rows are read, not
    // every row of other combinations that share the time.
    char where[768];
    std::snprintf(where, sizeof where,
                  " WHERE geoid='%s' AND office_id = '%s' AND phenom='%s' AND signif='%s' AND "
                  "producttime =  (SELECT MAX(producttime) from VTECevent WHERE  "
                  "geoid='%s'  AND office_id = '%s' AND  phenom='%s' AND signif='%s') ",
                  geoid.c_str(), office_id.c_str(), phenom.c_str(), signif.c_str(), geoid.c_str(),
                  office_id.c_str(), phenom.c_str(), signif.c_str());
    // Every row the query finds carries the latest time: the first one is enough.
    VTECevent* head = GetVTECeventFirst(where);
    if (head == nullptr) {
        const DbStatus& status = *GetVTECeventDbStatus();
        return {"", status.sqlCode < 0 ? status.sqlState : ""};
    }
    timestamp latest = head->producttime;
    FreeVTECevent(head);
    char text[64];
    dttoasc(&latest, text);
    return {text, ""};
}

// Counts the rows a delete would remove, for a preview.
long count_would_delete(const char* where) {
    const std::string query = std::string("SELECT count(*) FROM VTECevent ") + where;
    int count = 0;
    return esql::exec(query.c_str(), esql::none, esql::vars(count)).failed() ? -1 : count;
}

}  // namespace

void PurgeVTECevent() {
    RunState run;
    purge_events(run);
}

void purge_events(RunState& run) {
    std::printf("Begin purge of VTECevent table at %s", utc_asctime().c_str());
    std::printf(
        "  deleting events older than %d days and which are not the most\n"
        "  recent for a given geoid/officeid/phenom/signif combination.\n",
        kRetentionDays);

    int count = 0;
    DistinctValue* combinations =
        LoadUnique("geoid||office_id||phenom||signif", "VTECevent", " ", &count);
    if (run_stop_requested()) {
        FreeUnique(combinations);
        return;
    }
    if (combinations == nullptr) {
        // A read that failed says so (the loader wrote its reasons to standard error, and the
        // failed statement counts among the run's failures); only a read that found nothing has
        // no records.
        if (count != 0) {
            std::printf(
                "ERROR - could not read the combinations of VTECevent: no event purged\n\n");
            return;
        }
        std::printf("  no records in VTECevent table\n\n");
        return;
    }
    std::printf("  purging info for %d unique event types\n", count);

    for (Node* node = ListFirst(&combinations->list); node != nullptr; node = ListNext(node)) {
        if (run_stop_requested()) {
            FreeUnique(combinations);
            return;
        }
        int nfields = 0;
        char** fields = ParseUnique(reinterpret_cast<DistinctValue*>(node), &nfields);
        if (fields == nullptr || nfields < 4) {
            // A NULL in one of the columns leaves nothing to split: skip this combination only.
            std::printf("  Could not parse the LoadUnique output.\n");
            FreeParseUnique(fields);
            continue;
        }
        Combination c{};
        const bool fits = copy_key(fields[0], c.geoid) && copy_key(fields[1], c.office_id) &&
                          copy_key(fields[2], c.phenom) && copy_key(fields[3], c.signif);
        if (!fits) {
            std::printf("  Combination %s:%s:%s:%s left alone: a key is longer than its field\n",
                        fields[0], fields[1], fields[2], fields[3]);
            run.figures.note_key_left_alone("events");
            FreeParseUnique(fields);
            continue;
        }
        FreeParseUnique(fields);

        const Latest found = latest_producttime(c);
        if (run_stop_requested()) {
            continue;
        }
        if (found.text.empty()) {
            if (found.state.empty()) {
                std::printf(
                    "  Combination %s:%s:%s:%s left alone: no row found for its latest "
                    "producttime\n",
                    c.geoid, c.office_id, c.phenom, c.signif);
            } else {
                std::printf(
                    "  Combination %s:%s:%s:%s left alone: PostgreSQL error %s reading its latest "
                    "producttime\n",
                    c.geoid, c.office_id, c.phenom, c.signif, found.state.c_str());
            }
            run.figures.note_key_left_alone("events");
            continue;
        }
        const std::string& latest = found.text;

        timestamp now = 0;
        PGTYPEStimestamp_current(&now);
        char interval_text[32];
        std::snprintf(interval_text, sizeof interval_text, "%d 00:00:00", kRetentionDays);
        errno = 0;
        std::unique_ptr<interval, void (*)(interval*)> span(
            PGTYPESinterval_from_asc(interval_text, nullptr), PGTYPESinterval_free);
        if (!span) {
            std::printf("Error converting interval %s - errno = %d\n", interval_text, errno);
            FreeUnique(combinations);
            return;
        }
        timestamp cutoff = 0;
        if (trevane_time::PGTYPEStimestamp_sub_interval(&now, span.get(), &cutoff) != 0) {
            std::printf("Error subtracting interval\n");
            FreeUnique(combinations);
            return;
        }
        const PgText cutoff_text(PGTYPEStimestamp_to_asc(cutoff));

        char where[1024];
        std::snprintf(where, sizeof where,
                      " WHERE geoid='%s' AND office_id = '%s'  AND phenom='%s' AND signif='%s' AND "
                      "producttime < '%s' AND producttime != '%s' ",
                      esql::escaped(c.geoid).c_str(), esql::escaped(c.office_id).c_str(),
                      esql::escaped(c.phenom).c_str(), esql::escaped(c.signif).c_str(),
                      cutoff_text.get(), latest.c_str());

        std::printf(" For %s:%s:%s:%s: last producttime= %s\n", c.geoid, c.office_id, c.phenom,
                    c.signif, latest.c_str());
        run.figures.note_event_combination();

        if (run.preview) {
            std::printf("   (preview: %ld events would be deleted)\n", count_would_delete(where));
            continue;
        }
        const int status = DeleteVTECevent(where);
        if (status != 0) {
            std::printf("  ERROR on delete, status = %d\n  where=%s", status, where);
        }
    }

    FreeUnique(combinations);
    std::printf("End purge of VTECevent table at   %s", utc_asctime().c_str());
}
