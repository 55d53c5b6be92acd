#include "purge_mode.h"

#include "Esql.h"

namespace {
bool preview = false;
}

bool purge_preview() {
    return preview;
}

void set_purge_preview(bool on) {
    preview = on;
}

esql::Result make_session_read_only() {
    return esql::execute_immediate("SET default_transaction_read_only = on");
}
