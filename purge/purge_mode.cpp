#include "purge_mode.h"

namespace {
bool preview = false;
}

bool purge_preview() {
    return preview;
}

void set_purge_preview(bool on) {
    preview = on;
}
