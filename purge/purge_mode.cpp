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

int make_session_read_only() {
    esql::executeImmediate("SET default_transaction_read_only = on");
    return esql::sqlcode() < 0 ? static_cast<int>(esql::sqlcode()) : 0;
}
